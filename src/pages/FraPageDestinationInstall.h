#pragma once

// The destination page: the folder to install into or, when creating a backup, the folder
// to create or update the backup in, with the free and the required disk space. The choice is
// remembered in settings root 1, key "Settings" ("FolderDefault", "FolderDestination",
// "FolderDestinationBackup").

#include "CvDialogs.h"
#include "CvWizardPage.h"

#include <QString>

#include <cstdint>
#include <functional>

class QFontMetrics;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// A folder shortened to width in the way of a path ellipsis: leading folders give way to
// ".../" until the rest fits.
QString PathEllipsis(const QString& path, const QFontMetrics& metrics, int width);

// The root of the volume that holds path, found in the volume table by name alone (nothing on
// disk is looked at, so a dead remote volume cannot stall the caller); empty when none.
QString VolumeRootByName(const QString& path);

class TFramePageDestinationInstall final : public TWizardPage {
  Q_OBJECT

 public:
  explicit TFramePageDestinationInstall(QWidget* owner = nullptr);

  // The setup type; 0 (create a backup) is backup mode, every other value install mode.
  void SetMode(int mode);
  int Mode() const { return mode_; }
  bool BackupMode() const { return mode_ == 0; }
  // Bytes the selected products need; a different value refreshes the page.
  void SetRequiredSpace(std::int64_t bytes);
  std::int64_t RequiredSpace() const { return requiredSpace_; }
  // Bytes free on the volume of the chosen folder, as last refreshed (0 when unknown).
  std::int64_t AvailableSpace() const { return availableSpace_; }

  // The folder the user chose, ending with '/': install mode: the default <program files>/
  // Corvane/ or the stored "FolderDestination"; backup mode: <first removable medium>/
  // CorvaneBackup/ or the stored "FolderDestinationBackup". Empty when there is none.
  QString ChosenFolder() const;
  // The program-files folder with a trailing '/' (/opt/ as root, else ~/.local/opt/).
  const QString& ProgramFilesFolder() const { return programFilesFolder_; }

  // The check on Next: shows the first failing rule's message and returns false.
  bool Check();

  // Load the settings, then refresh (what being placed does before the texts).
  void Load();
  void Refresh();

  // Seams for tests: the folder dialog (default: the real one, modal) and the free-space
  // probe (default: DiskGetFreeSpace).
  std::function<bool(TBrowseFolderDialog& dialog)> ExecuteBrowse;
  std::function<int(const QString& folder, std::int64_t& freeBytes)> ProbeFreeSpace;

  QRadioButton* RadioDefault() const { return radioDefault_; }
  QRadioButton* RadioUser() const { return radioUser_; }
  QLineEdit* EditDefault() const { return editDefault_; }
  QLineEdit* EditUser() const { return editUser_; }
  QPushButton* ButtonBrowse() const { return buttonBrowse_; }
  QLabel* LabelSpaceRequired() const { return labelSpaceRequired_; }
  QLabel* LabelSpaceAvailable() const { return labelSpaceAvailable_; }
  // True while the available space is shown in red (less than required).
  bool AvailableRed() const { return availableRed_; }

 protected:
  void PagePlaced() override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ApplyTexts();
  void RadioClicked(QRadioButton* button);
  void EditUserEdited(const QString& text);
  void ButtonBrowseClick();
  QString FolderValueName() const;
  void ShowDefaultText();
  void UpdateSpace();
  void ShowSpace();

  QString programFilesFolder_;
  QString defaultRoot_;  // backup mode: the first removable medium's root, or empty
  int mode_ = 3;
  std::int64_t requiredSpace_ = 0;
  std::int64_t availableSpace_ = 0;
  bool availableRed_ = false;
  bool refreshing_ = false;  // the page itself sets the user edit's text

  QWidget* groupDefault_ = nullptr;
  QWidget* groupUser_ = nullptr;
  QRadioButton* radioDefault_ = nullptr;
  QRadioButton* radioUser_ = nullptr;
  QLineEdit* editDefault_ = nullptr;
  QLineEdit* editUser_ = nullptr;
  QPushButton* buttonBrowse_ = nullptr;
  QLabel* labelSpaceRequired_ = nullptr;
  QLabel* labelSpaceAvailable_ = nullptr;
};
