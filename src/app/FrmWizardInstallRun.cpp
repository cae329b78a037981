// The wizard as host of a run: it starts one from the settings the pages gathered, passes the
// chart-check events to it while it works, and takes the wizard on when it has finished.
#include "FrmWizardInstall.h"

#include "CvDeployRun.h"
#include "CvLanguage.h"
#include "CvMsgBoxPresenter.h"
#include "FrmMessage.h"
#include "FrmWizardInstallParts.h"

#include <QCoreApplication>
#include <QPushButton>

#include <utility>

namespace {

const TLangText txtUpdateAfterRun = {
    "A new version of the installer is available.\r\n\r\nDo you want to download it now?",
    "Er is een nieuwe versie van het installatieprogramma beschikbaar.\r\n\r\nWilt u deze nu downloaden?",
    "Eine neue Version des Installationsprogramms ist verfügbar.\r\n\r\nMöchten Sie sie jetzt herunterladen?"};

}  // namespace

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
