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

#include <fontconfig/fontconfig.h>

#include <memory>
#include <thread>

TFontConfigLoad::TFontConfigLoad()
    : thread_([this] {
        FcInit();
        done_.store(true);
        done_.notify_all();
      }) {}

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
  // Qt's font database is filled the first time a text is measured. A worker fills it, once the
  // font configuration is read, while this thread opens the settings and builds the window (the
  // database is thread-safe); the first text of the window then finds it ready, or waits for it.
  const std::jthread fonts([] {
    if (const auto* app = dynamic_cast<const TCvApplication*>(QCoreApplication::instance())) app->WaitForFontConfig();
    QFontMetrics(QGuiApplication::font()).height();
  });
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
