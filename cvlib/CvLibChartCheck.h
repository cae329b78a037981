#pragma once

// The chart-check engine: sign-in to the customer account, the account's product list,
// install items with their file lists, safe file downloads and the backup index.
// Protocol: docs/account-protocol.md; backup index: docs/backup-index.md.
//
// Asynchronous operations (RequestProducts with the sign-in before it, RequestFileList,
// StartDownload) run one at a time on the event loop of the creating thread. Starting one
// while another runs returns ceChkBusy and changes nothing. Every other start ends with
// exactly one event 130 on the environment's event source, also when it fails at once
// (the error is then both returned and kept in LastError); downloads send events 131 before.

#include "CvLibNavEnv.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace cvlib {

class ChartCheck;

// Kinds of product records.
enum TProductKind : int {
  pkProgram = 0,
  pkChartSet = 1,
  pkAddOn = 2,
  pkCompanion = 99,  // follows its program; never put into a selection
};

// What the product list tells of one product (and what a backup index keeps of it).
struct TProductData {
  int productNumber = 0;
  int kind = pkProgram;
  int group = 0;
  QString displayName;
  QString itemTitle;
  int moduleMask = 0;
  QString registryKey;
  int revision = 0;
  uint32_t latestVersion = 0;  // packed: major in the top byte
  int64_t size = 0;
  QString installFolder;
  bool checked = false;
};

class ProductRecord final {
 public:
  explicit ProductRecord(const TProductData& data) : fData(data) {}
  int Revision() const { return fData.revision; }
  QString InstallFolder() const { return fData.installFolder; }
  int Group() const { return fData.group; }
  bool Present() const { return fPresent; }
  QString ItemTitle() const { return fData.itemTitle; }
  int ModuleMask() const { return fData.moduleMask; }
  QString DisplayName() const { return fData.displayName; }
  int ProductNumber() const { return fData.productNumber; }
  int Kind() const { return fData.kind; }
  QString RegistryKey() const { return fData.registryKey; }
  bool Checked() const { return fData.checked; }
  uint32_t LatestVersion() const { return fData.latestVersion; }
  int64_t Size() const { return fData.size; }
  bool UpdateAvailable() const { return fUpdateAvailable; }
  void SetPresent(bool value) { fPresent = value; }
  void SetChecked(bool value) { fData.checked = value; }
  void SetUpdateAvailable(bool value) { fUpdateAvailable = value; }
  const TProductData& Data() const { return fData; }

 private:
  TProductData fData;
  bool fPresent = false;
  bool fUpdateAvailable = false;
};

// What an install item's Status tells. The service sends 0 to 2; the engine sets 3 when a file of
// the item would land where a file of an earlier item lands (same path below the chosen folder,
// letter case ignored as on a FAT medium): the item is not downloaded (ceChkNameClash).
enum TItemStatus : int {
  itemProcessable = 0,
  itemNotOwned = 1,
  itemWithdrawn = 2,
  itemNameClash = 3,
};

// One file of an install item. Names and folders are checked when they arrive (from the
// service or a backup index): a bare name, a relative "/"-separated folder.
struct TItemFile {
  QString name;
  QString folder;
  int64_t size = 0;
  int32_t time = 0;  // Unix seconds
  bool addOn = false;
  QString sha256;    // 64 lower-case hex digits; empty when unknown (old backups)
  QString url;       // absolute or relative to the service URL; empty in a backup
  // XXH3-64 of the content, 16 lower-case hex digits; kept by a backup index so that installing
  // from a backup checks the content at copying speed. Empty when unknown (old backups).
  QString xxh3;
};

// An XXH3-64 as TItemFile::xxh3 holds it.
QString Xxh3Text(std::uint64_t digest);

// Everything an install item carries; a plain value so that tests and the index can build one.
struct TItemData {
  int productNumber = 0;
  int moduleMask = 0;
  QString productCode;
  QString productName;
  QString moduleCode;
  QString moduleName;
  int revision = 0;
  QString installFolder;
  QString sourceFolder;  // relative to a backup folder; empty until known
  int status = 0;        // TItemStatus
  std::vector<TItemFile> files;
  // The setup's version (dotted) for a program, empty for a chart set; and the vendor's
  // signature (base64) over the item's signed form (CvLibSignature.h). Both come with the
  // file list and are kept by a backup index; an older index has neither (unsigned).
  QString version;
  QString signature;
  // The product record this item belongs to, kept in a backup index so that a backup can
  // show its products without the service.
  bool hasProduct = false;
  TProductData product;
};

class InstallItem final {
 public:
  explicit InstallItem(TItemData data) : fData(std::move(data)) {}
  bool ContainsFile(const QString& bareName) const;
  int Status() const { return fData.status; }
  QString InstallFolder() const { return fData.installFolder; }
  QString FileFolder(int i) const { return File(i).folder; }
  int FileCount() const { return static_cast<int>(fData.files.size()); }
  int32_t FileTime(int i) const { return File(i).time; }
  int Revision() const { return fData.revision; }
  bool IsAddOn(int i) const { return File(i).addOn; }
  QString FileName(int i) const { return File(i).name; }
  int64_t FileSize(int i) const { return File(i).size; }
  QString FileSha256(int i) const { return File(i).sha256; }
  QString FileXxh3(int i) const { return File(i).xxh3; }
  QString SourceFolder() const { return fData.sourceFolder; }
  bool Succeeded() const { return fSucceeded; }
  int ModuleMask() const { return fData.moduleMask; }
  QString ModuleName() const { return fData.moduleName; }
  QString ModuleCode() const { return fData.moduleCode; }
  int ProductNumber() const { return fData.productNumber; }
  QString ProductName() const { return fData.productName; }
  QString ProductCode() const { return fData.productCode; }
  bool Selected() const { return fSelected; }
  void SetSucceeded(bool value) { fSucceeded = value; }
  void SetSelected(bool value) { fSelected = value; }
  const TItemData& Data() const { return fData; }
  TItemData& MutableData() { return fData; }

 private:
  const TItemFile& File(int i) const;
  TItemData fData;
  bool fSucceeded = false;
  bool fSelected = true;  // the wizard unselects what the user did not tick
};

class SelectionEntry final {
 public:
  void SetModuleMask(int value) { fModuleMask = value; }
  void SetProductNumber(int value) { fProductNumber = value; }
  void SetKind(int value) { fKind = value; }
  int ModuleMask() const { return fModuleMask; }
  int ProductNumber() const { return fProductNumber; }
  int Kind() const { return fKind; }

 private:
  int fModuleMask = 0;
  int fProductNumber = 0;
  int fKind = 0;
};

// Owns its entries: Delete and the destructor free them.
class SelectionList final {
 public:
  void Add(std::unique_ptr<SelectionEntry> entry);
  void Delete(int index);
  void Clear() { fEntries.clear(); }
  int Count() const { return static_cast<int>(fEntries.size()); }
  SelectionEntry* Get(int index) const;

 private:
  std::vector<std::unique_ptr<SelectionEntry>> fEntries;
};

// Rules for names that arrive from outside: a bare file name (no '/', '\\' or control
// characters, not "", "." or "..", at most NAME_MAX bytes in UTF-8), and a relative folder (""
// or such names separated by '/', no leading '/'; one trailing '/' is allowed).
bool IsSafeFileName(const QString& name);
bool IsSafeRelativeFolder(const QString& folder);

// The packed version of a dotted text "a.b.c.d" (missing parts 0); false when malformed.
bool ParsePackedVersion(const QString& text, uint32_t& version);

// Where a backup keeps an item's files, relative to the backup folder: chart sets in
// "QMR2/<safe product code>/<safe module code>/", software as "Setups/<setup file name>".
QString BackupSourceFolder(const InstallItem& item, bool chartSet);

// Where StartDownload keeps a file of that name in folder while it arrives (and a broken-off
// download for the next attempt): a hidden name with the suffix ".cvpart", which no file of a
// file list or backup index may have (IsDownloadPartName).
QString DownloadPartPath(const QString& folder, const QString& name);
bool IsDownloadPartName(const QString& name);
// The hidden name a staged download (StartDownload with staged) takes in its folder once it is
// complete and verified, beside the file of that name: the part name of a name that no list
// may carry, so that it equals neither a listed file nor another file's part.
QString DownloadStagedName(const QString& name);

// Makes the folders of relative ("/"-separated) below base, which must exist, one by one and
// never through a link: a link in the way is refused (ceChkLinkedFolder), so that nothing is
// written outside base. base itself may be a link. 0 or an error code.
int DirCreateBelow(const QString& base, const QString& relative);

// The package service's base URL: CORVANE_SERVICE_URL, else settings root 1, key "Servers",
// value "PackageService", else the built-in default. Always ends with '/'.
QString PackageServiceURL();

class ChartCheckImpl;

class ChartCheck final {
 public:
  ChartCheck(TNavEventSource& events, const QString& productCode, uint32_t progVersion);
  ~ChartCheck();
  ChartCheck(const ChartCheck&) = delete;
  ChartCheck& operator=(const ChartCheck&) = delete;

  // Rebuilding the product records from install items (a backup's): ClearProducts, then
  // AddItemProduct for every item in order, then FinishProducts (orders them as the service
  // does: kind, group, display name). An item whose product is already there adds nothing.
  void ClearProducts();
  void AddItemProduct(const InstallItem* item);
  void FinishProducts();

  std::unique_ptr<SelectionEntry> NewSelectionEntry() const;
  std::unique_ptr<SelectionList> NewSelectionList() const;

  ProductRecord* FindProductRecord(int productNumber, int moduleMask) const;
  // An item of the backup index read last (successfully), or none.
  InstallItem* FindBackupItem(int productNumber, int moduleMask) const;

  int ProductCount() const;
  ProductRecord* Product(int index) const;
  int ItemCount() const;
  InstallItem* Item(int index) const;

  // The result of the operation finished last: 0, a service error (4 unknown e-mail address
  // or password, 5 session expired, ...) or an error code of the support library.
  int LastError() const;
  // After error 10 (too many failed sign-ins): the seconds the service asked to wait, 0 unknown.
  int RetryAfter() const;
  bool IsBusy() const;

  // The remembered e-mail address (settings root 1, key "Account", value "Email"), reported
  // only while a token for it is stored (value "Token"): only then can it sign in without a password.
  bool RememberedEmail(QString& email) const;

  // Reads the index into the install items (and the backup items of FindBackupItem).
  // On failure the install items stay as they were and no backup items are known.
  int ReadBackupIndex(const QString& path);
  // Starts reading the index at path on a thread of its own; the ReadBackupIndex of the same
  // path that follows takes what it read, as read then. For a large index while a request is
  // under way (a backup run reads it while the service checks the sign-in).
  void PrefetchBackupIndex(const QString& path);
  // Writes an index of the items that are Selected, Succeeded and processable, together
  // with the items of the index read last from the same path that they do not replace.
  // flag is kept for callers that pass it; it changes nothing.
  int WriteBackupIndex(const QString& path, bool flag = false);

  // Sign-in: remembers the credentials for the next RequestProducts, which signs in first.
  // text is "e-mail;password" (split at the first ';') or empty for the remembered pair.
  // remember stores the address and the service's token, or (false) deletes the stored pair.
  int SignIn(const QString& text, bool remember);
  // With the remembered token: only for the remembered address (letter case aside); another
  // address has no token and needs its password (ceChkNoRemembered, nothing is sent).
  int SignInEmail(const QString& email, bool remember);
  // The remembered address with a new password.
  int SignInPassword(const QString& password, bool remember);
  // As SignIn with "e-mail;password", for this object alone: the stored sign-in stays as it is.
  int SignInOnce(const QString& text);

  int RequestProducts();
  int RequestFileList(const SelectionList& selection);
  // Downloads file fileIndex of item into targetFolder (which must exist) under its name, or
  // with staged under DownloadStagedName(name): the file of that name stays as it is.
  int StartDownload(InstallItem* item, int fileIndex, const QString& targetFolder, bool staged = false);
  // Ends the running operation (a download, or a list request) at once: its event 130 follows
  // with ceChkCancelled, and a download keeps its part for the next attempt. Waits only for
  // the one disk write under way. Nothing running: 0 and no event.
  int CancelDownload();
  // The downloads of a run are over: the small files not yet synced are synced and settled on a
  // thread of the engine, and no folder of the run is held open any more (a removable medium
  // can be ejected once that is done). Not while a download runs.
  void FinishDownloads();

  // How many connections the files of a run may come over at once, 1 to 16 (1: one file after
  // the other). By default settings root 1, key "Servers", value "Connections", else 4.
  void SetConnections(int connections);
  int Connections() const;
  // Fetches a small file into memory ahead of its StartDownload, over one of those connections,
  // so that several small files are under way at once while their downloads still start, are
  // checked, written and reported one after the other. Files are announced in the order their
  // downloads will start; StartDownload then takes the file's answer (a failed fetch goes the
  // ordinary way) and drops the files announced before it. False when the file does not
  // qualify (a large file, a part of an earlier attempt, not plain http) or no room is left:
  // the files after it are then best announced only once its download started.
  bool PrefetchDownload(InstallItem* item, int fileIndex, const QString& targetFolder);
  // How many more files PrefetchDownload takes now (0 with one connection).
  int PrefetchRoom() const;

  // Another service than PackageService(); empty goes back to it.
  void SetServiceURL(const QString& url);
  QString ServiceURL() const;

 private:
  std::unique_ptr<ChartCheckImpl> fImpl;
};

std::unique_ptr<ChartCheck> QMRChartCheckCreate(TNavEventSource& events, const QString& productCode,
                                                uint32_t progVersion);

}  // namespace cvlib
