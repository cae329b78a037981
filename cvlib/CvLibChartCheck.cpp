// The chart-check engine: names from outside, install items, and the object the program holds,
// which runs one operation at a time over its parts (CvLibChartCheckParts.h) and posts the events.
#include "CvLibChartCheck.h"
#include "CvLibChartCheckParts.h"
#include "CvLibChartCheckTesting.h"
#include "CvLibNetEntries.h"

#include "CvLibErrors.h"
#include "CvLibProcess.h"
#include "CvLibRegistry.h"
#include "CvLibStrings.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <tuple>

namespace cvlib {

namespace {

constexpr char kDefaultServiceURL[] = "https://account.corvane.com/";
const QString kAccountKey = QStringLiteral("Account");
const QString kEmailValue = QStringLiteral("Email");
const QString kTokenValue = QStringLiteral("Token");

}  // namespace

namespace detail {

// A service that stops answering fails the request (or download) after this long without any
// data, so the wizard is never left waiting for good.
int& RequestTimeoutMs() {
  static int ms = 60000;
  return ms;
}

std::function<void()>& DownloadWriteHook() {
  static std::function<void()> hook;
  return hook;
}

bool IsHex64(const QString& text) {
  if (text.size() != 64) return false;
  for (QChar c : text)
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) return false;
  return true;
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// Names, versions, folders

bool IsSafeFileName(const QString& name) {
  if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  // A name the file system cannot hold, or one that would not come back as the same text.
  if (!name.isValidUtf16() || QFile::encodeName(name).size() > NAME_MAX) return false;
  for (QChar c : name)
    if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control) return false;
  return true;
}

bool IsSafeRelativeFolder(const QString& folder) {
  if (folder.isEmpty()) return true;
  QString f = folder;
  if (f.endsWith(u'/')) f.chop(1);
  if (f.isEmpty()) return false;  // "/" alone is the root
  for (const QString& part : f.split(u'/'))
    if (!IsSafeFileName(part)) return false;
  return true;
}

bool ParsePackedVersion(const QString& text, uint32_t& version) {
  version = 0;
  if (text.isEmpty()) return true;
  const QStringList parts = text.split(u'.');
  if (parts.size() > 4) return false;
  for (int i = 0; i < 4; ++i) {
    unsigned n = 0;
    if (i < parts.size()) {
      bool ok = false;
      n = parts[i].toUInt(&ok);
      if (!ok || n > 255) return false;
    }
    version = version << 8 | n;
  }
  return true;
}

QString Xxh3Text(std::uint64_t digest) { return QStringLiteral("%1").arg(digest, 16, 16, QLatin1Char('0')); }

QString BackupSourceFolder(const InstallItem& item, bool chartSet) {
  if (chartSet)
    return QStringLiteral("QMR2/%1/%2/").arg(_FileNameReplaceInvalidChars(item.ProductCode()),
                                             _FileNameReplaceInvalidChars(item.ModuleCode()));
  if (item.FileCount() == 0) return {};
  return QStringLiteral("Setups/") + item.FileName(0);
}

namespace detail {

NetService::~NetService() = default;
NetDownloads::~NetDownloads() = default;

QString ServiceBaseURL(const QString& url) {
  if (url.isEmpty()) return PackageServiceURL();
  return url.endsWith(u'/') ? url : url + u'/';
}

}  // namespace detail

QString PackageServiceURL() {
  QString url = qEnvironmentVariable("CORVANE_SERVICE_URL");
  if (url.isEmpty())
    url = GetAppReg().ReadString(rrSettings, QStringLiteral("Servers"), QStringLiteral("PackageService"));
  if (url.isEmpty()) url = QString::fromLatin1(kDefaultServiceURL);
  if (!url.endsWith(u'/')) url += u'/';
  return url;
}

// ---------------------------------------------------------------------------------------
// Items and lists

const TItemFile& InstallItem::File(int i) const {
  static const TItemFile none;
  if (i < 0 || i >= FileCount()) return none;
  return fData.files[static_cast<size_t>(i)];
}

bool InstallItem::ContainsFile(const QString& bareName) const {
  return std::any_of(fData.files.begin(), fData.files.end(),
                     [&](const TItemFile& f) { return f.name == bareName; });
}

void SelectionList::Add(std::unique_ptr<SelectionEntry> entry) {
  if (entry) fEntries.push_back(std::move(entry));
}

void SelectionList::Delete(int index) {
  if (index >= 0 && index < Count()) fEntries.erase(fEntries.begin() + index);
}

SelectionEntry* SelectionList::Get(int index) const {
  return index >= 0 && index < Count() ? fEntries[static_cast<size_t>(index)].get() : nullptr;
}

// ---------------------------------------------------------------------------------------
// The engine's lists

namespace detail {

ProductRecord* EngineLists::Product(int index) const {
  return index >= 0 && index < ProductCount() ? fProducts[static_cast<size_t>(index)].get() : nullptr;
}

ProductRecord* EngineLists::FindProduct(int number, int mask) const {
  for (const auto& p : fProducts)
    if (p->ProductNumber() == number && p->ModuleMask() == mask) return p.get();
  return nullptr;
}

void EngineLists::SortProducts() {
  std::stable_sort(fProducts.begin(), fProducts.end(), [](const auto& a, const auto& b) {
    return std::tuple(a->Kind(), a->Group()) < std::tuple(b->Kind(), b->Group()) ||
           (std::tuple(a->Kind(), a->Group()) == std::tuple(b->Kind(), b->Group()) &&
            QString::compare(a->DisplayName(), b->DisplayName(), Qt::CaseInsensitive) < 0);
  });
}

InstallItem* EngineLists::Item(int index) const {
  return index >= 0 && index < ItemCount() ? fItems[static_cast<size_t>(index)].get() : nullptr;
}

bool EngineLists::IsChartSet(const InstallItem& item) const {
  if (const ProductRecord* p = FindProduct(item.ProductNumber(), item.ModuleMask())) return p->Kind() == pkChartSet;
  if (item.Data().hasProduct) return item.Data().product.kind == pkChartSet;
  return F12(item.ProductNumber());
}

QStringList EngineLists::LayoutFolders(const InstallItem& item, const TItemFile& file) const {
  QStringList names = IsChartSet(item) ? QStringList{QStringLiteral("QMR2"), _FileNameReplaceInvalidChars(item.ProductCode()),
                                                     _FileNameReplaceInvalidChars(item.ModuleCode())}
                                       : QStringList{QStringLiteral("Setups")};
  if (file.addOn) names << QStringLiteral("Addons%1").arg(item.ProductNumber());
  return names;
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// The engine

class ChartCheckImpl final {
 public:
  ChartCheckImpl(TNavEventSource& events, const QString& productCode, uint32_t version)
      : fEvents(events),
        fEventsAlive(events.Lifetime()),
        fProductCode(productCode),
        fVersion(version),
        fConnections(std::clamp(
            GetAppReg().ReadInteger(rrSettings, QStringLiteral("Servers"), QStringLiteral("Connections"), 4), 1,
            detail::kMaxConnections)) {}

  ~ChartCheckImpl() {
    if (fDownloads) fDownloads->Cancel();
    if (fService) fService->Abort();
    fDownloads.reset();  // uses fService
    if (EventsAlive()) fEvents.Withdraw(this);
  }

  // The service's client and the downloader, made at the first use of either: until then the
  // network module is not loaded. nullptr when it cannot be (ceChkNoNetwork).
  detail::NetService* Service() {
    if (!fService) {
      const detail::NetEntries* net = detail::Net();
      if (!net) return nullptr;
      fService = net->newService(fProductCode, fVersion);
      fService->SetURL(fServiceURL);
      fDownloads = net->newDownloads(
          *fService, [this](qint64 bytes) { Post({necDownloadProgress, static_cast<double>(bytes)}); },
          [this](int error) { Finish(error); });
      fDownloads->SetConnections(fConnections);
    }
    return fService.get();
  }
  detail::NetDownloads* Downloads() { return Service() ? fDownloads.get() : nullptr; }

  detail::EngineLists& Lists() { return fLists; }
  const detail::EngineLists& Lists() const { return fLists; }
  const detail::BackupIndexMerge& Backup() const { return fBackup; }
  int LastError() const { return fLastError; }
  bool IsBusy() const { return fBusy; }
  int RetryAfter() const { return fService ? fService->RetryAfter() : 0; }

  void SetServiceURL(const QString& url) {
    fServiceURL = url;
    if (fService) fService->SetURL(url);
  }
  QString ServiceURL() const { return detail::ServiceBaseURL(fServiceURL); }

  void SetConnections(int connections) {
    fConnections = std::clamp(connections, 1, detail::kMaxConnections);
    if (fDownloads) fDownloads->SetConnections(fConnections);
  }
  int Connections() const { return fConnections; }
  int PrefetchRoom() {
    if (fConnections < 2) return 0;
    detail::NetDownloads* downloads = Downloads();
    return downloads ? downloads->PrefetchRoom() : 0;
  }

  int PrepareSignIn(const detail::PendingSignIn& signIn) {
    detail::NetService* service = Service();
    return service ? service->PrepareSignIn(signIn) : ceChkNoNetwork;
  }
  void MarkSignInOnce() {
    if (detail::NetService* service = Service()) service->MarkSignInOnce();
  }

  int RequestProducts() {
    if (fBusy) return ceChkBusy;
    fBusy = true;
    detail::NetService* service = Service();
    if (!service) return Started(ceChkNoNetwork);
    return Started(service->RequestProducts(fLists, [this](int error) { Finish(error); }));
  }

  int RequestFileList(const SelectionList& selection) {
    if (fBusy) return ceChkBusy;
    fBusy = true;
    detail::NetService* service = Service();
    if (!service) return Started(ceChkNoNetwork);
    return Started(service->RequestFileList(selection, fLists, fBackup.Items(), [this](int error) { Finish(error); }));
  }

  int StartDownload(InstallItem* item, int fileIndex, const QString& folder, bool staged) {
    if (fBusy) return ceChkBusy;
    fBusy = true;
    if (!OwnsItem(item) || fileIndex < 0 || fileIndex >= item->FileCount()) return Started(ceChkBadArgument);
    detail::NetDownloads* downloads = Downloads();
    if (!downloads) return Started(ceChkNoNetwork);
    const TItemFile& file = item->Data().files[static_cast<size_t>(fileIndex)];
    return Started(downloads->Start(item, fileIndex, folder, fLists.LayoutFolders(*item, file), staged));
  }

  void FinishDownloads() {
    if (!fBusy && fDownloads) fDownloads->Finish();
  }

  bool PrefetchDownload(InstallItem* item, int fileIndex, const QString& folder) {
    if (!OwnsItem(item)) return false;
    detail::NetDownloads* downloads = Downloads();
    return downloads && downloads->Prefetch(item, fileIndex, folder);
  }

  int CancelDownload() {
    if (!fBusy) return ceOK;
    if (fDownloads) fDownloads->Cancel();
    if (fService) fService->Abort();
    Finish(ceChkCancelled);
    return ceOK;
  }

  int ReadBackupIndex(const QString& path) {
    std::vector<std::shared_ptr<InstallItem>> items = fLists.Items();
    const int error = fBackup.Read(path, items);
    if (!error) fLists.SetItems(std::move(items));
    return error;
  }

  void PrefetchBackupIndex(const QString& path) { fBackup.Prefetch(path); }

  int WriteBackupIndex(const QString& path) const { return fBackup.Write(path, fLists); }

 private:
  // Also false while the source's last delivery unwinds after a callback deleted it.
  bool EventsAlive() const {
    const std::shared_ptr<const bool> alive = fEventsAlive.lock();
    return alive && *alive;
  }

  void Post(const TNavEvent& event) {
    if (EventsAlive()) fEvents.Post(event, this);
  }

  void Finish(int error) {
    fLastError = error;
    fBusy = false;
    Post({necOperationDone, 0});
  }

  // A start that failed at once still ends with its event 130.
  int Started(int error) {
    if (error) Finish(error);
    return error;
  }

  bool OwnsItem(const InstallItem* item) const {
    auto has = [item](const std::vector<std::shared_ptr<InstallItem>>& list) {
      return std::any_of(list.begin(), list.end(), [item](const auto& p) { return p.get() == item; });
    };
    return item && (has(fLists.Items()) || has(fBackup.Items()));
  }

  TNavEventSource& fEvents;
  std::weak_ptr<const bool> fEventsAlive;  // the environment may be deleted first
  QString fProductCode;
  uint32_t fVersion;
  QString fServiceURL;  // empty: PackageServiceURL()
  int fConnections;
  detail::EngineLists fLists;
  detail::BackupIndexMerge fBackup;
  std::unique_ptr<detail::NetService> fService;
  std::unique_ptr<detail::NetDownloads> fDownloads;  // after fService, which it uses
  int fLastError = 0;
  bool fBusy = false;
};

ChartCheck::ChartCheck(TNavEventSource& events, const QString& productCode, uint32_t progVersion)
    : fImpl(std::make_unique<ChartCheckImpl>(events, productCode, progVersion)) {}

ChartCheck::~ChartCheck() = default;

void ChartCheck::ClearProducts() { fImpl->Lists().ClearProducts(); }

void ChartCheck::AddItemProduct(const InstallItem* item) {
  if (!item || fImpl->Lists().FindProduct(item->ProductNumber(), item->ModuleMask())) return;
  TProductData p;
  if (item->Data().hasProduct) {
    p = item->Data().product;
  } else {
    // An index without records: what the item itself tells.
    const bool chart = F12(item->ProductNumber());
    p.productNumber = item->ProductNumber();
    p.kind = chart ? pkChartSet : pkProgram;
    p.displayName = item->ProductName();
    p.itemTitle = chart ? item->ModuleName() : QString();
    p.installFolder = item->InstallFolder();
    p.checked = true;
    for (int i = 0; i < item->FileCount(); ++i) p.size += item->FileSize(i);
  }
  p.productNumber = item->ProductNumber();
  p.moduleMask = item->ModuleMask();
  p.revision = item->Revision();
  fImpl->Lists().AddProduct(std::make_unique<ProductRecord>(p));
}

void ChartCheck::FinishProducts() { fImpl->Lists().SortProducts(); }

std::unique_ptr<SelectionEntry> ChartCheck::NewSelectionEntry() const {
  return std::make_unique<SelectionEntry>();
}

std::unique_ptr<SelectionList> ChartCheck::NewSelectionList() const { return std::make_unique<SelectionList>(); }

ProductRecord* ChartCheck::FindProductRecord(int productNumber, int moduleMask) const {
  return fImpl->Lists().FindProduct(productNumber, moduleMask);
}

InstallItem* ChartCheck::FindBackupItem(int productNumber, int moduleMask) const {
  return fImpl->Backup().Find(productNumber, moduleMask);
}

int ChartCheck::ProductCount() const { return fImpl->Lists().ProductCount(); }

ProductRecord* ChartCheck::Product(int index) const { return fImpl->Lists().Product(index); }

int ChartCheck::ItemCount() const { return fImpl->Lists().ItemCount(); }

InstallItem* ChartCheck::Item(int index) const { return fImpl->Lists().Item(index); }

int ChartCheck::LastError() const { return fImpl->LastError(); }
int ChartCheck::RetryAfter() const { return fImpl->RetryAfter(); }

bool ChartCheck::IsBusy() const { return fImpl->IsBusy(); }

namespace {

// The stored sign-in: an address and its token, or nothing.
bool ReadRemembered(QString& email, QString& token) {
  email = GetAppReg().ReadString(rrSettings, kAccountKey, kEmailValue);
  token = GetAppReg().ReadString(rrSettings, kAccountKey, kTokenValue);
  if (email.isEmpty() || token.isEmpty()) {
    email.clear();
    token.clear();
    return false;
  }
  return true;
}

}  // namespace

bool ChartCheck::RememberedEmail(QString& email) const {
  QString token;
  return ReadRemembered(email, token);
}

int ChartCheck::ReadBackupIndex(const QString& path) { return fImpl->ReadBackupIndex(path); }

void ChartCheck::PrefetchBackupIndex(const QString& path) { fImpl->PrefetchBackupIndex(path); }

int ChartCheck::WriteBackupIndex(const QString& path, bool /*flag*/) { return fImpl->WriteBackupIndex(path); }

int ChartCheck::SignIn(const QString& text, bool remember) {
  detail::PendingSignIn s;
  s.remember = remember;
  if (text.isEmpty()) {
    if (!ReadRemembered(s.email, s.token)) s.error = ceChkNoRemembered;
  } else {
    const qsizetype semicolon = text.indexOf(u';');
    if (semicolon < 0) {
      s.error = ceChkBadArgument;
    } else {
      s.email = text.left(semicolon).trimmed();
      s.password = text.mid(semicolon + 1);
    }
  }
  return fImpl->PrepareSignIn(s);
}

int ChartCheck::SignInEmail(const QString& email, bool remember) {
  detail::PendingSignIn s;
  s.remember = remember;
  // The token belongs to the stored address: for another one it could only be refused.
  if (!ReadRemembered(s.email, s.token) || s.email.compare(email.trimmed(), Qt::CaseInsensitive) != 0) {
    s.email = email.trimmed();
    s.token.clear();
    s.error = ceChkNoRemembered;
  }
  return fImpl->PrepareSignIn(s);
}

int ChartCheck::SignInPassword(const QString& password, bool remember) {
  detail::PendingSignIn s;
  s.remember = remember;
  QString token;
  if (!ReadRemembered(s.email, token)) s.error = ceChkNoRemembered;
  s.password = password;
  return fImpl->PrepareSignIn(s);
}

int ChartCheck::SignInOnce(const QString& text) {
  // Only with a password: a token used without "remember" is forgotten by the service too.
  const int error = SignIn(text.isEmpty() ? QStringLiteral(";") : text, false);
  fImpl->MarkSignInOnce();
  return error;
}

int ChartCheck::RequestProducts() { return fImpl->RequestProducts(); }

int ChartCheck::RequestFileList(const SelectionList& selection) { return fImpl->RequestFileList(selection); }

int ChartCheck::StartDownload(InstallItem* item, int fileIndex, const QString& targetFolder, bool staged) {
  return fImpl->StartDownload(item, fileIndex, targetFolder, staged);
}

int ChartCheck::CancelDownload() { return fImpl->CancelDownload(); }

void ChartCheck::FinishDownloads() { fImpl->FinishDownloads(); }

void ChartCheck::SetConnections(int connections) { fImpl->SetConnections(connections); }

int ChartCheck::Connections() const { return fImpl->Connections(); }

bool ChartCheck::PrefetchDownload(InstallItem* item, int fileIndex, const QString& targetFolder) {
  return fImpl->PrefetchDownload(item, fileIndex, targetFolder);
}

int ChartCheck::PrefetchRoom() const { return fImpl->PrefetchRoom(); }

void ChartCheck::SetServiceURL(const QString& url) { fImpl->SetServiceURL(url); }

QString ChartCheck::ServiceURL() const { return fImpl->ServiceURL(); }

std::unique_ptr<ChartCheck> QMRChartCheckCreate(TNavEventSource& events, const QString& productCode,
                                                uint32_t progVersion) {
  return std::make_unique<ChartCheck>(events, productCode, progVersion);
}

}  // namespace cvlib

namespace cvlib::testing {

void SetDownloadWriteHook(std::function<void()> hook) { detail::DownloadWriteHook() = std::move(hook); }

void SetRequestTimeout(int ms) { detail::RequestTimeoutMs() = ms; }

}  // namespace cvlib::testing
