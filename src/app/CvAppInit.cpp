#include "CvAppInit.h"

#include "CvAppExceptions.h"
#include "CvDesktop.h"
#include "CvLib.h"
#include "CvMsgBox.h"
#include "CvStrUtils.h"
#include "FrmLanguage.h"
#include "FrmMessage.h"
#include "FrmWizardInstall.h"

#include <QFontMetrics>

#include <memory>
#include <thread>

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
  // The font database is filled the first time a text is measured: several milliseconds of
  // reading the system's fonts, the largest single part of the way to page 0. A worker fills it
  // while this thread opens the settings and builds the window (the database is thread-safe);
  // the first text of the window then finds it ready, or waits for it to be.
  const std::jthread fonts([] { QFontMetrics(QGuiApplication::font()).height(); });
  InstallMessageFormPresenter();
  InstallDesktopConventions();
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
