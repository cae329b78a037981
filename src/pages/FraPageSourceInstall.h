#pragma once

// The backup-source page: a backup found on a removable medium (<root>/CorvaneBackup/
// cvbackup.idx) or a folder of the user's choice. Yields the backup folder whose index the
// installation from a backup reads. Remembers the chosen folder as "BackupFolder" (settings
// root 1, key "Settings").

#include "CvDialogs.h"
#include "CvWizardPage.h"

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TFramePageSourceInstall final : public TWizardPage {
  Q_OBJECT

 public:
  explicit TFramePageSourceInstall(QWidget* owner = nullptr);

  // The check on Next; after success BackupFolder() is where the backup's index lies.
  bool Check();
  // The backup folder with a trailing '/'; empty until the scan or the check found one.
  const QString& BackupFolder() const { return backupFolder_; }

  // Looks for a backup on the removable media and selects the matching choice.
  void Scan();
  // Shows the stored folder and brings the controls' enabled state up to date.
  void Load();

  // Seam for tests: the folder dialog (default: the real one, modal).
  std::function<bool(TBrowseFolderDialog& dialog)> ExecuteBrowse;

  QRadioButton* RadioFound() const { return radioFound_; }
  QRadioButton* RadioChosen() const { return radioChosen_; }
  QLabel* LabelFound() const { return labelFound_; }
  QLabel* ImageFound() const { return imageFound_; }
  QLineEdit* EditLocation() const { return editLocation_; }
  QPushButton* ButtonBrowse() const { return buttonBrowse_; }

 protected:
  void PagePlaced() override;
  void changeEvent(QEvent* event) override;

 private:
  void ApplyTexts();
  void RadioClicked(QRadioButton* button);
  void EditLocationEdited(const QString& text);
  void ButtonBrowseClick();

  QString backupFolder_;
  bool loading_ = false;  // the page itself sets the location's text

  QRadioButton* radioFound_ = nullptr;
  QRadioButton* radioChosen_ = nullptr;
  QLabel* imageFound_ = nullptr;
  QLabel* labelFound_ = nullptr;
  QLineEdit* editLocation_ = nullptr;
  QPushButton* buttonBrowse_ = nullptr;
};
