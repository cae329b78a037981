#pragma once

// The modal folder-choice window: a folder tree above a row of New folder, OK and Cancel.

#include "CvDialogs.h"

#include <QDialog>

class QPushButton;
class TShellTreeViewEx;
struct TShellData;

class TFormBrowseFolder final : public QDialog {
  Q_OBJECT

 public:
  TFormBrowseFolder(bool readOnly, TBrowseFolderKind kind, TBrowseDirOptions options,
                    const QString& folder, const QString& title, QWidget* parent = nullptr);

  TShellTreeViewEx* ShellTree() const { return tree_; }
  QPushButton* ButtonOK() const { return buttonOK_; }
  QPushButton* ButtonCancel() const { return buttonCancel_; }
  QPushButton* ButtonNewFolder() const { return buttonNewFolder_; }

  // The folder the dialog starts in: the full form of the given one, climbing to its parent
  // while it does not exist. Empty stays empty.
  static QString StartFolder(const QString& folder);

 private:
  void FolderSelected(const TShellData* data);

  TBrowseDirOptions options_;
  TShellTreeViewEx* tree_ = nullptr;
  QPushButton* buttonOK_ = nullptr;
  QPushButton* buttonCancel_ = nullptr;
  QPushButton* buttonNewFolder_ = nullptr;
};
