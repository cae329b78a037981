#pragma once

// Inside the support library only: the parts of the chart-check engine behind ChartCheck.
//   EngineLists       the product records and install items the engine holds
//   ServiceClient     the account service: sign-in, product list, file list (CvLibChartCheckService.cpp)
//   Downloader        one file download with its writer thread (CvLibChartCheckDownload.cpp)
//   BackupIndexMerge  the backup index read last and the merge when writing (CvLibChartCheckBackup.cpp)
// ChartCheckImpl (CvLibChartCheck.cpp) runs one operation at a time over them and posts the events.

#include "CvLibChartCheck.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <sys/stat.h>

class QJsonObject;
class QNetworkAccessManager;
class QNetworkReply;
class QObject;
class QTcpSocket;
class QTimer;

namespace cvlib::detail {

// How long a request or download may go without data; 60 s unless a test sets it.
int& RequestTimeoutMs();
// Runs on a download's writer thread before each buffer goes to disk (tests).
std::function<void()>& DownloadWriteHook();

bool IsHex64(const QString& text);

// The product records and install items of the engine, and what the layout of a backup or
// destination makes of them.
class EngineLists final {
 public:
  int ProductCount() const { return static_cast<int>(fProducts.size()); }
  ProductRecord* Product(int index) const;
  ProductRecord* FindProduct(int number, int mask) const;
  void SetProducts(std::vector<std::unique_ptr<ProductRecord>> products) { fProducts = std::move(products); }
  void AddProduct(std::unique_ptr<ProductRecord> product) { fProducts.push_back(std::move(product)); }
  void ClearProducts() { fProducts.clear(); }
  // Kind, group, display name, as the service orders them.
  void SortProducts();

  int ItemCount() const { return static_cast<int>(fItems.size()); }
  InstallItem* Item(int index) const;
  const std::vector<std::shared_ptr<InstallItem>>& Items() const { return fItems; }
  void SetItems(std::vector<std::shared_ptr<InstallItem>> items) { fItems = std::move(items); }

  // By its product record, else by what the item carries, else by its number.
  bool IsChartSet(const InstallItem& item) const;
  // The folders a file of the item lands in below the chosen folder: QMR2/<product>/<module>/
  // for a chart set, Setups/ for software, then Addons<n>/ for an add-on.
  QStringList LayoutFolders(const InstallItem& item, const TItemFile& file) const;

 private:
  std::vector<std::unique_ptr<ProductRecord>> fProducts;
  std::vector<std::shared_ptr<InstallItem>> fItems;
};

// The credentials noted by SignIn and friends for the next product list.
struct PendingSignIn {
  bool pending = false;
  int error = 0;  // found before anything was sent; reported by RequestProducts
  QString email, password, token;
  bool remember = false;
  bool once = false;  // the stored sign-in is left alone
};

// The account service: one JSON request at a time; its session goes to its own origin only.
class ServiceClient final {
 public:
  using Done = std::function<void(int error)>;

  ServiceClient(const QString& productCode, uint32_t version);
  ~ServiceClient();
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  void SetURL(const QString& url) { fServiceURL = url; }
  QString BaseURL() const;
  QNetworkAccessManager& Network();
  // A request with the user agent, and the session when the URL is the service's own.
  QNetworkRequest MakeRequest(const QUrl& url) const;
  // An http(s) address with a host; plain http only under an http service.
  bool IsWebURL(const QString& url) const;
  static bool IsWebURL(const QUrl& resolved, const QUrl& from);

  int PrepareSignIn(PendingSignIn signIn);
  void MarkSignInOnce() { fSignIn.once = true; }

  // Signs in first when credentials are pending; the records go into lists. An error found
  // before anything was sent is returned, and done is not called.
  int RequestProducts(EngineLists& lists, Done done);
  // The items go into lists (none after a failure); `earlier` are items whose files a new item
  // may not take (a backup's).
  int RequestFileList(const SelectionList& selection, EngineLists& lists,
                      std::vector<std::shared_ptr<InstallItem>> earlier, Done done);
  // Drops the running request; its done is not called.
  void Abort();
  // The seconds the service asked to wait with its last refusal (429 Retry-After), else 0.
  int RetryAfter() const { return fRetryAfter; }

 private:
  using JsonDone = std::function<void(int error, const QJsonObject& answer)>;
  using RawDone = std::function<void(int error, const QByteArray& answer)>;
  void SendJson(const QString& path, const QJsonObject* body, JsonDone done);
  void Send(const QString& path, const QJsonObject* body, RawDone done);
  void DropReply();
  void StartProducts(EngineLists& lists, Done done);
  static int TakeProducts(const QJsonObject& answer, EngineLists& lists);
  int TakeItems(const QByteArray& answer, const std::vector<int>& asked, EngineLists& lists,
                const std::vector<std::shared_ptr<InstallItem>>& earlier) const;
  static void RefuseClashes(const EngineLists& lists, std::vector<std::shared_ptr<InstallItem>>& items,
                            const std::vector<std::shared_ptr<InstallItem>>& earlier);
  static void StoreRemembered(const QString& email, const QString& token, bool remember);
  static bool SameOrigin(const QUrl& a, const QUrl& b);

  QString fProductCode;
  uint32_t fVersion;
  QString fServiceURL;  // empty: PackageServiceURL()
  int fRetryAfter = 0;
  PendingSignIn fSignIn;
  QByteArray fSession;
  // The running request. fContext owns the connections: deleting it first means no handler
  // runs while the reply is aborted.
  std::unique_ptr<QNetworkAccessManager> fNetwork;
  std::unique_ptr<QObject> fContext;
  QNetworkReply* fReply = nullptr;
  std::jthread fCryptoLoad;  // libcrypto loading during the first sign-in
};

// One file download at a time into a part file, verified and renamed into place.
class Downloader final {
 public:
  using Progress = std::function<void(qint64 bytes)>;
  using Done = std::function<void(int error)>;

  Downloader(ServiceClient& service, Progress progress, Done done);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // layout: the trailing folders of folder that are the layout's own (never through a link).
  // An error found at once is returned, and done is not called; otherwise done follows once.
  // staged: the verified file takes DownloadStagedName(name), not the name.
  int Start(InstallItem* item, int fileIndex, const QString& folder, const QStringList& layout, bool staged = false);
  // Ends the running download; the part stays. done is not called.
  void Cancel();
  // Between downloads: settles what waits on the settler's thread and lets go of the folder and
  // the connection kept for the next file.
  void Finish();

  // How many connections the files may come over at once (1: one file after the other).
  void SetConnections(int connections);
  int Connections() const { return fConnections; }
  // Fetches a small file into memory ahead of its Start, over one of the connections; false
  // when it does not qualify or no room is left. Files are announced in the order they will be
  // started; a Start takes the file's answer, and drops those announced before it.
  bool Prefetch(InstallItem* item, int fileIndex, const QString& folder);
  // How many more files Prefetch takes now.
  int PrefetchRoom() const;

 private:
  class Writer;
  struct Folder;
  class Settler;
  struct Download;
  class Ahead;
  void Fail(int error, bool keepPart);
  void DropReply();
  int FlushBuffer();
  int FlushAll();
  static int OpenTargetFolder(const QString& folder, const QStringList& layout, int& dirFd);
  int TargetFolder(const QString& folder, const QStringList& layout, const struct stat& byPath, Download& d);
  static int OpenPart(Download& d, struct stat& st);
  void PartHashed();
  void SendRange();
  bool Restart();
  bool AcceptStatus(QNetworkReply* reply);
  void Receive(QNetworkReply* reply);
  static int OpenDirect(int dirFd, const QByteArray& part, const struct stat& opened);
  std::unique_ptr<Writer> NewWriter(int directFd);
  void ReleaseWriter(Download& d);
  void WriterIdle(unsigned serial);
  void FinishWhenWritten();
  void ReplyFinished(QNetworkReply* reply);
  static bool Verified(Download& d);
  void CompleteDownload();
  void SettlePart();
  int WritePart();
  int StoreNew(bool& stored);
  void RenameSynced();
  void RenameUnsettled();
  bool CanFetchPlain(const QUrl& url, qint64 size);
  QByteArray PlainRequest(const QUrl& url) const;
  int BeginFetch();
  void AheadMoved();
  void StoreVerified();
  void SendPlain();
  bool PlainUnderWay() const;
  void PlainData();
  void PlainBroken(bool timedOut);
  void PlainTake(const char* data, qint64 size);
  // inOrder, when given: the answer is HTTP/1.1 and carries the field kInOrderName: kInOrderValue.
  static bool AcceptPlainHead(const QByteArray& head, qint64 size, bool& closeAfter, bool* inOrder = nullptr);
  void PlainComplete();
  void FallBackToQt();
  void DropSocket();

  ServiceClient& fService;
  Progress fProgress;
  Done fDone;
  std::unique_ptr<QObject> fContext;  // owns the running reply's connections
  QNetworkReply* fReply = nullptr;
  // Receives the writer's notices on this thread; outlives every download.
  std::unique_ptr<QObject> fWakeTarget;
  unsigned fDownloadSerial = 0;
  std::unique_ptr<Download> fDownload;
  std::unique_ptr<Writer> fSpareWriter;  // the writer thread between downloads
  char* fBuffers[2] = {nullptr, nullptr};  // of every download in turn; only one runs at a time
  // Small files renamed in place before their data is synced, until one sync settles them.
  std::unique_ptr<Settler> fSettler;
  std::shared_ptr<Folder> fFolder;  // of the download before
  // The kept-alive connection of small downloads over plain http; a child of fWakeTarget.
  QTcpSocket* fSocket = nullptr;
  QTimer* fPlainIdle = nullptr;  // of the plain request under way; a child of fWakeTarget
  QString fSocketHost;
  int fSocketPort = 0;
  bool fSocketReusable = false;  // its last answer ended exactly where the next may begin
  QString fPlainOrigin;          // the server last asked whether it is reached without a proxy
  bool fPlainAllowed = false;
  int fConnections = 4;
  // The files announced by Prefetch and their answers; after the socket, which it may outlive
  // by nothing.
  std::unique_ptr<Ahead> fAhead;
};

// The backup index read last, and the merge of a new index with it.
class BackupIndexMerge final {
 public:
  // Reads the index into items; on failure no backup items are known and items is untouched.
  int Read(const QString& path, std::vector<std::shared_ptr<InstallItem>>& items);
  // Starts reading the index on a thread of its own; the Read of the same path that follows
  // takes what it read (a large index is read while the sign-in is under way).
  void Prefetch(const QString& path);
  // Writes the items that are Selected, Succeeded and processable, with the items of the index
  // read last from the same path that they do not replace.
  int Write(const QString& path, const EngineLists& lists) const;
  InstallItem* Find(int productNumber, int moduleMask) const;
  const std::vector<std::shared_ptr<InstallItem>>& Items() const { return fItems; }

 private:
  struct FileRead {
    int error = 0;
    std::vector<TItemData> data;
    bool unchanged = false;  // the file did not change while it was read: asRead and stat hold
    std::vector<TItemData> asRead;
    struct stat stat {};
  };
  static FileRead ReadFile(const QString& path);
  static QString IndexPath(const QString& path);
  std::future<FileRead> fPrefetch;
  QString fPrefetchPath;
  std::vector<std::shared_ptr<InstallItem>> fItems;
  QString fPath;  // IndexPath of the index read last
  // The items of the index read last as they were read, and its file then (when it did not
  // change while it was read): an index that would be written alike is not written again.
  std::vector<TItemData> fRead;
  struct stat fReadStat {};
  bool fReadValid = false;
};

}  // namespace cvlib::detail
