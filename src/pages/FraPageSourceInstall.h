#pragma once

// The backup-source page: a backup found on a removable medium (<root>/CorvaneBackup/
// cvbackup.idx) or a folder of the user's choice. Yields the backup folder whose index the
// installation from a backup reads. Remembers the chosen folder as "BackupFolder" (settings
// root 1, key "Settings").

#include "CvDialogs.h"

#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class TFramePageSourceInstall final : public QWidget {
  Q_OBJECT

 public:
  explicit TFramePageSourceInstall(QWidget* parent = nullptr);

  // Page protocol: placed into a new parent the page scans the removable media, loads and
  // applies its texts; taken away it stores nothing.
  void SetParent(QWidget* parent);

  // The check on Next; after success BackupFolder() is where the backup's index lies.
  bool Check();
  // The backup folder with a trailing '/'; empty until the scan or the check found one.
  const QString& BackupFolder() const { return backupFolder_; }

  void Scan();
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
  void changeEvent(QEvent* event) override;

 private:
  void ApplyTexts();
  void RadioClicked(QRadioButton* button);
  void ButtonBrowseClick();

  QString backupFolder_;
  bool loading_ = false;

  QRadioButton* radioFound_ = nullptr;
  QRadioButton* radioChosen_ = nullptr;
  QLabel* imageFound_ = nullptr;
  QLabel* labelFound_ = nullptr;
  QLineEdit* editLocation_ = nullptr;
  QPushButton* buttonBrowse_ = nullptr;
};
