#pragma once

// A tree of the file system for choosing folders: the home folder, the file-system root and
// every mounted volume at the top, named as the desktop's file dialogs name them, expanded
// lazily, with new folder, rename in place, move to the trash, refresh and a context menu of
// its own. Hidden folders show when the user asks for them (remembered), and always on the
// way to a folder that is selected. A remote volume is not touched until the user opens it.

#include <QDir>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

#include <functional>

enum TShellTreeSelectMode { smNormal, smSimple };

enum TShellObjectType { otFolders = 1, otNonFolders = 2, otHidden = 4 };
using TShellObjectTypes = int;

// What the tree knows of one node.
struct TShellData {
  bool canCopy = false;
  bool canDelete = false;
  bool canMove = false;
  bool canRename = false;
  bool isVirtual = false;  // a node without a path of its own (none at present)
  bool isFolder = false;
  bool pathExists = false;
  QString path;         // ends with '/' for folders; empty for virtual nodes
  QString displayName;  // the node's text
};

class TShellTreeViewEx : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TShellTreeViewEx(QWidget* parent = nullptr);
  ~TShellTreeViewEx() override;

  TShellTreeSelectMode Mode = smSimple;
  TShellObjectTypes ObjectTypes = otFolders;
  bool SystemContextMenu = true;

  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly);

  // Hidden folders (names starting with '.') in the tree, besides those on the way to the
  // selected folder. The choice is remembered in the program settings.
  bool ShowHidden() const { return showHidden_; }
  void SetShowHidden(bool show);

  // Hooks of the owner. OnFolderAdd may refuse a node; OnFolderCreate receives the bare name
  // of a new folder and may change it or refuse; OnFolderEdit may refuse a rename.
  std::function<void(TShellTreeViewEx*, const TShellData&, bool& canAdd)> OnFolderAdd;
  std::function<void(TShellTreeViewEx*, QString& folder, bool& canCreate)> OnFolderCreate;
  std::function<void(TShellTreeViewEx*, const TShellData&, bool& allowed)> OnFolderEdit;
  std::function<void(TShellTreeViewEx*, const TShellData*)> OnFolderSelect;

  // Selects the folder of a path, expanding the way to it; a path that cannot be found shows
  // the folder-not-found message. True when the folder is selected.
  bool SelectPath(const QString& path);
  // Creates a new folder under the selected node and starts renaming it.
  bool CreateNewFolder();
  // Rebuilds the tree and selects the nearest existing folder of the old selection.
  void Refresh();
  // Path of the selected node; empty when nothing or a virtual node is selected.
  QString SelectedPath() const;
  const TShellData* SelectedData() const;
  // Moves the selected folder to the desktop's trash after asking (also the Delete key).
  bool DeleteSelected();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

 private:
  class Node;
  void Initialize();
  Node* AddNode(QTreeWidgetItem* parent, TShellData data);
  void Populate(QTreeWidgetItem* item);
  void RefreshChildren(QTreeWidgetItem* item);
  Node* FindChildByPath(QTreeWidgetItem* parent, const QString& path) const;
  void ItemExpanding(QTreeWidgetItem* item);
  void CurrentChanged(QTreeWidgetItem* current);
  void ItemEdited(QTreeWidgetItem* item, int column);
  void StartRename(QTreeWidgetItem* item);
  bool DeleteNode(Node* node);
  void PasteInto(Node* target);
  QDir::Filters EntryFilters() const;
  bool IsRemoteRoot(const QString& path) const;

  bool readOnly_ = true;
  bool populating_ = false;
  bool showHidden_ = false;
  QStringList remoteRoots_;  // mount points of remote volumes, ending with '/' 
  QString clipboardPath_;
  bool clipboardCut_ = false;
};

// True when a folder name holds none of \ / : * ? " < > | and is not empty, "." or "..".
bool IsValidFolderName(const QString& name);

// "New folder", "New folder (1)", ... : the first name under parent (ending with '/') that
// does not exist yet.
QString UniqueNewFolderPath(const QString& parent, const QString& baseName);
