#pragma once

// The wizard window, the program's main window: one page at a time, Next, Previous and
// Close by setup type, the sign-in, the language links and the installer's version check.
// It owns everything for the life of the process: the installed-products model, the
// environment and chart-check object, the pages, the update-server client and the selection
// list.

#include "CvLib.h"
#include "CvPUSClient.h"
#include "CvSetupType.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class QLabel;
class QPushButton;
class TFormMessage;
class TFramePageDestinationInstall;
class TFramePageProgress;
class TFramePageSelectSoftware;
class TFramePageSourceInstall;
class TFramePageTypeInstall;
class TFramePageUserLogin;
class TInstalledCharts;
class TInstalledChartsLoad;
class TWizardPage;
class TDeployRun;
class TRunProgress;
struct TRunResult;

// The installer's own product GUID, for the version check and the self-update.
extern const char* const kInstallerProductGUID;

class TFormWizardInstall final : public QWidget {
  Q_OBJECT

 public:
  // Builds the working set and shows page 0 in the (not yet visible) window. When the data
  // folder cannot be found or made, the error has been shown and StartupFailed() is true:
  // the caller ends the program without showing the window.
  explicit TFormWizardInstall(QWidget* parent = nullptr);
  ~TFormWizardInstall() override;

  bool StartupFailed() const { return startupFailed_; }
  const QString& DataFolder() const { return dataFolder_; }

  // The one way to change pages.
  void ShowPage(int page);

  void ButtonNextClick();
  void ButtonPrevClick();
  void ButtonCloseClick();
  void ImageDutchClick();
  void ImageEnglishClick();
  void ImageGermanClick();
  void LabelUpdatesClick();

  // Wizard state.
  int CurrentPage() const { return currentPage_; }
  TSetupType SetupType() const { return setupType_; }
  // What the chart-check object does for the wizard: 0 product list, 1 file list, 2 a download.
  int Operation() const;
  bool AbortRequest() const { return abortRequest_; }
  bool SilentCheck() const { return silentCheck_; }
  bool NewerVersion() const { return newerVersion_; }
  const TPUSVersionInfo& VersionRecord() const { return versionRecord_; }
  SelectionList* Selection() const { return selectionList_.get(); }
  const QString& SourceFolder() const { return sourceFolder_; }
  const QString& DestinationFolder() const { return destinationFolder_; }
  // True while Close is captioned "Abort" and acts as Abort.
  bool CloseIsAbort() const { return closeIsAbort_; }
  // True from the sign-in until its product list arrived.
  bool SigningIn() const { return signingIn_; }
  // The run under way, or none.
  TDeployRun* Run() const { return run_.get(); }

  // Parts, for the runs and for tests. The installed-products model is nullptr until its
  // load on the worker thread was handed over (EnsureInstalledCharts).
  TInstalledCharts* InstalledCharts() const { return installedCharts_.get(); }
  // Takes the installed-products model over, waiting for its load behind the please-wait
  // window when it is not done yet. False when the model could not be made (the error was
  // shown and the program ends).
  bool EnsureInstalledCharts();
  ChartCheck* Check() const { return chartCheck_.get(); }
  TNavEnv* Environment() const { return environment_.get(); }
  TPUSClient* PUSClient() const { return pusClient_.get(); }
  TFormMessage* PleaseWait() const;
  TFramePageTypeInstall* PageTypeInstall() const { return pageTypeInstall_; }
  // The pages after page 0 are made once it is painted, or here when asked for before that.
  TFramePageUserLogin* PageUserLogin() const { return CreateOtherPages(), pageUserLogin_; }
  TFramePageSelectSoftware* PageSelectSoftware() const { return CreateOtherPages(), pageSelectSoftware_; }
  TFramePageDestinationInstall* PageDestination() const { return CreateOtherPages(), pageDestination_; }
  TFramePageSourceInstall* PageSourceInstall() const { return CreateOtherPages(), pageSourceInstall_; }
  TFramePageProgress* PageProgress() const { return CreateOtherPages(), pageProgress_; }

  QLabel* LabelHeaderTitle() const { return labelHeaderTitle_; }
  QLabel* LabelHeaderDescription() const { return labelHeaderDescription_; }
  QWidget* PanelInformation() const { return panelInformation_; }
  QWidget* PanelContent() const { return panelContent_; }
  QLabel* LabelDutch() const { return labelLanguage_[0]; }
  QLabel* LabelEnglish() const { return labelLanguage_[1]; }
  QLabel* LabelGerman() const { return labelLanguage_[2]; }
  QLabel* ImageDutch() const { return imageLanguage_[0]; }
  QLabel* ImageEnglish() const { return imageLanguage_[1]; }
  QLabel* ImageGerman() const { return imageLanguage_[2]; }
  QLabel* LabelUpdates() const { return labelUpdates_; }
  QLabel* LabelVersion() const { return labelVersion_; }
  // Shown beside the version when the program trusts its build's own update key.
  QLabel* LabelDevelopmentBuild() const { return labelDevelopmentBuild_; }
  QPushButton* ButtonPrev() const { return buttonPrev_; }
  QPushButton* ButtonNext() const { return buttonNext_; }
  QPushButton* ButtonClose() const { return buttonClose_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool ResolveDataFolder();
  void BuildWindow();
  void CreateWorkingSet();
  // Makes the pages after page 0 (and the run's view of the progress page) once.
  void CreateOtherPages() const;
  // The installed-products model loads on a worker thread once page 0 is shown; its end hands it
  // to this thread (FrmWizardInstallCharts.cpp).
  void ScheduleChartsLoad();
  void StartChartsLoad();
  void TakeInstalledCharts();
  void SetInformationBarTexts();
  std::array<TWizardPage*, 6> Pages() const;
  TWizardPage* Page(int page) const;
  void TakeOffPages();
  void PlacePage(int page);
  void SetCloseActsAsAbort(bool abort);
  void SetLanguage(int language);

  // Next, by page.
  void NextFromLogin();
  void NextFromSelection();
  void NextFromDestination();
  void NextFromBackupSource();
  // Fills the selection page from the chart-check object's product records.
  void FillSelectionFromProducts(bool checkAll, bool checkProgramIfAbsent);
  // Builds the selection list from the checked records; false (after the warning) when empty.
  bool BuildSelectionList();
  void WarnNothingChecked();

  // The runs: page 4 shows them; the summary's answer decides between page 0 and the end.
  void StartRun(TSetupType type);
  void RunFinished(const TRunResult& result);

  // Chart-check events arrive here (130 operation done, 131 download progress).
  static void ChartCheckEvent(void* data, const TNavEvent& event);
  void OnChartCheckEvent(const TNavEvent& event);
  void ProductListDone();
  void FreePleaseWait();

  // Version check.
  void OnCommandDone(TPUSClient* sender, TPUSCommand command, int result);
  void OnRequestVersion(TPUSClient* sender, int index, int count, const TPUSVersionInfo& info);
  void SelfUpdate();
  void SetLinkHover(QLabel* link, bool hover);

  // Start-up.
  bool startupFailed_ = false;
  QString dataFolder_;
  std::uint32_t programVersion_ = 0;

  // Wizard state.
  TSetupType setupType_ = InstallOnline;
  int currentPage_ = wpSetupType;
  int operation_ = 0;
  std::unique_ptr<SelectionList> selectionList_;
  QString destinationFolder_;
  QString sourceFolder_;
  bool abortRequest_ = false;
  bool silentCheck_ = false;
  bool newerVersion_ = false;
  bool updateAfterRun_ = false;  // an update came up during a run: offered after its summary
  TPUSVersionInfo versionRecord_;
  QPointer<TFormMessage> pleaseWait_;
  bool closeIsAbort_ = false;
  bool signingIn_ = false;

  // Owned parts, freed in the destructor in this order: client, pages, selection list,
  // subscription, chart-check object, environment, installed-products model.
  std::unique_ptr<TInstalledCharts> installedCharts_;
  std::unique_ptr<TInstalledChartsLoad> chartsLoad_;  // the load; kept to the end once done
  std::unique_ptr<TNavEnv> environment_;
  bool subscribed_ = false;
  std::unique_ptr<ChartCheck> chartCheck_;
  std::unique_ptr<TPUSClient> pusClient_;
  std::unique_ptr<TRunProgress> runProgress_;  // the progress page as the runs see it
  std::unique_ptr<TDeployRun> run_;
  int runStartedFrom_ = wpSetupType;
  TFramePageDestinationInstall* pageDestination_ = nullptr;
  TFramePageProgress* pageProgress_ = nullptr;
  TFramePageSelectSoftware* pageSelectSoftware_ = nullptr;
  TFramePageSourceInstall* pageSourceInstall_ = nullptr;
  TFramePageTypeInstall* pageTypeInstall_ = nullptr;
  TFramePageUserLogin* pageUserLogin_ = nullptr;

  // Controls.
  QLabel* labelHeaderTitle_ = nullptr;
  QLabel* labelHeaderDescription_ = nullptr;
  QWidget* panelInformation_ = nullptr;
  QLabel* imageLanguage_[3] = {};
  QLabel* labelLanguage_[3] = {};
  QLabel* labelUpdates_ = nullptr;
  QWidget* panelContent_ = nullptr;
  QLabel* labelVersion_ = nullptr;
  QLabel* labelDevelopmentBuild_ = nullptr;
  QPushButton* buttonPrev_ = nullptr;
  QPushButton* buttonNext_ = nullptr;
  QPushButton* buttonClose_ = nullptr;
};
