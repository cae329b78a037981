#include "FrmWizardUpdate.h"

#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBoxPresenter.h"
#include "CvReleaseHistory.h"
#include "CvUpdateSignature.h"
#include "FrmMessage.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const TLangText txtCaption = {"Update Corvane Software Installer",
                              "Corvane Software Installer bijwerken",
                              "Corvane Software Installer aktualisieren"};
const TLangText txtHeaderTitle = {"Program update", "Programma-update", "Programm-Update"};
const TLangText txtHeaderDescription = {
    "Click 'download' to download and install the program update",
    "Klik op 'download' om de programma-update te downloaden en te installeren",
    "Klicken Sie auf 'Download', um das Programm-Update herunterzuladen und zu installieren"};
const TLangText txtDownloadingUpdate = {"Downloading update:", "Update downloaden:",
                                        "Update wird heruntergeladen:"};
const TLangText txtDownload = {"Download", "Download", "Download"};
const TLangText txtClose = {"&Close", "&Sluiten", "Schließen", "&Fermer",
                            "&Cerrar", "Chiudi", "Luk", "Stäng"};
const TLangText txtCannotCreateTempDir = {
    "Cannot create the temporary directory \"%1\" to store the update file. Reason: %2",
    "Kan de tijdelijke map \"%1\" voor het updatebestand niet aanmaken. Reden: %2",
    "Das temporäre Verzeichnis \"%1\" für die Update-Datei kann nicht erstellt werden. Grund: %2"};
const TLangText txtNoAdditionalInformation = {"<no additional information>",
                                              "<geen aanvullende informatie>",
                                              "<keine weiteren Informationen>"};
const TLangText txtDownloaded = {
    "The program update has been downloaded successfully.\r\n\r\nClick 'Ok' to proceed and "
    "install the update.",
    "De programma-update is met succes gedownload.\r\n\r\nKlik op 'Ok' om door te gaan en de "
    "update te installeren.",
    "Das Programm-Update wurde erfolgreich heruntergeladen.\r\n\r\nKlicken Sie auf 'Ok', um "
    "fortzufahren und das Update zu installieren."};
const TLangText txtNotTrusted = {
    "The program update has been downloaded, but it cannot be trusted:\r\n\r\n%1\r\n\r\nThe "
    "update has been removed. Please try again later or contact Corvane Software if the "
    "problem persists.",
    "De programma-update is gedownload, maar kan niet worden vertrouwd:\r\n\r\n%1\r\n\r\nDe "
    "update is verwijderd. Probeer het later opnieuw of neem contact op met Corvane Software "
    "als het probleem blijft bestaan.",
    "Das Programm-Update wurde heruntergeladen, ist aber nicht vertrauenswürdig:\r\n\r\n%1\r\n\r\n"
    "Das Update wurde entfernt. Bitte versuchen Sie es später erneut oder wenden Sie sich an "
    "Corvane Software, wenn das Problem weiterhin besteht."};
const TLangText txtCannotRecord = {
    "The program update could not be recorded in the program settings:\r\n\r\n%1",
    "De programma-update kon niet in de programma-instellingen worden vastgelegd:\r\n\r\n%1",
    "Das Programm-Update konnte nicht in den Programmeinstellungen gespeichert werden:\r\n\r\n%1"};
const TLangText txtCannotStart = {
    "The program update \"%1\" could not be started:\r\n\r\n%2",
    "De programma-update \"%1\" kon niet worden gestart:\r\n\r\n%2",
    "Das Programm-Update \"%1\" konnte nicht gestartet werden:\r\n\r\n%2"};
const TLangText txtNoUpdateRecorded = {
    "No downloaded program update has been recorded.",
    "Er is geen gedownloade programma-update vastgelegd.",
    "Es wurde kein heruntergeladenes Programm-Update gespeichert."};
const TLangText txtNotPrivate = {
    "The file is not a file of your own in a folder that only you can change.",
    "Het bestand is geen eigen bestand in een map die alleen u kunt wijzigen.",
    "Die Datei ist keine eigene Datei in einem Ordner, den nur Sie ändern können."};
const TLangText txtStartFailed = {"The program could not be started.",
                                  "Het programma kon niet worden gestart.",
                                  "Das Programm konnte nicht gestartet werden."};
const TLangText txtNoHandler = {"No program is set up to open this kind of file.",
                                "Er is geen programma ingesteld om dit soort bestanden te openen.",
                                "Es ist kein Programm zum Öffnen dieser Art von Dateien eingerichtet."};

constexpr int kWidth = 560;
constexpr int kHeight = 440;
const QColor kGreyText(128, 128, 128);

const QString kUpdateKey = QStringLiteral("Update");
const QString kFilenameValue = QStringLiteral("Filename");
const QString kTempPrefix = QStringLiteral("Deployer Update");

// The history comes from the server: it may link, but it loads nothing, neither from the
// disk nor from the network (an image of /dev/zero would never end).
class THistoryView final : public QTextBrowser {
 public:
  explicit THistoryView(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
      if (url.scheme().isEmpty() && url.path().isEmpty() && url.hasFragment()) {
        scrollToAnchor(url.fragment());
      } else if (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")) {
        QDesktopServices::openUrl(url);
      }
    });
  }
  // An empty answer would let the document read local files itself: answer with nothing
  // that is still something.
  QVariant loadResource(int type, const QUrl&) override {
    if (type == QTextDocument::ImageResource) {
      QImage none(1, 1, QImage::Format_ARGB32);
      none.fill(Qt::transparent);
      return none;
    }
    return QString(QLatin1String(""));
  }
};

// The folder is ours alone, so nobody else can swap the installer between its check and its
// start.
int MakePrivateFolder(QString& folder) {
  if (const int error = _DirCreateUnique(_GetTempDir(), kTempPrefix, folder)) return error;
  if (::chmod(folder.toLocal8Bit().constData(), 0700) != 0) {
    DirDeleteTree(folder);
    folder.clear();
    return cvlib::ceDirCreate;
  }
  return 0;
}

QLabel* NewLabel(const QString& name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  return label;
}

void RemoveFile(const QString& path) {
  if (!path.isEmpty()) FileDelete(path);
}

// A regular file of our own, not a link, in a folder of our own that nobody else may write to.
bool IsPrivateFile(const QString& file) {
  const uid_t me = ::geteuid();
  struct stat st {};
  if (::lstat(file.toLocal8Bit().constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me)
    return false;
  const QString folder = QFileInfo(file).absolutePath();
  if (::lstat(folder.toLocal8Bit().constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me)
    return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// An ELF program or a script with its interpreter line: something to run, not to open.
bool IsProgramFile(const QString& file) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QByteArray head = f.read(4);
  return head.startsWith("\x7F" "ELF") || head.startsWith("#!");
}

bool CannotStart(const QString& file, const QString& reason) {
  MsgBoxCaption(ApplicationTitle(), LangText(txtCannotStart).arg(file, reason), mtError, mbOKOnly);
  return false;
}

}  // namespace

TGUID SelfUpdateProductGUID() {
  static const TGUID guid = StrToGUID(QStringLiteral("{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}"));
  return guid;
}

TSignatureCheck CheckUpdate(const QString& installer) {
  return VerifyUpdateFile(installer, SelfUpdateProductGUID(), GetProgInfo().Version);
}

TFormWizardUpdate::TFormWizardUpdate(QWidget* parent) : QDialog(parent) {
  BuildControls();

  client_ = new TPUSClient(this);
  client_->SetURL(DefaultPUSURL());
  QString folder;
  const int error = MakePrivateFolder(folder);
  client_->SetDownloadFolder(folder);
  if (error != 0) {
    creationError_ = error;
    // The folder we tried to make in: the client's folder is empty after a failure.
    MsgBox(LangText(txtCannotCreateTempDir).arg(_GetTempDir() + kTempPrefix, ErrorToStr(error)),
           mtError, mbOKOnly);
    return;
  }
  downloadFolder_ = client_->DownloadFolder();
  client_->OnCommandDone = [this](TPUSClient* s, TPUSCommand c, int r) { PUSCommandDone(s, c, r); };
  client_->OnRequestHistory = [this](TPUSClient* s, const QString& h) { PUSRequestHistory(s, h); };
  client_->OnRequestUpdateFile = [this](TPUSClient* s, int p, int size, int i, int n,
                                        const TGUID& g, const QString& f) {
    PUSRequestUpdateFile(s, p, size, i, n, g, f);
  };
}

TFormWizardUpdate::~TFormWizardUpdate() = default;

void TFormWizardUpdate::BuildControls() {
  setWindowTitle(LangText(txtCaption));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  auto* header = new QWidget(this);
  header->setObjectName(QStringLiteral("PanelHeader"));
  header->setAutoFillBackground(true);
  QPalette white = header->palette();
  white.setColor(QPalette::Window, Qt::white);
  header->setPalette(white);
  labelHeaderTitle_ = NewLabel(QStringLiteral("LabelHeaderTitle"), header);
  labelHeaderTitle_->setText(LangText(txtHeaderTitle));
  QFont bold = labelHeaderTitle_->font();
  bold.setBold(true);
  labelHeaderTitle_->setFont(bold);
  labelHeaderDescription_ = NewLabel(QStringLiteral("LabelHeaderDescription"), header);
  labelHeaderDescription_->setText(LangText(txtHeaderDescription));
  labelHeaderDescription_->setWordWrap(true);
  auto* headerLayout = new QVBoxLayout(header);
  headerLayout->setContentsMargins(16, 10, 16, 10);
  headerLayout->setSpacing(4);
  headerLayout->addWidget(labelHeaderTitle_);
  headerLayout->addWidget(labelHeaderDescription_);

  auto* topLine = new QFrame(this);
  topLine->setFrameShape(QFrame::HLine);
  topLine->setFrameShadow(QFrame::Sunken);

  panelHistory_ = new QWidget(this);
  panelHistory_->setObjectName(QStringLiteral("PanelHistory"));
  htmlHistory_ = new THistoryView(panelHistory_);
  htmlHistory_->setObjectName(QStringLiteral("HTMLHistory"));
  QPalette view = htmlHistory_->palette();
  view.setColor(QPalette::Base, Qt::white);
  htmlHistory_->setPalette(view);
  auto* historyLayout = new QVBoxLayout(panelHistory_);
  historyLayout->setContentsMargins(0, 0, 0, 0);
  historyLayout->addWidget(htmlHistory_);

  groupProgress_ = new QWidget(this);
  groupProgress_->setObjectName(QStringLiteral("GroupProgress"));
  labelProgress_ = NewLabel(QStringLiteral("LabelProgress"), groupProgress_);
  labelProgress_->setText(LangText(txtDownloadingUpdate));
  progressBar_ = new QProgressBar(groupProgress_);
  progressBar_->setObjectName(QStringLiteral("ProgressBar"));
  progressBar_->setRange(0, 1);
  progressBar_->setValue(0);
  auto* progressLayout = new QVBoxLayout(groupProgress_);
  progressLayout->setContentsMargins(24, 0, 24, 0);
  progressLayout->addStretch(1);
  progressLayout->addWidget(labelProgress_);
  progressLayout->addWidget(progressBar_);
  progressLayout->addStretch(1);
  groupProgress_->hide();
  labelProgress_->hide();

  auto* content = new QVBoxLayout;
  content->setContentsMargins(12, 10, 12, 10);
  content->addWidget(panelHistory_);
  content->addWidget(groupProgress_);

  auto* bottomLine = new QFrame(this);
  bottomLine->setFrameShape(QFrame::HLine);
  bottomLine->setFrameShadow(QFrame::Sunken);

  labelProgram_ = NewLabel(QStringLiteral("LabelProgram"), this);
  labelProgram_->setText(ApplicationTitle());
  labelVersion_ = NewLabel(QStringLiteral("LabelVersion"), this);
  labelVersion_->setText(VersionToStr(GetProgInfo().Version, 4));
  labelVersion_->setForegroundRole(QPalette::PlaceholderText);
  buttonDownload_ = new QPushButton(LangText(txtDownload), this);
  buttonDownload_->setObjectName(QStringLiteral("ButtonDownload"));
  buttonDownload_->setDefault(true);
  buttonClose_ = new QPushButton(LangText(txtClose), this);
  buttonClose_->setObjectName(QStringLiteral("ButtonClose"));
  buttonClose_->setAutoDefault(false);
  connect(buttonDownload_, &QPushButton::clicked, this, &TFormWizardUpdate::ButtonDownloadClick);
  // Cancel, also during a download: freeing the window frees the client, which ends it.
  connect(buttonClose_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(12, 8, 12, 10);
  auto* program = new QVBoxLayout;
  program->setSpacing(0);
  program->addWidget(labelProgram_);
  program->addWidget(labelVersion_);
  buttons->addLayout(program);
  buttons->addStretch(1);
  buttons->addWidget(buttonDownload_);
  buttons->addWidget(buttonClose_);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(header);
  layout->addWidget(topLine);
  layout->addLayout(content, 1);
  layout->addWidget(bottomLine);
  layout->addLayout(buttons);

  setFixedSize(kWidth, kHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - kWidth) / 2, area.y() + (area.height() - kHeight) / 2);
  }
}

void TFormWizardUpdate::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // After the window is on the screen, so that the please-wait window comes on top of it. A
  // posted call, not a timer: timers do not fire while the caller itself runs in one.
  if (firstActivation_ && creationError_ == 0)
    QMetaObject::invokeMethod(this, &TFormWizardUpdate::FormActivate, Qt::QueuedConnection);
}

void TFormWizardUpdate::FormActivate() {
  if (!firstActivation_ || creationError_ != 0 || client_->IsBusy()) return;
  firstActivation_ = false;
  pleaseWait_ = std::make_unique<TFormMessage>(fmkDownloadingUpdate);
  pleaseWait_->ShowNow();
  client_->RequestHistory(SelfUpdateProductGUID());
}

void TFormWizardUpdate::FreePleaseWait() { pleaseWait_.reset(); }

void TFormWizardUpdate::HTMLHistoryProgress(int /*stage*/, int percent) {
  if (percent >= 100) FreePleaseWait();
}

void TFormWizardUpdate::PUSRequestHistory(TPUSClient*, const QString& aHistory) {
  history_ = aHistory;
}

void TFormWizardUpdate::PUSRequestUpdateFile(TPUSClient*, int aFileProgress, int aFileSize,
                                             int /*aFileIndex*/, int /*aFileCount*/,
                                             const TGUID& /*aGUID*/, const QString& aFileName) {
  fileName_ = aFileName;
  progressBar_->setMaximum(aFileSize);
  progressBar_->setValue(aFileProgress);
}

void TFormWizardUpdate::ButtonDownloadClick() {
  if (!buttonDownload_->isEnabled() || creationError_ != 0 || client_->IsBusy()) return;
  buttonDownload_->setEnabled(false);
  QPalette grey = buttonDownload_->palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    grey.setColor(group, QPalette::ButtonText, kGreyText);
  buttonDownload_->setPalette(grey);
  panelHistory_->hide();
  labelProgress_->show();
  groupProgress_->show();
  fileName_.clear();
  client_->RequestUpdateFile(SelfUpdateProductGUID());
}

void TFormWizardUpdate::PUSCommandDone(TPUSClient* sender, TPUSCommand aCommand,
                                       int aCommandResult) {
  if (aCommandResult != 0) {
    // No document will load now: the please-wait window must not outlive the failed request.
    if (aCommand == pcReqHistory) FreePleaseWait();
    sender->ShowError(ApplicationTitle());
    return;
  }
  if (aCommand == pcReqHistory) ShowHistory();
  if (aCommand == pcReqUpdateFile) DownloadDone();
}

void TFormWizardUpdate::ShowHistory() {
  if (history_.isEmpty()) {
    htmlHistory_->setPlainText(LangText(txtNoAdditionalInformation));
    historySection_.clear();
  } else {
    htmlHistory_->setHtml(history_);
    // Lay the document out first: scrolling needs the positions of its sections.
    htmlHistory_->document()->adjustSize();
    historySection_ = HistorySectionFor(*htmlHistory_->document(), GetCurrentLanguage());
    if (!historySection_.isEmpty()) htmlHistory_->scrollToAnchor(historySection_);
  }
  htmlHistory_->viewport()->update();
  HTMLHistoryProgress(0, 100);
}

void TFormWizardUpdate::DownloadDone() {
  // The last file reported is the installer; its signed manifest came before it.
  const TSignatureCheck check = CheckUpdate(fileName_);
  if (check != scValid) {
    // An installer that fails its check (an older release among them) is not left lying
    // around for anyone to start.
    RemoveFile(fileName_);
    RemoveFile(UpdateSignaturePath(fileName_));
    MsgBoxCaption(ApplicationTitle(), LangText(txtNotTrusted).arg(SignatureCheckText(check)),
                  mtError, mbOKOnly);
    return;
  }
  if (const int error = GetAppReg().WriteString(rrSettings, kUpdateKey, kFilenameValue, fileName_)) {
    MsgBoxCaption(ApplicationTitle(), LangText(txtCannotRecord).arg(ErrorToStr(error)), mtError,
                  mbOKOnly);
    return;
  }
  MsgBoxCaption(ApplicationTitle(), LangText(txtDownloaded), mtInformation, mbOKOnly);
  accept();
}

bool RunSelfUpdate() { return RunSelfUpdate(nullptr); }

bool RunSelfUpdate(QWidget* parent) {
  auto form = std::make_unique<TFormWizardUpdate>(parent);
  if (form->CreationError() != 0) return false;
  const bool updated = form->exec() == QDialog::Accepted;
  const QString folder = form->DownloadFolder();
  form.reset();  // frees the client, which ends a download still running
  // Without an update nothing of this run is kept: a partial or refused download goes.
  if (!updated && !folder.isEmpty()) DirDeleteTree(folder);
  return updated;
}

bool OpenDownloadedUpdate() {
  const QString file = GetAppReg().ReadString(rrSettings, kUpdateKey, kFilenameValue, QString());
  if (file.isEmpty()) return CannotStart(file, LangText(txtNoUpdateRecorded));
  if (!IsPrivateFile(file)) return CannotStart(file, LangText(txtNotPrivate));
  if (const TSignatureCheck check = CheckUpdate(file); check != scValid)
    return CannotStart(file, SignatureCheckText(check));
  if (IsProgramFile(file)) {
    if (::chmod(file.toLocal8Bit().constData(), 0700) != 0 ||
        !QProcess::startDetached(file, {}, QFileInfo(file).absolutePath()))
      return CannotStart(file, LangText(txtStartFailed));
    return true;
  }
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(file)))
    return CannotStart(file, LangText(txtNoHandler));
  return true;
}
