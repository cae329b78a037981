#pragma once

// Inside the support library only: the parts of the chart-check engine behind ChartCheck.
//   EngineLists       the product records and install items the engine holds
//   NetService        the account service: sign-in, product list, file list (net/CvLibChartCheckService.cpp)
//   NetDownloads      one file download with its writer thread (net/CvLibChartCheckDownload.cpp)
//   BackupIndexMerge  the backup index read last and the merge when writing (CvLibChartCheckBackup.cpp)
// ChartCheckImpl (CvLibChartCheck.cpp) runs one operation at a time over them and posts the events.
// The two that speak to the network live in the network module (CvLibNet.h), made at their first use.

#include "CvLibChartCheck.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include <sys/stat.h>

namespace cvlib::detail {

// How long a request or download may go without data; 60 s unless a test sets it.
int& RequestTimeoutMs();
// Runs on a download's writer thread before each buffer goes to disk (tests).
std::function<void()>& DownloadWriteHook();

bool IsHex64(const QString& text);

// Files fetched at once by a run, at most.
inline constexpr int kMaxConnections = 16;

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
class NetService {
 public:
  using Done = std::function<void(int error)>;

  virtual ~NetService();

  // Another service than PackageServiceURL(); empty goes back to it.
  virtual void SetURL(const QString& url) = 0;
  virtual int PrepareSignIn(PendingSignIn signIn) = 0;
  virtual void MarkSignInOnce() = 0;
  // Signs in first when credentials are pending; the records go into lists. An error found
  // before anything was sent is returned, and done is not called.
  virtual int RequestProducts(EngineLists& lists, Done done) = 0;
  // The items go into lists (none after a failure); `earlier` are items whose files a new item
  // may not take (a backup's).
  virtual int RequestFileList(const SelectionList& selection, EngineLists& lists,
                              std::vector<std::shared_ptr<InstallItem>> earlier, Done done) = 0;
  // Drops the running request; its done is not called.
  virtual void Abort() = 0;
  // The seconds the service asked to wait with its last refusal (429 Retry-After), else 0.
  virtual int RetryAfter() const = 0;
};

// One file download at a time into a part file, verified and renamed into place.
class NetDownloads {
 public:
  using Progress = std::function<void(qint64 bytes)>;
  using Done = std::function<void(int error)>;

  virtual ~NetDownloads();

  // layout: the trailing folders of folder that are the layout's own (never through a link).
  // An error found at once is returned, and done is not called; otherwise done follows once.
  // staged: the verified file takes DownloadStagedName(name), not the name.
  virtual int Start(InstallItem* item, int fileIndex, const QString& folder, const QStringList& layout,
                    bool staged) = 0;
  // Ends the running download; the part stays. done is not called.
  virtual void Cancel() = 0;
  // Between downloads: settles what waits on the settler's thread and lets go of the folder and
  // the connection kept for the next file.
  virtual void Finish() = 0;
  // How many connections the files may come over at once (1: one file after the other).
  virtual void SetConnections(int connections) = 0;
  // Fetches a small file into memory ahead of its Start, over one of the connections; false
  // when it does not qualify or no room is left. Files are announced in the order they will be
  // started; a Start takes the file's answer, and drops those announced before it.
  virtual bool Prefetch(InstallItem* item, int fileIndex, const QString& folder) = 0;
  // How many more files Prefetch takes now.
  virtual int PrefetchRoom() const = 0;
};

// The base of the service's URLs: url, else PackageServiceURL(); always ends with '/'.
QString ServiceBaseURL(const QString& url);

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
