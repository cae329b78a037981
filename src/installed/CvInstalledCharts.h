#pragma once

// The installed-products model: the chart products recorded in root 3 of the settings store,
// their modules, and each module's chart, database and other files. Loaded once at creation
// (every chart file's header through the chart information cache), then changed only through
// the Add operations and RemoveModule, each of which writes the store first and changes the
// objects only after the store said yes. Errors are returned as the support library's codes,
// never raised; only the creation raises (when the chart cache cannot be saved).
// Store layout and choices: docs/installed-products.md.
//
// Ownership: a strict tree. Children are held in std::vector<std::unique_ptr<...>> in load
// order followed by what was added later; back pointers do not own. Every Find* searches from
// the last element to the first, so with look-alike entries the newest wins.
// The model belongs to one thread at a time (a Find* may bring its name index up to date).

#include "CvErrors.h"
#include "CvLib.h"

#include <QHash>
#include <QString>

#include <memory>
#include <vector>

class TInstalledCharts;
class TInstalledChartProduct;
class TInstalledChartModule;

// The model could not be created (its chart cache file cannot be written).
class EInstalledChartsError final : public ECvError {
 public:
  using ECvError::ECvError;
};

// The single bit of a module number in a 64-bit mask; 0 when the number lies outside 0..63.
quint64 ModuleBit(int moduleNumber);

// One installed file of a module.
class TInstalledFile {
 public:
  virtual ~TInstalledFile() = default;
  TInstalledFile(const TInstalledFile&) = delete;
  TInstalledFile& operator=(const TInstalledFile&) = delete;

  TInstalledChartModule* Module() const { return module_; }
  // Full path: the module's Path followed by the bare file name.
  const QString& FileName() const { return fileName_; }
  // Modification time as a date-time (days since 1899-12-30); -1.0 when none is recorded.
  double LastUpdate() const { return lastUpdate_; }

 protected:
  TInstalledFile(TInstalledChartModule* module, const QString& fileName, double lastUpdate)
      : module_(module), fileName_(fileName), lastUpdate_(lastUpdate) {}

 private:
  TInstalledChartModule* module_;
  QString fileName_;
  double lastUpdate_;
};

class TInstalledDatabase final : public TInstalledFile {
 public:
  TInstalledDatabase(TInstalledChartModule* module, const QString& fileName, double lastUpdate)
      : TInstalledFile(module, fileName, lastUpdate) {}
};

class TInstalledDependency final : public TInstalledFile {
 public:
  TInstalledDependency(TInstalledChartModule* module, const QString& fileName, double lastUpdate)
      : TInstalledFile(module, fileName, lastUpdate) {}
};

// One installed chart file with what its header says.
class TInstalledChart final : public TInstalledFile {
 public:
  // Reads the chart's information through the model's chart cache.
  TInstalledChart(TInstalledChartModule* module, const QString& fileName, double lastUpdate,
                  cvlib::TQMR2ChartCache& cache);

  // Owned by the chart cache; nullptr when InfoError is not 0.
  const cvlib::TQMR2ChartInfo* ChartInfo() const { return chartInfo_; }
  // 0 when the chart information could be read, else the chart cache's error code.
  int InfoError() const { return infoError_; }
  // From the chart's header; 0 when it could not be read.
  int ModuleNumber() const { return moduleNumber_; }
  int ProductNumber() const { return productNumber_; }
  quint64 ModuleMask() const { return moduleMask_; }

 private:
  friend class TInstalledChartModule;
  friend class TInstalledCharts;
  // A chart whose information is read later, with those of its neighbours (SetInfo).
  TInstalledChart(TInstalledChartModule* module, const QString& fileName, double lastUpdate)
      : TInstalledFile(module, fileName, lastUpdate) {}
  void SetInfo(const cvlib::TQMR2ChartInfo* info, int error);

  const cvlib::TQMR2ChartInfo* chartInfo_ = nullptr;
  int infoError_ = 0;
  int moduleNumber_ = 0;
  int productNumber_ = 0;
  quint64 moduleMask_ = 0;
};

class TInstalledChartModule final {
 public:
  TInstalledChartModule(const TInstalledChartModule&) = delete;
  TInstalledChartModule& operator=(const TInstalledChartModule&) = delete;

  TInstalledChartProduct* Product() const { return product_; }
  // The module's key name, letter case as stored.
  const QString& Code() const { return code_; }
  const QString& Name() const { return name_; }
  // The folder of the module's files with a trailing '/'; empty when none is recorded.
  const QString& Path() const { return path_; }
  bool InternetInstall() const { return internetInstall_; }
  // The module's key relative to the store root: <ProductCode>\Modules\<ModuleCode>.
  QString Key() const;

  const std::vector<std::unique_ptr<TInstalledChart>>& Charts() const { return charts_; }
  const std::vector<std::unique_ptr<TInstalledDatabase>>& Databases() const { return databases_; }
  const std::vector<std::unique_ptr<TInstalledDependency>>& Dependencies() const { return dependencies_; }

  // Copied from the first chart record; ProductNumber and ModuleMask are 0 without charts,
  // ModuleNumber then keeps its last value (0 at first).
  int ProductNumber() const { return productNumber_; }
  int ModuleNumber() const { return moduleNumber_; }
  quint64 ModuleMask() const { return moduleMask_; }

  // By full path, without regard to letter case; nullptr when none.
  TInstalledChart* FindChart(const QString& fullPath) const;
  TInstalledDatabase* FindDatabase(const QString& fullPath) const;
  TInstalledDependency* FindDependency(const QString& fullPath) const;

  // Records a file of the module by its bare name. A file already recorded is returned as it
  // is and nothing is written. Otherwise the store gets the key <Key>\Charts\<name> (Databases,
  // Dependencies) with its "LastUpdate" in one write; on an error nullptr and error != 0. A name
  // with a folder part, or empty, "." or "..", is refused (ceChartFileName).
  // AddChart also recomputes the module's and the product's numbers.
  TInstalledChart* AddChart(const QString& fileName, int& error, double lastUpdate);
  TInstalledDatabase* AddDatabase(const QString& fileName, int& error, double lastUpdate);
  TInstalledDependency* AddDependency(const QString& fileName, int& error, double lastUpdate);

 private:
  friend class TInstalledChartProduct;
  // Loads the module from key `key` of a tree read from the store. Its charts go to unread
  // too: their information and the numbers derived from it follow once the loader has read
  // them all (ComputeNumbers).
  TInstalledChartModule(TInstalledChartProduct* product, const cvlib::TRegKeyTree& tree, int key,
                        std::vector<TInstalledChart*>& unread);

  void AddLegacyCharts(std::vector<TInstalledChart*>& unread);
  void ComputeNumbers();
  int WriteFileKey(const QString& kind, const QString& fileName, double lastUpdate);

  TInstalledChartProduct* product_;
  QString code_;
  QString name_;
  QString path_;
  bool internetInstall_ = false;
  std::vector<std::unique_ptr<TInstalledChart>> charts_;
  std::vector<std::unique_ptr<TInstalledDatabase>> databases_;
  std::vector<std::unique_ptr<TInstalledDependency>> dependencies_;
  // Case-folded full path -> position of the newest record of that name, for the first
  // *Indexed_ records: brought up to date by the first Find* after records were added, so that
  // loading thousands of charts does not case-fold every name when nobody looks one up.
  mutable QHash<QString, int> chartIndex_, databaseIndex_, dependencyIndex_;
  mutable std::size_t chartsIndexed_ = 0, databasesIndexed_ = 0, dependenciesIndexed_ = 0;
  int productNumber_ = 0;
  int moduleNumber_ = 0;
  quint64 moduleMask_ = 0;
};

class TInstalledChartProduct final {
 public:
  TInstalledChartProduct(const TInstalledChartProduct&) = delete;
  TInstalledChartProduct& operator=(const TInstalledChartProduct&) = delete;

  TInstalledCharts* Owner() const { return owner_; }
  // The product's key name, letter case as stored.
  const QString& Code() const { return code_; }
  const QString& Name() const { return name_; }
  const std::vector<std::unique_ptr<TInstalledChartModule>>& Modules() const { return modules_; }
  // The first module's product number; 0 without modules.
  int ProductNumber() const { return productNumber_; }

  // Without regard to letter case; nullptr when none.
  TInstalledChartModule* FindModule(const QString& code) const;

  // Records a module. A module already recorded is returned unchanged. Otherwise the store
  // gets <Code>\Modules\<code> with "Name", "Path" and, only when internetInstall, the bool
  // "InternetInstall" = true, in that order; on the first error nullptr and error != 0 (what was
  // written stays). Then the module is loaded from the store (files already recorded under the
  // key included). An empty code or one holding '\' is refused (ceStoreBadKey).
  TInstalledChartModule* AddModule(const QString& code, const QString& name, int& error,
                                   bool internetInstall, const QString& path);

  // Deletes the module's key with its whole sub-tree, then the module with its records; files
  // on disk stay, and so does the product key. When the store refuses the delete, the module
  // stays too and the error is returned (a key that is already gone counts as deleted).
  int RemoveModule(TInstalledChartModule* module);

  // True when some module's bit (1 shifted left by its ModuleNumber) lies within mask. A module
  // whose number has no bit (outside 0..63) is within no mask.
  bool HasModuleIn(quint64 mask) const;

 private:
  friend class TInstalledCharts;
  friend class TInstalledChartModule;
  // Loads the product and its modules from key `key`; see TInstalledChartModule for unread.
  TInstalledChartProduct(TInstalledCharts* owner, const cvlib::TRegKeyTree& tree, int key,
                         std::vector<TInstalledChart*>& unread);
  void ComputeNumber();
  // Every module's numbers, then the product's.
  void ComputeNumbers();

  TInstalledCharts* owner_;
  QString code_;
  QString name_;
  std::vector<std::unique_ptr<TInstalledChartModule>> modules_;
  int productNumber_ = 0;
};

class TInstalledCharts final {
 public:
  // Creates the chart cache on chartCacheFile (for the program's own version), loads every
  // product from the store, then saves the chart cache. Raises EInstalledChartsError when the
  // cache cannot be saved. A store that cannot be read gives an empty model and LoadError().
  explicit TInstalledCharts(const QString& chartCacheFile);
  // Frees the products, then saves the chart cache (an error is ignored).
  ~TInstalledCharts();

  TInstalledCharts(const TInstalledCharts&) = delete;
  TInstalledCharts& operator=(const TInstalledCharts&) = delete;

  const QString& ChartCacheFile() const { return chartCacheFile_; }
  cvlib::TQMR2ChartCache& ChartCache() const { return *chartCache_; }
  const std::vector<std::unique_ptr<TInstalledChartProduct>>& Products() const { return products_; }

  // The store error met while loading, 0 when the store was read whole.
  int LoadError() const { return loadError_; }
  // The product code of the legacy completion (settings root 1, "Settings",
  // "LegacyChartProduct"); empty: none.
  const QString& LegacyProductCode() const { return legacyProductCode_; }

  // Without regard to letter case; nullptr when none.
  TInstalledChartProduct* FindProduct(const QString& code) const;
  // The last product with exactly that ProductNumber; nullptr when none.
  TInstalledChartProduct* FindProductByNumber(int number) const;

  // Records a product. A product already recorded is returned unchanged (its name is not
  // rewritten). Otherwise the store gets the key <code> and its "Name"; on an error nullptr and
  // error != 0. Then the product is loaded from the store (modules already under the key
  // included). An empty code or one holding '\' is refused (ceStoreBadKey).
  TInstalledChartProduct* AddProduct(const QString& code, const QString& name, int& error);

 private:
  friend class TInstalledChartProduct;
  // Reads the information of charts made without it, all in one go through the chart cache.
  void ReadChartInfos(const std::vector<TInstalledChart*>& charts);

  QString chartCacheFile_;
  std::unique_ptr<cvlib::TQMR2ChartCache> chartCache_;
  std::vector<std::unique_ptr<TInstalledChartProduct>> products_;
  QString legacyProductCode_;
  int loadError_ = 0;
};
