#pragma once

// Folder choice for the wizard pages: set the properties, call Execute.

#include <QString>

class QWidget;

enum TBrowseFolderKind { bkOpen, bkSave };

enum TBrowseDirOption { bfNewFolder = 1, bfNoReadOnlyReturn = 2 };
using TBrowseDirOptions = int;

class TBrowseFolderDialog final {
 public:
  QString Folder;                       // in: where to start; out: the chosen folder, ending with '/'
  TBrowseFolderKind Kind = bkOpen;
  TBrowseDirOptions Options = bfNewFolder;
  bool ReadOnly = false;
  QString Title;

  // Shows the folder window modally; true and Folder set when the user pressed OK.
  bool Execute(QWidget* parent = nullptr);
};
