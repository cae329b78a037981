// Process entry: the language question of a first start, and a second Deployer beside a
// running wizard.
#include "WizardFixture.h"

#include "CvAppInit.h"
#include "CvLanguage.h"
#include "FraPageTypeInstall.h"
#include "FrmLanguage.h"

#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest/QTest>

namespace cvtest {
namespace {

// Answers the language chooser once it is up: picks `language`, or cancels with 0.
void AnswerChooser(int language, int* preselected) {
  QTimer::singleShot(0, [language, preselected] {
    WaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
    auto* chooser = qobject_cast<TFormLanguage*>(QApplication::activeModalWidget());
    ASSERT_NE(chooser, nullptr);
    *preselected = chooser->SelectedLanguage();
    if (language == 0) {
      QTest::mouseClick(chooser->ButtonCancel(), Qt::LeftButton);
      return;
    }
    chooser->SelectLanguage(language);
    QTest::mouseClick(chooser->ButtonOK(), Qt::LeftButton);
  });
}

TEST(StartupTest, FirstStartAsksForTheLanguageAndKeepsTheAnswer) {
  GetAppReg().DeleteValue(rrSettings, QStringLiteral("Settings"), QStringLiteral("Language"));
  SetCurrentLanguage(lgEnglish);
  int preselected = -1;
  // Cancelled: the program ends, nothing is kept.
  AnswerChooser(0, &preselected);
  EXPECT_FALSE(InitApplication(QStringLiteral("Deployer"), &ChooseLanguage));
  EXPECT_EQ(preselected, ChooserSystemLanguage());
  EXPECT_EQ(RegReadLanguage(), 0);

  AnswerChooser(lgGerman, &preselected);
  EXPECT_TRUE(InitApplication(QStringLiteral("Deployer"), &ChooseLanguage));
  EXPECT_EQ(GetCurrentLanguage(), lgGerman);
  EXPECT_EQ(RegReadLanguage(), lgGerman);
  // Kept: the next start asks nothing.
  EXPECT_TRUE(InitApplication(QStringLiteral("Deployer"), [](int&) -> bool {
    ADD_FAILURE() << "asked again";
    return false;
  }));
  SetCurrentLanguage(lgEnglish);
  RegWriteLanguage();
}

TEST_F(WizardTest, ASecondDeployerBesideARunningWizardLeavesTheStoreSound) {
  // The real program, offscreen, on the same settings store.
  QProcess other;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  other.setProcessEnvironment(env);
  other.start(BinDir() + QStringLiteral("/Deployer"), {});
  ASSERT_TRUE(other.waitForStarted(10000));

  auto w = NewWizard();
  for (int i = 0; i < 20; ++i) {
    ChooseType(*w, i % 2 ? CreateBackup : InstallFromBackup);
    Click(w->ButtonPrev());
    QTest::mouseClick(i % 2 ? w->LabelGerman() : w->LabelEnglish(), Qt::LeftButton);
  }
  QProcess second;
  second.setProcessEnvironment(env);
  second.start(BinDir() + QStringLiteral("/Deployer"), {});
  ASSERT_TRUE(second.waitForStarted(10000));
  WaitFor([] { return false; }, 1500);
  EXPECT_EQ(other.state(), QProcess::Running) << other.readAllStandardError().toStdString();
  EXPECT_EQ(second.state(), QProcess::Running) << second.readAllStandardError().toStdString();
  other.terminate();
  second.terminate();
  other.waitForFinished(5000);
  second.waitForFinished(5000);

  EXPECT_EQ(GetAppReg().CheckStore(rrSettings), 0);
  EXPECT_EQ(GetAppReg().ReadInteger(rrSettings, QStringLiteral("Settings"), QStringLiteral("SetupType"), -1), 0);
  EXPECT_EQ(RegReadLanguage(), lgGerman);
}

}  // namespace
}  // namespace cvtest
