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
#include <QMenu>

#include <utility>

namespace {

const TLangText txtDesktop = {"Desktop", "Bureaublad", "Desktop", "Bureau",
                              "Escritorio", "Desktop", "Skrivebord", "Skrivbord"};
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
const TLangText txtDelete = {"&Delete", "&Verwijderen", "&Löschen", "&Supprimer",
                            "&Eliminar", "&Elimina", "&Slet", "&Ta bort"};
const TLangText txtConfirmDelete = {
    "Are you sure you want to delete the folder \"%s\" and everything in it?",
    "Weet u zeker dat u de map \"%s\" en alles wat erin staat wilt verwijderen?",
    "Möchten Sie den Ordner \"%s\" und seinen gesamten Inhalt wirklich löschen?",
    "Voulez-vous vraiment supprimer le dossier \"%s\" et tout son contenu ?",
    "¿Está seguro de que desea eliminar la carpeta \"%s\" y todo su contenido?",
    "Eliminare la cartella \"%s\" e tutto il suo contenuto?",
    "Er du sikker på, at du vil slette mappen \"%s\" og alt dens indhold?",
    "Vill du ta bort mappen \"%s\" och allt innehåll i den?"};
const TLangText txtCannotDelete = {
    "Cannot delete folder.", "Kan de map niet verwijderen.", "Der Ordner kann nicht gelöscht werden.",
    "Impossible de supprimer le dossier.", "No se puede eliminar la carpeta.",
    "Impossibile eliminare la cartella.", "Mappen kan ikke slettes.", "Det går inte att ta bort mappen."};
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

bool HasSubfolders(const QString& path, TShellObjectTypes types) {
  QDir::Filters filters = QDir::Dirs | QDir::NoDotAndDotDot;
  if (types & otNonFolders) filters |= QDir::Files;
  if (types & otHidden) filters |= QDir::Hidden;
  return QDirIterator(path, filters).hasNext();
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
  Initialize();
}

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

void TShellTreeViewEx::Initialize() {
  populating_ = true;
  clear();
  TShellData desktop;
  desktop.isVirtual = true;
  desktop.isFolder = true;
  desktop.displayName = LangText(txtDesktop);
  root_ = new Node(desktop);
  root_->setIcon(0, QApplication::style()->standardIcon(QStyle::SP_DesktopIcon));
  addTopLevelItem(root_);
  root_->populated = true;

  auto addTop = [&](const QString& path, const QString& name, QFileIconProvider::IconType icon) {
    TShellData d;
    d.isFolder = true;
    d.path = WithSlash(path);
    d.pathExists = QFileInfo(d.path).isDir();
    d.displayName = name;
    d.canCopy = true;
    if (Node* node = AddNode(root_, d)) node->setIcon(0, QFileIconProvider().icon(icon));
  };
  addTop(QDir::homePath(), LangText(txtHome), QFileIconProvider::Folder);
  addTop(QStringLiteral("/"), LangText(txtFileSystem), QFileIconProvider::Computer);
  const QString home = WithSlash(QDir::homePath());
  for (const QString& volume : GetDrives()) {
    const QString path = WithSlash(volume);
    if (path == QLatin1String("/") || path == home) continue;
    const QString name = QDir(path).dirName();
    // The volume's name; its full path shows in the tooltip.
    addTop(path, name.isEmpty() ? path : name, QFileIconProvider::Drive);
  }
  populating_ = false;
  root_->setExpanded(true);
  setCurrentItem(root_);
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
  node->setChildIndicatorPolicy(d.isFolder && d.pathExists && HasSubfolders(d.path, ObjectTypes)
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
  QDir::Filters filters = QDir::Dirs | QDir::NoDotAndDotDot;
  if (ObjectTypes & otNonFolders) filters |= QDir::Files;
  if (ObjectTypes & otHidden) filters |= QDir::Hidden;
  const QFileInfoList entries =
      QDir(node->data.path).entryInfoList(filters, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware | QDir::DirsFirst);
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
  for (int i = 0; i < root_->childCount(); ++i) {
    auto* top = static_cast<Node*>(root_->child(i));
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
    if (!child) break;  // hidden or refused by OnFolderAdd: stop at the nearest shown folder
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
    node->setChildIndicatorPolicy(HasSubfolders(node->data.path, ObjectTypes) ? QTreeWidgetItem::ShowIndicator
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
  if (!node || node->data.isVirtual) return;
  setCurrentItem(node);
  const bool isDir = QFileInfo(node->data.path).isDir();
  const bool writable = !readOnly_;

  QMenu menu(this);
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

  QAction* chosen = menu.exec(event->globalPos());
  if (!chosen) return;
  if (chosen == newFolder) {
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

void TShellTreeViewEx::DeleteNode(Node* node) {
  const QString path = WithoutSlash(node->data.path);
  const QString question = LangText(txtConfirmDelete).replace(QLatin1String("%s"), node->data.displayName);
  if (MsgBox(question, mtConfirmation, mbYesNo) != mrYes) return;
  const QFileInfo info(path);
  const bool removed = info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
  if (QFileInfo::exists(path) || !removed) {
    ShowMessage(txtCannotDelete);
    if (QFileInfo::exists(path)) return;
  }
  QTreeWidgetItem* parent = node->parent();
  populating_ = true;
  delete node;
  populating_ = false;
  if (parent) {
    setCurrentItem(parent);
    if (parent->childCount() == 0) parent->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
  }
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
    if (!ok && CopyTree(source, destination)) ok = QDir(source).removeRecursively();
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
