#pragma once

// The first page: what the wizard is to do. Three option groups, each a bold radio button
// with an icon and a line of explanation; the choice is kept in the program settings
// ("Settings", "SetupType").

#include "CvSetupType.h"
#include "CvWizardPage.h"

class QLabel;
class QRadioButton;

class TFramePageTypeInstall final : public TWizardPage {
  Q_OBJECT

 public:
  explicit TFramePageTypeInstall(QWidget* owner);

  // The chosen setup type: 1 when install-from-backup is checked, else 3 when
  // install-from-internet is, else 0.
  TSetupType SetupType() const;

  QRadioButton* RadioInstallFromBackup() const { return radio_[0]; }
  QRadioButton* RadioInstallOnline() const { return radio_[1]; }
  QRadioButton* RadioCreateBackup() const { return radio_[2]; }

  // Checks the button of a stored value: 0 create a backup, 1 or 2 install from a backup,
  // 3 install from the internet; any other value leaves the choice as it is.
  void SelectStoredType(int stored);

 protected:
  void PagePlaced() override;
  void PageRemoved() override;

 private:
  void RadioClicked(int index);
  void ApplyTexts();

  QRadioButton* radio_[3] = {};
  QLabel* icon_[3] = {};
  QLabel* explanation_[3] = {};
};
