// The wizard's installed-products model: loaded on a worker thread once page 0 is shown, so
// that page 0 does not wait for the charts, and handed to the GUI thread when it is done or
// when a page needs it, whichever comes first.
#include "FrmWizardInstall.h"
#include "FrmWizardInstallParts.h"

#include "CvAppExceptions.h"
#include "CvInstalledChartsLoad.h"
#include "FraPageSelectSoftware.h"
#include "FrmMessage.h"

#include <QCoreApplication>
#include <QThread>

namespace {

// A window that is never painted (hidden, or slow to come up) loads the charts after this.
constexpr int kChartsLoadAtLatestMs = 300;

}  // namespace

void TFormWizardInstall::ScheduleChartsLoad() {
  // The load starts once page 0 is on the screen: with hundreds of thousands of charts it
  // would otherwise take memory and disk from the start itself.
  AfterFirstPaint(this, kChartsLoadAtLatestMs, [this] { StartChartsLoad(); });
}

void TFormWizardInstall::StartChartsLoad() {
  if (chartsLoad_ || startupFailed_) return;
  chartsLoad_ = std::make_unique<TInstalledChartsLoad>(dataFolder_ + QStringLiteral("Cache/ChartInfo.cif"));
  connect(chartsLoad_.get(), &TInstalledChartsLoad::Finished, this, [this] { TakeInstalledCharts(); });
}

bool TFormWizardInstall::EnsureInstalledCharts() {
  if (installedCharts_) return true;
  StartChartsLoad();
  if (!chartsLoad_ || startupFailed_) return false;
  if (!chartsLoad_->Ready()) {
    // The please-wait window goes on every path out of here.
    TFormMessage wait(fmkInitializingCharts);
    wait.ShowNow();
    chartsLoad_->Wait();
  }
  TakeInstalledCharts();
  raise();
  activateWindow();
  return installedCharts_ != nullptr;
}

void TFormWizardInstall::TakeInstalledCharts() {
  if (installedCharts_ || !chartsLoad_ || !chartsLoad_->Ready() || startupFailed_) return;
  try {
    installedCharts_ = chartsLoad_->Take();
  } catch (...) {
    // As a start-up that cannot go on: the error is logged and shown, and the program ends.
    startupFailed_ = true;
    HandleEventLoopException();
    SetCloseActsAsAbort(false);
    close();
    // The program's event loop ends with the failure (none runs yet in a test).
    if (QThread::currentThread()->loopLevel() > 0) QCoreApplication::exit(1);
    return;
  }
  if (!installedCharts_) return;
  CreateOtherPages();
  pageSelectSoftware_->SetInstalledCharts(installedCharts_.get());
}
