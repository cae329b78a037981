// The three runs end to end against deployer-service --demo: through cvtool (install, backup,
// restore, verify), and in the test's own event loop where a run must be aborted half way.
#include "BoxRecorder.h"
#include "CvDeployRun.h"
#include "CvInstalledCharts.h"
#include "CvLib.h"
#include "CvLibBackupIndex.h"
#include "CvRunFiles.h"
#include "IntegrationFixture.h"
#include "TestSigning.h"
#include "TestEnv.h"
#include "ToolRun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include <sys/stat.h>

using namespace cvtest;

namespace {

// The test main moves HOME and XDG_DATA/CONFIG; the setups cache follows HOME too.
class CacheHome : public ::testing::Environment {
 public:
  void SetUp() override { qputenv("XDG_CACHE_HOME", (TestHome() + "/.cache").toUtf8()); }
};
const auto* const kCacheHome = ::testing::AddGlobalTestEnvironment(new CacheHome);

const QStringList kCharts = {"1001:1", "1001:2", "1002:1"};

QStringList Credentials() {
  return {"--email", DemoService().email, "--password", DemoService().password};
}

QString LastLine(const QString& text) {
  const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
  return lines.isEmpty() ? QString() : lines.last();
}

QStringList Lines(const QString& text, const QString& first) {
  QStringList found;
  for (const QString& line : text.split(u'\n'))
    if (line.startsWith(first + u'\t')) found << line;
  return found;
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A stand-in for the installer folder that a backup copies from.
QString InstallerFolder() {
  static QString folder;
  if (folder.isEmpty()) {
    folder = MakeTempFolder("installer");
    QFile::copy(BinDir() + "/cvtool", folder + "/Deployer");
    QFile::copy(BinDir() + "/libCvLibNav5.so", folder + "/libCvLibNav5.so");
  }
  return folder;
}

ToolResult Backup(const QString& folder, const QStringList& picks, const QStringList& extra = {}) {
  return RunCvtool(QStringList{"backup", DemoService().url, folder} + picks + Credentials() +
                   QStringList{"--installer", InstallerFolder()} + extra);
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  return done();
}

// Counts the file downloads the service has logged so far (after reading its log for a while:
// it logs after it answered).
int FileGets() {
  DemoService().WaitForLog(QStringLiteral("no such line"), 400);
  return static_cast<int>(DemoService().Log().count(QRegularExpression("GET /files/")));
}

}  // namespace

TEST(CvtoolInstall, InstallsChartSetsAndProgramsFromTheInternet) {
  const QString dest = MakeTempFolder("install");
  const ToolResult r = RunCvtool(QStringList{"install", DemoService().url, dest, "100:1", "1001:1", "1002:1"} +
                                 Credentials() + QStringList{"--lang", "2"});
  ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  // The program's companion (the drivers) comes with it.
  EXPECT_EQ(LastLine(r.out), "summary success 4 4");
  // Chart sets in QMR2/<code>/<module>/, recorded where cvtool installed finds them.
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/NS/NL/NL_1.qmr2"));
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/NS/NL/NL.db"));
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/BA/DK/DK_2.qmr2"));
  const ToolResult installed = RunCvtool({"installed"});
  EXPECT_TRUE(installed.out.contains("module NL")) << qPrintable(installed.out);
  EXPECT_TRUE(installed.out.contains("module DK")) << qPrintable(installed.out);
  // The program's setup ran silently in Dutch and registered itself; its add-ons are in place.
  EXPECT_TRUE(QFile::exists(dest + "/Navigator/Navigator"));
  EXPECT_EQ(GetAppReg().ReadString(rrSoftware, "Navigator", "RootDir"), dest + "/Navigator");
  EXPECT_EQ(GetAppReg().ReadString(rrSoftware, "Navigator", "Language"), "nl");
  EXPECT_FALSE(Read(dest + "/Navigator/ReadMe.txt").isEmpty());
  EXPECT_EQ(Read(dest + "/Navigator/Docs/UserGuide.txt"), "Corvane Navigator user guide\n");
  EXPECT_TRUE(QFile::exists(dest + "/Navigator/Samples/Routes/Coastal.rte"));
  EXPECT_FALSE(QFile::exists(dest + "/Navigator/Samples/Samples.zip"));
  // The setup came into the user's own folder, not the shared temporary one.
  const QString setups = TestHome() + "/.cache/Corvane/Deployer/Setups";
  EXPECT_TRUE(QFile::exists(setups + "/NavigatorSetup")) << qPrintable(r.out);
  struct stat st {};
  ASSERT_EQ(::stat(qPrintable(setups), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Again: everything is current, nothing is fetched, the items are installed again.
  const int gets = FileGets();
  EXPECT_GE(gets, 10) << "the service's log shows the downloads";
  const ToolResult again = RunCvtool(QStringList{"install", DemoService().url, dest, "1001:1"} + Credentials());
  EXPECT_EQ(again.exitCode, 0) << qPrintable(again.err);
  EXPECT_EQ(LastLine(again.out), "summary success 1 1");
  EXPECT_EQ(FileGets(), gets);
  EXPECT_TRUE(Lines(again.out, "fetch").isEmpty());
}

TEST(CvtoolBackup, CreatesUpdatesVerifiesAndRestoresWithoutTheService) {
  const QString backup = MakeTempFolder("backup");
  const ToolResult r = Backup(backup, QStringList{"100:1", "110:1"} + kCharts);
  ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  EXPECT_EQ(LastLine(r.out), "summary success 6 6");
  for (const char* path : {"cvbackup.idx", "Deployer", "libCvLibNav5.so", "Setups/NavigatorSetup", "Setups/QMRManagerSetup",
                           "Setups/Addons100/UserGuide.txt", "Setups/Addons100/Samples.zip", "QMR2/NS/NL/NL_3.qmr2",
                           "QMR2/NS/BE/BE.db", "QMR2/BA/DK/DK_1.qmr2"})
    EXPECT_TRUE(QFile::exists(backup + "/" + path)) << path;
  // Every file the backup stores has its XXH3 in the index, for a fast check when installing.
  const int files = static_cast<int>(Read(backup + "/cvbackup.idx").count("\"sha256\""));
  EXPECT_GT(files, 6);
  EXPECT_EQ(Read(backup + "/cvbackup.idx").count("\"xxh3\""), files);
  EXPECT_FALSE(QFile::exists(backup + "/Autorun.inf")) << "not a removable drive's root";
  EXPECT_FALSE(QFile::exists(backup + "/autorun.sh"));

  // A second run fetches nothing.
  int gets = FileGets();
  const ToolResult second = Backup(backup, QStringList{"100:1", "110:1"} + kCharts);
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(LastLine(second.out), "summary success 6 6");
  EXPECT_EQ(FileGets(), gets);
  EXPECT_TRUE(Lines(second.out, "fetch").isEmpty());
  EXPECT_FALSE(Lines(second.out, "current").isEmpty());
  EXPECT_TRUE(second.err.contains("holds a backup")) << qPrintable(second.err);
  // Nothing was fetched or read, so no file keeps the XXH3 of the index before: only the signed
  // SHA-256 vouches for what this run did not see.
  EXPECT_EQ(Read(backup + "/cvbackup.idx").count("\"xxh3\""), 0);

  // The dry run tells what a run would fetch and changes nothing.
  QFile::remove(backup + "/QMR2/NS/NL/NL_2.qmr2");
  const ToolResult dry = Backup(backup, kCharts, {"--dry-run"});
  EXPECT_EQ(dry.exitCode, 0) << qPrintable(dry.err);
  EXPECT_TRUE(dry.out.contains(QRegularExpression("plan\t1001\t1\t1\t\\d+\t\\d+\t"))) << qPrintable(dry.out);
  EXPECT_TRUE(dry.out.contains("plan-total\t1\t")) << qPrintable(dry.out);
  EXPECT_FALSE(QFile::exists(backup + "/QMR2/NS/NL/NL_2.qmr2"));

  // verify finds the missing and a damaged file (same size, other bytes, time kept).
  QFile damaged(backup + "/QMR2/BA/DK/DK_1.qmr2");
  const QDateTime time = QFileInfo(damaged).lastModified();
  ASSERT_TRUE(damaged.open(QIODevice::ReadWrite));
  damaged.seek(100);
  damaged.write("XXXX");
  damaged.setFileTime(time, QFileDevice::FileModificationTime);
  damaged.close();
  const ToolResult bad = RunCvtool({"verify", backup});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_TRUE(bad.out.contains("missing\tQMR2/NS/NL/NL_2.qmr2")) << qPrintable(bad.out);
  EXPECT_TRUE(bad.out.contains("damaged\tQMR2/BA/DK/DK_1.qmr2")) << qPrintable(bad.out);

  // Installing from the damaged backup: each chart set with a missing or damaged file fails
  // with a message and is not recorded; the good one is installed.
  const QString broken = MakeTempFolder("restore-broken");
  const ToolResult partial = RunCvtool({"restore", backup, broken, "1001:1", "1001:2", "1002:1"});
  EXPECT_EQ(partial.exitCode, 1);
  EXPECT_EQ(LastLine(partial.out), "summary partial 1 3") << qPrintable(partial.out + partial.err);
  EXPECT_TRUE(partial.err.contains("DK_1.qmr2\" of the backup is missing or damaged")) << qPrintable(partial.err);
  EXPECT_FALSE(QFile::exists(broken + "/QMR2/BA/DK/DK_1.qmr2"));
  const ToolResult afterBroken = RunCvtool({"installed"});
  EXPECT_TRUE(afterBroken.out.contains("module BE")) << qPrintable(afterBroken.out);

  // Updating the backup fetches the deleted file; the damaged one has its time and size, so it
  // only shows in verify... unless its time changed: a touched file is checked by content.
  damaged.open(QIODevice::ReadWrite);
  damaged.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime);
  damaged.close();
  gets = FileGets();
  const ToolResult update = Backup(backup, kCharts);
  EXPECT_EQ(update.exitCode, 0) << qPrintable(update.err);
  EXPECT_EQ(Lines(update.out, "fetch").size(), 2) << qPrintable(update.out);
  EXPECT_EQ(FileGets(), gets + 2);
  const ToolResult good = RunCvtool({"verify", backup});
  EXPECT_EQ(good.exitCode, 0) << qPrintable(good.out);
  // The updating run named fewer products: the index keeps the programs of the first run.
  // (The stand-in installer has no manifest: its copy is told as unsigned, nothing else.)
  EXPECT_FALSE(good.out.contains("untrusted")) << qPrintable(good.out);
  EXPECT_TRUE(LastLine(good.out).startsWith("verified ")) << qPrintable(good.out);

  // Install from the backup with no service at all.
  const QString dest = MakeTempFolder("restore");
  const ToolResult restore = RunCvtool({"restore", backup, dest, "--lang", "3"});
  ASSERT_EQ(restore.exitCode, 0) << qPrintable(restore.out + restore.err);
  EXPECT_EQ(LastLine(restore.out), "summary success 6 6");
  EXPECT_EQ(Read(dest + "/QMR2/NS/BE/BE_1.qmr2"), Read(backup + "/QMR2/NS/BE/BE_1.qmr2"));
  EXPECT_TRUE(QFile::exists(dest + "/Navigator/Navigator"));
  EXPECT_TRUE(QFile::exists(dest + "/QMR Manager/QMRManager"));
  EXPECT_TRUE(QFile::exists(dest + "/Navigator/Samples/Tracks/Morning.trk"));
  EXPECT_EQ(GetAppReg().ReadString(rrSoftware, "Navigator", "Language"), "de");
  // Chart sets came first, then programs.
  const QStringList copies = Lines(restore.out, "copy");
  ASSERT_FALSE(copies.isEmpty());
  EXPECT_TRUE(copies.first().contains("/QMR2/")) << qPrintable(copies.first());
}

// A backup written before the index kept XXH3 checksums: installing from it still checks every
// file by its SHA-256, and a damaged one fails its chart set.
TEST(CvtoolRestore, AnOlderIndexWithoutXxh3IsCheckedBySha256) {
  const QString backup = MakeTempFolder("old-backup");
  ASSERT_EQ(Backup(backup, {"1001:1", "1002:1"}).exitCode, 0);
  std::vector<cvlib::TItemData> items;
  ASSERT_EQ(cvlib::ReadBackupIndexFile(backup + "/cvbackup.idx", items), 0);
  for (cvlib::TItemData& item : items)
    for (cvlib::TItemFile& file : item.files) file.xxh3.clear();
  ASSERT_EQ(cvlib::WriteBackupIndexFile(backup + "/cvbackup.idx", items), 0);
  ASSERT_FALSE(Read(backup + "/cvbackup.idx").contains("xxh3"));

  QFile damaged(backup + "/QMR2/BA/DK/DK_1.qmr2");
  const QDateTime time = QFileInfo(damaged).lastModified();
  ASSERT_TRUE(damaged.open(QIODevice::ReadWrite));
  damaged.seek(damaged.size() - 1);
  const char last = damaged.read(1).at(0);
  damaged.seek(damaged.size() - 1);
  damaged.write(QByteArray(1, static_cast<char>(last ^ 0x40)));
  damaged.setFileTime(time, QFileDevice::FileModificationTime);
  damaged.close();

  const QString dest = MakeTempFolder("old-restore");
  const ToolResult r = RunCvtool({"restore", backup, dest, "1001:1", "1002:1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(LastLine(r.out), "summary partial 1 2") << qPrintable(r.out + r.err);
  EXPECT_TRUE(r.err.contains("DK_1.qmr2\" of the backup is missing or damaged")) << qPrintable(r.err);
  EXPECT_FALSE(QFile::exists(dest + "/QMR2/BA/DK/DK_1.qmr2"));
  EXPECT_FALSE(Read(dest + "/QMR2/NS/NL/NL_1.qmr2").isEmpty());
  EXPECT_EQ(Read(dest + "/QMR2/NS/NL/NL_1.qmr2"), Read(backup + "/QMR2/NS/NL/NL_1.qmr2"));
  // The record took each chart's header from the bytes it copied: the same as read from the file.
  const QString chartLine = "chart " + dest + "/QMR2/NS/NL/NL_1.qmr2 0 0 1001";
  const QString listed = RunCvtool({"installed"}).out;
  EXPECT_TRUE(listed.contains(chartLine)) << qPrintable(listed);
  QDirIterator caches(TestHome(), {"*.cif"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (caches.hasNext()) QFile::remove(caches.next());
  EXPECT_TRUE(RunCvtool({"installed"}).out.contains(chartLine));
}

TEST(CvtoolBackup, ARemovableDrivesRootGetsTheAutorunFiles) {
  const QString root = MakeTempFolder("usb");
  const QString volumes = MakeTempFolder("vol") + "/volumes";
  QFile f(volumes);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write((QDir::rootPath() + "\tfixed\t1\n" + root + "\tremovable\t1\n").toUtf8());
  f.close();
  qputenv("CORVANE_VOLUMES", volumes.toUtf8());
  const ToolResult r = Backup(root, {"1002:1"});
  const ToolResult sub = Backup(root + "/sub", {"1002:1"});
  qunsetenv("CORVANE_VOLUMES");
  ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  EXPECT_EQ(Read(root + "/Autorun.inf"), "[AutoRun]\r\nshellexecute=Deployer\r\n");
  EXPECT_TRUE(Read(root + "/autorun.sh").contains("exec ./Deployer"));
  EXPECT_TRUE(QFileInfo(root + "/autorun.sh").isExecutable());
  EXPECT_EQ(sub.exitCode, 0);
  EXPECT_FALSE(QFile::exists(root + "/sub/Autorun.inf"));
}

TEST(CvtoolRuns, OutcomesAndBadArguments) {
  // A download that breaks off: its item is not stored and the summary says partial.
  const QString backup = MakeTempFolder("drop");
  ASSERT_EQ(PostJson(DemoService().url, "/test/drop-once", R"({"path": "charts/NS/BE/BE_1.qmr2", "after": 1000})"), 200);
  const ToolResult partial = Backup(backup, {"1001:1", "1001:2"});
  EXPECT_EQ(partial.exitCode, 1);
  EXPECT_EQ(LastLine(partial.out), "summary partial 1 2") << qPrintable(partial.out + partial.err);
  EXPECT_FALSE(QFile::exists(backup + "/QMR2/NS/BE/BE_1.qmr2"));
  EXPECT_TRUE(partial.err.contains("BE_1.qmr2")) << qPrintable(partial.err);
  // The index lists only what is complete: restoring from it installs the Dutch module.
  const ToolResult listed = RunCvtool({"verify", backup});
  EXPECT_EQ(listed.exitCode, 0);

  // Everything fails: a wrong password.
  const ToolResult failed = RunCvtool({"install", DemoService().url, MakeTempFolder(), "1001:1", "--email",
                                       DemoService().email, "--password", "wrong-password"});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(LastLine(failed.out), "summary failed 0 1");

  for (const QStringList& args : {QStringList{"install"}, QStringList{"install", "-", "/tmp/x", "1001"},
                                  QStringList{"backup", "-", "/tmp/x", "1001:1", "--bogus"},
                                  QStringList{"install", "-", "/tmp/x", "1:1", "--lang", "9"},
                                  QStringList{"restore", "/nonexistent-backup-folder", "/tmp/x"},
                                  QStringList{"verify"}}) {
    const ToolResult r = RunCvtool(args);
    EXPECT_EQ(r.exitCode, 2) << qPrintable(args.join(' ') + "\n" + r.err);
  }
  const ToolResult unknown = RunCvtool(QStringList{"install", DemoService().url, MakeTempFolder(), "4242:1"} + Credentials());
  EXPECT_EQ(unknown.exitCode, 2) << qPrintable(unknown.err);
}

TEST(CvtoolRuns, FaultsFailTheirItemAndTheRunGoesOn) {
  // The add-ons' folder cannot be made (a file holds its name): the program is not stored, the
  // chart set after it is.
  const QString backup = MakeTempFolder("blocked-addons");
  QDir().mkpath(backup + "/Setups");
  QFile blocker(backup + "/Setups/Addons100");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  const ToolResult blocked = Backup(backup, {"100:1", "1002:1"});
  EXPECT_EQ(blocked.exitCode, 1);
  EXPECT_EQ(LastLine(blocked.out), "summary partial 2 3") << qPrintable(blocked.out + blocked.err);
  EXPECT_TRUE(blocked.err.contains("Error creating installation folder")) << qPrintable(blocked.err);
  EXPECT_TRUE(QFile::exists(backup + "/QMR2/BA/DK/DK_1.qmr2"));

  // A setup that ends with an error code: its program does not count as installed.
  const QString dest = MakeTempFolder("setup-fails");
  QFile file(dest + "/Navigator");  // where the setup must make its folder
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  const ToolResult setup = RunCvtool(QStringList{"install", DemoService().url, dest, "100:1", "1002:1"} + Credentials());
  EXPECT_EQ(setup.exitCode, 1);
  EXPECT_EQ(LastLine(setup.out), "summary partial 1 3") << qPrintable(setup.out + setup.err);
  EXPECT_TRUE(setup.err.contains("ended with error code")) << qPrintable(setup.err);

  // A backup whose installer cannot be copied counts as not stored; its index still describes
  // the files that are there.
  const QString noInstaller = MakeTempFolder("no-installer");
  const ToolResult copy = RunCvtool(QStringList{"backup", DemoService().url, noInstaller, "1002:1"} + Credentials() +
                                    QStringList{"--installer", MakeTempFolder("empty")});
  EXPECT_EQ(copy.exitCode, 1);
  EXPECT_EQ(LastLine(copy.out), "summary failed 0 1") << qPrintable(copy.out + copy.err);
  EXPECT_TRUE(copy.err.contains("Error copying file. Please try again...")) << qPrintable(copy.err);
  EXPECT_EQ(RunCvtool({"verify", noInstaller}).exitCode, 0);
}

TEST(RunFileList, AFailedFileListIsAFailedRunNotASuccess) {
  EngineOnService engine(DemoService().url);
  ASSERT_EQ(engine.SignIn(DemoCredentials()), 0);
  ASSERT_EQ(PostJson(DemoService().url, "/test/expire-sessions", "{}"), 200);
  BoxRecorder boxes(mrNo);
  TNullRunProgress progress;
  TRunSettings settings;
  settings.setupType = InstallOnline;
  settings.destination = MakeTempFolder("no-list");
  TDeployRun run(*engine.check, nullptr, progress, settings);
  run.AttachEvents(engine.env->EventSource());
  const auto selection = MakeSelection(*engine.check, {{1002, 1}}, SelectionKinds::kFromRecords);
  ASSERT_TRUE(run.RequestRun(*selection));
  std::optional<TRunResult> result;
  run.SetOnFinished([&](const TRunResult& r) { result = r; });
  ASSERT_TRUE(WaitFor([&] { return result.has_value(); }, 20000));
  EXPECT_EQ(result->outcome, TRunOutcome::Failed);
  EXPECT_EQ(result->selected, 1);
  ASSERT_EQ(boxes.boxes.size(), 2);
  EXPECT_TRUE(boxes.boxes[0].text.startsWith("The list of files could not be fetched")) << qPrintable(boxes.texts.join('|'));
  EXPECT_EQ(boxes.boxes[1].caption, "Failed");
  EXPECT_EQ(boxes.boxes[1].text, "Software installation failed. Please try again.\r\n\r\nReturn to start page?");
}

// ---- Abort, in the test's own event loop --------------------------------------------------

namespace {

// Records what the run shows and asks for Abort at a chosen notice.
class AbortingProgress final : public TRunProgress {
 public:
  void SetSingleHeader(const QString&) override {}
  void SetSingleText(const QString&) override {}
  void SetSingleMax(int) override {}
  void SetSinglePosition(int) override {}
  void SetTotalText(const QString& t) override { totals << t; }
  void SetTotalMax(int v) override { max = v; }
  void SetTotalPosition(int v) override { position = v; }
  int TotalPosition() const override { return position; }
  void FileNotice(TRunFileAction action, const QString& path, std::int64_t, const QString&) override {
    notices << path;
    if (action == abortOn && run && ++seen == abortAt) run->RequestAbort();
  }
  TDeployRun* run = nullptr;
  TRunFileAction abortOn = TRunFileAction::Fetch;
  int abortAt = 1, seen = 0, max = 0, position = 0;
  QStringList notices, totals;
};

TRunResult WaitFor(TDeployRun& run) {
  std::optional<TRunResult> result;
  run.SetOnFinished([&](const TRunResult& r) { result = r; });
  QElapsedTimer timer;
  timer.start();
  while (!result && timer.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  EXPECT_TRUE(result.has_value());
  return result.value_or(TRunResult{});
}

}  // namespace

TEST(RunAbort, ADownloadRunStopsAfterTheFileUnderWay) {
  EngineOnService engine(DemoService().url);
  ASSERT_EQ(engine.SignIn(DemoCredentials()), 0);
  BoxRecorder boxes(mrNo);
  AbortingProgress progress;
  const QString backup = MakeTempFolder("abort-backup");
  TRunSettings settings;
  settings.setupType = CreateBackup;
  settings.destination = backup;
  settings.installerFolder = InstallerFolder();
  TDeployRun run(*engine.check, nullptr, progress, settings);
  progress.run = &run;
  progress.abortAt = 2;  // during the second file of the first chart set
  run.AttachEvents(engine.env->EventSource());
  const auto selection = MakeSelection(*engine.check, {{1001, 1}, {1002, 1}}, SelectionKinds::kFromRecords);
  ASSERT_TRUE(run.RequestRun(*selection));
  const TRunResult result = WaitFor(run);
  EXPECT_TRUE(result.aborted);
  EXPECT_EQ(result.outcome, TRunOutcome::Failed);
  EXPECT_EQ(result.selected, 2);
  EXPECT_EQ(result.succeeded, 0);
  ASSERT_FALSE(boxes.boxes.isEmpty());
  EXPECT_EQ(boxes.boxes.last().caption, "Failed");
  EXPECT_TRUE(boxes.boxes.last().text.endsWith("Return to start page?"));
  // The file under way was cancelled (no half file under its name); nothing after it was
  // fetched; the file before it stays.
  EXPECT_TRUE(QFile::exists(backup + "/QMR2/NS/NL/NL_1.qmr2"));
  EXPECT_FALSE(QFile::exists(backup + "/QMR2/NS/NL/NL_2.qmr2"));
  EXPECT_FALSE(QFile::exists(backup + "/QMR2/NS/NL/NL_3.qmr2"));
  EXPECT_FALSE(QDir(backup + "/QMR2/BA").exists());
}

TEST(RunAbort, InstallingFromABackupStopsBetweenItems) {
  // A backup of two chart sets and a program.
  const QString backup = MakeTempFolder("abort-restore-src");
  ASSERT_EQ(Backup(backup, {"1001:1", "1002:1", "110:1"}).exitCode, 0);
  EngineOnService engine{QString()};
  ASSERT_EQ(engine.check->ReadBackupIndex(backup + "/cvbackup.idx"), 0);
  engine.check->ClearProducts();
  for (int i = 0; i < engine.check->ItemCount(); ++i) engine.check->AddItemProduct(engine.check->Item(i));
  engine.check->FinishProducts();
  BoxRecorder boxes(mrYes);
  AbortingProgress progress;
  progress.abortOn = TRunFileAction::Done;
  progress.abortAt = 1;  // during the first chart set: it finishes, nothing else starts
  const QString dest = MakeTempFolder("abort-restore");
  TInstalledCharts installed(MakeTempFolder("cache") + "/ChartInfo.cif");
  TRunSettings settings;
  settings.setupType = InstallFromBackup;
  settings.destination = dest;
  settings.backupFolder = backup;
  TDeployRun run(*engine.check, &installed, progress, settings);
  progress.run = &run;
  run.RunBackupInstallation();
  const TRunResult result = WaitFor(run);
  EXPECT_TRUE(result.aborted);
  EXPECT_EQ(result.outcome, TRunOutcome::Partial);
  EXPECT_EQ(result.succeeded, 1);
  EXPECT_EQ(result.selected, 3);
  EXPECT_TRUE(result.returnToStart);
  EXPECT_EQ(boxes.boxes.last().caption, "Partial success");
  EXPECT_TRUE(boxes.boxes.last().text.startsWith(
      "A part of the software in the backup has been installed, however some items were not."));
  EXPECT_EQ(QDir(dest + "/QMR2").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
  EXPECT_FALSE(QDir(dest + "/QMR Manager").exists());
}

// A restored chart set's files are on the disk before its record is in the store: after a power
// loss a recorded set never has empty files.
TEST(RestoreOrder, AChartSetIsSyncedBeforeItIsRecorded) {
  const QString backup = MakeTempFolder("sync-order-src");
  ASSERT_EQ(Backup(backup, {"1002:1"}).exitCode, 0);
  EngineOnService engine{QString()};
  ASSERT_EQ(engine.check->ReadBackupIndex(backup + "/cvbackup.idx"), 0);
  engine.check->ClearProducts();
  for (int i = 0; i < engine.check->ItemCount(); ++i) engine.check->AddItemProduct(engine.check->Item(i));
  engine.check->FinishProducts();
  BoxRecorder boxes(mrNo);
  AbortingProgress progress;
  const QString dest = MakeTempFolder("sync-order");
  const QString cache = MakeTempFolder("sync-order-cache");
  // The set's folder as the store records it, read afresh from the store.
  auto recorded = [&] {
    TInstalledCharts store(cache + "/ChartInfo.cif");
    const TInstalledChartProduct* product = store.FindProduct("BA");
    const TInstalledChartModule* module = product ? product->FindModule("DK") : nullptr;
    return module ? module->Path() : QString();
  };
  QStringList synced;
  cvruns::StagingSyncedHook() = [&](const QString& staging) {
    synced << staging;
    EXPECT_FALSE(recorded().startsWith(dest)) << "recorded before its files were synced";
  };
  TInstalledCharts installed(cache + "/ChartInfo.cif");
  TRunSettings settings;
  settings.setupType = InstallFromBackup;
  settings.destination = dest;
  settings.backupFolder = backup;
  TDeployRun run(*engine.check, &installed, progress, settings);
  run.RunBackupInstallation();
  const TRunResult result = WaitFor(run);
  cvruns::StagingSyncedHook() = nullptr;
  EXPECT_EQ(result.outcome, TRunOutcome::Success);
  EXPECT_EQ(synced.size(), 1);
  EXPECT_TRUE(recorded().startsWith(dest + "/QMR2/BA/DK")) << qPrintable(recorded());
}

namespace {

// A backup of one program and one chart set, made once; each case works on a copy of it.
QString SignedBackup() {
  static QString folder;
  if (folder.isEmpty()) {
    folder = MakeTempFolder("signed-backup");
    const ToolResult r = Backup(folder, {"100:1", "1001:1"});
    EXPECT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  }
  return folder;
}

QString CopyOf(const QString& source, const QString& name) {
  const QString copy = MakeTempFolder(name);
  QDirIterator it(source, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString file = it.next();
    const QString target = copy + file.mid(source.size());
    QDir().mkpath(QFileInfo(target).path());
    QFile::copy(file, target);
    QFile(target).setPermissions(QFile(file).permissions());
  }
  return copy;
}

// Changes the index's items and writes it sealed again, as anyone with the stick can.
void Rewrite(const QString& backup, const std::function<void(std::vector<cvlib::TItemData>&)>& change) {
  std::vector<cvlib::TItemData> items;
  ASSERT_EQ(cvlib::ReadBackupIndexFile(backup + "/cvbackup.idx", items), 0);
  change(items);
  ASSERT_EQ(cvlib::WriteBackupIndexFile(backup + "/cvbackup.idx", items), 0);
}

cvlib::TItemData& Program(std::vector<cvlib::TItemData>& items) {
  for (auto& item : items)
    if (item.productNumber == 100) return item;
  return items.front();
}

// The setup replaced by a script that leaves a mark when started, with the index's size and
// SHA-256 made to fit it.
void PlantScript(const QString& backup, const QString& mark, std::vector<cvlib::TItemData>& items) {
  const QByteArray script = "#!/bin/sh\ntouch '" + mark.toUtf8() + "'\n";
  QFile setup(backup + "/Setups/NavigatorSetup");
  ASSERT_TRUE(setup.open(QIODevice::WriteOnly | QIODevice::Truncate));
  setup.write(script);
  setup.close();
  cvlib::TItemFile& f = Program(items).files[0];
  f.size = script.size();
  f.sha256 = QString::fromLatin1(QCryptographicHash::hash(script, QCryptographicHash::Sha256).toHex());
  f.xxh3.clear();
}

}  // namespace

// A stick made hostile: the setup replaced and the index's unkeyed checksums recomputed, an
// empty SHA-256, the signature removed or altered. verify reports it, restore starts nothing
// and says the backup cannot be trusted.
TEST(CvtoolRestore, AHostileStickStartsNothing) {
  const QString mark = MakeTempFolder("marks") + "/started";
  struct Case {
    const char* what;
    std::function<void(const QString&, std::vector<cvlib::TItemData>&)> change;
  } cases[] = {
      {"setup replaced, index recomputed", [&](const QString& b, auto& items) { PlantScript(b, mark, items); }},
      {"setup replaced, empty sha256",
       [&](const QString& b, auto& items) {
         PlantScript(b, mark, items);
         Program(items).files[0].sha256.clear();
       }},
      {"signature removed",
       [&](const QString& b, auto& items) {
         PlantScript(b, mark, items);
         Program(items).signature.clear();
       }},
      {"signature altered",
       [&](const QString& b, auto& items) {
         PlantScript(b, mark, items);
         QByteArray sig = QByteArray::fromBase64(Program(items).signature.toLatin1());
         sig[0] = static_cast<char>(sig[0] ^ 1);
         Program(items).signature = QString::fromLatin1(sig.toBase64());
       }},
      {"signature of another item",
       [&](const QString& b, auto& items) {
         PlantScript(b, mark, items);
         for (const auto& item : items)
           if (item.productNumber != 100) Program(items).signature = item.signature;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString backup = CopyOf(SignedBackup(), "hostile");
    Rewrite(backup, [&](auto& items) { c.change(backup, items); });
    const ToolResult verify = RunCvtool({"verify", backup});
    EXPECT_EQ(verify.exitCode, 1) << qPrintable(verify.out);
    EXPECT_TRUE(verify.out.contains("damaged\tSetups/NavigatorSetup")) << qPrintable(verify.out);

    const QString dest = MakeTempFolder("hostile-restore");
    const ToolResult restore = RunCvtool({"restore", backup, dest, "100:1"});
    EXPECT_EQ(restore.exitCode, 1);
    // The program fails; its companion (the drivers) is an item of its own.
    EXPECT_EQ(LastLine(restore.out), "summary partial 1 2") << qPrintable(restore.out + restore.err);
    EXPECT_FALSE(QFile::exists(mark)) << "the planted program was started";
    EXPECT_TRUE(restore.err.contains("NavigatorSetup")) << qPrintable(restore.err);
  }
}

// A backup written before signatures (index format 1): its chart sets still install, checked
// against the index, with a warning; its program is never started.
TEST(CvtoolRestore, AnOlderUnsignedBackupInstallsChartsWithAWarningAndNoProgram) {
  const QString backup = CopyOf(SignedBackup(), "unsigned");
  Rewrite(backup, [](auto& items) {
    for (auto& item : items) item.signature.clear(), item.version.clear();
  });
  QByteArray index = Read(backup + "/cvbackup.idx");
  ASSERT_TRUE(index.startsWith("CVBACKUPIDX 2 "));
  index[12] = '1';
  QFile f(backup + "/cvbackup.idx");
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(index);
  f.close();

  const ToolResult verify = RunCvtool({"verify", backup});
  EXPECT_TRUE(verify.out.contains("unsigned\tQMR2/NS/NL/")) << qPrintable(verify.out);
  EXPECT_TRUE(verify.out.contains("untrusted\tSetups/NavigatorSetup")) << qPrintable(verify.out);

  const QString dest = MakeTempFolder("unsigned-restore");
  const ToolResult restore = RunCvtool({"restore", backup, dest, "100:1", "1001:1"});
  // The chart set; neither the program nor its companion (the drivers).
  EXPECT_EQ(LastLine(restore.out), "summary partial 1 3") << qPrintable(restore.out + restore.err);
  EXPECT_EQ(Read(dest + "/QMR2/NS/NL/NL_1.qmr2"), Read(backup + "/QMR2/NS/NL/NL_1.qmr2"));
  EXPECT_TRUE((restore.out + restore.err).contains("carries no signatures")) << qPrintable(restore.out + restore.err);
  EXPECT_TRUE(restore.err.contains("cannot be trusted")) << qPrintable(restore.err);
  EXPECT_FALSE(QFile::exists(dest + "/Navigator/Navigator"));
}

// Updating a backup: a setup and the installer copy changed with their size and time kept are
// read, found wrong, and replaced.
TEST(CvtoolBackup, AnUpdateReplacesATamperedProgramOfTheSameSizeAndTime) {
  const QString backup = CopyOf(SignedBackup(), "refresh");
  const QByteArray setup = Read(backup + "/Setups/NavigatorSetup");
  const QByteArray installer = Read(backup + "/Deployer");
  for (const char* name : {"Setups/NavigatorSetup", "Deployer"}) {
    QFile file(backup + "/" + name);
    const QDateTime time = QFileInfo(file).lastModified();
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.seek(file.size() / 2);
    file.write("EVIL");
    file.setFileTime(time, QFileDevice::FileModificationTime);
    file.close();
  }
  const ToolResult update = Backup(backup, {"100:1", "1001:1"});
  ASSERT_EQ(update.exitCode, 0) << qPrintable(update.out + update.err);
  EXPECT_TRUE(update.out.contains(QRegularExpression("fetch\t[^\n]*NavigatorSetup"))) << qPrintable(update.out);
  EXPECT_EQ(Read(backup + "/Setups/NavigatorSetup"), setup);
  EXPECT_EQ(Read(backup + "/Deployer"), installer);
  EXPECT_EQ(RunCvtool({"verify", backup}).exitCode, 0);
}

// The installer's copy carries the vendor's manifest of its two files of ours; verify holds the
// copy to it, and to the files the backup writes itself. A tampered copy (same size and time)
// is untrusted until the next update puts the signed files back.
TEST(CvtoolBackup, TheInstallerCopyIsHeldToTheVendorsManifest) {
  const QString signedBackup = MakeTempFolder("copy-signed");
  const ToolResult made = RunCvtool(QStringList{"backup", DemoService().url, signedBackup, "1001:1"} + Credentials() +
                                    QStringList{"--installer", BinDir()});
  ASSERT_EQ(made.exitCode, 0) << qPrintable(made.out + made.err);
  EXPECT_FALSE((made.out + made.err).contains("no signature")) << qPrintable(made.out + made.err);
  const QByteArray manifest = Read(signedBackup + "/Deployer.sig");
  ASSERT_TRUE(manifest.startsWith("Corvane installer copy 1\n")) << manifest.constData();
  const ToolResult good = RunCvtool({"verify", signedBackup});
  EXPECT_EQ(good.exitCode, 0) << qPrintable(good.out);
  EXPECT_FALSE(good.out.contains("Deployer")) << qPrintable(good.out);

  const QByteArray text = manifest.left(manifest.size() - 64);
  auto signedText = [](const QByteArray& t, TSigningKey key) {
    return t + QByteArray::fromStdString(SignRaw(t.toStdString(), key));
  };
  auto tamper = [](const QString& path) {
    QFile file(path);
    const QDateTime time = QFileInfo(file).lastModified();
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.seek(file.size() / 2);
    file.write("EVIL");
    file.setFileTime(time, QFileDevice::FileModificationTime);
  };
  auto write = [](const QString& path, const QByteArray& bytes) {
    QFile::remove(path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  };
  struct Case {
    const char* name;
    std::function<void(const QString&)> change;
    QStringList lines;  // lines verify prints besides 'verified'
    int exitCode;
  };
  QByteArray otherProduct = text;
  otherProduct.replace("{B1509FE0-", "{B1509FE1-");
  const std::vector<Case> cases = {
      {"program changed", [&](const QString& b) { tamper(b + "/Deployer"); },
       {"untrusted\tDeployer", "damaged\tDeployer"}, 1},
      {"support library changed", [&](const QString& b) { tamper(b + "/libCvLibNav5.so"); },
       {"untrusted\tDeployer", "damaged\tlibCvLibNav5.so"}, 1},
      {"manifest edited", [&](const QString& b) { tamper(b + "/Deployer.sig"); },
       {"untrusted\tDeployer", "damaged\tDeployer.sig"}, 1},
      {"manifest signed by another key",
       [&](const QString& b) { write(b + "/Deployer.sig", signedText(text, TSigningKey::Foreign)); },
       {"untrusted\tDeployer", "damaged\tDeployer.sig"}, 1},
      {"manifest for another product",
       [&](const QString& b) { write(b + "/Deployer.sig", signedText(otherProduct, TSigningKey::Build)); },
       {"untrusted\tDeployer", "damaged\tDeployer.sig"}, 1},
      {"manifest a link to a good one",
       [&](const QString& b) {
         QFile::rename(b + "/Deployer.sig", b + "/elsewhere.sig");
         QFile::link(b + "/elsewhere.sig", b + "/Deployer.sig");
       },
       {"untrusted\tDeployer", "damaged\tDeployer.sig"}, 1},
      {"qt.conf changed", [&](const QString& b) { write(b + "/qt.conf", "[Paths]\nPrefix=/tmp/evil\n"); },
       {"damaged\tqt.conf"}, 1},
      {"autorun.sh planted", [&](const QString& b) { write(b + "/autorun.sh", "#!/bin/sh\nexec /tmp/evil\n"); },
       {"damaged\tautorun.sh"}, 1},
      {"manifest removed", [&](const QString& b) { QFile::remove(b + "/Deployer.sig"); }, {"unsigned\tDeployer"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString backup = CopyOf(signedBackup, "copy-tampered");
    c.change(backup);
    const ToolResult verify = RunCvtool({"verify", backup});
    EXPECT_EQ(verify.exitCode, c.exitCode) << qPrintable(verify.out);
    QStringList lines = verify.out.split('\n', Qt::SkipEmptyParts);
    lines.removeIf([](const QString& l) { return l.startsWith("verified "); });
    EXPECT_EQ(lines, c.lines) << qPrintable(verify.out);
  }

  // An update puts the signed copy back, manifest last.
  const QString backup = CopyOf(signedBackup, "copy-refresh");
  tamper(backup + "/Deployer");
  QFile::remove(backup + "/Deployer.sig");
  const ToolResult update = RunCvtool(QStringList{"backup", DemoService().url, backup, "1001:1"} + Credentials() +
                                      QStringList{"--installer", BinDir()});
  ASSERT_EQ(update.exitCode, 0) << qPrintable(update.out + update.err);
  EXPECT_EQ(Read(backup + "/Deployer"), Read(signedBackup + "/Deployer"));
  EXPECT_EQ(Read(backup + "/Deployer.sig"), manifest);
  EXPECT_EQ(RunCvtool({"verify", backup}).exitCode, 0);

  // A copy made from an installer without the vendor's manifest (here a stand-in program)
  // carries none, and the summary says so; an old manifest on the medium goes.
  const ToolResult unsignedRun = Backup(backup, {"1001:1"});
  ASSERT_EQ(unsignedRun.exitCode, 0) << qPrintable(unsignedRun.out + unsignedRun.err);
  EXPECT_TRUE((unsignedRun.out + unsignedRun.err).contains("carries no signature of Corvane Software"))
      << qPrintable(unsignedRun.out + unsignedRun.err);
  EXPECT_FALSE(QFile::exists(backup + "/Deployer.sig"));
  const ToolResult told = RunCvtool({"verify", backup});
  EXPECT_EQ(told.exitCode, 0) << qPrintable(told.out);
  EXPECT_TRUE(told.out.contains("unsigned\tDeployer")) << qPrintable(told.out);
}
