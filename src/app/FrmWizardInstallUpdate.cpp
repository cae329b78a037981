// The wizard's side of the self-update: the quiet version check at the start, the update link
// in the information bar, and the hand-over to the update window.
#include "FrmWizardInstall.h"

#include "CvDeployRun.h"
#include "CvLanguage.h"
#include "CvMsgBoxPresenter.h"
#include "CvSelfUpdate.h"
#include "CvStrUtils.h"
#include "CvWizardFlow.h"
#include "FrmMessage.h"

#include <QCoreApplication>
#include <QLabel>
#include <QTimer>

const char* const kInstallerProductGUID = "{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}";

namespace {

const TLangText txtDownloadNewVersion = {"Download new version...", "Nieuwe versie downloaden...",
                                         "Neue Version herunterladen..."};
const TLangText txtCheckNewVersion = {"Check for a new version...", "Controleren op een nieuwe versie...",
                                      "Nach einer neuen Version suchen..."};
const TLangText txtDevelopmentBuild = {"development build", "ontwikkelversie", "Entwicklungsversion"};
const TLangText txtNoNewVersion = {
    "No new program version found.\r\n\r\nYou are already using the latest version.",
    "Geen nieuwe programmaversie gevonden.\r\n\r\nU gebruikt al de nieuwste versie.",
    "Keine neue Programmversion gefunden.\r\n\r\nSie verwenden bereits die neueste Version."};

}  // namespace

void TFormWizardInstall::SetInformationBarTexts() {
  labelUpdates_->setText(LangText(newerVersion_ ? txtDownloadNewVersion : txtCheckNewVersion));
  labelDevelopmentBuild_->setText(LangText(txtDevelopmentBuild));
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
