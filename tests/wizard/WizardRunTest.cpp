// The wizard's three roads to the end against the real service: a backup, an installation
// from that backup, and an installation from the internet; and the checks on the way.
#include "WizardFixture.h"

#include "CvDeployRun.h"
#include "CvLanguage.h"
#include "FraPageDestinationInstall.h"
#include "FraPageProgress.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"
#include "FraPageTypeInstall.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest/QTest>

namespace cvtest {
namespace {

constexpr int kBaltic = 1002;  // a small chart set of the demo account, module mask 1

class WizardRunTest : public WizardTest {
 protected:
  static void TypeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
  }

  static void ChooseUserFolder(TFormWizardInstall& w, const QString& folder) {
    TFramePageDestinationInstall* dest = w.PageDestination();
    QTest::mouseClick(dest->RadioUser(), Qt::LeftButton, {}, QPoint(5, dest->RadioUser()->height() / 2));
    TypeInto(dest->EditUser(), folder);
  }

  // Ticks exactly the records of product number `number`.
  static void TickOnly(TFormWizardInstall& w, int number) {
    ChartCheck* check = w.Check();
    for (int i = 0; i < check->ProductCount(); ++i)
      check->Product(i)->SetChecked(check->Product(i)->ProductNumber() == number);
  }

  // Waits until the run has ended and the wizard is back on page 0 (or closed).
  static bool WaitForRunEnd(TFormWizardInstall& w) {
    return WaitFor([&] { return !w.Run() && w.CurrentPage() != wpProgress; }, 60000);
  }

  static int CountFiles(const QString& folder) {
    int n = 0;
    for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next()) ++n;
    return n;
  }
};

TEST_F(WizardRunTest, BackupThenInstallFromItThenFromTheInternet) {
  auto& s = WizardService::Get();
  const QString backup = MakeTempFolder(QStringLiteral("wizard-backup"));
  const QString fromBackup = MakeTempFolder(QStringLiteral("wizard-from-backup"));
  const QString online = MakeTempFolder(QStringLiteral("wizard-online"));
  boxes.Answer(mrYes);  // "Return to start page?" Yes

  // 1. Create a backup: 0 → 1 → 3 → 2 → 4 → 0.
  auto w = NewWizard();
  ChooseType(*w, CreateBackup);
  SignIn(*w, s.email, s.password);
  ASSERT_EQ(w->CurrentPage(), wpDestination) << boxes.texts.join(" | ").toStdString();
  ChooseUserFolder(*w, backup);
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Select the product(s) to backup");
  // Previous from here goes back to the location, not to the login.
  Click(w->ButtonPrev());
  EXPECT_EQ(w->CurrentPage(), wpDestination);
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware);
  TickOnly(*w, kBaltic);
  boxes.Clear();
  Click(w->ButtonNext());
  EXPECT_EQ(w->CurrentPage(), wpProgress);
  EXPECT_EQ(w->ButtonClose()->text(), "Abort");
  ASSERT_TRUE(WaitForRunEnd(*w));
  EXPECT_EQ(w->CurrentPage(), wpSetupType) << boxes.texts.join(" | ").toStdString();
  EXPECT_TRUE(QFileInfo(backup + "/cvbackup.idx").isFile());
  ASSERT_FALSE(boxes.boxes.isEmpty());
  EXPECT_EQ(boxes.boxes.last().buttons, mbYesNo);

  // The same folder again: the wizard asks before it updates that backup; No stays.
  ChooseType(*w, CreateBackup);
  SignIn(*w, s.email, s.password);
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  ChooseUserFolder(*w, backup);
  boxes.Clear();
  boxes.Answer(mrNo);
  Click(w->ButtonNext());
  EXPECT_EQ(w->CurrentPage(), wpDestination);
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_TRUE(boxes.boxes[0].text.startsWith("The chosen folder contains a backup")) << boxes.texts[0].toStdString();
  EXPECT_EQ(boxes.boxes[0].kind, mtConfirmation);
  boxes.Answer(mrYes);
  Click(w->ButtonPrev());
  Click(w->ButtonPrev());
  ASSERT_EQ(w->CurrentPage(), wpSetupType);

  // 2. Install from that backup: 0 → 6 → 2 → 3 → 4 → 0, with the service unused.
  ChooseType(*w, InstallFromBackup);
  ASSERT_EQ(w->CurrentPage(), wpBackupSource);
  TFramePageSourceInstall* source = w->PageSourceInstall();
  QTest::mouseClick(source->RadioChosen(), Qt::LeftButton, {}, QPoint(5, source->RadioChosen()->height() / 2));
  TypeInto(source->EditLocation(), backup);
  boxes.Clear();
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(w->SourceFolder(), backup + "/");
  ASSERT_GT(w->PageSelectSoftware()->ProductCount(), 0);
  for (int i = 0; i < w->Check()->ProductCount(); ++i) EXPECT_TRUE(w->Check()->Product(i)->Checked());
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpDestination) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(w->LabelHeaderTitle()->text(), "Installation location");
  ChooseUserFolder(*w, fromBackup);
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitForRunEnd(*w));
  EXPECT_EQ(w->CurrentPage(), wpSetupType) << boxes.texts.join(" | ").toStdString();
  EXPECT_GT(CountFiles(fromBackup + "/QMR2"), 0);

  // 3. Install from the internet, and end the program at the summary: 0 → 1 → 2 → 3 → 4.
  ChooseType(*w, InstallOnline);
  SignIn(*w, s.email, s.password);
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware);
  TickOnly(*w, kBaltic);
  Click(w->ButtonNext());  // installed already: the overwrite question, answered Yes
  ASSERT_EQ(w->CurrentPage(), wpDestination) << boxes.texts.join(" | ").toStdString();
  ChooseUserFolder(*w, online);
  boxes.Clear();
  boxes.Answer(mrNo);  // "Return to start page?" No: the window closes
  Click(w->ButtonNext());
  EXPECT_EQ(w->CurrentPage(), wpProgress);
  ASSERT_TRUE(WaitFor([&] { return !w->Run(); }, 60000));
  EXPECT_FALSE(w->isVisible());
  EXPECT_GT(CountFiles(online + "/QMR2"), 0);
}

TEST_F(WizardRunTest, CheckedCompanionsAloneAreNoSelection) {
  auto w = NewWizard();
  ChooseType(*w, InstallOnline);
  SignIn(*w, WizardService::Get().email, WizardService::Get().password);
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware);
  ChartCheck* check = w->Check();
  bool companion = false;
  for (int i = 0; i < check->ProductCount(); ++i) {
    ProductRecord* r = check->Product(i);
    r->SetChecked(r->Kind() == pkCompanion);
    companion = companion || r->Kind() == pkCompanion;
  }
  ASSERT_TRUE(companion);
  boxes.Clear();
  Click(w->ButtonNext());
  EXPECT_EQ(w->CurrentPage(), wpSelectSoftware);
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].text,
            "No products checked for installation.\r\n\r\nPlease check at least one product to install before "
            "proceeding.");
  EXPECT_EQ(boxes.boxes[0].kind, mtWarning);
  EXPECT_EQ(boxes.boxes[0].caption, "Corvane Software Installer");
  EXPECT_EQ(w->Selection()->Count(), 0);
  EXPECT_EQ(w->Run(), nullptr);
}

TEST_F(WizardRunTest, AnUnreadableBackupIndexKeepsTheSourcePage) {
  const QString folder = MakeTempFolder(QStringLiteral("bad-backup"));
  QFile index(folder + "/cvbackup.idx");
  ASSERT_TRUE(index.open(QIODevice::WriteOnly));
  index.write("CVBACKUPIDX 1 12 0000\n{\"items\": [}");
  index.close();
  auto w = NewWizard();
  ChooseType(*w, InstallFromBackup);
  TFramePageSourceInstall* source = w->PageSourceInstall();
  QTest::mouseClick(source->RadioChosen(), Qt::LeftButton, {}, QPoint(5, source->RadioChosen()->height() / 2));
  TypeInto(source->EditLocation(), folder);
  Click(w->ButtonNext());
  EXPECT_EQ(w->CurrentPage(), wpBackupSource);
  ASSERT_EQ(boxes.boxes.size(), 1);
  EXPECT_EQ(boxes.boxes[0].text, "Error reading backup files, please try again...");
  EXPECT_EQ(boxes.boxes[0].kind, mtError);
}

}  // namespace
}  // namespace cvtest
