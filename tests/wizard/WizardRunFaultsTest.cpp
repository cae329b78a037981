// The wizard's runs where something is wrong on the disk: a backup folder whose index cannot be
// read, a reinstall from a damaged backup, a folder that cannot be made half way.
#include "WizardFixture.h"

#include "CvInstalledCharts.h"
#include "FraPageDestinationInstall.h"
#include "FraPageSourceInstall.h"
#include "ToolRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QLineEdit>

namespace cvtest {
namespace {

void TickOnly(TFormWizardInstall& w, const std::vector<std::pair<int, int>>& picks) {
  ChartCheck* check = w.Check();
  for (int i = 0; i < check->ProductCount(); ++i) {
    ProductRecord* r = check->Product(i);
    bool on = false;
    for (auto [number, mask] : picks) on = on || (r->ProductNumber() == number && r->ModuleMask() == mask);
    r->SetChecked(on);
  }
}

void UseFolder(TFramePageDestinationInstall* page, const QString& folder) {
  GetAppReg().WriteString(rrSettings, "Settings", "FolderDestination", folder);
  GetAppReg().WriteString(rrSettings, "Settings", "FolderDestinationBackup", folder);
  page->Load();
  page->RadioUser()->click();
}

bool Summary(const BoxRecorder& boxes) {
  return !boxes.boxes.isEmpty() && boxes.boxes.last().text.endsWith("Return to start page?");
}

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
    UseFolder(w->PageDestination(), folder);
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
  ASSERT_NE(w->InstalledCharts()->FindProduct("NS"), nullptr);
  boxes.Answer(mrYes);
  ChooseType(*w, InstallFromBackup);
  w->PageSourceInstall()->RadioChosen()->click();
  w->PageSourceInstall()->EditLocation()->setText(backup);
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpSelectSoftware) << boxes.texts.join(" | ").toStdString();
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  UseFolder(w->PageDestination(), dest);
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitFor([&] { return Summary(boxes); }, 60000)) << boxes.texts.join(" | ").toStdString();
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
  TickOnly(*w, {{1001, 1}, {1002, 1}});
  Click(w->ButtonNext());
  ASSERT_EQ(w->CurrentPage(), wpDestination);
  const QString dest = MakeTempFolder("wizard-folder-error");
  const QString elsewhere = MakeTempFolder("wizard-folder-elsewhere");
  ASSERT_TRUE(QDir().mkpath(dest + "/QMR2"));
  ASSERT_TRUE(QFile::link(elsewhere, dest + "/QMR2/BA"));
  UseFolder(w->PageDestination(), dest);
  Click(w->ButtonNext());
  ASSERT_TRUE(WaitFor([&] { return Summary(boxes); }, 60000)) << boxes.texts.join(" | ").toStdString();
  EXPECT_EQ(boxes.boxes.last().caption, "Partial success");
  const QString texts = boxes.texts.join('|');
  EXPECT_TRUE(texts.contains(dest + "/QMR2/BA/DK/")) << qPrintable(texts);
  EXPECT_TRUE(texts.contains("symbolic link")) << qPrintable(texts);
  ASSERT_TRUE(WaitFor([&] { return w->CurrentPage() == wpSetupType; }));
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/NS/NL/NL_1.qmr2"));
  EXPECT_TRUE(QDir(elsewhere).isEmpty());
}

}  // namespace
}  // namespace cvtest
