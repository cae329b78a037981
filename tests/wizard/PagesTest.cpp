// The setup-type, login and progress pages and the scaled frame, each on its own.
#include "BoxRecorder.h"
#include "CvFrameScaled.h"
#include "CvLanguage.h"
#include "CvLib.h"
#include "FraPageProgress.h"
#include "FraPageTypeInstall.h"
#include "FraPageUser.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

const QString kSettings = QStringLiteral("Settings");
const QString kSetupType = QStringLiteral("SetupType");

// A page area and an owner, as the wizard has them.
struct Host {
  Host() {
    owner.resize(640, 420);
    area = new QWidget(&owner);
    area->setGeometry(10, 10, 620, 370);
    owner.show();
    // Focus goes only to an active window.
    QApplication::setActiveWindow(&owner);
    EXPECT_TRUE(QTest::qWaitForWindowActive(&owner));
  }
  QWidget owner;
  QWidget* area = nullptr;
};

TEST(SetupTypePageTest, StoredValueSelectsAndLeavingStores) {
  SetCurrentLanguage(lgEnglish);
  Host host;
  // First run: nothing stored, install from a backup.
  GetAppReg().DeleteValue(rrSettings, kSettings, kSetupType);
  TFramePageTypeInstall page(&host.owner);
  page.SetParent(host.area);
  EXPECT_EQ(page.SetupType(), InstallFromBackup);
  EXPECT_EQ(page.RadioInstallOnline()->text(), "Install software and chart from the internet");
  page.SetParent(nullptr);
  EXPECT_EQ(GetAppReg().ReadInteger(rrSettings, kSettings, kSetupType, -1), 1);

  const struct {
    int stored;
    TSetupType shown;
    int storedBack;
  } cases[] = {
      {0, CreateBackup, 0},
      {2, InstallFromBackup, 1},  // an old value 2 reads as install from a backup, stored back as 1
      {3, InstallOnline, 3},
      {1, InstallFromBackup, 1},
      {7, InstallFromBackup, 1},  // unknown: the choice stays as it was (the one before)
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    GetAppReg().WriteInteger(rrSettings, kSettings, kSetupType, c.stored);
    page.SetParent(host.area);
    EXPECT_EQ(page.SetupType(), c.shown);
    page.SetParent(nullptr);
    EXPECT_EQ(GetAppReg().ReadInteger(rrSettings, kSettings, kSetupType, -1), c.storedBack);
  }
}

TEST(SetupTypePageTest, ClickingKeepsOneChoiceAndItSurvivesLeaving) {
  Host host;
  GetAppReg().WriteInteger(rrSettings, kSettings, kSetupType, 3);
  TFramePageTypeInstall page(&host.owner);
  page.SetParent(host.area);
  QTest::mouseClick(page.RadioCreateBackup(), Qt::LeftButton, {}, QPoint(5, 8));
  EXPECT_TRUE(page.RadioCreateBackup()->isChecked());
  EXPECT_FALSE(page.RadioInstallOnline()->isChecked());
  EXPECT_FALSE(page.RadioInstallFromBackup()->isChecked());
  EXPECT_EQ(page.SetupType(), CreateBackup);
  // A click on the checked one keeps it.
  QTest::mouseClick(page.RadioCreateBackup(), Qt::LeftButton, {}, QPoint(5, 8));
  EXPECT_EQ(page.SetupType(), CreateBackup);
  page.SetParent(nullptr);
  page.SetParent(host.area);
  EXPECT_EQ(page.SetupType(), CreateBackup);
  page.SetParent(nullptr);
  // A new run (a new page) starts with it.
  TFramePageTypeInstall next(&host.owner);
  next.SetParent(host.area);
  EXPECT_EQ(next.SetupType(), CreateBackup);
  // The same parent again does nothing: no load over the user's unsaved click.
  QTest::mouseClick(next.RadioInstallOnline(), Qt::LeftButton, {}, QPoint(5, 8));
  GetAppReg().WriteInteger(rrSettings, kSettings, kSetupType, 0);
  next.SetParent(host.area);
  EXPECT_EQ(next.SetupType(), InstallOnline);
}

class ScaledProbe final : public TFrameScaled {
 public:
  explicit ScaledProbe(QWidget* owner) : TFrameScaled(owner) {
    resize(620, 370);
    child = new QLabel(this);
    child->setGeometry(20, 40, 200, 16);
    QFont f = child->font();
    f.setPixelSize(12);
    child->setFont(f);
  }
  using TFrameScaled::ScaleToDpi;
  QLabel* child;
};

TEST(FrameScaledTest, ScalesByDpiOver96) {
  EXPECT_DOUBLE_EQ(TFrameScaled::ScaleFactor(96), 1.0);
  EXPECT_DOUBLE_EQ(TFrameScaled::ScaleFactor(120), 1.25);
  QWidget owner;
  ScaledProbe at96(&owner);
  at96.ScaleToDpi(96);
  EXPECT_EQ(at96.size(), QSize(620, 370));
  EXPECT_EQ(at96.child->geometry(), QRect(20, 40, 200, 16));

  ScaledProbe at120(&owner);
  at120.ScaleToDpi(120);
  EXPECT_EQ(at120.size(), QSize(775, 463));  // 370 × 1.25 = 462.5, rounded
  EXPECT_EQ(at120.child->geometry(), QRect(25, 50, 250, 20));
  EXPECT_EQ(at120.child->font().pixelSize(), 15);
  EXPECT_DOUBLE_EQ(at120.AppliedScale(), 1.25);
}

TEST(LoginPageTest, ControlsLimitsAndTexts) {
  SetCurrentLanguage(lgEnglish);
  Host host;
  TFramePageUserLogin page(&host.owner);
  EXPECT_EQ(page.EditLoginEmail()->maxLength(), 100);
  EXPECT_EQ(page.EditLoginPassword()->maxLength(), 100);
  EXPECT_EQ(page.EditLoginPassword()->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(page.GetRememberMe());
  EXPECT_EQ(page.LabelLoginEmail()->text(), "E-mail address:");
  EXPECT_EQ(TFramePageUserLogin::kPlaceholder.size(), 17);
  EXPECT_EQ(TFramePageUserLogin::kPlaceholder, QString(17, TFramePageUserLogin::kPlaceholder[0]));
  EXPECT_TRUE(TFramePageUserLogin::kPlaceholder[0].isLower());

  // 100 characters of non-Latin letters fit; the 101st is cut.
  const QString cyrillic(120, QChar(0x0416));
  page.EditLoginEmail()->setText(cyrillic);
  EXPECT_EQ(page.GetEmail().size(), 100);

  // Placed after a language change, the page shows the new language.
  SetCurrentLanguage(lgSwedish);
  page.SetParent(host.area);
  EXPECT_EQ(page.LabelLoginPassword()->text(), "Lösenord:");
  EXPECT_EQ(page.CheckBoxRememberMe()->text(), "Remember me");  // English and Dutch and German only
  page.SetParent(nullptr);
  SetCurrentLanguage(lgGerman);
  page.SetParent(host.area);
  EXPECT_EQ(page.CheckBoxRememberMe()->text(), "Angemeldet bleiben");
  SetCurrentLanguage(lgEnglish);
}

TEST(LoginPageTest, ValidateShowsTheFirstProblem) {
  SetCurrentLanguage(lgEnglish);
  Host host;
  TFramePageUserLogin page(&host.owner);
  page.SetParent(host.area);
  cvtest::BoxRecorder boxes;
  const struct {
    const char* email;
    const char* password;
    const char* message;  // nullptr: passes
    bool focusEmail;
  } cases[] = {
      {"", "", "No e-mail address entered.\r\n\r\nPlease enter a e-mail address.", true},
      {"a@b", "secret1", "Invalid e-mail address entered.\r\n\r\nPlease make sure you enter a valid e-mail address.",
       true},
      {"a@b.cd", "", "No password entered.\r\n\r\nThe password must be a minimum of 6 characters.", false},
      {"a@b.cd", "12345", "Invalid password entered.\r\n\r\nThe password must be a minimum of 6 characters.", false},
      {"a@b.cd", "123456", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.email);
    boxes.Clear();
    page.EditLoginEmail()->setText(QString::fromUtf8(c.email));
    page.EditLoginPassword()->setText(QString::fromUtf8(c.password));
    int change = -1;
    const bool ok = page.Validate(change);
    EXPECT_EQ(ok, c.message == nullptr);
    if (c.message) {
      ASSERT_EQ(boxes.boxes.size(), 1);
      EXPECT_EQ(boxes.boxes[0].text, QString::fromUtf8(c.message));
      EXPECT_EQ(boxes.boxes[0].kind, mtError);
      EXPECT_EQ(boxes.boxes[0].buttons, mbOKOnly);
      EXPECT_EQ(boxes.boxes[0].caption, "Error");
      EXPECT_EQ(c.focusEmail ? page.EditLoginEmail() : page.EditLoginPassword(), QApplication::focusWidget());
    } else {
      EXPECT_TRUE(boxes.boxes.isEmpty());
      EXPECT_EQ(change, 3);  // nothing remembered: both count as changed
    }
  }
}

TEST(LoginPageTest, RememberedLoginAndWhatTheUserChanges) {
  Host host;
  TFramePageUserLogin page(&host.owner);
  page.SetParent(host.area);
  cvtest::BoxRecorder boxes;
  page.SetRemembered(QStringLiteral("demo@corvane.example"));
  EXPECT_TRUE(page.GetRememberMe());
  EXPECT_EQ(page.GetEmail(), "demo@corvane.example");
  EXPECT_EQ(page.GetPassword(), TFramePageUserLogin::kPlaceholder);
  int change = -1;
  ASSERT_TRUE(page.Validate(change));
  EXPECT_EQ(change, 0);

  // The e-mail's letter case alone is no change.
  page.EditLoginEmail()->setText(QStringLiteral("Demo@Corvane.EXAMPLE"));
  ASSERT_TRUE(page.Validate(change));
  EXPECT_EQ(change, 0);

  // Entering the password field selects the placeholder, so typing replaces it.
  page.EditLoginEmail()->setFocus();
  QTest::keyClick(page.EditLoginEmail(), Qt::Key_Tab);
  QCoreApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), page.EditLoginPassword());
  EXPECT_EQ(page.EditLoginPassword()->selectedText().size(), 17);
  QTest::keyClicks(page.EditLoginPassword(), QStringLiteral("newsecret"));
  EXPECT_EQ(page.GetPassword(), "newsecret");
  ASSERT_TRUE(page.Validate(change));
  EXPECT_EQ(change, 2);

  // A click into the field selects everything too.
  page.EditLoginEmail()->setFocus();
  QTest::mouseClick(page.EditLoginPassword(), Qt::LeftButton, {}, QPoint(10, 10));
  QCoreApplication::processEvents();
  EXPECT_EQ(page.EditLoginPassword()->selectedText().size(), 9);

  page.EditLoginPassword()->setText(TFramePageUserLogin::kPlaceholder.toUpper());
  page.EditLoginEmail()->setText(QStringLiteral("other@corvane.example"));
  ASSERT_TRUE(page.Validate(change));
  EXPECT_EQ(change, 1);

  page.SetRemembered(QString());
  EXPECT_FALSE(page.GetRememberMe());
  EXPECT_TRUE(page.GetEmail().isEmpty());
  EXPECT_TRUE(page.GetPassword().isEmpty());
}

TEST(ProgressPageTest, PlacingClearsLabelsAndCentresPanels) {
  Host host;
  TFramePageProgress page(&host.owner);
  EXPECT_TRUE(page.Pump());
  page.SetPump(false);
  page.SetParent(host.area);
  EXPECT_EQ(page.size(), QSize(620, 370));
  EXPECT_EQ(page.PanelProgressSingle()->geometry(), QRect(20, 92 - 26, 580, 52));
  EXPECT_EQ(page.PanelProgressTotal()->geometry(), QRect(20, 92 * 3 - 18, 580, 37));

  page.SetSingleHeader(QStringLiteral("Corvane Navigator"));
  page.SetSingleText(QStringLiteral("Downloading Setup.sh"));
  page.SetSingleMax(200);
  page.SetSinglePosition(150);
  page.SetTotalText(QStringLiteral("File 3 of 9"));
  page.SetTotalMax(9);
  page.SetTotalPosition(3);
  page.SetTotalPosition(page.TotalPosition() + 1);
  EXPECT_EQ(page.TotalPosition(), 4);
  EXPECT_EQ(page.LabelProgressSingle()->text(), "Downloading Setup.sh");
  page.SetSingleText(QString());
  EXPECT_TRUE(page.LabelProgressSingle()->text().isEmpty());

  // Placed again after a run: the labels clear, the bars keep their values.
  page.SetSingleText(QStringLiteral("x"));
  page.SetParent(nullptr);
  page.SetParent(host.area);
  EXPECT_TRUE(page.LabelProgressSingleHeader()->text().isEmpty());
  EXPECT_TRUE(page.LabelProgressSingle()->text().isEmpty());
  EXPECT_TRUE(page.LabelProgressTotal()->text().isEmpty());
  EXPECT_EQ(page.ProgressBarSingle()->value(), 150);
  EXPECT_EQ(page.TotalPosition(), 4);

  // Only the total group visible: it is centred.
  page.SetParent(nullptr);
  page.PanelProgressSingle()->hide();
  page.SetParent(host.area);
  EXPECT_EQ(page.PanelProgressTotal()->y(), 185 - 18);
}

}  // namespace
