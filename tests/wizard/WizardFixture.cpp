#include "WizardFixture.h"

#include "CvLanguage.h"
#include "FraPageTypeInstall.h"
#include "FraPageUser.h"
#include "FrmMessage.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>

#include <cstdio>
#include <cstdlib>

namespace cvtest {

// Stops the service while the application object still exists.
class WizardServiceEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { WizardService::Get().process_.reset(); }
};

namespace {
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new WizardServiceEnvironment);
}

WizardService& WizardService::Get() {
  static WizardService service;
  if (!service.process_) {
    service.content = MakeTempFolder(QStringLiteral("pus-content"));
    service.SetInstallerVersion(QStringLiteral("1.0.0.0"));
    service.process_ = std::make_unique<ServiceProcess>();
    const QString accounts = MakeTempFolder(QStringLiteral("demo-accounts"));
    if (!service.process_->Start({QStringLiteral("--demo"), QStringLiteral("--accounts"), accounts,
                                  QStringLiteral("--content"), service.content},
                                 true)) {
      std::fprintf(stderr, "deployer-service --demo did not start: %s\n", qPrintable(service.process_->Log()));
      std::exit(1);
    }
    service.url = service.process_->url;
    service.email = service.process_->email;
    service.password = service.process_->password;
  }
  return service;
}

void WizardService::SetInstallerVersion(const QString& version) {
  const QString folder = content + QStringLiteral("/") + QString::fromLatin1(kInstallerProductGUID);
  QDir().mkpath(folder);
  QFile file(folder + QStringLiteral("/product.json"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(QStringLiteral("{\"version\": \"%1\", \"date1\": \"2024-06-03\", \"text1\": \"Corvane Software "
                            "Installer\"}\n")
                 .arg(version)
                 .toUtf8());
}

BadServer::BadServer(Mode mode) : mode_(mode) {
  server_.listen(QHostAddress::LocalHost, 0);
  QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
      ++connections_;
      socket->setParent(this);
      if (mode_ == Garbage) {
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
          socket->readAll();
          if (socket->property("answered").toBool()) return;
          socket->setProperty("answered", true);
          const QByteArray body("\x01\x02{not json at all\xff\xfe]]\n-7\n");
          socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
          socket->disconnectFromHost();
        });
      }
      // Silent: the connection stays open and nothing is ever sent.
    }
  });
}

QString UnreachableUrl() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  const quint16 port = probe.serverPort();
  probe.close();
  return QStringLiteral("http://127.0.0.1:%1").arg(port);
}

void WizardTest::SetUp() {
  SetCurrentLanguage(lgEnglish);
  RegWriteLanguage();
  WizardService& s = WizardService::Get();
  s.SetInstallerVersion(QStringLiteral("1.0.0.0"));
  UseServices(s.url, s.url);
  // Each test starts without a remembered sign-in.
  GetAppReg().DeleteKey(rrSettings, QStringLiteral("Account"));
}

void WizardTest::TearDown() {
  SetCurrentLanguage(lgEnglish);
  RegWriteLanguage();
}

void WizardTest::UseServices(const QString& accountUrl, const QString& pusUrl) {
  qputenv("CORVANE_SERVICE_URL", accountUrl.toUtf8());
  qputenv("CORVANE_PUS_URL", (pusUrl + QStringLiteral("/pus/pus.php")).toUtf8());
}

std::unique_ptr<TFormWizardInstall> WizardTest::NewWizard() {
  auto w = std::make_unique<TFormWizardInstall>();
  EXPECT_FALSE(w->StartupFailed());
  w->show();
  // The start-up version check is silent and over soon against a local service.
  WaitFor([&] { return !w->SilentCheck(); }, 10000);
  return w;
}

void WizardTest::Click(QWidget* button) {
  QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

void WizardTest::ChooseType(TFormWizardInstall& w, TSetupType type) {
  ASSERT_EQ(w.CurrentPage(), wpSetupType);
  TFramePageTypeInstall* page = w.PageTypeInstall();
  QRadioButton* radio = type == InstallFromBackup ? page->RadioInstallFromBackup()
                        : type == InstallOnline   ? page->RadioInstallOnline()
                                                  : page->RadioCreateBackup();
  QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(5, radio->height() / 2));
  ASSERT_EQ(page->SetupType(), type);
  Click(w.ButtonNext());
}

void WizardTest::SignIn(TFormWizardInstall& w, const QString& email, const QString& password, bool remember) {
  ASSERT_EQ(w.CurrentPage(), wpLogin);
  TFramePageUserLogin* login = w.PageUserLogin();
  login->EditLoginEmail()->setText(email);
  login->EditLoginPassword()->setText(password);
  login->CheckBoxRememberMe()->setChecked(remember);
  Click(w.ButtonNext());
  ASSERT_TRUE(WaitForSignIn(w));
}

bool WizardTest::WaitForSignIn(TFormWizardInstall& w) {
  return WaitFor([&] { return !w.SigningIn(); });
}

}  // namespace cvtest
