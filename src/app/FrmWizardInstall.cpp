#include "FrmWizardInstall.h"

#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "CvInstalledChartsLoad.h"
#include "CvRunProgress.h"
#include "CvLanguage.h"
#include "CvMsgBoxPresenter.h"
#include "CvStrUtils.h"
#include "CvWizardFlow.h"
#include "FraPageDestinationInstall.h"
#include "FraPageProgress.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"
#include "FraPageTypeInstall.h"
#include "FraPageUser.h"
#include "FrmLanguage.h"
#include "FrmMessage.h"
#include "CvSelfUpdate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

const char* const kInstallerProductGUID = "{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}";

namespace {

const TLangText txtNoSettingsFolder = {
    "Could not find the program settings folder. Please reinstall the program.",
    "De map met de programma-instellingen is niet gevonden. Installeer het programma opnieuw.",
    "Der Ordner mit den Programmeinstellungen wurde nicht gefunden. Bitte installieren Sie das Programm neu.",
    nullptr,
    nullptr,
    nullptr,
    "Mappen med programindstillingerne blev ikke fundet. Geninstaller venligst programmet."};
const TLangText txtNoProductsChecked = {
    "No products checked for installation.\r\n\r\nPlease check at least one product to install before proceeding.",
    "Er zijn geen producten aangevinkt voor installatie.\r\n\r\nVink ten minste één product aan om verder te gaan.",
    "Keine Produkte zur Installation ausgewählt.\r\n\r\nBitte wählen Sie mindestens ein Produkt aus, bevor Sie "
    "fortfahren."};
const TLangText txtBackupFound = {
    "The chosen folder contains a backup, which you can update and expand. Choose another folder if you want to "
    "create a new backup.\r\n\r\nDo you want to continue?",
    "De gekozen map bevat een back-up, die u kunt bijwerken en uitbreiden. Kies een andere map als u een nieuwe "
    "back-up wilt maken.\r\n\r\nWilt u doorgaan?",
    "Der gewählte Ordner enthält eine Sicherung, die Sie aktualisieren und erweitern können. Wählen Sie einen "
    "anderen Ordner, wenn Sie eine neue Sicherung erstellen möchten.\r\n\r\nMöchten Sie fortfahren?"};
const TLangText txtUpdateAfterRun = {
    "A new version of the installer is available.\r\n\r\nDo you want to download it now?",
    "Er is een nieuwe versie van het installatieprogramma beschikbaar.\r\n\r\nWilt u deze nu downloaden?",
    "Eine neue Version des Installationsprogramms ist verfügbar.\r\n\r\nMöchten Sie sie jetzt herunterladen?"};
const char* const txtErrorReadingBackup = "Error reading backup files, please try again...";  // English only
const TLangText txtDownloadNewVersion = {"Download new version...", "Nieuwe versie downloaden...",
                                         "Neue Version herunterladen..."};
const TLangText txtCheckNewVersion = {"Check for a new version...", "Controleren op een nieuwe versie...",
                                      "Nach einer neuen Version suchen..."};
const TLangText txtDevelopmentBuild = {"development build", "ontwikkelversie", "Entwicklungsversion"};
const TLangText txtNoNewVersion = {
    "No new program version found.\r\n\r\nYou are already using the latest version.",
    "Geen nieuwe programmaversie gevonden.\r\n\r\nU gebruikt al de nieuwste versie.",
    "Keine neue Programmversion gefunden.\r\n\r\nSie verwenden bereits die neueste Version."};

// The language links: own names, fixed in every language.
const char* const kLanguageNames[3] = {"Nederlands", "English", "Deutsch"};
constexpr int kLanguageNumbers[3] = {lgDutch, lgEnglish, lgGerman};

// The product that is checked for the user when it is not there yet: the navigation program.
constexpr int kMainProgramNumber = 100;

constexpr int kMinWidth = 650;
constexpr int kMinHeight = 485;

const QString kBackupIndexName = QStringLiteral("cvbackup.idx");

// The page area: every page placed in it fills it.
class TPageArea final : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) child->setGeometry(rect());
  }
};

// The progress page as the runs see it.
class TProgressPageRunProgress final : public TRunProgress {
 public:
  explicit TProgressPageRunProgress(TFramePageProgress& page) : page_(page) {}
  void SetSingleHeader(const QString& text) override { page_.SetSingleHeader(text); }
  void SetSingleText(const QString& text) override { page_.SetSingleText(text); }
  void SetSingleMax(int value) override { page_.SetSingleMax(value); }
  void SetSinglePosition(int value) override { page_.SetSinglePosition(value); }
  void SetTotalText(const QString& text) override { page_.SetTotalText(text); }
  void SetTotalMax(int value) override { page_.SetTotalMax(value); }
  void SetTotalPosition(int value) override { page_.SetTotalPosition(value); }
  int TotalPosition() const override { return page_.TotalPosition(); }
  void SetTotalRate(double bytesPerSecond, double secondsLeft) override {
    page_.SetTotalRate(bytesPerSecond, secondsLeft);
  }

 private:
  TFramePageProgress& page_;
};

QString WithDelimiter(const QString& folder) {
  return folder.endsWith(u'/') ? folder : folder + u'/';
}

}  // namespace

TFormWizardInstall::TFormWizardInstall(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormWizardInstall"));
  const bool folderFound = ResolveDataFolder();
  BuildWindow();
  if (!folderFound) {
    // The program ends here; the wizard is never shown.
    startupFailed_ = true;
    return;
  }
  programVersion_ = GetProgInfo().Version;
  labelVersion_->setText(VersionText(programVersion_));
  setWindowTitle(ApplicationTitle());
  setupType_ = InstallOnline;
  CreateWorkingSet();
  SetInformationBarTexts();
  ShowPage(wpSetupType);
}

bool TFormWizardInstall::ResolveDataFolder() {
  QString common;
  bool ok = ShlGetSpecialFolderPath(csfCommonAppData, common) && !common.isEmpty();
  if (ok) {
    const QString folder = WithDelimiter(common) + QStringLiteral("Corvane/Deployer");
    if (!QFileInfo(folder).isDir()) ok = DirCreate(folder) == 0;
    if (ok) dataFolder_ = WithDelimiter(folder);
  }
  if (!ok) {
    MsgBox(LangText(txtNoSettingsFolder), mtError, mbOKOnly);
    return false;
  }
  // The log keeps its name and moves into the data folder; a log that cannot move stays.
  SetExceptionLogFileName(dataFolder_ + QFileInfo(GetExceptionLogFileName()).fileName());
  return true;
}

void TFormWizardInstall::BuildWindow() {
  setMinimumSize(kMinWidth, kMinHeight);
  resize(kMinWidth, kMinHeight);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  // Header: the colour of a page (white, or dark in a dark palette), title in the highlight
  // colour, description below.
  auto* header = new QWidget(this);
  header->setObjectName(QStringLiteral("PanelHeader"));
  header->setAutoFillBackground(true);
  QPalette headerPalette = header->palette();
  headerPalette.setColor(QPalette::Window, headerPalette.color(QPalette::Base));
  headerPalette.setColor(QPalette::WindowText, headerPalette.color(QPalette::Text));
  header->setPalette(headerPalette);
  auto* headerLayout = new QVBoxLayout(header);
  headerLayout->setContentsMargins(16, 10, 16, 10);
  headerLayout->setSpacing(4);
  labelHeaderTitle_ = new QLabel(header);
  labelHeaderTitle_->setObjectName(QStringLiteral("LabelHeaderTitle"));
  QFont titleFont = labelHeaderTitle_->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
  labelHeaderTitle_->setFont(titleFont);
  QPalette titlePalette = labelHeaderTitle_->palette();
  titlePalette.setColor(QPalette::WindowText, palette().color(QPalette::Highlight));
  labelHeaderTitle_->setPalette(titlePalette);
  labelHeaderDescription_ = new QLabel(header);
  labelHeaderDescription_->setObjectName(QStringLiteral("LabelHeaderDescription"));
  labelHeaderDescription_->setWordWrap(true);
  headerLayout->addWidget(labelHeaderTitle_);
  headerLayout->addWidget(labelHeaderDescription_);
  layout->addWidget(header);

  auto* headerLine = new QFrame(this);
  headerLine->setFrameShape(QFrame::HLine);
  headerLine->setFrameShadow(QFrame::Sunken);
  layout->addWidget(headerLine);

  // Information bar: the language links left, the update link right.
  panelInformation_ = new QWidget(this);
  panelInformation_->setObjectName(QStringLiteral("PanelInformation"));
  panelInformation_->setAutoFillBackground(true);
  QPalette infoPalette = panelInformation_->palette();
  infoPalette.setColor(QPalette::Window, infoPalette.color(QPalette::ToolTipBase));
  infoPalette.setColor(QPalette::WindowText, infoPalette.color(QPalette::ToolTipText));
  panelInformation_->setPalette(infoPalette);
  auto* infoLayout = new QHBoxLayout(panelInformation_);
  infoLayout->setContentsMargins(12, 4, 12, 4);
  infoLayout->setSpacing(4);
  static const char* const imageNames[3] = {"ImageDutch", "ImageEnglish", "ImageGerman"};
  static const char* const labelNames[3] = {"LabelDutch", "LabelEnglish", "LabelGerman"};
  for (int i = 0; i < 3; ++i) {
    imageLanguage_[i] = new QLabel(panelInformation_);
    imageLanguage_[i]->setObjectName(QLatin1String(imageNames[i]));
    imageLanguage_[i]->setPixmap(LanguageFlag(kLanguageNumbers[i], QSize(20, 13)));
    labelLanguage_[i] = new QLabel(QString::fromUtf8(kLanguageNames[i]), panelInformation_);
    labelLanguage_[i]->setObjectName(QLatin1String(labelNames[i]));
    for (QLabel* link : {imageLanguage_[i], labelLanguage_[i]}) {
      link->installEventFilter(this);
      link->setMouseTracking(true);
    }
    infoLayout->addWidget(imageLanguage_[i]);
    infoLayout->addWidget(labelLanguage_[i]);
    infoLayout->addSpacing(10);
  }
  infoLayout->addStretch(1);
  labelUpdates_ = new QLabel(panelInformation_);
  labelUpdates_->setObjectName(QStringLiteral("LabelUpdates"));
  QFont bold = labelUpdates_->font();
  bold.setBold(true);
  labelUpdates_->setFont(bold);
  labelUpdates_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  labelUpdates_->installEventFilter(this);
  infoLayout->addWidget(labelUpdates_);
  layout->addWidget(panelInformation_);

  panelContent_ = new TPageArea(this);
  panelContent_->setObjectName(QStringLiteral("PanelContent"));
  layout->addWidget(panelContent_, 1);

  auto* footerLine = new QFrame(this);
  footerLine->setFrameShape(QFrame::HLine);
  footerLine->setFrameShadow(QFrame::Sunken);
  layout->addWidget(footerLine);

  // Button bar: the version left, Previous, Next and Close right.
  auto* buttonBar = new QWidget(this);
  buttonBar->setObjectName(QStringLiteral("PanelButtons"));
  auto* buttonLayout = new QHBoxLayout(buttonBar);
  buttonLayout->setContentsMargins(12, 8, 12, 10);
  labelVersion_ = new QLabel(buttonBar);
  labelVersion_->setObjectName(QStringLiteral("LabelVersion"));
  labelVersion_->setEnabled(false);
  // A build that made its own update key trusts whoever has that build tree: say so.
  labelDevelopmentBuild_ = new QLabel(buttonBar);
  labelDevelopmentBuild_->setObjectName(QStringLiteral("LabelDevelopmentBuild"));
  QPalette devPalette = labelDevelopmentBuild_->palette();
  devPalette.setColor(QPalette::WindowText, QColor(0xB0, 0x30, 0x00));
  labelDevelopmentBuild_->setPalette(devPalette);
#ifndef CV_DEVELOPMENT_KEY
  labelDevelopmentBuild_->hide();
#endif
  buttonPrev_ = new QPushButton(buttonBar);
  buttonPrev_->setObjectName(QStringLiteral("ButtonPrev"));
  buttonNext_ = new QPushButton(buttonBar);
  buttonNext_->setObjectName(QStringLiteral("ButtonNext"));
  buttonClose_ = new QPushButton(buttonBar);
  buttonClose_->setObjectName(QStringLiteral("ButtonClose"));
  for (QPushButton* b : {buttonPrev_, buttonNext_, buttonClose_}) b->setMinimumWidth(88);
  buttonNext_->setDefault(true);
  buttonLayout->addWidget(labelVersion_);
  buttonLayout->addWidget(labelDevelopmentBuild_);
  buttonLayout->addStretch(1);
  buttonLayout->addWidget(buttonPrev_);
  buttonLayout->addWidget(buttonNext_);
  buttonLayout->addSpacing(12);
  buttonLayout->addWidget(buttonClose_);
  layout->addWidget(buttonBar);

  connect(buttonNext_, &QPushButton::clicked, this, &TFormWizardInstall::ButtonNextClick);
  connect(buttonPrev_, &QPushButton::clicked, this, &TFormWizardInstall::ButtonPrevClick);
  connect(buttonClose_, &QPushButton::clicked, this, &TFormWizardInstall::ButtonCloseClick);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
  }
}

void TFormWizardInstall::CreateWorkingSet() {
  StartChartsLoad();

  environment_ = NavEnvCreate();
  environment_->EventSource().Subscribe(&TFormWizardInstall::ChartCheckEvent, this);
  subscribed_ = true;
  chartCheck_ = QMRChartCheckCreate(environment_->EventSource(), QStringLiteral("CSI"), programVersion_);

  pageDestination_ = new TFramePageDestinationInstall(this);
  pageProgress_ = new TFramePageProgress(this);
  pageProgress_->SetPump(false);
  runProgress_ = std::make_unique<TProgressPageRunProgress>(*pageProgress_);
  pageSelectSoftware_ = new TFramePageSelectSoftware(installedCharts_.get(), chartCheck_.get(), this);
  pageSourceInstall_ = new TFramePageSourceInstall(this);
  pageTypeInstall_ = new TFramePageTypeInstall(this);
  pageUserLogin_ = new TFramePageUserLogin(this);

  pusClient_ = std::make_unique<TPUSClient>();
  pusClient_->OnCommandDone = [this](TPUSClient* sender, TPUSCommand command, int result) {
    OnCommandDone(sender, command, result);
  };
  pusClient_->OnRequestVersion = [this](TPUSClient* sender, int index, int count, const TPUSVersionInfo& info) {
    OnRequestVersion(sender, index, count, info);
  };
  silentCheck_ = true;
  pusClient_->RequestVersion(StrToGUID(QString::fromLatin1(kInstallerProductGUID)));
}

TFormWizardInstall::~TFormWizardInstall() {
  FreePleaseWait();
  run_.reset();
  runProgress_.reset();
  pusClient_.reset();
  // Detached from the window first, each page running its leave actions, then freed.
  if (pageTypeInstall_) {
    for (TWizardPage* page : Pages()) {
      page->SetParent(nullptr);
      delete page;
    }
  }
  pageDestination_ = nullptr;
  pageProgress_ = nullptr;
  pageSelectSoftware_ = nullptr;
  pageSourceInstall_ = nullptr;
  pageTypeInstall_ = nullptr;
  pageUserLogin_ = nullptr;
  selectionList_.reset();
  if (subscribed_) environment_->EventSource().Unsubscribe(&TFormWizardInstall::ChartCheckEvent, this);
  chartCheck_.reset();
  environment_.reset();
  chartsLoad_.reset();
  installedCharts_.reset();
}

// --- Pages ---------------------------------------------------------------------------------

std::array<TWizardPage*, 6> TFormWizardInstall::Pages() const {
  return {pageTypeInstall_, pageUserLogin_, pageSelectSoftware_, pageDestination_, pageProgress_, pageSourceInstall_};
}

TWizardPage* TFormWizardInstall::Page(int page) const {
  switch (page) {
    case wpSetupType: return pageTypeInstall_;
    case wpLogin: return pageUserLogin_;
    case wpSelectSoftware: return pageSelectSoftware_;
    case wpDestination: return pageDestination_;
    case wpProgress: return pageProgress_;
    case wpBackupSource: return pageSourceInstall_;
    default: return nullptr;
  }
}

void TFormWizardInstall::TakeOffPages() {
  // Each page runs its own leave actions (the setup-type page stores the chosen type).
  for (TWizardPage* page : Pages()) page->SetParent(nullptr);
}

void TFormWizardInstall::PlacePage(int page) {
  if (TWizardPage* widget = Page(page)) widget->SetParent(panelContent_);
}

void TFormWizardInstall::ShowPage(int page) {
  // Shown again in place (a language switch): what the user typed stays.
  const bool samePage = page == wpLogin && pageUserLogin_->PlacedIn() != nullptr;
  currentPage_ = page;
  TakeOffPages();

  buttonNext_->setText(LangText(txtButtonNext));
  buttonNext_->setEnabled(false);
  buttonNext_->setVisible(true);
  buttonPrev_->setText(LangText(txtButtonPrevious));
  buttonPrev_->setEnabled(false);
  buttonPrev_->setVisible(true);
  SetCloseActsAsAbort(false);
  buttonClose_->setEnabled(true);
  buttonClose_->setVisible(true);

  const TPageLook look = PageLook(page, setupType_);
  panelInformation_->setVisible(look.informationBar);
  labelHeaderTitle_->setText(look.title ? LangText(*look.title) : QString());
  labelHeaderDescription_->setText(look.description ? LangText(*look.description) : QString());

  // Preparation before the page is placed.
  if (page == wpLogin && !samePage) {
    QString email;
    if (chartCheck_->RememberedEmail(email)) pageUserLogin_->SetRemembered(email);
  } else if (page == wpSelectSoftware) {
    pageSelectSoftware_->SetMode(setupType_);
  } else if (page == wpDestination) {
    pageDestination_->SetMode(setupType_);
    pageDestination_->SetRequiredSpace(pageSelectSoftware_->RequiredSpace());
  }
  PlacePage(page);

  buttonNext_->setEnabled(look.next == neEnabled ||
                          (look.next == neIfRows && pageSelectSoftware_->ProductCount() > 0));
  buttonPrev_->setEnabled(look.previousEnabled);
  buttonNext_->setVisible(look.buttonsVisible);
  buttonPrev_->setVisible(look.buttonsVisible);
  SetCloseActsAsAbort(look.closeIsAbort);
}

void TFormWizardInstall::SetCloseActsAsAbort(bool abort) {
  closeIsAbort_ = abort;
  buttonClose_->setText(LangText(abort ? txtButtonAbort : txtButtonClose));
}

// --- Buttons -------------------------------------------------------------------------------

void TFormWizardInstall::ButtonNextClick() {
  if (!buttonNext_->isEnabled() || !buttonNext_->isVisible()) return;
  if (currentPage_ == wpSetupType) setupType_ = pageTypeInstall_->SetupType();
  const TNextStep step = NextStep(currentPage_, setupType_);
  switch (step.action) {
    case naShowPage:
      ShowPage(step.page);
      break;
    case naSignIn:
      NextFromLogin();
      break;
    case naSelectProducts:
    case naStartBackupRun:
      NextFromSelection();
      break;
    case naStartDownloadRun:
    case naStartBackupInstall:
    case naCheckBackupFolder:
      NextFromDestination();
      break;
    case naReadBackupSource:
      NextFromBackupSource();
      break;
    case naNone:
      break;
  }
}

void TFormWizardInstall::ButtonPrevClick() {
  if (!buttonPrev_->isEnabled() || !buttonPrev_->isVisible()) return;
  const int page = PreviousPage(currentPage_, setupType_);
  if (page >= 0) ShowPage(page);
}

void TFormWizardInstall::ButtonCloseClick() {
  if (closeIsAbort_) {
    // The running step honours it; the window stays.
    abortRequest_ = true;
    if (run_)
      run_->RequestAbort();
    else if (signingIn_)
      // A slow or silent service must not hold the user: the request ends now, with its 130.
      chartCheck_->CancelDownload();
    return;
  }
  close();
}

void TFormWizardInstall::closeEvent(QCloseEvent* event) {
  // A run copies, downloads or waits for a setup with this window's objects in use: closing
  // now would pull them away under it. The close becomes an abort request instead.
  // (A sign-in may be left at any time: its answer dies with the chart-check object.)
  if (closeIsAbort_ && !signingIn_) {
    abortRequest_ = true;
    if (run_) run_->RequestAbort();
    event->ignore();
    return;
  }
  FreePleaseWait();
  event->accept();
}

void TFormWizardInstall::NextFromLogin() {
  int change = 0;
  if (!pageUserLogin_->Validate(change)) return;
  const bool remember = pageUserLogin_->GetRememberMe();
  const TSignInRequest request =
      SignInRequestFor(change, pageUserLogin_->GetEmail(), pageUserLogin_->GetPassword());
  switch (request.call) {
    case scSignIn:
      chartCheck_->SignIn(request.text, remember);
      break;
    case scSignInEmail:
      chartCheck_->SignInEmail(request.text, remember);
      break;
    case scSignInPassword:
      chartCheck_->SignInPassword(request.text, remember);
      break;
  }
  buttonNext_->setEnabled(false);
  buttonPrev_->setEnabled(false);
  SetCloseActsAsAbort(true);
  operation_ = 0;
  signingIn_ = true;
  FreePleaseWait();
  pleaseWait_ = new TFormMessage(fmkDownloadingProducts, this);
  pleaseWait_->setAttribute(Qt::WA_DeleteOnClose);
  // The wizard must stay usable meanwhile: a silent service may take long.
  pleaseWait_->setWindowModality(Qt::NonModal);
  pleaseWait_->ShowNow();
  pageSelectSoftware_->Clear();
  const int started = chartCheck_->RequestProducts();
  if (started == cvlib::ceChkBusy) {
    // No answer will come for this request: undo the waiting state at once.
    signingIn_ = false;
    FreePleaseWait();
    buttonNext_->setEnabled(true);
    buttonPrev_->setEnabled(true);
    SetCloseActsAsAbort(false);
    MsgBox(ProductListErrorText(started), mtError, mbOKOnly);
  }
}

void TFormWizardInstall::WarnNothingChecked() {
  MsgBoxCaption(ApplicationTitle(), LangText(txtNoProductsChecked), mtWarning, mbOKOnly);
}

bool TFormWizardInstall::BuildSelectionList() {
  if (selectionList_)
    selectionList_->Clear();
  else
    selectionList_ = chartCheck_->NewSelectionList();
  for (int i = 0; i < chartCheck_->ProductCount(); ++i) {
    const ProductRecord* record = chartCheck_->Product(i);
    if (!record->Checked() || record->Kind() == pkCompanion) continue;
    auto entry = chartCheck_->NewSelectionEntry();
    entry->SetProductNumber(record->ProductNumber());
    entry->SetModuleMask(record->ModuleMask());
    entry->SetKind(record->Kind());
    selectionList_->Add(std::move(entry));
  }
  if (selectionList_->Count() == 0) {
    WarnNothingChecked();
    return false;
  }
  return true;
}

void TFormWizardInstall::NextFromSelection() {
  if (!pageSelectSoftware_->ValidateSelection()) return;
  if (setupType_ == InstallFromBackup) {
    int count = 0;
    for (int i = 0; i < chartCheck_->ItemCount(); ++i) {
      InstallItem* item = chartCheck_->Item(i);
      const ProductRecord* record = chartCheck_->FindProductRecord(item->ProductNumber(), item->ModuleMask());
      // An item without a record was never offered to the user: it is not installed.
      const bool selected = record && record->Checked();
      item->SetSelected(selected);
      if (selected) ++count;
    }
    if (count == 0) {
      WarnNothingChecked();
      return;
    }
    ShowPage(wpDestination);
    return;
  }
  if (!BuildSelectionList()) return;
  if (setupType_ == InstallOnline)
    ShowPage(wpDestination);
  else
    StartRun(CreateBackup);
}

void TFormWizardInstall::FillSelectionFromProducts(bool checkAll, bool checkProgramIfAbsent) {
  if (!EnsureInstalledCharts()) return;
  pageSelectSoftware_->Clear();
  for (int i = 0; i < chartCheck_->ProductCount(); ++i) pageSelectSoftware_->AddProduct(chartCheck_->Product(i));
  for (int i = 0; i < chartCheck_->ProductCount(); ++i) {
    ProductRecord* record = chartCheck_->Product(i);
    if (checkAll) record->SetChecked(true);
    if (checkProgramIfAbsent && record->ProductNumber() == kMainProgramNumber && !record->Present())
      record->SetChecked(true);
  }
}

void TFormWizardInstall::NextFromDestination() {
  if (!pageDestination_->Check()) return;
  destinationFolder_ = WithDelimiter(pageDestination_->ChosenFolder());
  if (setupType_ == InstallFromBackup) {
    StartRun(InstallFromBackup);
    return;
  }
  if (setupType_ == InstallOnline) {
    StartRun(InstallOnline);
    return;
  }
  // Creating a backup: the products are chosen after the place, so that the page can show
  // what the backup there holds already and what fits.
  pageSelectSoftware_->SetFreeSpace(pageDestination_->AvailableSpace());
  int error = 0;
  const TBackupTarget target = ReadBackupTarget(*chartCheck_, destinationFolder_, error);
  if (target == TBackupTarget::Unreadable) {
    // A run here would replace the index with this run's items alone.
    MsgBox(UnreadableBackupText(destinationFolder_, error), mtError, mbOKOnly);
    return;
  }
  if (target == TBackupTarget::Update) {
    if (MsgBoxCaption(ApplicationTitle(), LangText(txtBackupFound), mtConfirmation, mbYesNo) != mrYes) return;
  }
  pageSelectSoftware_->SetMode(setupType_);
  FillSelectionFromProducts(false, true);
  ShowPage(wpSelectSoftware);
}

void TFormWizardInstall::NextFromBackupSource() {
  if (!pageSourceInstall_->Check()) return;
  pageSelectSoftware_->SetMode(setupType_);
  sourceFolder_ = WithDelimiter(pageSourceInstall_->BackupFolder());
  if (chartCheck_->ReadBackupIndex(sourceFolder_ + kBackupIndexName) != 0) {
    MsgBox(QString::fromLatin1(txtErrorReadingBackup), mtError, mbOKOnly);
    return;
  }
  pageSelectSoftware_->Clear();
  chartCheck_->ClearProducts();
  for (int i = 0; i < chartCheck_->ItemCount(); ++i) chartCheck_->AddItemProduct(chartCheck_->Item(i));
  chartCheck_->FinishProducts();
  FillSelectionFromProducts(true, false);
  ShowPage(wpSelectSoftware);
}

void TFormWizardInstall::StartRun(TSetupType type) {
  // A new run starts without the abort request of the one before.
  abortRequest_ = false;
  runStartedFrom_ = currentPage_;
  TRunSettings settings;
  settings.setupType = type;
  settings.destination = destinationFolder_;
  settings.backupFolder = sourceFolder_;
  // A backup gets a copy of this program and its support library, which lie beside it.
  settings.installerFolder = WithDelimiter(QCoreApplication::applicationDirPath());
  if (!EnsureInstalledCharts()) return;
  ShowPage(wpProgress);
  run_ = std::make_unique<TDeployRun>(*chartCheck_, installedCharts_.get(), *runProgress_, settings);
  run_->SetOnFinished([this](const TRunResult& result) { RunFinished(result); });
  if (type == InstallFromBackup)
    run_->RunBackupInstallation();
  else
    run_->RequestRun(*selectionList_);
}

void TFormWizardInstall::RunFinished(const TRunResult& result) {
  // Delivered from the event loop: the run may go now.
  run_.reset();
  if (std::exchange(updateAfterRun_, false) &&
      MsgBoxCaption(ApplicationTitle(), LangText(txtUpdateAfterRun), mtConfirmation, mbYesNo) == mrYes) {
    SelfUpdate();
    if (!isVisible()) return;  // the new installer took over
  }
  if (result.outcome == TRunOutcome::Stopped) {
    // It could not even begin (a folder could not be made); its message was shown.
    ShowPage(runStartedFrom_);
    return;
  }
  if (result.returnToStart) {
    ShowPage(wpSetupType);
    return;
  }
  SetCloseActsAsAbort(false);
  close();
}

// --- Chart-check events --------------------------------------------------------------------

void TFormWizardInstall::ChartCheckEvent(void* data, const TNavEvent& event) {
  static_cast<TFormWizardInstall*>(data)->OnChartCheckEvent(event);
}

void TFormWizardInstall::OnChartCheckEvent(const TNavEvent& event) {
  if (run_ && run_->Operation() != 0) {
    // The file list and the downloads belong to the run; Abort stays Abort meanwhile.
    run_->HandleEvent(event);
    return;
  }
  if (event.code == necOperationDone) {
    buttonNext_->setEnabled(true);
    buttonPrev_->setEnabled(true);
    SetCloseActsAsAbort(false);
    if (operation_ == 0) ProductListDone();
  }
}

void TFormWizardInstall::FreePleaseWait() {
  if (pleaseWait_) {
    pleaseWait_->hide();
    delete pleaseWait_.data();
  }
  pleaseWait_ = nullptr;
}

void TFormWizardInstall::ProductListDone() {
  if (!signingIn_) return;  // an answer nobody waits for
  signingIn_ = false;
  FreePleaseWait();
  raise();
  activateWindow();
  const int error = chartCheck_->LastError();
  if (error != 0) {
    // Abort ended it: the user knows; nothing to report.
    if (error != cvlib::ceChkCancelled) MsgBox(ProductListErrorText(error, chartCheck_->RetryAfter()), mtError, mbOKOnly);
    if (error == cvlib::ceChkNoRemembered) {
      // The remembered password belongs to another address: this one needs its own.
      pageUserLogin_->EditLoginPassword()->clear();
      pageUserLogin_->EditLoginPassword()->setFocus();
      return;
    }
    pageUserLogin_->EditLoginEmail()->setFocus();
    return;
  }
  if (setupType_ == InstallOnline) {
    pageSelectSoftware_->SetMode(InstallOnline);
    FillSelectionFromProducts(false, true);
    ShowPage(wpSelectSoftware);
  } else {
    ShowPage(PageAfterProductList(setupType_));
  }
}

// --- Languages and the information bar ------------------------------------------------------

void TFormWizardInstall::ImageDutchClick() { SetLanguage(lgDutch); }
void TFormWizardInstall::ImageEnglishClick() { SetLanguage(lgEnglish); }
void TFormWizardInstall::ImageGermanClick() { SetLanguage(lgGerman); }

void TFormWizardInstall::SetLanguage(int language) {
  // Showing the page again mid sign-in would enable Next under a running request.
  if (signingIn_) return;
  SetCurrentLanguage(language);
  RegWriteLanguage();
  SetInformationBarTexts();
  ShowPage(currentPage_);
}

void TFormWizardInstall::SetInformationBarTexts() {
  labelUpdates_->setText(LangText(newerVersion_ ? txtDownloadNewVersion : txtCheckNewVersion));
  labelDevelopmentBuild_->setText(LangText(txtDevelopmentBuild));
}

void TFormWizardInstall::SetLinkHover(QLabel* link, bool hover) {
  QFont f = link->font();
  f.setUnderline(hover);
  link->setFont(f);
  if (hover)
    link->setCursor(Qt::PointingHandCursor);
  else
    link->unsetCursor();
}

bool TFormWizardInstall::eventFilter(QObject* watched, QEvent* event) {
  for (int i = 0; i < 3; ++i) {
    if (watched != imageLanguage_[i] && watched != labelLanguage_[i]) continue;
    if (event->type() == QEvent::Enter) {
      SetLinkHover(imageLanguage_[i], true);
      SetLinkHover(labelLanguage_[i], true);
    } else if (event->type() == QEvent::Leave) {
      SetLinkHover(imageLanguage_[i], false);
      SetLinkHover(labelLanguage_[i], false);
    } else if (event->type() == QEvent::MouseButtonRelease) {
      SetLanguage(kLanguageNumbers[i]);
      return true;
    }
    return QWidget::eventFilter(watched, event);
  }
  if (watched == labelUpdates_) {
    if (event->type() == QEvent::Enter) {
      if (!silentCheck_) SetLinkHover(labelUpdates_, true);
    } else if (event->type() == QEvent::Leave) {
      SetLinkHover(labelUpdates_, false);
    } else if (event->type() == QEvent::MouseButtonRelease) {
      LabelUpdatesClick();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

// --- Version check -------------------------------------------------------------------------

void TFormWizardInstall::OnRequestVersion(TPUSClient*, int, int, const TPUSVersionInfo& info) {
  versionRecord_ = info;
}

void TFormWizardInstall::OnCommandDone(TPUSClient* sender, TPUSCommand command, int result) {
  if (command != pcReqVersion) return;
  if (result == 0) {
    newerVersion_ = IsNewerVersion(programVersion_, versionRecord_.ProductVersion);
    if (newerVersion_) {
      QPalette green = labelUpdates_->palette();
      green.setColor(QPalette::WindowText, QColor(0, 128, 0));
      labelUpdates_->setPalette(green);
      labelUpdates_->setText(LangText(txtDownloadNewVersion));
      // Not from inside the client's own report: the update window has a client of its own
      // and runs modally.
      if (!silentCheck_) QTimer::singleShot(0, this, &TFormWizardInstall::SelfUpdate);
    }
  } else if (!silentCheck_) {
    sender->ShowError(ApplicationTitle());
  }
  silentCheck_ = false;
}

void TFormWizardInstall::LabelUpdatesClick() {
  switch (UpdateLinkAction(silentCheck_, pusClient_->IsBusy(), newerVersion_, versionRecord_.ProductVersion)) {
    case ulIgnore:
      return;
    case ulSelfUpdate:
      SelfUpdate();
      return;
    case ulRequestVersion:
      pusClient_->RequestVersion(StrToGUID(QString::fromLatin1(kInstallerProductGUID)));
      return;
    case ulNoNewVersion:
      MsgBoxCaption(ApplicationTitle(), LangText(txtNoNewVersion), mtInformation, mbOKOnly);
      return;
  }
}

void TFormWizardInstall::SelfUpdate() {
  // Not while a run is under way: the update would hide the window and end the program with
  // downloads or a setup still running. It is offered after the run's summary.
  if (run_) {
    updateAfterRun_ = true;
    return;
  }
  hide();
  const bool downloaded = RunSelfUpdate();
  show();
  if (!downloaded) return;
  // The new installer replaces this program: start it (checked again, signature included)
  // and end. When it cannot be started the box has said why and the wizard stays.
  if (!OpenDownloadedUpdate()) return;
  closeIsAbort_ = false;
  close();
  QCoreApplication::quit();
}

TFormMessage* TFormWizardInstall::PleaseWait() const { return pleaseWait_.data(); }

int TFormWizardInstall::Operation() const { return run_ && run_->Operation() != 0 ? run_->Operation() : operation_; }
