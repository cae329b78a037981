#include "CvInstalledCharts.h"

#include <QHash>

#include <algorithm>

namespace {

const QString kModules = QStringLiteral("Modules");
const QString kCharts = QStringLiteral("Charts");
const QString kDatabases = QStringLiteral("Databases");
const QString kDependencies = QStringLiteral("Dependencies");
const QString kName = QStringLiteral("Name");
const QString kPath = QStringLiteral("Path");
const QString kInternetInstall = QStringLiteral("InternetInstall");
const QString kLastUpdate = QStringLiteral("LastUpdate");

constexpr double kNoLastUpdate = -1.0;

// Chart numbers of the legacy product's module "A" that its setups never recorded.
constexpr int kLegacyChartNumbers[] = {2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 29, 30};

// Letter case is ignored the way the store ignores it, so that the model and the store agree
// on which names are the same.
bool SameName(const QString& a, const QString& b) { return a == b || a.toCaseFolded() == b.toCaseFolded(); }

// A key name of our own making: one part of a store key, never the root.
bool ValidCode(const QString& code) { return !code.isEmpty() && !code.contains(QLatin1Char('\\')); }

// A bare file name: it becomes both a store key name and a file in the module's folder.
bool ValidFileName(const QString& name) {
  return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
         !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// The sub-keys of key\name; none when it is missing.
const std::vector<int>& SubKeysOf(const cvlib::TRegKeyTree& tree, int key, const QString& name) {
  static const std::vector<int> kNone;
  const int found = tree.FindKey(key, name);
  return found < 0 ? kNone : tree.SubKeys(found);
}

QString ModulePath(const QString& stored) {
  const QString path = stored.trimmed();
  if (path.isEmpty() || path.endsWith(QLatin1Char('/'))) return path;
  return path + QLatin1Char('/');
}

// Records are found through an index by the case-folded full path, which keeps the newest
// record of a name: a chart set of 20,000 files would otherwise compare each new name with
// every name before it. The records added since the last look-up join the index first.
template <class T>
T* FindFile(const std::vector<std::unique_ptr<T>>& files, QHash<QString, int>& index, std::size_t& indexed,
            const QString& fullPath) {
  for (; indexed < files.size(); ++indexed)
    index.insert(files[indexed]->FileName().toCaseFolded(), static_cast<int>(indexed));
  const auto it = index.constFind(fullPath.toCaseFolded());
  return it == index.cend() ? nullptr : files[static_cast<std::size_t>(*it)].get();
}

}  // namespace

quint64 ModuleBit(int moduleNumber) {
  return moduleNumber >= 0 && moduleNumber < 64 ? quint64{1} << moduleNumber : 0;
}

// ---- TInstalledChart ---------------------------------------------------------------------

TInstalledChart::TInstalledChart(TInstalledChartModule* module, const QString& fileName, double lastUpdate,
                                 cvlib::TQMR2ChartCache& cache)
    : TInstalledFile(module, fileName, lastUpdate) {
  int error = 0;
  const cvlib::TQMR2ChartInfo* info = cache.GetChartInfo(fileName, error);
  SetInfo(info, error);
}

void TInstalledChart::SetInfo(const cvlib::TQMR2ChartInfo* info, int error) {
  infoError_ = error;
  // The cache's header object is a plain value: once the cache handed it out its fields can
  // always be read.
  if (infoError_ != 0 || !info) {
    chartInfo_ = nullptr;
    return;
  }
  chartInfo_ = info;
  moduleNumber_ = chartInfo_->Header().ModuleNumber();
  productNumber_ = chartInfo_->Header().ProductNumber();
  moduleMask_ = ModuleBit(moduleNumber_);
}

// ---- TInstalledChartModule ---------------------------------------------------------------

TInstalledChartModule::TInstalledChartModule(TInstalledChartProduct* product, const cvlib::TRegKeyTree& tree,
                                             int key, std::vector<TInstalledChart*>& unread)
    : product_(product),
      code_(tree.KeyName(key)),
      name_(tree.ReadString(key, kName).trimmed()),
      path_(ModulePath(tree.ReadString(key, kPath))),
      internetInstall_(tree.ReadBool(key, kInternetInstall, false)) {
  const std::vector<int>& charts = SubKeysOf(tree, key, kCharts);
  charts_.reserve(charts.size());
  for (int file : charts) {
    charts_.push_back(std::unique_ptr<TInstalledChart>(
        new TInstalledChart(this, path_ + tree.KeyName(file), tree.ReadFloat(file, kLastUpdate, kNoLastUpdate))));
    unread.push_back(charts_.back().get());
  }
  AddLegacyCharts(unread);
  for (int file : SubKeysOf(tree, key, kDependencies)) {
    dependencies_.push_back(std::make_unique<TInstalledDependency>(this, path_ + tree.KeyName(file),
                                                                   tree.ReadFloat(file, kLastUpdate, kNoLastUpdate)));
  }
  for (int file : SubKeysOf(tree, key, kDatabases)) {
    databases_.push_back(std::make_unique<TInstalledDatabase>(this, path_ + tree.KeyName(file),
                                                              tree.ReadFloat(file, kLastUpdate, kNoLastUpdate)));
  }
}

QString TInstalledChartModule::Key() const { return product_->Code() + QLatin1Char('\\') + kModules + QLatin1Char('\\') + code_; }

void TInstalledChartModule::AddLegacyCharts(std::vector<TInstalledChart*>& unread) {
  const QString& legacy = product_->Owner()->LegacyProductCode();
  if (legacy.isEmpty() || !SameName(product_->Code(), legacy) || !SameName(code_, QStringLiteral("A"))) return;
  for (int number : kLegacyChartNumbers) {
    const QString fileName =
        path_ + legacy + QStringLiteral(" - A - %1.qmr2").arg(number, 2, 10, QLatin1Char('0'));
    if (FindChart(fileName)) continue;
    charts_.push_back(std::unique_ptr<TInstalledChart>(new TInstalledChart(this, fileName, kNoLastUpdate)));
    unread.push_back(charts_.back().get());
  }
}

void TInstalledChartModule::ComputeNumbers() {
  if (charts_.empty()) {
    productNumber_ = 0;
    moduleMask_ = 0;
    return;
  }
  const TInstalledChart& first = *charts_.front();
  productNumber_ = first.ProductNumber();
  moduleMask_ = first.ModuleMask();
  moduleNumber_ = first.ModuleNumber();
}

TInstalledChart* TInstalledChartModule::FindChart(const QString& fullPath) const {
  return FindFile(charts_, chartIndex_, chartsIndexed_, fullPath);
}

TInstalledDatabase* TInstalledChartModule::FindDatabase(const QString& fullPath) const {
  return FindFile(databases_, databaseIndex_, databasesIndexed_, fullPath);
}

TInstalledDependency* TInstalledChartModule::FindDependency(const QString& fullPath) const {
  return FindFile(dependencies_, dependencyIndex_, dependenciesIndexed_, fullPath);
}

int TInstalledChartModule::WriteFileKey(const QString& kind, const QString& fileName, double lastUpdate) {
  if (!ValidFileName(fileName)) return cvlib::ceChartFileName;
  const QString key = Key() + QLatin1Char('\\') + kind + QLatin1Char('\\') + fileName;
  // The write makes the key and its value in one transaction: a chart set records thousands
  // of files, each commit waits for the disk, and a key without its value is never seen.
  return GetAppReg().WriteFloat(rrProducts, key, kLastUpdate, lastUpdate);
}

TInstalledChart* TInstalledChartModule::AddChart(const QString& fileName, int& error, double lastUpdate) {
  error = 0;
  if (TInstalledChart* found = ValidFileName(fileName) ? FindChart(path_ + fileName) : nullptr) return found;
  error = WriteFileKey(kCharts, fileName, lastUpdate);
  if (error) return nullptr;
  charts_.push_back(
      std::make_unique<TInstalledChart>(this, path_ + fileName, lastUpdate, product_->Owner()->ChartCache()));
  ComputeNumbers();
  product_->ComputeNumber();
  return charts_.back().get();
}

TInstalledDatabase* TInstalledChartModule::AddDatabase(const QString& fileName, int& error, double lastUpdate) {
  error = 0;
  if (TInstalledDatabase* found = ValidFileName(fileName) ? FindDatabase(path_ + fileName) : nullptr) return found;
  error = WriteFileKey(kDatabases, fileName, lastUpdate);
  if (error) return nullptr;
  databases_.push_back(std::make_unique<TInstalledDatabase>(this, path_ + fileName, lastUpdate));
  return databases_.back().get();
}

TInstalledDependency* TInstalledChartModule::AddDependency(const QString& fileName, int& error, double lastUpdate) {
  error = 0;
  if (TInstalledDependency* found = ValidFileName(fileName) ? FindDependency(path_ + fileName) : nullptr)
    return found;
  error = WriteFileKey(kDependencies, fileName, lastUpdate);
  if (error) return nullptr;
  dependencies_.push_back(std::make_unique<TInstalledDependency>(this, path_ + fileName, lastUpdate));
  return dependencies_.back().get();
}

// ---- TInstalledChartProduct --------------------------------------------------------------

TInstalledChartProduct::TInstalledChartProduct(TInstalledCharts* owner, const cvlib::TRegKeyTree& tree, int key,
                                               std::vector<TInstalledChart*>& unread)
    : owner_(owner), code_(tree.KeyName(key)), name_(tree.ReadString(key, kName).trimmed()) {
  for (int module : SubKeysOf(tree, key, kModules))
    modules_.push_back(std::unique_ptr<TInstalledChartModule>(new TInstalledChartModule(this, tree, module, unread)));
}

void TInstalledChartProduct::ComputeNumber() { productNumber_ = modules_.empty() ? 0 : modules_.front()->ProductNumber(); }

void TInstalledChartProduct::ComputeNumbers() {
  for (const auto& module : modules_) module->ComputeNumbers();
  ComputeNumber();
}

TInstalledChartModule* TInstalledChartProduct::FindModule(const QString& code) const {
  for (auto it = modules_.rbegin(); it != modules_.rend(); ++it)
    if (SameName((*it)->Code(), code)) return it->get();
  return nullptr;
}

TInstalledChartModule* TInstalledChartProduct::AddModule(const QString& code, const QString& name, int& error,
                                                         bool internetInstall, const QString& path) {
  error = 0;
  if (TInstalledChartModule* found = FindModule(code)) return found;
  if (!ValidCode(code)) {
    error = cvlib::ceStoreBadKey;
    return nullptr;
  }
  const QString key = code_ + QLatin1Char('\\') + kModules + QLatin1Char('\\') + code;
  TAppReg& reg = GetAppReg();
  error = reg.CreateKey(rrProducts, key);
  if (!error) error = reg.WriteString(rrProducts, key, kName, name);
  if (!error) error = reg.WriteString(rrProducts, key, kPath, path);
  if (!error && internetInstall) error = reg.WriteBool(rrProducts, key, kInternetInstall, true);
  cvlib::TRegKeyTree tree;
  if (!error) error = reg.GetKeyTree(rrProducts, key, tree);
  if (!error && tree.IsEmpty()) error = cvlib::ceStoreNoKey;  // deleted by someone else meanwhile
  if (error) return nullptr;
  std::vector<TInstalledChart*> unread;
  modules_.push_back(std::unique_ptr<TInstalledChartModule>(new TInstalledChartModule(this, tree, 0, unread)));
  owner_->ReadChartInfos(unread);
  modules_.back()->ComputeNumbers();
  ComputeNumber();
  return modules_.back().get();
}

int TInstalledChartProduct::RemoveModule(TInstalledChartModule* module) {
  auto it = std::find_if(modules_.begin(), modules_.end(), [module](const auto& m) { return m.get() == module; });
  if (it == modules_.end()) return 0;
  const int error = GetAppReg().DeleteKey(rrProducts, module->Key());
  // Keeping the module when its key stays keeps the model telling what the store holds.
  if (error && error != cvlib::ceStoreNoKey) return error;
  modules_.erase(it);
  ComputeNumber();
  return 0;
}

bool TInstalledChartProduct::HasModuleIn(quint64 mask) const {
  for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
    const quint64 bit = ModuleBit((*it)->ModuleNumber());
    if (bit != 0 && (mask & bit) == bit) return true;
  }
  return false;
}

// ---- TInstalledCharts --------------------------------------------------------------------

TInstalledCharts::TInstalledCharts(const QString& chartCacheFile)
    : chartCacheFile_(chartCacheFile), chartCache_(cvlib::QMR2ChartCacheCreate(chartCacheFile, GetProgInfo().Version)) {
  TAppReg& reg = GetAppReg();
  legacyProductCode_ = reg.ReadString(rrSettings, QStringLiteral("Settings"), QStringLiteral("LegacyChartProduct")).trimmed();
  // The whole store in one read: thousands of charts would otherwise cost a transaction each.
  cvlib::TRegKeyTree tree;
  loadError_ = reg.GetKeyTree(rrProducts, QString(), tree);
  if (!tree.IsEmpty()) {
    // The objects first, then every chart's information in one go, then what derives from it.
    std::vector<TInstalledChart*> unread;
    for (int product : tree.SubKeys(0))
      products_.push_back(
          std::unique_ptr<TInstalledChartProduct>(new TInstalledChartProduct(this, tree, product, unread)));
    ReadChartInfos(unread);
    for (const auto& product : products_) product->ComputeNumbers();
  }
  if (const int error = chartCache_->SaveCache()) {
    throw EInstalledChartsError(ErrorToStr(error) + QStringLiteral(" (") + QStringLiteral("Saving chart cache file: ") +
                                chartCacheFile_ + QStringLiteral(")"));
  }
}

TInstalledCharts::~TInstalledCharts() {
  products_.clear();
  chartCache_->SaveCache();
}

TInstalledChartProduct* TInstalledCharts::FindProduct(const QString& code) const {
  for (auto it = products_.rbegin(); it != products_.rend(); ++it)
    if (SameName((*it)->Code(), code)) return it->get();
  return nullptr;
}

TInstalledChartProduct* TInstalledCharts::FindProductByNumber(int number) const {
  for (auto it = products_.rbegin(); it != products_.rend(); ++it)
    if ((*it)->ProductNumber() == number) return it->get();
  return nullptr;
}

TInstalledChartProduct* TInstalledCharts::AddProduct(const QString& code, const QString& name, int& error) {
  error = 0;
  if (TInstalledChartProduct* found = FindProduct(code)) return found;
  if (!ValidCode(code)) {
    error = cvlib::ceStoreBadKey;
    return nullptr;
  }
  TAppReg& reg = GetAppReg();
  error = reg.CreateKey(rrProducts, code);
  if (!error) error = reg.WriteString(rrProducts, code, kName, name);
  cvlib::TRegKeyTree tree;
  if (!error) error = reg.GetKeyTree(rrProducts, code, tree);
  if (!error && tree.IsEmpty()) error = cvlib::ceStoreNoKey;  // deleted by someone else meanwhile
  if (error) return nullptr;
  std::vector<TInstalledChart*> unread;
  products_.push_back(std::unique_ptr<TInstalledChartProduct>(new TInstalledChartProduct(this, tree, 0, unread)));
  ReadChartInfos(unread);
  products_.back()->ComputeNumbers();
  return products_.back().get();
}

void TInstalledCharts::ReadChartInfos(const std::vector<TInstalledChart*>& charts) {
  if (charts.empty()) return;
  std::vector<QString> paths;
  paths.reserve(charts.size());
  for (const TInstalledChart* chart : charts) paths.push_back(chart->FileName());
  std::vector<cvlib::TQMR2ChartInfo*> infos;
  std::vector<int> errors;
  chartCache_->GetChartInfos(paths, infos, errors);
  for (std::size_t i = 0; i < charts.size(); ++i) charts[i]->SetInfo(infos[i], errors[i]);
}
