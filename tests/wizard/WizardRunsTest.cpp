// The wizard starts the runs and shows their summary: install from the internet, a backup,
// installing from that backup, and Abort during a download run.
#include "WizardFixture.h"

#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "FraPageDestinationInstall.h"
#include "FraPageProgress.h"
#include "FraPageSelectSoftware.h"
#include "FraPageSourceInstall.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace cvtest {
namespace {

TEST_F(WizardTest, InstallOnlineRunsAndReturnsToTheStartPage) {
  auto w = NewWizard();
  boxes.Answer(mrYes);
  ChooseType(*w, InstallOnline);
  auto& s = WizardService::Get();
  SignIn(*w, s.email, s.password);
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware);
  Tick(*w, {{1002, 1}, {110, 1}});
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  const QString dest = MakeTempFolder("wizard-install");
  ChooseFolder(w->PageDestination(), dest);
  Click(w->ButtonNext());
  EXPECT_EQ(w->CurrentPage(), wpProgress);
  EXPECT_EQ(w->ButtonClose()->text(), "Abort");
  ASSERT_TRUE(WaitFor([&] { return SummaryShown(boxes); }, 60000)) << boxes.texts.join(" | ").toStdString();
  ASSERT_TRUE(WaitFor([&] { return w->CurrentPage() == wpSetupType; }));
  const TMsgBoxRequest& summary = boxes.boxes.last();
  EXPECT_EQ(summary.caption, "Success");
  EXPECT_EQ(summary.text, "The selected software has been installed successfully!\r\n\r\nReturn to start page?");
  EXPECT_EQ(summary.buttons, mbYesNo);
  // Page 0 with every object kept, ready for the next run.
  EXPECT_EQ(w->ButtonClose()->text(), "Close");
  EXPECT_NE(w->Check(), nullptr);
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/BA/DK/DK_1.qmr2"));
  EXPECT_TRUE(QFile::exists(dest + "/QMR Manager/QMRManager"));
  TInstalledChartProduct* product = w->InstalledCharts()->FindProduct("BA");
  ASSERT_NE(product, nullptr);
  EXPECT_NE(product->FindModule("DK"), nullptr);
}

TEST_F(WizardTest, BackupThenInstallFromIt) {
  auto w = NewWizard();
  boxes.Answer(mrYes);
  ChooseType(*w, CreateBackup);
  auto& s = WizardService::Get();
  SignIn(*w, s.email, s.password);
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  const QString backup = MakeTempFolder("wizard-backup");
  ChooseFolder(w->PageDestination(), backup);
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware);
  Tick(*w, {{1001, 1}, {1001, 2}});
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitFor([&] { return SummaryShown(boxes); }, 60000)) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(boxes.boxes.last().caption, "Success");
  EXPECT_TRUE(boxes.boxes.last().text.startsWith("Backup has been created successfully!"));
  EXPECT_TRUE(QFile::exists(backup + "/cvbackup.idx"));
  EXPECT_TRUE(QFile::exists(backup + "/QMR2/NS/BE/BE_2.qmr2"));
  ASSERT_TRUE(WaitFor([&] { return w->CurrentPage() == wpSetupType; }));

  // From the backup, on the same window: page 0 → 6 → 2 → 3 → 4.
  ChooseType(*w, InstallFromBackup);
  ASSERT_EQ(w->CurrentPage(), wpBackupSource);
  w->PageSourceInstall()->RadioChosen()->click();
  w->PageSourceInstall()->EditLocation()->setText(backup);
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware) << boxes.texts.join(" | ").toStdString();
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  const QString dest = MakeTempFolder("wizard-restore");
  ChooseFolder(w->PageDestination(), dest);
  boxes.Answer(mrNo);
  const int before = boxes.boxes.size();
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitFor([&] { return boxes.boxes.size() > before && SummaryShown(boxes); }, 60000));
  EXPECT_EQ(boxes.boxes.last().caption, "Success");
  EXPECT_TRUE(boxes.boxes.last().text.startsWith("The backup has been successfully installed!"));
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/NS/NL/NL_1.qmr2"));
  // No: the window closes.
  EXPECT_TRUE(WaitFor([&] { return !w->isVisible(); }));
}

TEST_F(WizardTest, AbortStopsADownloadRunAndShowsWhatSucceeded) {
  auto w = NewWizard();
  boxes.Answer(mrYes);
  ChooseType(*w, CreateBackup);
  auto& s = WizardService::Get();
  SignIn(*w, s.email, s.password);
  const QString backup = MakeTempFolder("wizard-abort");
  ChooseFolder(w->PageDestination(), backup);
  Click(w->ButtonNext());
  Tick(*w, {{1001, 1}, {1001, 2}, {1002, 1}});
  Click(w->ButtonNext());
  // Abort as soon as the first file is being fetched. The demo's files are small and come fast:
  // the label is looked at after every round of events, not after 20 ms of them.
  auto downloading = [&] { return w->PageProgress()->LabelProgressSingle()->text().startsWith("Downloading"); };
  QElapsedTimer timer;
  timer.start();
  while (!downloading() && timer.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents);
  ASSERT_TRUE(downloading()) << w->PageProgress()->LabelProgressSingle()->text().toStdString() << " | "
                             << boxes.texts.join(" | ").toStdString();
  Click(w->ButtonClose());
  EXPECT_TRUE(w->AbortRequest());
  ASSERT_TRUE(WaitFor([&] { return SummaryShown(boxes); }, 60000));
  EXPECT_NE(boxes.boxes.last().caption, "Success");
  // The run may be gone already (its end follows the summary at once): the window kept the request.
  EXPECT_TRUE(w->AbortRequest());
  if (w->Run()) {
    EXPECT_TRUE(w->Run()->AbortRequested());
  }
  EXPECT_FALSE(QDir(backup + "/QMR2/BA").exists()) << "nothing after the file under way";
}

}  // namespace
}  // namespace cvtest
