#include "FraPageSourceInstall.h"

#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"
#include "CvProductTree.h"

#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

namespace {

const TLangText stFoundBackup = {"Install from found backup", "Installeren vanaf gevonden backup",
                                 "Vom gefundenen Backup installieren"};
const TLangText stFoundExplanation = {"Install charts and programs from the found backup folder.",
                                      "Installeer kaarten en programma's vanuit de gevonden backupmap.",
                                      "Karten und Programme aus dem gefundenen Backup-Ordner installieren."};
const TLangText stChosenFolder = {"Install from a chosen backup folder", "Installeren vanuit een gekozen backupmap",
                                  "Aus einem gewählten Backup-Ordner installieren"};
const TLangText stBrowse = {"Browse...", "Bladeren...", "Durchsuchen..."};
const TLangText stNoBackup = {
    "No backup found in %s.\r\n\r\nPlease select a folder with a valid backup.",
    "Geen backup gevonden in %s.\r\n\r\nSelecteer een map met een geldige backup.",
    "Kein Backup in %s gefunden.\r\n\r\nBitte wählen Sie einen Ordner mit einem gültigen Backup."};

const QString kSettings = QStringLiteral("Settings");
const QString kBackupFolder = QStringLiteral("BackupFolder");
const QString kIndexName = QStringLiteral("cvbackup.idx");
const QString kBackupSub = QStringLiteral("CorvaneBackup/");

QString WithSlash(const QString& folder) {
  if (folder.isEmpty() || folder.endsWith(QLatin1Char('/'))) return folder;
  return folder + QLatin1Char('/');
}

// An index is a regular file (a folder or a pipe under that name is no backup).
bool IndexIn(const QString& folder) { return QFileInfo(folder + kIndexName).isFile(); }

}  // namespace

TFramePageSourceInstall::TFramePageSourceInstall(QWidget* owner) : TWizardPage(owner) {
  auto* groupFound = new QWidget(this);
  groupFound->setGeometry(20, 70, 580, 60);
  radioFound_ = AddChoiceRadio(groupFound, QStringLiteral("RadioFound"));
  radioFound_->setChecked(true);
  imageFound_ = new QLabel(groupFound);
  imageFound_->setObjectName(QStringLiteral("ImageFound"));
  imageFound_->setGeometry(20, 20, 16, 16);
  imageFound_->setPixmap(style()->standardIcon(QStyle::SP_DriveFDIcon).pixmap(16, 16));
  labelFound_ = new QLabel(groupFound);
  labelFound_->setObjectName(QStringLiteral("LabelFound"));
  labelFound_->setGeometry(40, 22, 540, 34);
  labelFound_->setWordWrap(true);
  labelFound_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  const TFolderChoice chosen = AddFolderChoice(20, 240, QStringLiteral("RadioChosen"),
                                               QStringLiteral("EditLocation"), QStringLiteral("ButtonBrowse"));
  radioChosen_ = chosen.radio;
  editLocation_ = chosen.edit;
  buttonBrowse_ = chosen.browse;
  resize(620, 370);

  connect(radioFound_, &QRadioButton::clicked, this, [this] { RadioClicked(radioFound_); });
  connect(radioChosen_, &QRadioButton::clicked, this, [this] { RadioClicked(radioChosen_); });
  // Every change of the text counts, also one made by a program, except the page's own.
  connect(editLocation_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (!loading_) EditLocationEdited(text);
  });
  connect(buttonBrowse_, &QPushButton::clicked, this, &TFramePageSourceInstall::ButtonBrowseClick);
  ExecuteBrowse = [this](TBrowseFolderDialog& dialog) { return dialog.Execute(this); };
  ApplyTexts();
}

void TFramePageSourceInstall::PagePlaced() {
  Scan();
  Load();
  ApplyTexts();
}

void TFramePageSourceInstall::Scan() {
  QString found;
  for (const QString& root : GetDrives()) {
    // Only present removable media are looked at; fixed and remote volumes never.
    if (DriveGetType(root) != dtRemovable || !DiskIsPresent(root)) continue;
    if (IndexIn(root + kBackupSub)) {
      found = root + kBackupSub;
      break;
    }
  }
  if (!found.isEmpty()) {
    backupFolder_ = found;
    radioFound_->setEnabled(true);
    radioFound_->setChecked(true);
    radioChosen_->setChecked(false);
  } else {
    radioFound_->setEnabled(false);
    radioFound_->setChecked(false);
    radioChosen_->setChecked(true);
  }
}

void TFramePageSourceInstall::Load() {
  const QString stored = GetAppReg().ReadString(rrSettings, kSettings, kBackupFolder);
  if (editLocation_->text() != stored) {
    loading_ = true;
    editLocation_->setText(stored);
    loading_ = false;
  }
  const bool chosen = radioChosen_->isChecked();
  buttonBrowse_->setEnabled(chosen);
  editLocation_->setEnabled(chosen);
  const bool found = radioFound_->isChecked();
  labelFound_->setEnabled(found);
  imageFound_->setEnabled(found);
}

void TFramePageSourceInstall::RadioClicked(QRadioButton* button) {
  QRadioButton* other = button == radioFound_ ? radioChosen_ : radioFound_;
  button->setChecked(true);
  other->setChecked(false);
  Load();
}

void TFramePageSourceInstall::EditLocationEdited(const QString& text) {
  GetAppReg().WriteString(rrSettings, kSettings, kBackupFolder, text);
}

void TFramePageSourceInstall::ButtonBrowseClick() {
  TBrowseFolderDialog dialog;
  dialog.Kind = bkOpen;
  dialog.Options = 0;
  dialog.Folder = GetAppReg().ReadString(rrSettings, kSettings, kBackupFolder);
  if (!ExecuteBrowse || !ExecuteBrowse(dialog)) return;
  GetAppReg().WriteString(rrSettings, kSettings, kBackupFolder, dialog.Folder);
  Load();
}

bool TFramePageSourceInstall::Check() {
  const QString text = LangText(stNoBackup);
  const qsizetype at = text.indexOf(QLatin1String("%s"));
  auto noBackup = [&](const QString& where) {
    MsgBoxCaption(PageApplicationTitle(), at < 0 ? text : text.left(at) + where + text.mid(at + 2), mtError,
                  mbOKOnly);
    return false;
  };
  if (radioFound_->isChecked()) {
    if (!backupFolder_.isEmpty() && IndexIn(backupFolder_)) return true;
    // The medium went away since the scan. Another found backup will do; a chosen folder is
    // not taken behind the user's back: the page shows that choice now and says why.
    const QString gone = backupFolder_;
    Scan();
    Load();
    if (radioFound_->isChecked()) return true;
    return noBackup(gone);
  }
  const QString typed = editLocation_->text();
  const QString folder = WithSlash(typed);
  // A relative location would depend on the working folder; it names no backup.
  if (!folder.isEmpty() && QDir::isAbsolutePath(folder)) {
    if (IndexIn(folder + kBackupSub)) {
      backupFolder_ = folder + kBackupSub;
      return true;
    }
    if (IndexIn(folder)) {
      backupFolder_ = folder;
      return true;
    }
  }
  return noBackup(typed);
}

void TFramePageSourceInstall::ApplyTexts() {
  radioFound_->setText(LangText(stFoundBackup));
  labelFound_->setText(LangText(stFoundExplanation));
  radioChosen_->setText(LangText(stChosenFolder));
  buttonBrowse_->setText(LangText(stBrowse));
}

void TFramePageSourceInstall::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) ApplyTexts();
  TWizardPage::changeEvent(event);
}
