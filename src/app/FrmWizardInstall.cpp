// The wizard window itself: its data folder, controls and working set (chart check, pages,
// update-server client), its end, and the language links. The page sequence, run hosting,
// self-update and the installed charts each have a FrmWizardInstall*.cpp of their own.
#include "FrmWizardInstall.h"

#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "CvInstalledChartsLoad.h"
#include "CvLanguage.h"
#include "CvMsgBoxPresenter.h"
#include "CvRunProgress.h"
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
#include "FrmWizardInstallParts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace {

const TLangText txtNoSettingsFolder = {
    "Could not find the program settings folder. Please reinstall the program.",
    "De map met de programma-instellingen is niet gevonden. Installeer het programma opnieuw.",
    "Der Ordner mit den Programmeinstellungen wurde nicht gefunden. Bitte installieren Sie das Programm neu.",
    nullptr,
    nullptr,
    nullptr,
    "Mappen med programindstillingerne blev ikke fundet. Geninstaller venligst programmet."};

// The language links: own names, fixed in every language.
const char* const kLanguageNames[3] = {"Nederlands", "English", "Deutsch"};
constexpr int kLanguageNumbers[3] = {lgDutch, lgEnglish, lgGerman};

constexpr int kMinWidth = 650;
constexpr int kMinHeight = 485;
// A window that is never painted asks for the installer's version after this.
constexpr int kVersionCheckAtLatestMs = 300;

class TAfterFirstPaint final : public QObject {
 public:
  TAfterFirstPaint(QWidget* window, int latestMs, std::function<void()> then)
      : QObject(window), then_(std::move(then)) {
    window->installEventFilter(this);
    QTimer::singleShot(latestMs, this, [this] { Fire(); });
  }

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint && !queued_) {
      queued_ = true;
      QTimer::singleShot(0, this, [this] { Fire(); });
    }
    return false;
  }

 private:
  void Fire() {
    if (!then_) return;
    const std::function<void()> then = std::exchange(then_, {});
    deleteLater();
    then();
  }

  std::function<void()> then_;
  bool queued_ = false;
};

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

}  // namespace

void AfterFirstPaint(QWidget* window, int latestMs, std::function<void()> then) {
  new TAfterFirstPaint(window, latestMs, std::move(then));  // owned by the window
}

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
  ScheduleChartsLoad();

  environment_ = NavEnvCreate();
  environment_->EventSource().Subscribe(&TFormWizardInstall::ChartCheckEvent, this);
  subscribed_ = true;
  chartCheck_ = QMRChartCheckCreate(environment_->EventSource(), QStringLiteral("CSI"), programVersion_);

  pageTypeInstall_ = new TFramePageTypeInstall(this);
  // The other pages are made once page 0 is painted (or when one is needed before that):
  // page 0 does not wait for their controls.
  AfterFirstPaint(this, kVersionCheckAtLatestMs, [this] { CreateOtherPages(); });

  pusClient_ = std::make_unique<TPUSClient>();
  pusClient_->OnCommandDone = [this](TPUSClient* sender, TPUSCommand command, int result) {
    OnCommandDone(sender, command, result);
  };
  pusClient_->OnRequestVersion = [this](TPUSClient* sender, int index, int count, const TPUSVersionInfo& info) {
    OnRequestVersion(sender, index, count, info);
  };
  // The silent version check goes out once page 0 is on the screen: the network and its TLS
  // take a while to load, and page 0 does not need the answer.
  silentCheck_ = true;
  AfterFirstPaint(this, kVersionCheckAtLatestMs,
                  [this] { pusClient_->RequestVersion(StrToGUID(QString::fromLatin1(kInstallerProductGUID))); });
}

void TFormWizardInstall::CreateOtherPages() const {
  if (pageUserLogin_) return;
  // Asked for through a const wizard too (the page getters): the window owns its pages either way.
  auto* self = const_cast<TFormWizardInstall*>(this);
  self->pageDestination_ = new TFramePageDestinationInstall(self);
  self->pageProgress_ = new TFramePageProgress(self);
  pageProgress_->SetPump(false);
  self->runProgress_ = std::make_unique<TProgressPageRunProgress>(*pageProgress_);
  self->pageSelectSoftware_ = new TFramePageSelectSoftware(installedCharts_.get(), chartCheck_.get(), self);
  self->pageSourceInstall_ = new TFramePageSourceInstall(self);
  self->pageUserLogin_ = new TFramePageUserLogin(self);
}

TFormWizardInstall::~TFormWizardInstall() {
  FreePleaseWait();
  run_.reset();
  runProgress_.reset();
  pusClient_.reset();
  // Detached from the window first, each page running its leave actions, then freed.
  if (pageTypeInstall_) {
    for (TWizardPage* page : Pages()) {
      if (!page) continue;  // the pages after page 0 were never made
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

TFormMessage* TFormWizardInstall::PleaseWait() const { return pleaseWait_.data(); }

int TFormWizardInstall::Operation() const { return run_ && run_->Operation() != 0 ? run_->Operation() : operation_; }
