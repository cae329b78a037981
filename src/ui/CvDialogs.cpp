#include "CvDialogs.h"

#include "CvBrowseFolderFrm.h"
#include "CvShellView.h"

bool TBrowseFolderDialog::Execute(QWidget* parent) {
  TFormBrowseFolder form(ReadOnly, Kind, Options, Folder, Title, parent);
  if (form.exec() != QDialog::Accepted) return false;
  const QString chosen = form.ShellTree()->SelectedPath();
  if (chosen.isEmpty()) return false;
  Folder = chosen;
  return true;
}
