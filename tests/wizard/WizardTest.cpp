// The wizard window against the real service: start-up, page sequences, sign-in, languages
// and the version check.
#include "WizardFixture.h"

#include "CvInstalledCharts.h"
#include "CvInstalledChartsLoad.h"
#include "CvLanguage.h"
#include "FraPageDestinationInstall.h"
#include "FraPageProgress.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"
#include "FraPageTypeInstall.h"
#include "FraPageUser.h"
#include "FrmMessage.h"

#include <QCheckBox>
#include <QEvent>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest/QTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace cvtest {
namespace {

TEST_F(WizardTest, StartUpBuildsTheWindowAndShowsPageZero) {
  const QString data = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Corvane/Deployer/");
  auto w = NewWizard();
  EXPECT_EQ(w->DataFolder(), data);
  EXPECT_TRUE(QFileInfo(data).isDir());
  EXPECT_EQ(GetExceptionLogFileName(), data + QStringLiteral("Deployer-exceptions.log"));
  EXPECT_TRUE(boxes.boxes.isEmpty());
  EXPECT_EQ(w->windowTitle(), "Corvane Software Installer");
  EXPECT_EQ(w->LabelVersion()->text(), "v1.0.0.0");
  // Only a build that trusts its own update key says so in the footer.
#ifdef CV_DEVELOPMENT_KEY
  EXPECT_FALSE(w->LabelDevelopmentBuild()->isHidden());
#else
  EXPECT_TRUE(w->LabelDevelopmentBuild()->isHidden());
#endif
  EXPECT_EQ(w->LabelDevelopmentBuild()->text(), "development build");
  EXPECT_EQ(w->minimumSize(), QSize(650, 485));
  EXPECT_EQ(w->CurrentPage(), wpSetupType);
  EXPECT_EQ(w->SetupType(), InstallOnline);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Installation type");
  EXPECT_TRUE(w->ButtonNext()->isEnabled());
  EXPECT_FALSE(w->ButtonPrev()->isEnabled());
  EXPECT_EQ(w->ButtonClose()->text(), "Close");
  EXPECT_EQ(w->PageTypeInstall()->parentWidget(), w->PanelContent());
  EXPECT_TRUE(w->PageTypeInstall()->isVisible());
  EXPECT_FALSE(w->PageUserLogin()->isVisible());
  EXPECT_EQ(w->LabelUpdates()->text(), "Check for a new version...");
  EXPECT_EQ(w->Environment()->EventSource().SubscriberCount(), 1);
  // Links: hand cursor and underline while the mouse is over them, on the flag and the name.
  QEvent enter(QEvent::Enter), leave(QEvent::Leave);
  QApplication::sendEvent(w->ImageGerman(), &enter);
  EXPECT_TRUE(w->LabelGerman()->font().underline());
  EXPECT_EQ(w->ImageGerman()->cursor().shape(), Qt::PointingHandCursor);
  QApplication::sendEvent(w->ImageGerman(), &leave);
  EXPECT_FALSE(w->LabelGerman()->font().underline());
  EXPECT_EQ(w->LabelGerman()->cursor().shape(), Qt::ArrowCursor);
  QApplication::sendEvent(w->LabelUpdates(), &enter);
  EXPECT_TRUE(w->LabelUpdates()->font().underline());
  QApplication::sendEvent(w->LabelUpdates(), &leave);
  EXPECT_FALSE(w->LabelUpdates()->font().underline());
  // The data folder is there now: a second start makes nothing and says nothing.
  w.reset();
  auto again = NewWizard();
  EXPECT_TRUE(boxes.boxes.isEmpty());
  EXPECT_EQ(again->CurrentPage(), wpSetupType);
}

TEST_F(WizardTest, NoDataFolderEndsTheStartUpWithItsMessage) {
  // The data home is a file: the folder cannot be made.
  const QString oldData = qEnvironmentVariable("XDG_DATA_HOME");
  const QString blocker = MakeTempFolder(QStringLiteral("blocked")) + QStringLiteral("/file");
  QFile file(blocker);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  const QString log = GetExceptionLogFileName();
  qputenv("XDG_DATA_HOME", blocker.toUtf8());
  {
    TFormWizardInstall w;
    EXPECT_TRUE(w.StartupFailed());
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].text, "Could not find the program settings folder. Please reinstall the program.");
    EXPECT_EQ(boxes.boxes[0].kind, mtError);
    EXPECT_EQ(w.Check(), nullptr);  // nothing below the failure was made
    EXPECT_EQ(GetExceptionLogFileName(), log);  // the log did not move
  }
  qputenv("XDG_DATA_HOME", oldData.toUtf8());
}

TEST_F(WizardTest, AModelThatCannotBeMadeEndsTheStartUpWithoutAPleaseWaitWindowLeft) {
  const QString oldData = qEnvironmentVariable("XDG_DATA_HOME");
  const QString data = MakeTempFolder(QStringLiteral("cache-blocked"));
  QDir().mkpath(data + "/Corvane/Deployer");
  // A file where the cache folder belongs: the chart cache cannot be saved.
  QFile blocker(data + "/Corvane/Deployer/Cache");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  qputenv("XDG_DATA_HOME", data.toUtf8());
  {
    // Page 0 comes without the model; its load fails behind it, and that ends the program
    // with the error shown, as a start-up that cannot go on.
    TFormWizardInstall w;
    EXPECT_EQ(w.CurrentPage(), wpSetupType);
    ASSERT_TRUE(WaitFor([&] { return w.StartupFailed(); }));
    EXPECT_EQ(w.InstalledCharts(), nullptr);
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_TRUE(boxes.texts[0].contains("Saving chart cache file")) << boxes.texts[0].toStdString();
    EXPECT_EQ(boxes.boxes[0].kind, mtError);
    // A page that needs the model now gets none and waits for nothing.
    EXPECT_FALSE(w.EnsureInstalledCharts());
  }
  WaitFor([] { return false; }, 50);
  for (QWidget* top : QApplication::topLevelWidgets())
    EXPECT_EQ(qobject_cast<TFormMessage*>(top), nullptr) << "please-wait window left behind";
  qputenv("XDG_DATA_HOME", oldData.toUtf8());
}

TEST_F(WizardTest, ASelectionPageReachedBeforeTheModelLoadedWaitsAndShowsWhatIsInstalled) {
  // A chart set of the demo account (product 1002, module 0) recorded as installed.
  const QString folder = MakeTempFolder("slow-load") + "/QMR2/BA/DK/";
  QDir().mkpath(folder);
  ASSERT_EQ(WriteChartFile(folder + "DK_1.qmr2", 1002, 0, 64), 0);
  {
    TInstalledCharts model(MakeTempFolder("slow-load-cache") + "/ChartInfo.cif");
    int error = 0;
    TInstalledChartProduct* product = model.AddProduct("BA", "Baltic", error);
    ASSERT_NE(product, nullptr);
    TInstalledChartModule* module = product->AddModule("DK", "Denmark", error, true, folder);
    ASSERT_NE(module, nullptr);
    ASSERT_NE(module->AddChart("DK_1.qmr2", error, 45000.0), nullptr);
  }
  // The load is held until the please-wait window of the selection page is up.
  std::atomic<bool> release{false};
  TInstalledChartsLoad::SetBeforeLoadForTests([&release] {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  bool waitShown = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* f = qobject_cast<TFormMessage*>(top);
          f && f->isVisible() && f->LabelMessage()->text() == "Initializing chart information")
        waitShown = true;
    if (waitShown) release = true;
  });
  watch.start(10);
  QTimer::singleShot(30000, [&release] { release = true; });  // never hang the suite

  auto w = NewWizard();
  EXPECT_EQ(w->CurrentPage(), wpSetupType);
  EXPECT_EQ(w->InstalledCharts(), nullptr);  // page 0 did not wait
  ChooseType(*w, InstallOnline);
  SignIn(*w, WizardService::Get().email, WizardService::Get().password);
  TInstalledChartsLoad::SetBeforeLoadForTests({});
  EXPECT_TRUE(waitShown);
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware);
  ASSERT_NE(w->InstalledCharts(), nullptr);
  ChartCheck* check = w->Check();
  int seen = 0;
  for (int i = 0; i < check->ProductCount(); ++i) {
    const ProductRecord* r = check->Product(i);
    if (r->Kind() != pkChartSet || r->ProductNumber() != 1002) continue;
    ++seen;
    EXPECT_EQ(r->Present(), r->ModuleMask() == 1) << r->ModuleMask();
  }
  EXPECT_GE(seen, 1);
  for (QWidget* top : QApplication::topLevelWidgets())
    EXPECT_FALSE(qobject_cast<TFormMessage*>(top) && top->isVisible()) << "please-wait window left up";
}

// The charts load once page 0 is painted, so that the start does not share the computer with
// them; a window that is never shown loads them all the same.
TEST_F(WizardTest, TheChartsLoadAfterPage0IsPainted) {
  std::atomic<bool> painted{false};
  std::atomic<int> loadSawPaint{-1};
  TInstalledChartsLoad::SetBeforeLoadForTests([&] { loadSawPaint = painted.load() ? 1 : 0; });
  struct PaintSpy : QObject {
    std::atomic<bool>* painted;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) *painted = true;
      return false;
    }
  } spy;
  spy.painted = &painted;
  {
    TFormWizardInstall w;
    w.installEventFilter(&spy);
    w.show();
    ASSERT_TRUE(WaitFor([&] { return w.InstalledCharts() != nullptr; }));
    EXPECT_EQ(loadSawPaint.load(), 1);
  }
  loadSawPaint = -1;
  painted = false;
  {
    TFormWizardInstall hidden;
    hidden.installEventFilter(&spy);
    ASSERT_TRUE(WaitFor([&] { return hidden.InstalledCharts() != nullptr; }));
    EXPECT_EQ(loadSawPaint.load(), 0);
  }
  TInstalledChartsLoad::SetBeforeLoadForTests({});
}

TEST_F(WizardTest, InstallOnlineSignsInAndWalksBack) {
  auto w = NewWizard();
  ChooseType(*w, InstallOnline);
  EXPECT_EQ(w->CurrentPage(), wpLogin);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Login");
  EXPECT_TRUE(w->ButtonPrev()->isEnabled());

  auto& s = WizardService::Get();
  TFramePageUserLogin* login = w->PageUserLogin();
  login->EditLoginEmail()->setText(s.email);
  login->EditLoginPassword()->setText(s.password);
  Click(w->ButtonNext());
  // While the request runs: buttons off, Close is Abort, the please-wait window is up and
  // the event loop runs (we are in it).
  EXPECT_TRUE(w->SigningIn());
  EXPECT_FALSE(w->ButtonNext()->isEnabled());
  EXPECT_FALSE(w->ButtonPrev()->isEnabled());
  EXPECT_EQ(w->ButtonClose()->text(), "Abort");
  ASSERT_NE(w->PleaseWait(), nullptr);
  EXPECT_EQ(w->PleaseWait()->LabelMessage()->text(), "Downloading product information");
  ASSERT_TRUE(WaitForSignIn(*w));

  EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(w->PleaseWait(), nullptr);
  EXPECT_EQ(w->CurrentPage(), wpSelectSoftware);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Select the product(s) to install");
  EXPECT_EQ(w->ButtonClose()->text(), "Close");
  ChartCheck* check = w->Check();
  ASSERT_GT(check->ProductCount(), 0);
  EXPECT_EQ(w->PageSelectSoftware()->ProductCount(), check->ProductCount());
  EXPECT_EQ(w->PageSelectSoftware()->Mode(), InstallOnline);
  EXPECT_TRUE(w->ButtonNext()->isEnabled());
  // The navigation program is ticked for the user when it is not installed.
  for (int i = 0; i < check->ProductCount(); ++i) {
    const ProductRecord* r = check->Product(i);
    EXPECT_EQ(r->Checked(), r->ProductNumber() == 100 && !r->Present()) << r->ProductNumber();
  }

  // Back: 2 → 1 → 0.
  Click(w->ButtonPrev());
  EXPECT_EQ(w->CurrentPage(), wpLogin);
  Click(w->ButtonPrev());
  EXPECT_EQ(w->CurrentPage(), wpSetupType);
  // The password is never stored anywhere in the program settings.
  QList<TRegValue> values;
  TRegKeyTree tree;
  ASSERT_EQ(GetAppReg().GetKeyTree(rrSettings, QString(), tree), 0);
  for (int k = 0; k < tree.Count(); ++k)
    for (const TRegValue& v : tree.Values(k)) EXPECT_FALSE(RegValueToText(v).contains(s.password)) << v.name.toStdString();
}

TEST_F(WizardTest, CreateBackupGoesToTheLocationAfterSignIn) {
  auto w = NewWizard();
  ChooseType(*w, CreateBackup);
  EXPECT_EQ(w->CurrentPage(), wpLogin);
  SignIn(*w, WizardService::Get().email, WizardService::Get().password);
  EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(w->CurrentPage(), wpDestination);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Backup location");
  EXPECT_EQ(w->PageDestination()->Mode(), CreateBackup);
  Click(w->ButtonPrev());
  EXPECT_EQ(w->CurrentPage(), wpLogin);
  Click(w->ButtonPrev());
  EXPECT_EQ(w->CurrentPage(), wpSetupType);
  EXPECT_EQ(GetAppReg().ReadInteger(rrSettings, QStringLiteral("Settings"), QStringLiteral("SetupType"), -1), 0);
}

TEST_F(WizardTest, InstallFromBackupGoesToTheSourceAndBack) {
  auto w = NewWizard();
  ChooseType(*w, InstallFromBackup);
  EXPECT_EQ(w->CurrentPage(), wpBackupSource);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Location of the backup");
  EXPECT_TRUE(w->ButtonNext()->isEnabled());
  Click(w->ButtonPrev());
  EXPECT_EQ(w->CurrentPage(), wpSetupType);
  // Page 0 offers the type it stored.
  EXPECT_EQ(w->PageTypeInstall()->SetupType(), InstallFromBackup);
}

TEST_F(WizardTest, SignInFailuresStayOnTheLoginPage) {
  auto& s = WizardService::Get();
  const QString longLetters = QString(90, QChar(0x0436));  // Cyrillic zhe
  const struct {
    const char* name;
    QString accountUrl;
    QString email;
    QString password;
    const char* message;
  } cases[] = {
      {"wrong password", s.url, s.email, QStringLiteral("wrong-password"), "E-mail address and/or password unknown"},
      {"100 non-Latin characters", s.url, longLetters + QStringLiteral("@") + QString(6, QChar(0x0436)) + ".рф",
       QString(100, QChar(0x0416)), "E-mail address and/or password unknown"},
      {"unreachable service", UnreachableUrl(), s.email, s.password, "An error occurred. Please try again.."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    boxes.Clear();
    UseServices(c.accountUrl, s.url);
    auto w = NewWizard();
    ChooseType(*w, InstallOnline);
    EXPECT_EQ(c.email.size(), c.email == s.email ? s.email.size() : 100);
    SignIn(*w, c.email, c.password);
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].text, QString::fromUtf8(c.message));
    EXPECT_EQ(boxes.boxes[0].kind, mtError);
    EXPECT_EQ(w->CurrentPage(), wpLogin);
    EXPECT_EQ(w->PleaseWait(), nullptr);
    EXPECT_TRUE(w->ButtonNext()->isEnabled());
    EXPECT_TRUE(w->ButtonPrev()->isEnabled());
    EXPECT_EQ(w->ButtonClose()->text(), "Close");
    EXPECT_EQ(QApplication::focusWidget(), w->PageUserLogin()->EditLoginEmail());
  }
}

TEST_F(WizardTest, GarbageFromBothServicesGivesMessagesNotCrashes) {
  BadServer garbage(BadServer::Garbage);
  UseServices(garbage.Url(), garbage.Url());
  auto w = NewWizard();
  // The start-up check failed silently.
  EXPECT_FALSE(w->SilentCheck());
  EXPECT_TRUE(boxes.boxes.isEmpty());
  EXPECT_FALSE(w->NewerVersion());
  ChooseType(*w, InstallOnline);
  SignIn(*w, WizardService::Get().email, WizardService::Get().password);
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].text, "An error occurred. Please try again..");
  EXPECT_EQ(w->CurrentPage(), wpLogin);
  // A click on the update link asks again, not silently: the client's error shows.
  boxes.Clear();
  QTest::mouseClick(w->LabelUpdates(), Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return !w->PUSClient()->IsBusy(); }));
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].caption, "Corvane Software Installer");
  EXPECT_FALSE(boxes.boxes[0].text.isEmpty());
}

TEST_F(WizardTest, RememberedSignInUsesTheTokenNeverThePassword) {
  auto& s = WizardService::Get();
  {
    auto w = NewWizard();
    ChooseType(*w, InstallOnline);
    SignIn(*w, s.email, s.password, true);
    ASSERT_EQ(w->CurrentPage(), wpSelectSoftware) << boxes.texts.join(" | ").toStdString();
  }
  auto w = NewWizard();
  ChooseType(*w, InstallOnline);
  TFramePageUserLogin* login = w->PageUserLogin();
  EXPECT_EQ(login->GetEmail(), s.email);
  EXPECT_EQ(login->GetPassword(), TFramePageUserLogin::kPlaceholder);
  EXPECT_TRUE(login->GetRememberMe());
  // Nothing typed: change 0, the remembered token signs in.
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitForSignIn(*w));
  EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(w->CurrentPage(), wpSelectSoftware);
  TRegKeyTree tree;
  ASSERT_EQ(GetAppReg().GetKeyTree(rrSettings, QString(), tree), 0);
  for (int k = 0; k < tree.Count(); ++k)
    for (const TRegValue& v : tree.Values(k)) {
      EXPECT_FALSE(RegValueToText(v).contains(s.password)) << v.name.toStdString();
      EXPECT_FALSE(RegValueToText(v).contains(TFramePageUserLogin::kPlaceholder)) << v.name.toStdString();
    }

  // Another address with the remembered password left in place: that address's own password is
  // asked for, and typing it signs in.
  auto other = NewWizard();
  ChooseType(*other, InstallOnline);
  login = other->PageUserLogin();
  login->EditLoginEmail()->setText(QStringLiteral("someone.else@example.com"));
  Click(other->ButtonNext());
  ASSERT_TRUE(WaitForSignIn(*other));
  ASSERT_EQ(boxes.boxes.size(), 1) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(boxes.boxes[0].text, "Please enter the password of this e-mail address.");
  EXPECT_EQ(other->CurrentPage(), wpLogin);
  EXPECT_EQ(login->GetPassword(), QString());
  EXPECT_EQ(QApplication::focusWidget(), login->EditLoginPassword());
  boxes.Clear();
  login->EditLoginEmail()->setText(s.email);
  QTest::keyClicks(login->EditLoginPassword(), s.password);
  Click(other->ButtonNext());
  ASSERT_TRUE(WaitForSignIn(*other));
  EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(other->CurrentPage(), wpSelectSoftware);
}

TEST_F(WizardTest, LanguageSwitchOnTheLocationPageKeepsPageEntriesAndType) {
  auto w = NewWizard();
  ChooseType(*w, CreateBackup);
  SignIn(*w, WizardService::Get().email, WizardService::Get().password);
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  const QString chosen = MakeTempFolder(QStringLiteral("backup-here"));
  TFramePageDestinationInstall* dest = w->PageDestination();
  if (dest->RadioUser()) {
    QTest::mouseClick(dest->RadioUser(), Qt::LeftButton, {}, QPoint(5, dest->RadioUser()->height() / 2));
    dest->EditUser()->selectAll();
    QTest::keyClicks(dest->EditUser(), chosen);
  }
  const QString before = dest->EditUser() ? dest->EditUser()->text() : QString();
  EXPECT_TRUE(before.startsWith(chosen)) << before.toStdString();

  QTest::mouseClick(w->LabelGerman(), Qt::LeftButton);
  EXPECT_EQ(GetCurrentLanguage(), lgGerman);
  EXPECT_EQ(RegReadLanguage(), lgGerman);
  EXPECT_EQ(w->CurrentPage(), wpDestination);
  EXPECT_EQ(w->SetupType(), CreateBackup);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Sicherungsort");
  EXPECT_EQ(w->ButtonNext()->text(), "Weiter");
  EXPECT_EQ(w->ButtonPrev()->text(), "Zurück");
  EXPECT_EQ(w->ButtonClose()->text(), "Schließen");
  EXPECT_EQ(w->LabelUpdates()->text(), "Nach einer neuen Version suchen...");
  if (dest->EditUser()) {
    EXPECT_EQ(dest->EditUser()->text(), before);
  }

  QTest::mouseClick(w->ImageDutch(), Qt::LeftButton);
  EXPECT_EQ(GetCurrentLanguage(), lgDutch);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Back-uplocatie");
  EXPECT_EQ(w->CurrentPage(), wpDestination);
  QTest::mouseClick(w->LabelEnglish(), Qt::LeftButton);
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Backup location");
  // Back still follows type 0.
  Click(w->ButtonPrev());
  EXPECT_EQ(w->CurrentPage(), wpLogin);
}

TEST_F(WizardTest, LanguageSwitchOnTheLoginPageKeepsWhatWasTyped) {
  // A remembered sign-in: the address and its token.
  GetAppReg().WriteString(rrSettings, QStringLiteral("Account"), QStringLiteral("Email"),
                          QStringLiteral("demo@corvane.example"));
  GetAppReg().WriteString(rrSettings, QStringLiteral("Account"), QStringLiteral("Token"), QStringLiteral("t0ken"));
  auto w = NewWizard();
  ChooseType(*w, InstallOnline);
  TFramePageUserLogin* login = w->PageUserLogin();
  ASSERT_EQ(login->GetEmail(), "demo@corvane.example");
  login->EditLoginEmail()->setText(QStringLiteral("someone@else.example"));
  login->EditLoginPassword()->setText(QStringLiteral("typed-password"));
  QTest::mouseClick(w->LabelDutch(), Qt::LeftButton);
  EXPECT_EQ(w->CurrentPage(), wpLogin);
  EXPECT_EQ(login->LabelLoginEmail()->text(), "E-mailadres:");
  EXPECT_EQ(login->GetEmail(), "someone@else.example");
  EXPECT_EQ(login->GetPassword(), "typed-password");
  // Coming back from page 0 shows the remembered login again.
  Click(w->ButtonPrev());
  Click(w->ButtonNext());
  EXPECT_EQ(login->GetEmail(), "demo@corvane.example");
}

TEST_F(WizardTest, SilentServiceLeavesTheWindowAliveAndClosable) {
  BadServer silent(BadServer::Silent);
  UseServices(silent.Url(), silent.Url());
  auto w = std::make_unique<TFormWizardInstall>();
  w->show();
  // The version check hangs: the link ignores the mouse meanwhile.
  EXPECT_TRUE(w->SilentCheck());
  QEvent enter(QEvent::Enter);
  QApplication::sendEvent(w->LabelUpdates(), &enter);
  EXPECT_FALSE(w->LabelUpdates()->font().underline());
  QTest::mouseClick(w->LabelUpdates(), Qt::LeftButton);
  EXPECT_TRUE(boxes.boxes.isEmpty());
  ChooseType(*w, InstallOnline);
  w->PageUserLogin()->EditLoginEmail()->setText(WizardService::Get().email);
  w->PageUserLogin()->EditLoginPassword()->setText(WizardService::Get().password);
  Click(w->ButtonNext());
  EXPECT_TRUE(w->SigningIn());
  // Time passes; the window keeps painting and answering.
  int paints = 0;
  for (int i = 0; i < 5; ++i) {
    WaitFor([] { return false; }, 100);
    if (!w->grab().isNull()) ++paints;
  }
  EXPECT_EQ(paints, 5);
  EXPECT_TRUE(w->SigningIn());
  EXPECT_GE(silent.Connections(), 1);
  // A language click does not disturb the running request.
  QTest::mouseClick(w->LabelGerman(), Qt::LeftButton);
  EXPECT_FALSE(w->ButtonNext()->isEnabled());
  // Abort ends the waiting: back on the login page, nothing to report, the window stays.
  Click(w->ButtonClose());
  EXPECT_TRUE(w->AbortRequest());
  ASSERT_TRUE(WaitForSignIn(*w));
  EXPECT_TRUE(boxes.boxes.isEmpty()) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(w->CurrentPage(), wpLogin);
  EXPECT_EQ(w->PleaseWait(), nullptr);
  EXPECT_TRUE(w->ButtonNext()->isEnabled());
  EXPECT_TRUE(w->isVisible());
  // Signing in again and closing the window while it waits: the window goes at once.
  Click(w->ButtonNext());
  EXPECT_TRUE(w->SigningIn());
  EXPECT_TRUE(w->close());
  EXPECT_FALSE(w->isVisible());
  w.reset();
  WaitFor([] { return false; }, 50);
}

TEST_F(WizardTest, VersionCheck) {
  auto& s = WizardService::Get();
  {
    // Equal: no new version; a click says so.
    auto w = NewWizard();
    EXPECT_FALSE(w->NewerVersion());
    EXPECT_EQ(w->VersionRecord().ProductVersion, GetProgInfo().Version);
    EXPECT_EQ(w->LabelUpdates()->text(), "Check for a new version...");
    QTest::mouseClick(w->LabelUpdates(), Qt::LeftButton);
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].text, "No new program version found.\r\n\r\nYou are already using the latest version.");
    EXPECT_EQ(boxes.boxes[0].kind, mtInformation);
    EXPECT_EQ(boxes.boxes[0].caption, "Corvane Software Installer");
  }
  boxes.Clear();
  {
    // Higher: the link turns green and offers the download, silently at start-up.
    s.SetInstallerVersion(QStringLiteral("1.0.0.1"));
    auto w = NewWizard();
    EXPECT_TRUE(w->NewerVersion());
    EXPECT_EQ(w->LabelUpdates()->text(), "Download new version...");
    EXPECT_EQ(w->LabelUpdates()->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    EXPECT_TRUE(boxes.boxes.isEmpty());
    EXPECT_TRUE(w->isVisible());
    QTest::mouseClick(w->LabelGerman(), Qt::LeftButton);
    EXPECT_EQ(w->LabelUpdates()->text(), "Neue Version herunterladen...");
  }
  boxes.Clear();
  {
    // Lower: no news.
    s.SetInstallerVersion(QStringLiteral("0.9"));
    auto w = NewWizard();
    EXPECT_FALSE(w->NewerVersion());
  }
  {
    // Unreachable at start-up: nothing shown; a click asks again and shows the error.
    UseServices(s.url, UnreachableUrl());
    auto w = NewWizard();
    EXPECT_TRUE(boxes.boxes.isEmpty());
    EXPECT_EQ(w->VersionRecord().ProductVersion, 0u);
    QTest::mouseClick(w->LabelUpdates(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !w->PUSClient()->IsBusy(); }));
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].caption, "Corvane Software Installer");
  }
}

TEST_F(WizardTest, ProgressPageHidesTheInformationBarAndTurnsCloseIntoAbort) {
  auto w = NewWizard();
  w->ShowPage(wpProgress);
  EXPECT_FALSE(w->PanelInformation()->isVisible());
  EXPECT_FALSE(w->ButtonNext()->isVisible());
  EXPECT_FALSE(w->ButtonPrev()->isVisible());
  EXPECT_EQ(w->ButtonClose()->text(), "Abort");
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Installation progress");
  EXPECT_FALSE(w->PageProgress()->Pump());
  Click(w->ButtonClose());
  EXPECT_TRUE(w->AbortRequest());
  // A run is under way: the window does not close under it.
  EXPECT_FALSE(w->close());
  EXPECT_TRUE(w->isVisible());
  w->ShowPage(wpSetupType);
  EXPECT_TRUE(w->PanelInformation()->isVisible());
  EXPECT_EQ(w->ButtonClose()->text(), "Close");
  EXPECT_TRUE(w->close());
}

TEST_F(WizardTest, DestroyingTheWindowLeavesNothingSubscribed) {
  auto w = NewWizard();
  TNavEnv* env = w->Environment();
  ASSERT_NE(env, nullptr);
  EXPECT_EQ(env->EventSource().SubscriberCount(), 1);
  w.reset();  // no crash, no leak checker complaint; the cache was saved
  EXPECT_TRUE(QFileInfo(qEnvironmentVariable("XDG_DATA_HOME") + "/Corvane/Deployer/Cache/ChartInfo.cif").isFile());
}

}  // namespace
}  // namespace cvtest
