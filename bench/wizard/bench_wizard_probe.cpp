// The wizard's start-up exactly as Deployer runs it, ending as soon as page 0 has been
// painted: process start to page 0 shown.
#include "CvAppInit.h"
#include "FrmWizardInstall.h"

#include <QWindow>

int main(int argc, char** argv) {
  TCvApplication app(argc, argv);
  return RunDeployer([](TFormWizardInstall& wizard) {
    while (!wizard.windowHandle() || !wizard.windowHandle()->isExposed()) QCoreApplication::processEvents();
    wizard.repaint();
    return true;
  });
}
