#include "FraPageDestinationInstall.h"

#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"
#include "CvProductTree.h"
#include "CvStrUtils.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

const TLangText dtDefaultFolder = {"Default folder", "Standaardmap", "Standardordner"};
const TLangText dtUserFolder = {"User defined folder", "Door gebruiker gekozen map", "Benutzerdefinierter Ordner"};
const TLangText dtBrowse = {"Browse...", "Bladeren...", "Durchsuchen..."};
const TLangText dtSpaceAvailable = {"Disk space available:", "Beschikbare schijfruimte:", "Verfügbarer Speicherplatz:"};
const TLangText dtNoFolder = {
    "No installation folder specified. \r\n\r\nPlease specify the folder where you would like the charts to be "
    "installed to.",
    "Er is geen installatiemap opgegeven. \r\n\r\nGeef de map op waarin u de kaarten wilt installeren.",
    "Kein Installationsordner angegeben. \r\n\r\nBitte geben Sie den Ordner an, in den die Karten installiert "
    "werden sollen."};
const TLangText dtNoDrive = {
    "The specified installation-drive does not exist. \r\n\r\nPlease specify a folder on an existing drive.",
    "Het opgegeven installatiestation bestaat niet. \r\n\r\nGeef een map op een bestaand station op.", nullptr};
const TLangText dtNetworkShare = {
    "The specified destination folder is invalid because it is on a network share.\r\n\r\nPlease specify a "
    "folder on a harddrive.",
    "De opgegeven doelmap is ongeldig omdat deze op een netwerkshare staat.\r\n\r\nGeef een map op een harde "
    "schijf op.",
    nullptr};
const TLangText dtContainsBackup = {
    "The specified installation folder contains a backup. It is not possible to install a backup into a folder "
    "with the same or other backup.\r\n\r\nPlease specify a different installation folder.",
    "De opgegeven installatiemap bevat een backup. Het is niet mogelijk een backup te installeren in een map met "
    "dezelfde of een andere backup.\r\n\r\nGeef een andere installatiemap op.",
    nullptr};
// The drive part goes in place of %s without its closing '/', which the text supplies.
const TLangText dtNoSpace = {
    "There is not enough disk space available on drive '%s/'\r\n\r\nSelect a different installation location.",
    "Er is niet genoeg schijfruimte beschikbaar op station '%s/'\r\n\r\nKies een andere installatielocatie.",
    "Auf Laufwerk '%s/' ist nicht genügend Speicherplatz verfügbar.\r\n\r\nWählen Sie einen anderen "
    "Installationsort."};

const QString kSettings = QStringLiteral("Settings");

QString WithSlash(const QString& folder) {
  if (folder.isEmpty() || folder.endsWith(QLatin1Char('/'))) return folder;
  return folder + QLatin1Char('/');
}

QString ReplacePlaceholder(const QString& text, const QString& value) {
  const qsizetype at = text.indexOf(QLatin1String("%s"));
  return at < 0 ? text : text.left(at) + value + text.mid(at + 2);
}

void Error(const QString& text) { MsgBoxCaption(PageApplicationTitle(), text, mtError, mbOKOnly); }

}  // namespace

QString PathEllipsis(const QString& path, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(path) <= width) return path;
  const bool trailing = path.endsWith(QLatin1Char('/'));
  QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  const QString tail = trailing ? QStringLiteral("/") : QString();
  while (parts.size() > 1) {
    parts.removeFirst();
    const QString shortened = QStringLiteral(".../") + parts.join(QLatin1Char('/')) + tail;
    if (metrics.horizontalAdvance(shortened) <= width) return shortened;
  }
  // Even the last name alone is too long: cut it in front.
  return metrics.elidedText(QStringLiteral(".../") + parts.value(0) + tail, Qt::ElideLeft, width);
}

QString VolumeRootByName(const QString& path) {
  if (path.isEmpty() || !QDir::isAbsolutePath(path)) return {};
  const QString clean = QDir::cleanPath(path) + QLatin1Char('/');
  QString best;
  for (const QString& root : GetDrives())
    if (clean.startsWith(root) && root.length() > best.length()) best = root;
  return best;
}

TFramePageDestinationInstall::TFramePageDestinationInstall(QWidget* owner) : TWizardPage(owner) {
  QString programFiles;
  if (ShlGetSpecialFolderPath(csfProgramFiles, programFiles) && !programFiles.isEmpty())
    programFilesFolder_ = WithSlash(programFiles);
  else
    programFilesFolder_ = WithSlash(QCoreApplication::applicationDirPath());

  const TFolderChoice byDefault =
      AddFolderChoice(20, 90, QStringLiteral("RadioDefault"), QStringLiteral("EditDefault"), QString());
  groupDefault_ = byDefault.group;
  radioDefault_ = byDefault.radio;
  editDefault_ = byDefault.edit;
  editDefault_->setReadOnly(true);

  const TFolderChoice byUser = AddFolderChoice(20, 210, QStringLiteral("RadioUser"), QStringLiteral("EditUser"),
                                               QStringLiteral("ButtonBrowse"));
  groupUser_ = byUser.group;
  radioUser_ = byUser.radio;
  editUser_ = byUser.edit;
  buttonBrowse_ = byUser.browse;

  labelSpaceRequired_ = new QLabel(this);
  labelSpaceRequired_->setObjectName(QStringLiteral("LabelSpaceRequired"));
  labelSpaceRequired_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  labelSpaceAvailable_ = new QLabel(this);
  labelSpaceAvailable_->setObjectName(QStringLiteral("LabelSpaceAvailable"));
  labelSpaceAvailable_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  resize(620, 370);

  connect(radioDefault_, &QRadioButton::clicked, this, [this] { RadioClicked(radioDefault_); });
  connect(radioUser_, &QRadioButton::clicked, this, [this] { RadioClicked(radioUser_); });
  // Every change of the text counts, also one made by a program, except the page's own.
  connect(editUser_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (!refreshing_) EditUserEdited(text);
  });
  connect(buttonBrowse_, &QPushButton::clicked, this, &TFramePageDestinationInstall::ButtonBrowseClick);

  ExecuteBrowse = [this](TBrowseFolderDialog& dialog) { return dialog.Execute(this); };
  ProbeFreeSpace = [](const QString& folder, std::int64_t& freeBytes) {
    qint64 free = 0;
    qint64 total = 0;
    const int error = DiskGetFreeSpace(folder, free, total);
    freeBytes = free;
    return error;
  };
  radioDefault_->setChecked(true);
  ApplyTexts();
}

QString TFramePageDestinationInstall::FolderValueName() const {
  return BackupMode() ? QStringLiteral("FolderDestinationBackup") : QStringLiteral("FolderDestination");
}

void TFramePageDestinationInstall::SetMode(int mode) { mode_ = mode; }

void TFramePageDestinationInstall::SetRequiredSpace(std::int64_t bytes) {
  if (bytes == requiredSpace_) return;
  requiredSpace_ = bytes;
  Refresh();
}

QString TFramePageDestinationInstall::ChosenFolder() const {
  TAppReg& reg = GetAppReg();
  if (!BackupMode()) {
    if (radioDefault_->isChecked()) return programFilesFolder_ + QStringLiteral("Corvane/");
    // The folder the user edit shows: with no value stored yet that is the default, and a
    // check must not call a folder on the screen "no folder".
    return WithSlash(reg.ReadString(rrSettings, kSettings, QStringLiteral("FolderDestination"),
                                    programFilesFolder_ + QStringLiteral("Corvane/")));
  }
  if (radioDefault_->isChecked())
    return defaultRoot_.isEmpty() ? QString() : WithSlash(defaultRoot_) + QStringLiteral("CorvaneBackup/");
  return WithSlash(reg.ReadString(rrSettings, kSettings, QStringLiteral("FolderDestinationBackup")));
}

void TFramePageDestinationInstall::PagePlaced() {
  Load();
  ApplyTexts();
}

void TFramePageDestinationInstall::Load() {
  TAppReg& reg = GetAppReg();
  const bool useDefault = reg.ReadBool(rrSettings, kSettings, QStringLiteral("FolderDefault"), true);
  radioDefault_->setChecked(useDefault);
  radioUser_->setChecked(!useDefault);
  const QString name = FolderValueName();
  QString folder = reg.ReadString(rrSettings, kSettings, name);
  if (!folder.isEmpty()) {
    // A folder on a medium that is gone, or deleted since, is forgotten. A medium the volume
    // table calls absent is not touched.
    const QString root = VolumeRootByName(folder);
    const bool reachable = QDir::isAbsolutePath(folder) && (root.isEmpty() || DiskIsPresent(root));
    // A folder on a remote volume is kept untouched (a dead server would stall the page); the
    // check refuses it anyway.
    const bool remote = reachable && !root.isEmpty() && DriveGetType(root) == dtRemote;
    if (!reachable || (!remote && !QFileInfo(folder).isDir())) {
      reg.WriteString(rrSettings, kSettings, name, QString());
      folder.clear();
    }
  }
  if (radioUser_->isChecked() && folder.isEmpty()) {
    radioUser_->setChecked(false);
    radioDefault_->setChecked(true);
  }
  Refresh();
}

void TFramePageDestinationInstall::ShowDefaultText() {
  if (BackupMode()) {
    editDefault_->setText(defaultRoot_);
    return;
  }
  const QString folder = programFilesFolder_ + QStringLiteral("Corvane/");
  const int width = editDefault_->contentsRect().width() - 8;
  editDefault_->setText(PathEllipsis(folder, editDefault_->fontMetrics(), width));
  editDefault_->setToolTip(folder);
}

void TFramePageDestinationInstall::Refresh() {
  TAppReg& reg = GetAppReg();
  QString userText;
  if (!BackupMode()) {
    defaultRoot_.clear();
    // Availability of the default is a backup-mode matter; install mode always offers it.
    radioDefault_->setEnabled(true);
    userText = reg.ReadString(rrSettings, kSettings, QStringLiteral("FolderDestination"),
                              programFilesFolder_ + QStringLiteral("Corvane/"));
    labelSpaceRequired_->setVisible(true);
  } else {
    defaultRoot_.clear();
    for (const QString& root : GetDrives()) {
      if (DriveGetType(root) == dtRemovable && DiskIsPresent(root)) {
        defaultRoot_ = root;
        break;
      }
    }
    if (defaultRoot_.isEmpty()) {
      radioDefault_->setChecked(false);
      radioUser_->setChecked(true);
      radioDefault_->setEnabled(false);
    } else {
      radioDefault_->setEnabled(true);
    }
    userText = reg.ReadString(rrSettings, kSettings, QStringLiteral("FolderDestinationBackup"));
    labelSpaceRequired_->setVisible(false);
  }
  ShowDefaultText();
  // Only when it differs: resetting the text would move the cursor while the user types.
  if (editUser_->text() != userText) {
    refreshing_ = true;
    editUser_->setText(userText);
    refreshing_ = false;
  }
  const bool user = !radioDefault_->isChecked();
  buttonBrowse_->setEnabled(user);
  editUser_->setEnabled(user);
  UpdateSpace();
}

void TFramePageDestinationInstall::UpdateSpace() {
  availableSpace_ = 0;
  const QString folder = ChosenFolder();
  const QString byName = VolumeRootByName(folder);
  // Free space is asked only of a volume that is there and not remote: a dead server must not
  // stall the page (and a remote folder fails the check anyway).
  if (!byName.isEmpty() && DiskIsPresent(byName) && DriveGetType(byName) != dtRemote) {
    const QString drive = GetFolderDrive(folder);
    std::int64_t free = 0;
    if (!drive.isEmpty() && ProbeFreeSpace && ProbeFreeSpace(drive, free) == 0) availableSpace_ = free;
  }
  ShowSpace();
}

void TFramePageDestinationInstall::ShowSpace() {
  const unsigned units = suKB | suMB | suGB;
  labelSpaceAvailable_->setText(LangText(dtSpaceAvailable) + QLatin1Char(' ') +
                                SizeToStr(units, 1, false, availableSpace_) + QLatin1Char(' '));
  labelSpaceRequired_->setText(QLatin1Char(' ') + LangText(ptDiskSpaceRequired) + QLatin1Char(' ') +
                               SizeToStr(units, 1, false, requiredSpace_) + QLatin1Char(' '));
  availableRed_ = availableSpace_ < requiredSpace_;
  // Red when it does not fit, else the palette's own text colour (light or dark).
  QPalette p = labelSpaceAvailable_->parentWidget()->palette();
  if (availableRed_) p.setColor(QPalette::WindowText, Qt::red);
  labelSpaceAvailable_->setPalette(p);
}

void TFramePageDestinationInstall::RadioClicked(QRadioButton* button) {
  QRadioButton* other = button == radioDefault_ ? radioUser_ : radioDefault_;
  button->setChecked(true);
  other->setChecked(false);
  GetAppReg().WriteBool(rrSettings, kSettings, QStringLiteral("FolderDefault"), radioDefault_->isChecked());
  Refresh();
}

void TFramePageDestinationInstall::EditUserEdited(const QString& text) {
  GetAppReg().WriteString(rrSettings, kSettings, FolderValueName(), text);
  Refresh();
}

void TFramePageDestinationInstall::ButtonBrowseClick() {
  TBrowseFolderDialog dialog;
  dialog.Kind = bkOpen;
  dialog.Options = bfNewFolder;
  dialog.Title = LangText(ctSelectDestinationFolder);
  QString start = GetAppReg().ReadString(rrSettings, kSettings, FolderValueName());
  if (start.isEmpty())
    start = BackupMode() ? WithSlash(QCoreApplication::applicationDirPath())
                         : programFilesFolder_ + QStringLiteral("Corvane/");
  dialog.Folder = start;
  if (!ExecuteBrowse || !ExecuteBrowse(dialog)) return;
  GetAppReg().WriteString(rrSettings, kSettings, FolderValueName(), dialog.Folder);
  Refresh();
}

bool TFramePageDestinationInstall::Check() {
  const QString folder = WithSlash(ChosenFolder());
  if (folder.isEmpty()) {
    Error(LangText(dtNoFolder));
    return false;
  }
  // A folder on a remote volume is judged by the volume table alone: on a reachable share it
  // is a network share, on one that is gone its drive does not exist.
  const QString byName = VolumeRootByName(folder);
  if (!byName.isEmpty() && DriveGetType(byName) == dtRemote) {
    Error(LangText(DiskIsPresent(byName) ? dtNetworkShare : dtNoDrive));
    return false;
  }
  const QString drive = byName.isEmpty() ? QString() : GetFolderDrive(folder);
  if (drive.isEmpty() || !DiskIsPresent(drive) || !QFileInfo(drive).isDir()) {
    Error(LangText(dtNoDrive));
    return false;
  }
  if (DriveGetType(drive) == dtRemote) {
    Error(LangText(dtNetworkShare));
    return false;
  }
  if (mode_ == 1 && QFileInfo::exists(folder + QStringLiteral("cvbackup.idx"))) {
    Error(LangText(dtContainsBackup));
    return false;
  }
  // The space as it is now, not as it was when the page was last refreshed.
  std::int64_t free = 0;
  if (!ProbeFreeSpace || ProbeFreeSpace(drive, free) != 0) free = 0;
  availableSpace_ = free;
  ShowSpace();
  if (availableSpace_ < requiredSpace_) {
    QString shown = drive;
    if (shown.endsWith(QLatin1Char('/'))) shown.chop(1);
    Error(ReplacePlaceholder(LangText(dtNoSpace), shown));
    return false;
  }
  return true;
}

void TFramePageDestinationInstall::ApplyTexts() {
  radioDefault_->setText(LangText(dtDefaultFolder));
  radioUser_->setText(LangText(dtUserFolder));
  buttonBrowse_->setText(LangText(dtBrowse));
  ShowSpace();
}

void TFramePageDestinationInstall::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) ApplyTexts();
  TWizardPage::changeEvent(event);
}

void TFramePageDestinationInstall::resizeEvent(QResizeEvent* event) {
  TWizardPage::resizeEvent(event);
  const int w = width();
  const int h = height();
  labelSpaceAvailable_->setGeometry(0, h - 20, w, 20);
  labelSpaceRequired_->setGeometry(0, h - 40, w, 20);
}
