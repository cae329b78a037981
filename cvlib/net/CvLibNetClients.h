#pragma once

// Inside the network module: the account service's client and the downloader, as the engine
// sees them through NetService and NetDownloads (CvLibChartCheckParts.h).
#include "CvLibChartCheckParts.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <functional>
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

// The account service: one JSON request at a time; its session goes to its own origin only.
class ServiceClient final : public NetService {
 public:
  ServiceClient(const QString& productCode, uint32_t version);
  ~ServiceClient() override;
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  void SetURL(const QString& url) override { fServiceURL = url; }
  QString BaseURL() const;
  QNetworkAccessManager& Network();
  // A request with the user agent, and the session when the URL is the service's own.
  QNetworkRequest MakeRequest(const QUrl& url) const;
  // An http(s) address with a host; plain http only under an http service.
  bool IsWebURL(const QString& url) const;
  static bool IsWebURL(const QUrl& resolved, const QUrl& from);

  int PrepareSignIn(PendingSignIn signIn) override;
  void MarkSignInOnce() override { fSignIn.once = true; }

  // Signs in first when credentials are pending; the records go into lists. An error found
  // before anything was sent is returned, and done is not called.
  int RequestProducts(EngineLists& lists, Done done) override;
  // The items go into lists (none after a failure); `earlier` are items whose files a new item
  // may not take (a backup's).
  int RequestFileList(const SelectionList& selection, EngineLists& lists,
                      std::vector<std::shared_ptr<InstallItem>> earlier, Done done) override;
  // Drops the running request; its done is not called.
  void Abort() override;
  // The seconds the service asked to wait with its last refusal (429 Retry-After), else 0.
  int RetryAfter() const override { return fRetryAfter; }

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
class Downloader final : public NetDownloads {
 public:
  Downloader(ServiceClient& service, Progress progress, Done done);
  ~Downloader() override;
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // layout: the trailing folders of folder that are the layout's own (never through a link).
  // An error found at once is returned, and done is not called; otherwise done follows once.
  // staged: the verified file takes DownloadStagedName(name), not the name.
  int Start(InstallItem* item, int fileIndex, const QString& folder, const QStringList& layout, bool staged) override;
  // Ends the running download; the part stays. done is not called.
  void Cancel() override;
  // Between downloads: settles what waits on the settler's thread and lets go of the folder and
  // the connection kept for the next file.
  void Finish() override;

  // How many connections the files may come over at once (1: one file after the other).
  void SetConnections(int connections) override;
  int Connections() const { return fConnections; }
  // Fetches a small file into memory ahead of its Start, over one of the connections; false
  // when it does not qualify or no room is left. Files are announced in the order they will be
  // started; a Start takes the file's answer, and drops those announced before it.
  bool Prefetch(InstallItem* item, int fileIndex, const QString& folder) override;
  // How many more files Prefetch takes now.
  int PrefetchRoom() const override;

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

}  // namespace cvlib::detail
