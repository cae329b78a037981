#include "CvAppInit.h"

#include "CvAppExceptions.h"
#include "CvLib.h"
#include "CvMsgBox.h"
#include "CvStrUtils.h"
#include "FrmLanguage.h"
#include "FrmMessage.h"
#include "FrmWizardInstall.h"

#include <memory>

bool TCvApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleEventLoopException();
    return false;
  }
}

bool ChooseLanguage(int& language) { return TFormLanguage::Execute(language); }

int RunDeployer(const std::function<bool(TFormWizardInstall&)>& shown) {
  InstallMessageFormPresenter();
  InitLocale();
  if (!InitApplication(QStringLiteral("Deployer"), &ChooseLanguage)) return 0;
  QGuiApplication::setApplicationDisplayName(ApplicationTitle());

  std::unique_ptr<TFormWizardInstall> wizard;
  try {
    wizard = std::make_unique<TFormWizardInstall>();
  } catch (...) {
    // The start-up cannot go on (the installed-products model could not be made).
    HandleEventLoopException();
    return 1;
  }
  if (wizard->StartupFailed()) return 1;
  wizard->show();
  if (shown && shown(*wizard)) return 0;
  const int result = QApplication::exec();
  return result;
}
