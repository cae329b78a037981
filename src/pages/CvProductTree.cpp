#include "CvProductTree.h"

#include "CvInstalledCharts.h"
#include "CvLibFileIo.h"
#include "CvStrUtils.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>

#include <limits>
#include <optional>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const TLangText ptColumnProducts = {"Products", "Producten", "Produkte"};
const TLangText ptColumnStatus = {"Status", "Status", "Status"};
const TLangText ptKindPrograms = {"Programs", "Programma's", "Programme"};
const TLangText ptKindCharts = {"Charts", "Kaarten", "Karten"};
const TLangText ptKindAddons = {"Addons", "Add-ons", "Add-ons"};
const TLangText ptGroupGeneral = {"General", "Algemeen", "Allgemein"};
const TLangText ptStatusUpdate = {"update available", "update beschikbaar", "Update verfügbar"};
const TLangText ptStatusInBackup = {"already in backup", "al in backup", "bereits im Backup"};
const TLangText ptStatusInstalled = {"already installed", "al geïnstalleerd", "bereits installiert"};
const TLangText ptStatusNewSoftware = {"new software", "nieuwe software", "neue Software"};
const TLangText ptStatusNewChartset = {"new chartset", "nieuwe kaartset", "neuer Kartensatz"};
const TLangText ptDiskSpaceRequired = {"Disk space required:", "Benodigde schijfruimte:", "Benötigter Speicherplatz:"};
const TLangText ptNotEnoughSpace = {
    "There is not enough disk space available in the selected folder.\r\n\r\nSelect a different installation "
    "location by going back or select fewer software.",
    "Er is niet genoeg schijfruimte beschikbaar in de gekozen map.\r\n\r\nKies een andere installatielocatie door "
    "terug te gaan of selecteer minder software.",
    "Im gewählten Ordner ist nicht genügend Speicherplatz verfügbar.\r\n\r\nWählen Sie einen anderen "
    "Installationsort, indem Sie zurückgehen, oder wählen Sie weniger Software."};
const TLangText ptInstalledAlready = {
    "You have selected one or more products that have been installed already.\r\n\r\nDo you wish to overwrite "
    "these?",
    "U heeft een of meer producten geselecteerd die al geïnstalleerd zijn.\r\n\r\nWilt u deze overschrijven?",
    "Sie haben ein oder mehrere Produkte gewählt, die bereits installiert sind.\r\n\r\nMöchten Sie diese "
    "überschreiben?"};
const TLangText ptNothingSelected = {
    "You haven't selected a product.\r\n\r\nPlease select at least one product.",
    "U heeft geen product geselecteerd.\r\n\r\nSelecteer alstublieft minstens één product.",
    "Sie haben kein Produkt gewählt.\r\n\r\nBitte wählen Sie mindestens ein Produkt."};

QString PageApplicationTitle() { return QStringLiteral("Corvane Software Installer"); }

// --- Presence rules -------------------------------------------------------------------------

QString ProgramFileName(const QString& registryKey) {
  QString name = registryKey.compare(QLatin1String("QMR Manager\\1"), Qt::CaseInsensitive) == 0
                     ? QStringLiteral("QMRManager")
                     : registryKey;
  name.remove(QLatin1Char('\\'));
  name.remove(QLatin1Char(' '));
  return name;
}

// --- Presence -----------------------------------------------------------------------------

TPresenceSource::TPresenceSource(const TInstalledCharts* installedCharts, const ChartCheck* chartCheck)
    : installedCharts_(installedCharts), chartCheck_(chartCheck) {}

void TPresenceSource::LoadSystem() {
  if (systemLoaded_) return;
  systemLoaded_ = true;
  // One read transaction for the folders of the whole software registry, one look at the
  // volume table.
  if (GetAppReg().GetValueOfSubKeys(rrSoftware, QString(), QStringLiteral("RootDir"), rootDirs_) != 0)
    rootDirs_.clear();
  if (rootDirs_.isEmpty()) return;  // no program is present: the volumes do not matter
  drives_ = cvlib::GetDriveTable();
}

const cvlib::TDriveInfo* TPresenceSource::LexicalDrive(const QString& path) const {
  // Folders are mostly written clean; only the others are cleaned first.
  const bool plain = !path.contains(QLatin1String("//")) && !path.contains(QLatin1String("/./")) &&
                     !path.contains(QLatin1String("/../")) && !path.endsWith(QLatin1String("/.")) &&
                     !path.endsWith(QLatin1String("/.."));
  const QString clean = plain ? path : QDir::cleanPath(path);
  const cvlib::TDriveInfo* best = nullptr;
  for (const cvlib::TDriveInfo& d : drives_) {
    // A root ends with its '/': the folder lies below it or is the root itself.
    const bool on = clean.startsWith(d.root) || (!d.root.isEmpty() && clean == QStringView(d.root).chopped(1));
    if (on && (!best || d.root.length() > best->root.length())) best = &d;
  }
  return best;
}

bool TPresenceSource::ProgramPresent(const QString& registryKey, std::uint32_t latestVersion, bool& updateAvailable) {
  updateAvailable = false;
  // An empty key would name the software registry's root, which no program owns.
  if (registryKey.trimmed().isEmpty()) return false;
  LoadSystem();
  if (rootDirs_.isEmpty()) return false;
  // The store's own rules: a backslash separates names, outer ones are ignored, no name is empty.
  qsizetype begin = 0;
  qsizetype end = registryKey.size();
  while (begin < end && registryKey[begin] == QLatin1Char('\\')) ++begin;
  while (end > begin && registryKey[end - 1] == QLatin1Char('\\')) --end;
  const QString path = registryKey.mid(begin, end - begin).toCaseFolded();
  if (path.isEmpty() || path.contains(QLatin1String("\\\\"))) return false;
  const auto entry = rootDirs_.constFind(path);
  if (entry == rootDirs_.constEnd()) return false;
  const QString rootDir = cvlib::RegValueToText(*entry);
  // A folder written whole; a zero character would cut the name short for the system.
  if (!rootDir.startsWith(QLatin1Char('/')) || rootDir.contains(QChar(u'\0'))) return false;
  // A medium that the volume table calls absent is not touched at all; on a remote volume
  // only the folder is looked at, never the program file, so a slow server costs one look.
  const cvlib::TDriveInfo* drive = LexicalDrive(rootDir);
  if (drive && !drive->present) return false;
  const QByteArray dir = QFile::encodeName(rootDir);
  struct stat st {};
  if (drive && drive->type == dtRemote) return ::stat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode);

  // The program file as the rule names it ("<name>.exe"), else under its plain name, which is
  // how programs are called here (product setups put both). A file found there also shows
  // that the folder exists, which saves a look at it. Links are followed, as for the folder.
  const QString name = ProgramFileName(registryKey);
  // A name with a '/' (a key may hold one) is no file of the folder: it could lead out of it.
  const bool fileName = !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
                        name != QLatin1String("..");
  if (!fileName) return ::stat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode);
  const QByteArray nameBytes = QFile::encodeName(name);
  QByteArray program;
  program.reserve(dir.size() + nameBytes.size() + 5);
  program.append(dir).append('/').append(nameBytes).append(".exe");
  // Only a regular file is read: a pipe under that name would block the reader for good. Opens
  // never wait, and what was opened is checked before a byte is read.
  constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  cvlib::TFd fd(-1);
  bool found = ::stat(program.constData(), &st) == 0;
  if (!found) {
    program.chop(4);
    // The plain name is opened at once, which is the look at it, but not through a link at the
    // last step: a link may lead anywhere, to a device too. A link, or what cannot be opened,
    // is looked at by name first, and only a regular file is opened then.
    fd.Reset(::open(program.constData(), kOpenFlags | O_NOFOLLOW));
    if (fd.fd >= 0) {
      found = ::fstat(fd.fd, &st) == 0;
    } else if (errno != ENOENT && errno != ENOTDIR) {
      found = ::stat(program.constData(), &st) == 0;
    }
  }
  if (!found) return ::stat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode);
  // No version is lower than 0: then there is nothing to read.
  if (latestVersion == 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxProgramFileScan) return true;
  if (fd.fd < 0) {
    // Looked at by name: the name may stand for something else by now.
    fd.Reset(::open(program.constData(), kOpenFlags));
    if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxProgramFileScan)
      return true;
  }
  std::uint32_t version = 0;
  if (cvlib::VersionInfoReadProgVersion(fd.fd, st.st_size, version) == 0 && version < latestVersion)
    updateAvailable = true;
  return true;
}

void TPresenceSource::WorkOut(ProductRecord& record, int mode) {
  record.SetChecked(false);
  record.SetPresent(false);
  record.SetUpdateAvailable(false);
  if (mode == 0) {
    const InstallItem* item =
        chartCheck_ ? chartCheck_->FindBackupItem(record.ProductNumber(), record.ModuleMask()) : nullptr;
    if (item) {
      record.SetPresent(true);
      if (record.Revision() > item->Revision()) record.SetUpdateAvailable(true);
    }
    return;
  }
  if (record.Kind() == pkChartSet) {
    const TInstalledChartProduct* product =
        installedCharts_ ? installedCharts_->FindProductByNumber(record.ProductNumber()) : nullptr;
    // The mask is sign-extended: bit 31 set means every module from 31 up.
    const auto mask = static_cast<quint64>(static_cast<qint64>(record.ModuleMask()));
    if (product && product->HasModuleIn(mask)) record.SetPresent(true);
    return;
  }
  bool update = false;
  const bool present = ProgramPresent(record.RegistryKey(), record.LatestVersion(), update);
  record.SetPresent(present);
  record.SetUpdateAvailable(present && update);
}

bool ProgramPresent(const QString& registryKey, std::uint32_t latestVersion, bool& updateAvailable) {
  TPresenceSource source(nullptr, nullptr);
  return source.ProgramPresent(registryKey, latestVersion, updateAvailable);
}

void WorkOutPresence(ProductRecord& record, int mode, const TInstalledCharts* installedCharts,
                     const ChartCheck* chartCheck) {
  TPresenceSource source(installedCharts, chartCheck);
  source.WorkOut(record, mode);
}

// --- Texts --------------------------------------------------------------------------------

QString StatusText(const ProductRecord& record, int mode, bool chartSetRow) {
  if (record.Present()) {
    if (record.UpdateAvailable()) return LangText(ptStatusUpdate);
    return LangText(mode == 0 ? ptStatusInBackup : ptStatusInstalled);
  }
  return LangText(chartSetRow ? ptStatusNewChartset : ptStatusNewSoftware);
}

QString GroupHeaderText(int group) {
  return group == 9999 ? LangText(ptGroupGeneral) : QString::number(group);
}

QString KindHeaderText(int kind) {
  switch (kind) {
    case pkProgram: return LangText(ptKindPrograms);
    case pkChartSet: return LangText(ptKindCharts);
    case pkAddOn: return LangText(ptKindAddons);
    default: return {};
  }
}

std::int64_t CheckedSize(const TFastList& products) {
  std::int64_t sum = 0;
  for (int i = 0; i < products.Count(); ++i) {
    const auto* r = products.ItemAs<ProductRecord>(i);
    // A negative size from a damaged list must not make room that is not there.
    if (!r || !r->Checked() || r->Size() <= 0) continue;
    // Sizes from outside may be absurd; the sum stops at the largest number rather than wrap.
    sum = r->Size() > std::numeric_limits<std::int64_t>::max() - sum ? std::numeric_limits<std::int64_t>::max()
                                                                      : sum + r->Size();
  }
  return sum;
}

QString SpaceRequiredText(std::int64_t bytes) {
  return QLatin1Char(' ') + LangText(ptDiskSpaceRequired) + QLatin1Char(' ') +
         SizeToStr(suKB | suMB | suGB, 1, false, bytes);
}

// --- The model ----------------------------------------------------------------------------

struct TProductTreeModel::TRow {
  TNodeData data;
  TRow* parent = nullptr;
  int row = 0;
  bool checkable = false;
  std::vector<TRow*> children;
};

// Rows in blocks, so that thousands of rows cost a few allocations; a row never moves.
struct TProductTreeModel::TRowStore {
  static constexpr size_t kBlock = 256;
  std::vector<std::unique_ptr<TRow[]>> blocks;
  size_t used = kBlock;  // rows taken in the last block

  TRow* Add() {
    if (used == kBlock) {
      blocks.push_back(std::make_unique<TRow[]>(kBlock));
      used = 0;
    }
    return &blocks.back()[used++];
  }
  void Clear() {
    blocks.clear();
    used = kBlock;
  }
};

TProductTreeModel::TProductTreeModel(QObject* parent)
    : QAbstractItemModel(parent), rows_(std::make_unique<TRowStore>()) {}
TProductTreeModel::~TProductTreeModel() = default;

TProductTreeModel::TRow* TProductTreeModel::AddRow(TRow* parent, const TNodeData& data, bool checkable) {
  TRow* node = rows_->Add();
  node->data = data;
  node->parent = parent;
  node->checkable = checkable;
  auto& list = parent ? parent->children : roots_;
  node->row = static_cast<int>(list.size());
  list.push_back(node);
  return node;
}

void TProductTreeModel::Reset() {
  beginResetModel();
  roots_.clear();
  rows_->Clear();
  products_ = nullptr;
  endResetModel();
}

void TProductTreeModel::Build(const TFastList& products, int mode) {
  beginResetModel();
  roots_.clear();
  rows_->Clear();
  products_ = &products;
  mode_ = mode;
  int lastKind = -1;
  int lastGroup = 0;
  // No name yet: the first product always gets its row, whatever its name.
  std::optional<QString> lastName;
  TRow* chartRow = nullptr;
  for (int i = 0; i < products.Count(); ++i) {
    ProductRecord* r = products.ItemAs<ProductRecord>(i);
    if (!r || r->Kind() == pkCompanion) continue;
    if (r->Kind() != lastKind) {
      AddRow(nullptr, TNodeData{nullptr, 0, ntKindHeader, {}, r->Kind()}, false);
      lastKind = r->Kind();
      lastGroup = 0;
      // Rows under a new header start a product of their own, even with the name above.
      lastName.reset();
    }
    if (r->Group() != lastGroup) {
      AddRow(nullptr, TNodeData{nullptr, r->Group(), ntGroupHeader, {}, -1}, false);
      lastGroup = r->Group();
      lastName.reset();
    }
    const bool chartSet = r->Kind() == pkChartSet;
    // Only chart sets share a product row; two programs of one name are still two products.
    if (!lastName || *lastName != r->DisplayName() || !chartSet || !chartRow) {
      lastName = r->DisplayName();
      TRow* row = AddRow(nullptr, TNodeData{chartSet ? nullptr : r, r->Group(), ntProduct, r->DisplayName(), r->Kind()},
                         true);
      chartRow = chartSet ? row : nullptr;
    }
    if (chartSet) AddRow(chartRow, TNodeData{r, r->Group(), ntChartSet, {}, pkChartSet}, true);
  }
  endResetModel();
}

TProductTreeModel::TRow* TProductTreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<TRow*>(index.internalPointer()) : nullptr;
}

const TNodeData* TProductTreeModel::Node(const QModelIndex& index) const {
  const auto* n = NodeOf(index);
  return n ? &n->data : nullptr;
}

QModelIndex TProductTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column < 0 || column >= 2 || row < 0 || (parent.isValid() && parent.column() != 0)) return {};
  const auto& list = parent.isValid() ? NodeOf(parent)->children : roots_;
  if (row >= static_cast<int>(list.size())) return {};
  return createIndex(row, column, list[static_cast<size_t>(row)]);
}

QModelIndex TProductTreeModel::parent(const QModelIndex& child) const {
  const auto* n = NodeOf(child);
  if (!n || !n->parent) return {};
  return createIndex(n->parent->row, 0, n->parent);
}

int TProductTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(roots_.size());
  if (parent.column() != 0) return 0;
  return static_cast<int>(NodeOf(parent)->children.size());
}

int TProductTreeModel::columnCount(const QModelIndex&) const { return 2; }

Qt::CheckState TProductTreeModel::TickOf(const TRow* node) const {
  if (node->data.item) return node->data.item->Checked() ? Qt::Checked : Qt::Unchecked;
  // A chart product row follows its chart sets: none, all or some ticked.
  int ticked = 0;
  for (const auto& c : node->children)
    if (c->data.item && c->data.item->Checked()) ++ticked;
  if (ticked == 0) return Qt::Unchecked;
  return ticked == static_cast<int>(node->children.size()) ? Qt::Checked : Qt::PartiallyChecked;
}

QVariant TProductTreeModel::data(const QModelIndex& index, int role) const {
  const TRow* n = NodeOf(index);
  if (!n) return {};
  const TNodeData& d = n->data;
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
      if (column == 0) {
        switch (d.nodeType) {
          case ntGroupHeader: return GroupHeaderText(d.group);
          case ntKindHeader: return KindHeaderText(d.kind);
          case ntProduct: return d.text;
          case ntChartSet: return d.item ? d.item->ItemTitle() : QString();
        }
        return {};
      }
      if (d.item && (d.nodeType == ntProduct || d.nodeType == ntChartSet))
        return StatusText(*d.item, mode_, d.nodeType == ntChartSet);
      return QString();
    case Qt::CheckStateRole:
      if (column == 0 && n->checkable) return TickOf(n);
      return {};
    case Qt::ToolTipRole:
      if (!d.item) return {};
      if (column == 0) return d.item->ItemTitle();
      if (d.item->Present()) return LangText(ptStatusInstalled);
      return {};
    case Qt::ForegroundRole:
      if (column == 1 && d.item && d.item->Present()) return QColor(0, 128, 0);
      return {};
    case Qt::AccessibleDescriptionRole:
      // A screen reader hears a row's status with its name.
      if (column == 0 && d.item && (d.nodeType == ntProduct || d.nodeType == ntChartSet))
        return StatusText(*d.item, mode_, d.nodeType == ntChartSet);
      return {};
    case NodeTypeRole: return static_cast<int>(d.nodeType);
    case KindRole: return d.kind;
    case GroupRole: return d.group;
    case PresentRole: return d.item ? d.item->Present() : false;
    default: return {};
  }
}

void TProductTreeModel::SetItemChecked(ProductRecord* record, bool checked) {
  record->SetChecked(checked);
  // A program's companions are never shown; they go wherever their program goes.
  if (record->Kind() == pkProgram && products_) {
    for (int i = 0; i < products_->Count(); ++i) {
      ProductRecord* c = products_->ItemAs<ProductRecord>(i);
      if (c && c->Kind() == pkCompanion && c->ProductNumber() == record->ProductNumber()) c->SetChecked(checked);
    }
  }
}

void TProductTreeModel::SetTick(TRow* node, bool checked) {
  if (node->data.item) {
    SetItemChecked(node->data.item, checked);
  } else {
    for (const auto& c : node->children)
      if (c->data.item) SetItemChecked(c->data.item, checked);
    if (!node->children.empty()) {
      const QModelIndex parentIndex = createIndex(node->row, 0, node);
      emit dataChanged(index(0, 0, parentIndex), index(static_cast<int>(node->children.size()) - 1, 1, parentIndex));
    }
  }
  emit dataChanged(createIndex(node->row, 0, node), createIndex(node->row, 1, node));
  if (node->parent) emit dataChanged(createIndex(node->parent->row, 0, node->parent), createIndex(node->parent->row, 1, node->parent));
  emit TicksChanged();
}

bool TProductTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  TRow* n = NodeOf(index);
  if (!n || role != Qt::CheckStateRole || !n->checkable || index.column() != 0) return false;
  SetTick(n, static_cast<Qt::CheckState>(value.toInt()) == Qt::Checked);
  return true;
}

bool TProductTreeModel::ToggleTick(const QModelIndex& index) {
  TRow* n = NodeOf(index);
  if (!n || !n->checkable) return false;
  SetTick(n, TickOf(n) != Qt::Checked);
  return true;
}

Qt::ItemFlags TProductTreeModel::flags(const QModelIndex& index) const {
  const TRow* n = NodeOf(index);
  if (!n) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled;
  // Top-level rows are never selected; only chart-set rows can be.
  if (n->parent) f |= Qt::ItemIsSelectable;
  if (n->checkable && index.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant TProductTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section == 0) return LangText(ptColumnProducts);
  if (section == 1) return LangText(ptColumnStatus);
  return {};
}

void TProductTreeModel::TextsChanged() {
  emit headerDataChanged(Qt::Horizontal, 0, 1);
  if (!roots_.empty()) emit dataChanged(index(0, 0), index(static_cast<int>(roots_.size()) - 1, 1));
  for (const auto& r : roots_)
    if (!r->children.empty()) {
      const QModelIndex p = createIndex(r->row, 0, r);
      emit dataChanged(index(0, 0, p), index(static_cast<int>(r->children.size()) - 1, 1, p));
    }
}
