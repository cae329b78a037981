#include "WindowTour.h"

#include "CvBrowseFolderFrm.h"
#include "CvDialogs.h"
#include "CvLanguage.h"
#include "CvLib.h"
#include "CvMsgBox.h"
#include "CvRunTexts.h"
#include "CvSetupType.h"
#include "FraPageTypeInstall.h"
#include "FrmLanguage.h"
#include "FrmMessage.h"
#include "FrmWizardInstall.h"
#include "FrmWizardUpdate.h"

#include <QCoreApplication>
#include <QDir>
#include <QRadioButton>
#include <QThread>

namespace {

void Show(QWidget* window, const QString& name, const TTourVisit& visit) {
  window->show();
  // Let the window system map and lay out the window before it is looked at.
  for (int i = 0; i < 10; ++i) {
    QCoreApplication::processEvents();
    QThread::msleep(5);
  }
  visit(window, name);
}

TMsgBoxRequest Box(TMsgDlgType kind, TMsgDlgButtons buttons, const QString& text) {
  TMsgBoxRequest r;
  r.kind = kind;
  r.buttons = buttons;
  r.caption = MsgKindCaption(kind);
  r.text = text;
  return r;
}

void TourWizard(const TTourVisit& visit) {
  TFormWizardInstall wizard;
  if (wizard.StartupFailed()) return;
  Show(&wizard, QStringLiteral("wizard-page0"), visit);
  const struct {
    TSetupType type;
    const char* name;
    QRadioButton* (TFramePageTypeInstall::*radio)() const;
    std::initializer_list<int> pages;
  } types[] = {
      {InstallOnline, "online", &TFramePageTypeInstall::RadioInstallOnline,
       {wpLogin, wpSelectSoftware, wpDestination, wpProgress}},
      {CreateBackup, "backup", &TFramePageTypeInstall::RadioCreateBackup,
       {wpLogin, wpSelectSoftware, wpDestination, wpProgress}},
      {InstallFromBackup, "restore", &TFramePageTypeInstall::RadioInstallFromBackup,
       {wpBackupSource, wpSelectSoftware, wpDestination, wpProgress}},
  };
  for (const auto& t : types) {
    wizard.ShowPage(wpSetupType);
    (wizard.PageTypeInstall()->*t.radio)()->click();
    // Next from page 0 takes the setup type over and shows the type's first page.
    wizard.ButtonNextClick();
    for (int page : t.pages) {
      if (wizard.CurrentPage() != page) wizard.ShowPage(page);
      Show(&wizard, QStringLiteral("wizard-%1-page%2").arg(QLatin1String(t.name)).arg(page), visit);
    }
  }
  wizard.ShowPage(wpSetupType);
}

}  // namespace

void TourWindows(int language, const TTourVisit& visit) {
  const int previous = GetCurrentLanguage();
  SetCurrentLanguage(language);
  // No update server here: the start-up check fails at once and silently.
  qputenv("CORVANE_PUS_URL", "http://127.0.0.1:9/pus/pus.php");

  // A box the windows raise on their own (the update server does not answer) is answered at
  // once: the tour never waits for a person.
  const TMsgBoxPresenter previousPresenter = SetMsgBoxPresenter([](const TMsgBoxRequest&) { return mrOk; });

  TourWizard(visit);
  {
    TFormWizardUpdate update;
    if (update.CreationError() == 0) Show(&update, QStringLiteral("self-update"), visit);
  }
  SetMsgBoxPresenter(previousPresenter);

  // Every button a box can have, with the longest texts the runs show.
  const struct {
    const char* name;
    TMsgBoxRequest request;
  } boxes[] = {
      {"msgbox-yesno", Box(mtConfirmation, mbYesNo, LangText(rtReturnToStart))},
      {"msgbox-ok", Box(mtInformation, mbOKOnly, LangText(rtInstallSuccess))},
      {"msgbox-partial", Box(mtWarning, mbOKOnly, LangText(rtBackupPartial))},
      {"msgbox-okcancel", Box(mtWarning, MsgButton(mbOK) | MsgButton(mbCancel), LangText(ctFolderNotFound))},
      {"msgbox-abortretryignore",
       Box(mtError, MsgButton(mbAbort) | MsgButton(mbRetry) | MsgButton(mbIgnore), LangText(rtErrSaveIndex))},
      {"msgbox-to-all", Box(mtConfirmation,
                         MsgButton(mbYes) | MsgButton(mbYesToAll) | MsgButton(mbNoToAll) | MsgButton(mbNo) | MsgButton(mbHelp),
                         LangText(ctFolderNameExists))},
  };
  for (const auto& b : boxes) {
    TMessageForm form(b.request);
    Show(&form, QString::fromLatin1(b.name), visit);
  }

  for (const auto& [kind, name] : {std::pair{fmkInitializingCharts, "please-wait-charts"},
                                   std::pair{fmkDownloadingProducts, "please-wait-products"},
                                   std::pair{fmkDownloadingUpdate, "please-wait-update"}}) {
    TFormMessage wait(kind);
    Show(&wait, QString::fromLatin1(name), visit);
  }

  {
    TFormLanguage chooser(GetAvailableLanguages(), language, SystemLocaleLanguage());
    Show(&chooser, QStringLiteral("language-chooser"), visit);
  }
  for (const auto& [kind, name] : {std::pair{bkSave, "folder-browser-destination"}, std::pair{bkOpen, "folder-browser-source"}}) {
    TFormBrowseFolder browse(false, kind, bfNewFolder, QDir::homePath(), "", nullptr);
    Show(&browse, QString::fromLatin1(name), visit);
  }
  SetCurrentLanguage(previous);
}
