// The wizard's runs where something is wrong on the disk: a backup folder whose index cannot be
// read, a reinstall from a damaged backup, a folder that cannot be made half way.
#include "WizardFixture.h"

#include "CvInstalledCharts.h"
#include "FraPageDestinationInstall.h"
#include "FraPageSourceInstall.h"
#include "TestSigning.h"
#include "ToolRun.h"
#include "FraPageProgress.h"
#include "CvLibBackupIndex.h"
#include "CvMsgBoxPresenter.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QLineEdit>

namespace cvtest {
namespace {

QByteArray Bytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A backup of the given products made by cvtool, with the wizard's service.
QString CvtoolBackup(const QString& hint, const QStringList& picks) {
  const QString backup = MakeTempFolder(hint);
  const QString installer = MakeTempFolder(hint + "-installer");
  QFile::copy(BinDir() + "/cvtool", installer + "/Deployer");
  QFile::copy(BinDir() + "/libCvLibNav5.so", installer + "/libCvLibNav5.so");
  auto& s = WizardService::Get();
  const ToolResult r = RunCvtool(QStringList{"backup", s.url, backup} + picks +
                                 QStringList{"--email", s.email, "--password", s.password, "--installer", installer});
  EXPECT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  return backup;
}

// A damaged, foreign or newer index is never taken for an empty folder: the run would replace
// it with its own items alone. The wizard says so and stays on the destination page.
TEST_F(WizardTest, ABackupIndexThatCannotBeReadIsNotReplaced) {
  for (const QByteArray& content : {QByteArray("not an index at all"), QByteArray(4096, '\xff')}) {
    const QString folder = MakeTempFolder("unreadable-index");
    QFile index(folder + "/cvbackup.idx");
    ASSERT_TRUE(index.open(QIODevice::WriteOnly));
    index.write(content);
    index.close();
    auto w = NewWizard();
    boxes.Answer(mrYes);
    ChooseType(*w, CreateBackup);
    auto& s = WizardService::Get();
    SignIn(*w, s.email, s.password);
    ASSERT_EQ(w->CurrentPage(), wpDestination);
    ChooseFolder(w->PageDestination(), folder);
    const int before = boxes.boxes.size();
    Click(w->ButtonNext());
    EXPECT_EQ(w->CurrentPage(), wpDestination);
    ASSERT_EQ(boxes.boxes.size(), before + 1);
    EXPECT_EQ(boxes.boxes.last().kind, mtError);
    EXPECT_TRUE(boxes.boxes.last().text.contains("cvbackup.idx")) << qPrintable(boxes.boxes.last().text);
    EXPECT_TRUE(boxes.boxes.last().text.contains("cannot be read")) << qPrintable(boxes.boxes.last().text);
    EXPECT_EQ(Bytes(folder + "/cvbackup.idx"), content);
  }
}

// Installing again from a backup whose copy of a chart is damaged: the set installed before
// keeps its files and its record.
TEST_F(WizardTest, AFailedReinstallFromABackupKeepsTheInstalledSet) {
  const QString backup = CvtoolBackup("wizard-reinstall", {"1001:1"});
  const QString dest = MakeTempFolder("wizard-reinstall-dest");
  ASSERT_EQ(RunCvtool({"restore", backup, dest, "1001:1"}).exitCode, 0);
  const QByteArray good = Bytes(dest + "/QMR2/NS/NL/NL_1.qmr2");
  QFile damaged(backup + "/QMR2/NS/NL/NL_1.qmr2");
  const QDateTime time = QFileInfo(damaged).lastModified();
  ASSERT_TRUE(damaged.open(QIODevice::ReadWrite));
  damaged.seek(64);
  damaged.write("BROKEN");
  damaged.setFileTime(time, QFileDevice::FileModificationTime);
  damaged.close();

  auto w = NewWizard();
  ASSERT_TRUE(w->EnsureInstalledCharts());
  ASSERT_NE(w->InstalledCharts()->FindProduct("NS"), nullptr);
  boxes.Answer(mrYes);
  ChooseType(*w, InstallFromBackup);
  w->PageSourceInstall()->RadioChosen()->click();
  w->PageSourceInstall()->EditLocation()->setText(backup);
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware) << boxes.texts.join(" | ").toStdString();
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  ChooseFolder(w->PageDestination(), dest);
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitFor([&] { return SummaryShown(boxes); }, 60000)) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(boxes.boxes.last().caption, "Failed");
  EXPECT_TRUE(boxes.texts.join('|').contains("NL_1.qmr2\" of the backup is missing or damaged"));
  EXPECT_EQ(Bytes(dest + "/QMR2/NS/NL/NL_1.qmr2"), good);
  TInstalledChartProduct* product = w->InstalledCharts()->FindProduct("NS");
  ASSERT_NE(product, nullptr);
  EXPECT_NE(product->FindModule("NL"), nullptr);
  EXPECT_TRUE(RunCvtool({"installed"}).out.contains("chart " + dest + "/QMR2/NS/NL/NL_1.qmr2"));
}

// A folder refused half way through a run (a link in its way): the wizard shows the summary
// with the item done before, and the message names the folder and why.
TEST_F(WizardTest, AFolderErrorHalfWayGoesToTheSummary) {
  auto w = NewWizard();
  boxes.Answer(mrYes);
  ChooseType(*w, InstallOnline);
  auto& s = WizardService::Get();
  SignIn(*w, s.email, s.password);
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware);
  Tick(*w, {{1001, 1}, {1002, 1}});
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  const QString dest = MakeTempFolder("wizard-folder-error");
  const QString elsewhere = MakeTempFolder("wizard-folder-elsewhere");
  ASSERT_TRUE(QDir().mkpath(dest + "/QMR2"));
  ASSERT_TRUE(QFile::link(elsewhere, dest + "/QMR2/BA"));
  ChooseFolder(w->PageDestination(), dest);
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitFor([&] { return SummaryShown(boxes); }, 60000)) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(boxes.boxes.last().caption, "Partial success");
  const QString texts = boxes.texts.join('|');
  EXPECT_TRUE(texts.contains(dest + "/QMR2/BA/DK/")) << qPrintable(texts);
  EXPECT_TRUE(texts.contains("symbolic link")) << qPrintable(texts);
  ASSERT_TRUE(WaitFor([&] { return w->CurrentPage() == wpSetupType; }));
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/NS/NL/NL_1.qmr2"));
  EXPECT_TRUE(QDir(elsewhere).isEmpty());
}

// A setup that never ends, while the version check finds a newer installer: the update waits
// (the window stays, no update window opens); Abort and the window's close button end the
// setup; the summary comes, and the update is offered after it.
TEST_F(WizardTest, AbortEndsAHungSetupAndAnUpdateWaitsForTheSummary) {
  const QString backup = CvtoolBackup("wizard-hang", {"110:1"});
  const QByteArray script = "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 1; done\n";
  {
    QFile f(backup + "/Setups/QMRManagerSetup");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(script);
  }
  std::vector<cvlib::TItemData> items;
  ASSERT_EQ(cvlib::ReadBackupIndexFile(backup + "/cvbackup.idx", items), 0);
  for (cvlib::TItemData& item : items)
    for (cvlib::TItemFile& file : item.files)
      if (file.name == "QMRManagerSetup") {
        file.size = script.size();
        file.sha256 = QString::fromLatin1(QCryptographicHash::hash(script, QCryptographicHash::Sha256).toHex());
        file.xxh3.clear();
        cvtest::SignItemData(item);
      }
  ASSERT_EQ(cvlib::WriteBackupIndexFile(backup + "/cvbackup.idx", items), 0);

  auto& s = WizardService::Get();
  s.SetInstallerVersion(QStringLiteral("1.0.0.1"));
  auto w = NewWizard();
  ASSERT_TRUE(w->NewerVersion());
  QStringList asked;
  const TMsgBoxPresenter previous = SetMsgBoxPresenter([&](const TMsgBoxRequest& r) {
    asked << r.text;
    // Yes to the summary's question, No to the update.
    return r.text.endsWith("Return to start page?") ? mrYes : mrNo;
  });
  ChooseType(*w, InstallFromBackup);
  w->PageSourceInstall()->RadioChosen()->click();
  w->PageSourceInstall()->EditLocation()->setText(backup);
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware) << asked.join(" | ").toStdString();
  Click(w->ButtonNext());
  ChooseFolder(w->PageDestination(), MakeTempFolder("wizard-hang-dest"));
  // Installing from a backup runs inside Next's click, pumping events: what the user does
  // meanwhile comes from timers.
  bool running = false, visible = false, dialog = false, closed = true, aborting = false;
  QTimer::singleShot(800, w.get(), [&] {
    running = w->Run() != nullptr && w->CurrentPage() == wpProgress;
    w->LabelUpdatesClick();
  });
  QTimer::singleShot(1200, w.get(), [&] {
    visible = w->isVisible();
    for (QWidget* top : QApplication::topLevelWidgets())
      dialog = dialog || (qobject_cast<QDialog*>(top) && top->isVisible());
    // The window's close button: the setup is asked to end.
    closed = w->close();
    aborting = w->AbortRequest();
  });
  // Should an update window open all the same, it goes again, so that the test ends.
  QTimer::singleShot(2500, w.get(), [] {
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<QDialog*>(top); d && d->isVisible()) d->reject();
  });
  QElapsedTimer clock;
  clock.start();
  Click(w->ButtonNext());
  EXPECT_TRUE(running);
  EXPECT_TRUE(visible);
  EXPECT_FALSE(dialog);
  EXPECT_FALSE(closed);
  EXPECT_TRUE(aborting);
  ASSERT_TRUE(WaitFor([&] { return asked.size() >= 2; }, 20000)) << asked.join(" | ").toStdString();
  EXPECT_LT(clock.elapsed(), 10000);
  SetMsgBoxPresenter(previous);
  s.SetInstallerVersion(QStringLiteral("0.9"));
  EXPECT_TRUE(asked[0].startsWith("The backup could not be installed.")) << asked.join(" | ").toStdString();
  EXPECT_TRUE(asked[1].startsWith("A new version of the installer is available.")) << asked.join(" | ").toStdString();
  EXPECT_TRUE(WaitFor([&] { return w->CurrentPage() == wpSetupType; }));
  EXPECT_TRUE(w->isVisible());
}

}  // namespace
}  // namespace cvtest
