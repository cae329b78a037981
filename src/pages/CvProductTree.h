#pragma once

// The product tree of the selection page as a model, and the rules behind it: whether a
// product is present, its status text, the header texts and the space sum. Everything here
// works without a view, so that the rules are tested on their own.

#include "CvDynamicLists.h"
#include "CvLanguage.h"
#include "CvLib.h"

#include <QAbstractItemModel>
#include <QHash>

#include <cstdint>
#include <memory>
#include <vector>

class TInstalledCharts;

// Texts of the selection page.
extern const TLangText ptColumnProducts;
extern const TLangText ptColumnStatus;
extern const TLangText ptKindPrograms;
extern const TLangText ptKindCharts;
extern const TLangText ptKindAddons;
extern const TLangText ptGroupGeneral;
extern const TLangText ptStatusUpdate;
extern const TLangText ptStatusInBackup;
extern const TLangText ptStatusInstalled;
extern const TLangText ptStatusNewSoftware;
extern const TLangText ptStatusNewChartset;
extern const TLangText ptDiskSpaceRequired;
extern const TLangText ptNotEnoughSpace;
extern const TLangText ptInstalledAlready;
extern const TLangText ptNothingSelected;

// The caption of the pages' message boxes.
QString PageApplicationTitle();

// Row kinds of the tree.
enum TNodeType : std::uint8_t {
  ntGroupHeader = 0,
  ntKindHeader = 1,
  ntProduct = 2,
  ntChartSet = 3,
};

// What every row carries.
struct TNodeData {
  ProductRecord* item = nullptr;  // the record the row stands for; not owned
  int group = 0;
  std::uint8_t nodeType = ntGroupHeader;
  QString text;
  int kind = -1;
};

// --- Presence -----------------------------------------------------------------------------

// The program file's name for a software-registry key without its extension: "QMR Manager\1"
// becomes "QMRManager", every '\' and blank is removed. The file is looked up as "<name>.exe",
// else as "<name>".
QString ProgramFileName(const QString& registryKey);

// Whether a program is installed: root 2 of the settings store has the key with a "RootDir"
// that is an existing folder. updateAvailable when the program file there carries a version
// marker lower than latestVersion. Failures count as not present / no update; nothing hangs on
// a dead remote volume and nothing is read from anything but a regular file.
bool ProgramPresent(const QString& registryKey, std::uint32_t latestVersion, bool& updateAvailable);

// Program files larger than this are not searched for their version marker.
constexpr std::int64_t kMaxProgramFileScan = std::int64_t{256} << 20;

// Sets the record's Present and UpdateAvailable for the mode (and clears Checked): in backup
// mode from the backup index read last, else from the installed products (chart sets) or the
// software registry (everything else). Either source may be nullptr.
void WorkOutPresence(ProductRecord& record, int mode, const TInstalledCharts* installedCharts,
                     const ChartCheck* chartCheck);

// The same rules for a batch of records: the software registry's folders and the volume table
// are read once, at the first program, and kept for the batch.
class TPresenceSource final {
 public:
  TPresenceSource(const TInstalledCharts* installedCharts, const ChartCheck* chartCheck);
  void WorkOut(ProductRecord& record, int mode);
  bool ProgramPresent(const QString& registryKey, std::uint32_t latestVersion, bool& updateAvailable);

 private:
  void LoadSystem();
  const cvlib::TDriveInfo* LexicalDrive(const QString& path) const;

  const TInstalledCharts* installedCharts_;
  const ChartCheck* chartCheck_;
  bool systemLoaded_ = false;
  // "RootDir" of every key that has one, by the key's folded path.
  QHash<QString, TRegValue> rootDirs_;
  std::vector<cvlib::TDriveInfo> drives_;
};

// --- Texts --------------------------------------------------------------------------------

// The status of an item as its row shows it.
QString StatusText(const ProductRecord& record, int mode, bool chartSetRow);
// "General" for 9999, else the number.
QString GroupHeaderText(int group);
// "Programs", "Charts", "Addons"; empty for other kinds.
QString KindHeaderText(int kind);
// The sum of Size over the checked records, companions included.
std::int64_t CheckedSize(const TFastList& products);
// " Disk space required: 1.5 MB"
QString SpaceRequiredText(std::int64_t bytes);

// --- The model ----------------------------------------------------------------------------

class TProductTreeModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  enum Roles {
    NodeTypeRole = Qt::UserRole + 1,
    KindRole,
    GroupRole,
    PresentRole,
  };

  explicit TProductTreeModel(QObject* parent = nullptr);
  ~TProductTreeModel() override;

  // Builds the rows from the product list (records not owned, which must outlive the rows or
  // the next Build / Reset). Ticks come from the records' Checked flags.
  void Build(const TFastList& products, int mode);
  // No rows; forgets the product list.
  void Reset();

  int Mode() const { return mode_; }
  const TNodeData* Node(const QModelIndex& index) const;

  // A click on a row: ticked → unticked, anything else → ticked. False for rows without a box.
  bool ToggleTick(const QModelIndex& index);

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  // The language changed: every text is read again.
  void TextsChanged();

 signals:
  // Some record's Checked flag changed through the tree.
  void TicksChanged();

 private:
  struct TRow;
  TRow* NodeOf(const QModelIndex& index) const;
  TRow* AddRow(TRow* parent, const TNodeData& data, bool checkable);
  Qt::CheckState TickOf(const TRow* node) const;
  void SetItemChecked(ProductRecord* record, bool checked);
  void SetTick(TRow* node, bool checked);

  struct TRowStore;
  std::vector<TRow*> roots_;
  std::unique_ptr<TRowStore> rows_;  // every row, each at a place of its own until the next build
  const TFastList* products_ = nullptr;
  int mode_ = 3;
};
