#include "FraPageTypeInstall.h"

#include "CvLanguage.h"
#include "CvLib.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QRadioButton>

namespace {

const TLangText txtInstallFromBackup = {"Install from a backup", "Installeren vanaf een back-up",
                                        "Von einer Sicherung installieren"};
const TLangText txtInstallFromBackupInfo = {"Install software and charts from a backup",
                                            "Software en kaarten installeren vanaf een back-up",
                                            "Software und Karten von einer Sicherung installieren"};
const TLangText txtInstallOnline = {"Install software and chart from the internet",
                                    "Software en kaarten installeren vanaf internet",
                                    "Software und Karten aus dem Internet installieren"};
const TLangText txtInstallOnlineInfo = {
    "Install software and charts by downloading them from the internet",
    "Software en kaarten installeren door ze van internet te downloaden",
    "Software und Karten installieren, indem sie aus dem Internet heruntergeladen werden"};
const TLangText txtCreateBackup = {"Create/update installation backup", "Installatieback-up maken/bijwerken",
                                   "Installationssicherung erstellen/aktualisieren"};
const TLangText txtCreateBackupInfo = {
    "Create (or update) an installation backup for offline installation on this or other pc's",
    "Maak (of werk bij) een installatieback-up voor offline installatie op deze of andere pc's",
    "Eine Installationssicherung für die Offline-Installation auf diesem oder anderen PCs erstellen (oder "
    "aktualisieren)"};

const QString kSettingsKey = QStringLiteral("Settings");
const QString kSetupTypeValue = QStringLiteral("SetupType");

// Group i from the top: install from a backup, from the internet, create a backup.
constexpr int kGroupTop[3] = {60, 165, 270};
constexpr TSetupType kGroupType[3] = {InstallFromBackup, InstallOnline, CreateBackup};

// Small drawn icons: a disk for the backup, a globe for the internet, a box for creating.
QPixmap GroupIcon(int group) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  switch (group) {
    case 0:
      p.setBrush(QColor(70, 110, 170));
      p.setPen(QColor(40, 60, 100));
      p.drawRoundedRect(QRectF(1.5, 3.5, 13, 10), 2, 2);
      p.fillRect(QRectF(4, 5, 8, 3), QColor(230, 235, 245));
      break;
    case 1:
      p.setBrush(QColor(60, 150, 210));
      p.setPen(QColor(30, 90, 140));
      p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
      p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
      p.drawEllipse(QRectF(5, 1.5, 6, 13));
      break;
    default:
      p.setBrush(QColor(200, 150, 70));
      p.setPen(QColor(130, 90, 30));
      p.drawRect(QRectF(2.5, 5.5, 11, 9));
      p.drawLine(QPointF(8, 1), QPointF(8, 9));
      p.drawLine(QPointF(5, 6), QPointF(8, 9));
      p.drawLine(QPointF(11, 6), QPointF(8, 9));
      break;
  }
  return pm;
}

}  // namespace

TFramePageTypeInstall::TFramePageTypeInstall(QWidget* owner) : TWizardPage(owner) {
  setObjectName(QStringLiteral("PageTypeInstall"));
  resize(620, 370);
  for (int i = 0; i < 3; ++i) {
    auto* group = new QWidget(this);
    group->setGeometry(20, kGroupTop[i], 580, 60);
    radio_[i] = new QRadioButton(group);
    radio_[i]->setGeometry(0, 0, 580, 17);
    QFont bold = radio_[i]->font();
    bold.setBold(true);
    bold.setPixelSize(12);
    radio_[i]->setFont(bold);
    // Separate groups: exclusivity is ours.
    radio_[i]->setAutoExclusive(false);
    icon_[i] = new QLabel(group);
    icon_[i]->setGeometry(20, 20, 16, 16);
    icon_[i]->setPixmap(GroupIcon(i));
    explanation_[i] = new QLabel(group);
    explanation_[i]->setGeometry(40, 22, 540, 34);
    explanation_[i]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    explanation_[i]->setWordWrap(true);
    QFont small = explanation_[i]->font();
    small.setPixelSize(11);
    explanation_[i]->setFont(small);
    connect(radio_[i], &QRadioButton::clicked, this, [this, i] { RadioClicked(i); });
  }
  radio_[0]->setObjectName(QStringLiteral("RadioInstallFromBackup"));
  radio_[1]->setObjectName(QStringLiteral("RadioInstallOnline"));
  radio_[2]->setObjectName(QStringLiteral("RadioCreateBackup"));
  // A new page offers install from a backup.
  radio_[0]->setChecked(true);
  ApplyTexts();
}

TSetupType TFramePageTypeInstall::SetupType() const {
  if (radio_[0]->isChecked()) return InstallFromBackup;
  if (radio_[1]->isChecked()) return InstallOnline;
  return CreateBackup;
}

void TFramePageTypeInstall::RadioClicked(int index) {
  if (!radio_[index]->isChecked()) {
    // A click on the checked button would uncheck it; one choice always stays.
    radio_[index]->setChecked(true);
  }
  for (int i = 0; i < 3; ++i)
    if (i != index) radio_[i]->setChecked(false);
}

void TFramePageTypeInstall::SelectStoredType(int stored) {
  int index = -1;
  if (stored == CreateBackup) index = 2;
  if (stored == InstallFromBackup || stored == 2) index = 0;
  if (stored == InstallOnline) index = 1;
  if (index < 0) return;
  for (int i = 0; i < 3; ++i) radio_[i]->setChecked(i == index);
}

void TFramePageTypeInstall::PagePlaced() {
  SelectStoredType(GetAppReg().ReadInteger(rrSettings, kSettingsKey, kSetupTypeValue, InstallFromBackup));
  ApplyTexts();
}

void TFramePageTypeInstall::PageRemoved() {
  GetAppReg().WriteInteger(rrSettings, kSettingsKey, kSetupTypeValue, SetupType());
}

void TFramePageTypeInstall::ApplyTexts() {
  radio_[0]->setText(LangText(txtInstallFromBackup));
  explanation_[0]->setText(LangText(txtInstallFromBackupInfo));
  radio_[1]->setText(LangText(txtInstallOnline));
  explanation_[1]->setText(LangText(txtInstallOnlineInfo));
  radio_[2]->setText(LangText(txtCreateBackup));
  explanation_[2]->setText(LangText(txtCreateBackupInfo));
}
