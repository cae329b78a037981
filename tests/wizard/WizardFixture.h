#pragma once

// The wizard window against the real deployer-service (demo account and update service)
// started on 127.0.0.1, with every message box answered and recorded.

#include "BoxRecorder.h"
#include "CvLib.h"
#include "FraPageDestinationInstall.h"
#include "FrmWizardInstall.h"
#include "IntegrationFixture.h"
#include "TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRadioButton>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace cvtest {

// Runs the event loop until done() or the timeout; true when done.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

// The one service of the test program: the demo account and an update-service content folder
// whose installer version a test sets.
class WizardService {
 public:
  static WizardService& Get();

  // Writes the installer's product.json with the given version.
  void SetInstallerVersion(const QString& version);

  QString url;
  QString email;
  QString password;
  QString content;

 private:
  std::unique_ptr<ServiceProcess> process_;
  friend class WizardServiceEnvironment;
};

// A TCP server on 127.0.0.1 that either never answers or answers garbage, for both services.
class BadServer : public QObject {
 public:
  enum Mode { Silent, Garbage };
  explicit BadServer(Mode mode);
  QString Url() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }
  int Connections() const { return connections_; }

 private:
  QTcpServer server_;
  Mode mode_;
  int connections_ = 0;
};

// A port on which nothing listens.
QString UnreachableUrl();

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Points the engine and the update client at the given services.
  static void UseServices(const QString& accountUrl, const QString& pusUrl);
  std::unique_ptr<TFormWizardInstall> NewWizard();

  // Clicks a button with the mouse, as a user would.
  static void Click(QWidget* button);
  // From page 0: choose the setup type and press Next.
  void ChooseType(TFormWizardInstall& w, TSetupType type);
  // On page 1: enter the sign-in, press Next and wait for its answer.
  void SignIn(TFormWizardInstall& w, const QString& email, const QString& password, bool remember = false);
  bool WaitForSignIn(TFormWizardInstall& w);

  BoxRecorder boxes;
};

// Ticks exactly the named products (number, mask) on the selection page's records.
inline void Tick(TFormWizardInstall& w, const std::vector<std::pair<int, int>>& picks) {
  ChartCheck* check = w.Check();
  for (int i = 0; i < check->ProductCount(); ++i) {
    ProductRecord* r = check->Product(i);
    bool on = false;
    for (auto [number, mask] : picks) on = on || (r->ProductNumber() == number && r->ModuleMask() == mask);
    r->SetChecked(on);
  }
}

// The user's folder, as the browse button stores it, chosen on the destination page.
inline void ChooseFolder(TFramePageDestinationInstall* page, const QString& folder) {
  GetAppReg().WriteString(rrSettings, "Settings", "FolderDestination", folder);
  GetAppReg().WriteString(rrSettings, "Settings", "FolderDestinationBackup", folder);
  page->Load();
  page->RadioUser()->click();
}

// The run's summary is the last box shown.
inline bool SummaryShown(const BoxRecorder& boxes) {
  return !boxes.boxes.isEmpty() && boxes.boxes.last().text.endsWith("Return to start page?");
}

}  // namespace cvtest
