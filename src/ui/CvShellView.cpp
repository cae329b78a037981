#include "CvShellView.h"

#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QDirIterator>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QKeyEvent>
#include <QIcon>
#include <QMenu>

#include <utility>

namespace {

const TLangText txtHome = {"Home", "Persoonlijke map", "Persönlicher Ordner", "Dossier personnel",
                           "Carpeta personal", "Cartella Home", "Hjemmemappe", "Hemkatalog"};
const TLangText txtFileSystem = {"File System", "Bestandssysteem", "Dateisystem", "Système de fichiers",
                                 "Sistema de archivos", "File system", "Filsystem", "Filsystem"};
const TLangText txtRename = {"Re&name", "&Naam wijzigen", "&Umbenennen", "Re&nommer",
                            "Cambiar &nombre", "&Rinomina", "&Omdøb", "&Byt namn"};
const TLangText txtCopy = {"&Copy", "&Kopiëren", "&Kopieren", "&Copier",
                          "&Copiar", "&Copia", "&Kopiér", "&Kopiera"};
const TLangText txtCut = {"Cu&t", "K&nippen", "&Ausschneiden", "Co&uper",
                         "Cor&tar", "&Taglia", "K&lip", "K&lipp ut"};
const TLangText txtPaste = {"&Paste", "&Plakken", "E&infügen", "Co&ller",
                           "&Pegar", "&Incolla", "&Sæt ind", "K&listra in"};
const TLangText txtDelete = {"&Move to Trash", "Naar &prullenbak verplaatsen", "In den &Papierkorb verschieben",
                            "&Mettre à la corbeille", "&Mover a la papelera", "Sposta nel &cestino",
                            "&Flyt til papirkurven", "&Flytta till papperskorgen"};
const TLangText txtShowHidden = {"Show &Hidden Folders", "&Verborgen mappen weergeven", "&Versteckte Ordner anzeigen",
                                 "Afficher les dossiers &cachés", "Mostrar carpetas &ocultas",
                                 "Mostra cartelle &nascoste", "Vis &skjulte mapper", "Visa &dolda mappar"};
// A folder goes to the desktop's trash, from where the user can restore it.
const TLangText txtConfirmDelete = {
    "Are you sure you want to move the folder \"%s\" and everything in it to the trash?",
    "Weet u zeker dat u de map \"%s\" en alles wat erin staat naar de prullenbak wilt verplaatsen?",
    "Möchten Sie den Ordner \"%s\" und seinen gesamten Inhalt wirklich in den Papierkorb verschieben?",
    "Voulez-vous vraiment mettre le dossier \"%s\" et tout son contenu à la corbeille ?",
    "¿Está seguro de que desea mover la carpeta \"%s\" y todo su contenido a la papelera?",
    "Spostare nel cestino la cartella \"%s\" e tutto il suo contenuto?",
    "Er du sikker på, at du vil flytte mappen \"%s\" og alt dens indhold til papirkurven?",
    "Vill du flytta mappen \"%s\" och allt innehåll i den till papperskorgen?"};
const TLangText txtCannotDelete = {
    "Cannot move the folder to the trash. Nothing was deleted.",
    "Kan de map niet naar de prullenbak verplaatsen. Er is niets verwijderd.",
    "Der Ordner kann nicht in den Papierkorb verschoben werden. Es wurde nichts gelöscht.",
    "Impossible de mettre le dossier à la corbeille. Rien n'a été supprimé.",
    "No se puede mover la carpeta a la papelera. No se ha eliminado nada.",
    "Impossibile spostare la cartella nel cestino. Non è stato eliminato nulla.",
    "Mappen kan ikke flyttes til papirkurven. Intet er slettet.",
    "Det går inte att flytta mappen till papperskorgen. Inget har tagits bort."};

// Where the tree keeps the user's choice of showing hidden folders (program settings).
const QString kSettingsKey = QStringLiteral("FolderBrowser");
const QString kShowHiddenValue = QStringLiteral("ShowHidden");
const TLangText txtCannotPaste = {
    "Cannot copy or move the folder here.", "Kan de map hier niet kopiëren of verplaatsen.",
    "Der Ordner kann nicht hierher kopiert oder verschoben werden.",
    "Impossible de copier ou de déplacer le dossier ici.",
    "No se puede copiar ni mover la carpeta aquí.",
    "Impossibile copiare o spostare la cartella qui.",
    "Mappen kan ikke kopieres eller flyttes hertil.",
    "Det går inte att kopiera eller flytta mappen hit."};

QString WithSlash(QString path) {
  if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
  return path;
}

QString WithoutSlash(QString path) {
  while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
  return path;
}

bool HasSubfolders(const QString& path, QDir::Filters filters) { return QDirIterator(path, filters).hasNext(); }

QIcon ThemeIcon(const char* name, QFileIconProvider::IconType fallback) {
  return QIcon::fromTheme(QLatin1String(name), QFileIconProvider().icon(fallback));
}

void ShowMessage(const TLangText& text) { MsgBox(LangText(text), mtError, mbOKOnly); }

bool CopyTree(const QString& from, const QString& to) {
  if (!QDir().mkpath(to)) return false;
  QDir source(from);
  const auto entries = source.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
  for (const QFileInfo& entry : entries) {
    const QString target = to + QLatin1Char('/') + entry.fileName();
    if (entry.isDir() && !entry.isSymLink()) {
      if (!CopyTree(entry.filePath(), target)) return false;
    } else if (!QFile::copy(entry.filePath(), target)) {
      return false;
    }
  }
  return true;
}

}  // namespace

class TShellTreeViewEx::Node final : public QTreeWidgetItem {
 public:
  explicit Node(TShellData d) : data(std::move(d)) { setText(0, data.displayName); }
  TShellData data;
  bool populated = false;
};

bool IsValidFolderName(const QString& name) {
  static const QString invalid = QStringLiteral("\\/:*?\"<>|");
  if (name.trimmed().isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
  for (QChar c : name)
    if (invalid.contains(c) || c.unicode() < 32) return false;
  return true;
}

QString UniqueNewFolderPath(const QString& parent, const QString& baseName) {
  const QString base = WithSlash(parent) + baseName;
  QString candidate = base;
  for (int n = 1; QFileInfo::exists(candidate); ++n) candidate = base + QStringLiteral(" (%1)").arg(n);
  return candidate;
}

TShellTreeViewEx::TShellTreeViewEx(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
  setUniformRowHeights(true);
  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { ItemExpanding(item); });
  connect(this, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current, QTreeWidgetItem*) { CurrentChanged(current); });
  connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) { ItemEdited(item, column); });
  showHidden_ = GetAppReg().ReadBool(rrSettings, kSettingsKey, kShowHiddenValue, false);
  Initialize();
}

void TShellTreeViewEx::SetShowHidden(bool show) {
  if (show == showHidden_) return;
  showHidden_ = show;
  GetAppReg().WriteBool(rrSettings, kSettingsKey, kShowHiddenValue, show);
  Refresh();
}

QDir::Filters TShellTreeViewEx::EntryFilters() const {
  QDir::Filters filters = QDir::Dirs | QDir::NoDotAndDotDot;
  if (ObjectTypes & otNonFolders) filters |= QDir::Files;
  if ((ObjectTypes & otHidden) || showHidden_) filters |= QDir::Hidden;
  return filters;
}

bool TShellTreeViewEx::IsRemoteRoot(const QString& path) const { return remoteRoots_.contains(WithSlash(path)); }

TShellTreeViewEx::~TShellTreeViewEx() = default;

void TShellTreeViewEx::SetReadOnly(bool readOnly) {
  readOnly_ = readOnly;
  for (QTreeWidgetItemIterator it(this); *it; ++it) {
    auto* node = static_cast<Node*>(*it);
    Qt::ItemFlags flags = node->flags();
    flags.setFlag(Qt::ItemIsEditable, !readOnly_ && node->data.canRename);
    populating_ = true;
    node->setFlags(flags);
    populating_ = false;
  }
}

// The top of the tree as the desktop's file dialogs show it: Home, the file system, then the
// volumes by name. A remote volume is only named here, never read: a dead server would stall
// the window as it opens.
void TShellTreeViewEx::Initialize() {
  populating_ = true;
  clear();
  remoteRoots_.clear();
  const QStringList drives = GetDrives();
  for (const QString& volume : drives)
    if (DriveGetType(volume) == dtRemote) remoteRoots_ << WithSlash(volume);

  auto addTop = [&](const QString& path, const QString& name, const QIcon& icon) {
    TShellData d;
    d.isFolder = true;
    d.path = WithSlash(path);
    d.pathExists = IsRemoteRoot(d.path) || QFileInfo(d.path).isDir();
    d.displayName = name;
    d.canCopy = true;
    if (Node* node = AddNode(invisibleRootItem(), d)) node->setIcon(0, icon);
  };
  const QString home = WithSlash(QDir::homePath());
  addTop(home, LangText(txtHome), ThemeIcon("user-home", QFileIconProvider::Folder));
  addTop(QStringLiteral("/"), LangText(txtFileSystem), ThemeIcon("drive-harddisk", QFileIconProvider::Computer));
  for (const QString& volume : drives) {
    const QString path = WithSlash(volume);
    if (path == QLatin1String("/") || path == home) continue;
    const QString name = QDir(path).dirName();
    const int type = DriveGetType(path);
    const char* icon = type == dtRemote      ? "folder-remote"
                       : type == dtRemovable ? "drive-removable-media"
                       : type == dtOptical   ? "media-optical"
                                             : "drive-harddisk";
    // The volume's name (its label, as it is mounted); its full path shows in the tooltip.
    addTop(path, name.isEmpty() ? path : name, ThemeIcon(icon, QFileIconProvider::Drive));
  }
  populating_ = false;
  setCurrentItem(nullptr);
}

TShellTreeViewEx::Node* TShellTreeViewEx::AddNode(QTreeWidgetItem* parent, TShellData data) {
  bool canAdd = true;
  if (OnFolderAdd) OnFolderAdd(this, data, canAdd);
  if (!canAdd) return nullptr;
  auto* node = new Node(std::move(data));
  const TShellData& d = node->data;
  if (!d.isVirtual) {
    static const QFileIconProvider icons;
    node->setIcon(0, icons.icon(d.isFolder ? QFileIconProvider::Folder : QFileIconProvider::File));
    node->setToolTip(0, WithoutSlash(d.path));
  }
  // A remote volume shows an expand button unasked: finding out would mean reading it.
  const bool remote = IsRemoteRoot(d.path);
  node->setChildIndicatorPolicy(d.isFolder && d.pathExists && (remote || HasSubfolders(d.path, EntryFilters()))
                                    ? QTreeWidgetItem::ShowIndicator
                                    : QTreeWidgetItem::DontShowIndicator);
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (!readOnly_ && d.canRename) flags |= Qt::ItemIsEditable;
  const bool wasPopulating = std::exchange(populating_, true);
  node->setFlags(flags);
  parent->addChild(node);
  populating_ = wasPopulating;
  return node;
}

void TShellTreeViewEx::Populate(QTreeWidgetItem* item) {
  auto* node = static_cast<Node*>(item);
  if (node->populated || node->data.path.isEmpty()) return;
  node->populated = true;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const QFileInfoList entries = QDir(node->data.path).entryInfoList(
      EntryFilters(), QDir::Name | QDir::IgnoreCase | QDir::LocaleAware | QDir::DirsFirst);
  for (const QFileInfo& entry : entries) {
    const QString path = entry.isDir() ? WithSlash(entry.absoluteFilePath()) : entry.absoluteFilePath();
    if (FindChildByPath(node, path)) continue;
    TShellData d;
    d.isFolder = entry.isDir();
    d.path = path;
    d.pathExists = true;
    d.displayName = entry.fileName();
    const bool parentWritable = QFileInfo(node->data.path).isWritable();
    d.canCopy = true;
    d.canDelete = d.canMove = d.canRename = parentWritable;
    AddNode(node, d);
  }
  if (node->childCount() == 0) node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
  QApplication::restoreOverrideCursor();
}

void TShellTreeViewEx::RefreshChildren(QTreeWidgetItem* item) {
  auto* node = static_cast<Node*>(item);
  const bool wasExpanded = node->isExpanded();
  populating_ = true;
  qDeleteAll(node->takeChildren());
  populating_ = false;
  node->populated = false;
  node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  Populate(node);
  if (wasExpanded || node->childCount() > 0) node->setExpanded(true);
}

TShellTreeViewEx::Node* TShellTreeViewEx::FindChildByPath(QTreeWidgetItem* parent, const QString& path) const {
  for (int i = 0; i < parent->childCount(); ++i) {
    auto* child = static_cast<Node*>(parent->child(i));
    if (child->data.path == path) return child;
  }
  return nullptr;
}

void TShellTreeViewEx::ItemExpanding(QTreeWidgetItem* item) { Populate(item); }

void TShellTreeViewEx::CurrentChanged(QTreeWidgetItem* current) {
  if (populating_) return;
  if (OnFolderSelect) OnFolderSelect(this, current ? &static_cast<Node*>(current)->data : nullptr);
}

const TShellData* TShellTreeViewEx::SelectedData() const {
  auto* node = static_cast<Node*>(currentItem());
  return node ? &node->data : nullptr;
}

QString TShellTreeViewEx::SelectedPath() const {
  const TShellData* d = SelectedData();
  return d ? d->path : QString();
}

bool TShellTreeViewEx::SelectPath(const QString& path) {
  const QFileInfo info(path);
  if (path.isEmpty() || !info.exists()) {
    ShowMessage(ctFolderNotFound);
    return false;
  }
  const QString target = info.isDir() ? WithSlash(info.absoluteFilePath()) : info.absoluteFilePath();
  if (SelectedPath() == target) return true;

  // The top-level node whose folder holds the target most closely.
  Node* best = nullptr;
  for (int i = 0; i < topLevelItemCount(); ++i) {
    auto* top = static_cast<Node*>(topLevelItem(i));
    if (target.startsWith(top->data.path) && (!best || top->data.path.size() > best->data.path.size()))
      best = top;
  }
  if (!best) {
    ShowMessage(ctFolderNotFound);
    return false;
  }
  Node* node = best;
  QString walked = best->data.path;
  const QStringList parts = target.mid(walked.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
  for (const QString& part : parts) {
    node->setExpanded(true);
    Populate(node);
    const QString dirPath = walked + part + QLatin1Char('/');
    Node* child = FindChildByPath(node, dirPath);
    if (!child) child = FindChildByPath(node, walked + part);
    if (!child && QFileInfo(dirPath).isDir()) {
      // A hidden folder on the way (~/.local/opt/...): shown, so that the folder asked for is
      // reached rather than silently replaced by the nearest shown one.
      TShellData d;
      d.isFolder = true;
      d.path = dirPath;
      d.pathExists = true;
      d.displayName = part;
      d.canCopy = true;
      d.canDelete = d.canMove = d.canRename = QFileInfo(walked).isWritable();
      child = AddNode(node, d);
    }
    if (!child) break;  // refused by OnFolderAdd: stop at the nearest shown folder
    node = child;
    walked = dirPath;
  }
  setCurrentItem(node);
  scrollToItem(node);
  setFocus();
  return node->data.path == target;
}

bool TShellTreeViewEx::CreateNewFolder() {
  auto* node = static_cast<Node*>(currentItem());
  if (!node || readOnly_) return false;
  if (node->data.path.isEmpty() || !QFileInfo(node->data.path).isDir()) {
    ShowMessage(ctCannotCreateFolderHere);
    return false;
  }
  const QString parent = node->data.path;
  QString name = QFileInfo(UniqueNewFolderPath(parent, LangText(ctNewFolder))).fileName();
  if (OnFolderCreate) {
    bool canCreate = true;
    OnFolderCreate(this, name, canCreate);
    if (!canCreate) return false;
  }
  if (!IsValidFolderName(name)) {
    ShowMessage(ctFolderNameInvalid);
    return false;
  }
  const QString path = parent + name;
  if (QFileInfo::exists(path)) {
    ShowMessage(ctFolderNameExists);
    return false;
  }
  if (DirCreate(path) != 0) {
    ShowMessage(ctCannotCreateFolderHere);
    return false;
  }
  RefreshChildren(node);
  Node* created = FindChildByPath(node, WithSlash(path));
  if (created) {
    setCurrentItem(created);
    scrollToItem(created);
    if (currentItem() == created) StartRename(created);
  }
  return true;
}

void TShellTreeViewEx::StartRename(QTreeWidgetItem* item) {
  auto* node = static_cast<Node*>(item);
  if (readOnly_ || !node->data.canRename) return;
  bool allowed = true;
  if (OnFolderEdit) OnFolderEdit(this, node->data, allowed);
  if (allowed) editItem(item, 0);
}

void TShellTreeViewEx::ItemEdited(QTreeWidgetItem* item, int column) {
  if (populating_ || column != 0) return;
  auto* node = static_cast<Node*>(item);
  const QString newName = node->text(0);
  if (newName == node->data.displayName) return;
  auto restore = [&] {
    populating_ = true;
    node->setText(0, node->data.displayName);
    populating_ = false;
  };
  if (!IsValidFolderName(newName)) {
    restore();
    ShowMessage(ctFolderNameInvalid);
    return;
  }
  const QString oldPath = WithoutSlash(node->data.path);
  const QString newPath = QFileInfo(oldPath).path() + QLatin1Char('/') + newName;
  if (QFileInfo::exists(newPath) || !QDir().rename(oldPath, newPath)) {
    restore();
    ShowMessage(ctCannotRenameFolder);
    return;
  }
  node->data.displayName = newName;
  node->data.path = node->data.isFolder ? WithSlash(newPath) : newPath;
  node->setToolTip(0, newPath);
  // Children carry the old paths: read them again when next expanded.
  if (node->populated) {
    populating_ = true;
    qDeleteAll(node->takeChildren());
    populating_ = false;
    node->populated = false;
    node->setChildIndicatorPolicy(HasSubfolders(node->data.path, EntryFilters()) ? QTreeWidgetItem::ShowIndicator
                                                                                 : QTreeWidgetItem::DontShowIndicator);
  }
  if (OnFolderSelect && currentItem() == node) OnFolderSelect(this, &node->data);
}

void TShellTreeViewEx::Refresh() {
  QString remembered = WithoutSlash(SelectedPath());
  while (!remembered.isEmpty() && !QFileInfo(remembered).isDir()) {
    const QString parent = QFileInfo(remembered).path();
    if (parent == remembered) break;
    remembered = parent;
  }
  Initialize();
  if (!remembered.isEmpty() && QFileInfo(remembered).isDir()) SelectPath(remembered);
}

void TShellTreeViewEx::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F5 && event->modifiers() == Qt::NoModifier) {
    Refresh();
    return;
  }
  if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier && state() != EditingState) {
    DeleteSelected();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

// In-place editing from a key or a click on the already selected node: the owner may refuse.
bool TShellTreeViewEx::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  if (trigger != QAbstractItemView::NoEditTriggers && trigger != QAbstractItemView::AllEditTriggers) {
    auto* node = static_cast<Node*>(itemFromIndex(index));
    if (!node || readOnly_ || !node->data.canRename) return false;
    if (trigger & (QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed)) {
      bool allowed = true;
      if (OnFolderEdit) OnFolderEdit(this, node->data, allowed);
      if (!allowed) return false;
    }
  }
  return QTreeWidget::edit(index, trigger, event);
}

void TShellTreeViewEx::contextMenuEvent(QContextMenuEvent* event) {
  if (!SystemContextMenu) return;
  auto* node = static_cast<Node*>(itemAt(event->pos()));
  QMenu menu(this);
  QAction* showHidden = nullptr;
  auto addShowHidden = [&] {
    showHidden = menu.addAction(LangText(txtShowHidden));
    showHidden->setCheckable(true);
    showHidden->setChecked(showHidden_);
  };
  if (!node || node->data.isVirtual) {
    // Beside the folders: only the choice of what the tree shows.
    addShowHidden();
    if (menu.exec(event->globalPos()) == showHidden) SetShowHidden(!showHidden_);
    return;
  }
  setCurrentItem(node);
  const bool isDir = QFileInfo(node->data.path).isDir();
  const bool writable = !readOnly_;

  QAction* newFolder = menu.addAction(LangText(ctNewFolder));
  newFolder->setEnabled(writable && isDir);
  menu.addSeparator();
  QAction* cut = menu.addAction(LangText(txtCut));
  cut->setEnabled(writable && node->data.canMove);
  QAction* copy = menu.addAction(LangText(txtCopy));
  copy->setEnabled(node->data.canCopy);
  QAction* paste = menu.addAction(LangText(txtPaste));
  paste->setEnabled(writable && isDir && !clipboardPath_.isEmpty() && QFileInfo::exists(clipboardPath_));
  menu.addSeparator();
  QAction* remove = menu.addAction(LangText(txtDelete));
  remove->setEnabled(writable && node->data.canDelete);
  QAction* rename = menu.addAction(LangText(txtRename));
  rename->setEnabled(writable && node->data.canRename);
  menu.addSeparator();
  addShowHidden();

  QAction* chosen = menu.exec(event->globalPos());
  if (!chosen) return;
  if (chosen == showHidden) {
    SetShowHidden(!showHidden_);
  } else if (chosen == newFolder) {
    CreateNewFolder();
  } else if (chosen == copy || chosen == cut) {
    clipboardPath_ = WithoutSlash(node->data.path);
    clipboardCut_ = chosen == cut;
  } else if (chosen == paste) {
    PasteInto(node);
  } else if (chosen == remove) {
    DeleteNode(node);
  } else if (chosen == rename) {
    StartRename(node);
  }
}

bool TShellTreeViewEx::DeleteSelected() {
  auto* node = static_cast<Node*>(currentItem());
  if (!node || readOnly_ || !node->data.canDelete) return false;
  return DeleteNode(node);
}

// Into the desktop's trash, never removed for good: the user can get it back from there.
bool TShellTreeViewEx::DeleteNode(Node* node) {
  const QString path = WithoutSlash(node->data.path);
  const QString question = LangText(txtConfirmDelete).replace(QLatin1String("%s"), node->data.displayName);
  if (MsgBox(question, mtConfirmation, mbYesNo) != mrYes) return false;
  if (!QFile::moveToTrash(path) || QFileInfo::exists(path)) {
    ShowMessage(txtCannotDelete);
    if (QFileInfo::exists(path)) return false;
  }
  QTreeWidgetItem* parent = node->parent();
  populating_ = true;
  delete node;
  populating_ = false;
  if (parent) {
    setCurrentItem(parent);
    if (parent->childCount() == 0) parent->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
  }
  return true;
}

void TShellTreeViewEx::PasteInto(Node* target) {
  const QString source = clipboardPath_;
  const QString name = QFileInfo(source).fileName();
  const QString destination = WithoutSlash(target->data.path) + QLatin1Char('/') + name;
  // Nothing into itself or below itself, and nothing over an existing name.
  if (QFileInfo::exists(destination) || WithSlash(destination).startsWith(WithSlash(source))) {
    ShowMessage(txtCannotPaste);
    return;
  }
  bool ok = false;
  if (clipboardCut_) {
    ok = QDir().rename(source, destination);
    // Across volumes: copied, then the original goes to the trash rather than for good.
    if (!ok && CopyTree(source, destination)) ok = QFile::moveToTrash(source);
  } else {
    ok = QFileInfo(source).isDir() ? CopyTree(source, destination) : QFile::copy(source, destination);
  }
  if (!ok) {
    ShowMessage(txtCannotPaste);
    return;
  }
  if (clipboardCut_) {
    // The cut node, wherever it shows, goes.
    for (QTreeWidgetItemIterator it(this); *it; ++it) {
      auto* node = static_cast<Node*>(*it);
      if (WithoutSlash(node->data.path) == source) {
        populating_ = true;
        delete node;
        populating_ = false;
        break;
      }
    }
    clipboardPath_.clear();
  }
  RefreshChildren(target);
  if (Node* added = FindChildByPath(target, WithSlash(destination))) setCurrentItem(added);
}
