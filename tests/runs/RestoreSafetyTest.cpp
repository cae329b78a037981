// What restoring and installing leave on the disk when the source is loose or damaged: the
// modes of the files, an add-on archive that cannot be extracted whole, a chart set whose new
// copy fails. Through cvtool against deployer-service --demo.
#include "CvDeployRun.h"
#include "CvLib.h"
#include "CvLibBackupIndex.h"
#include "BoxRecorder.h"
#include "IntegrationFixture.h"
#include "TestEnv.h"
#include "TestSigning.h"
#include "ToolRun.h"

#include <QDir>
#include <QDirIterator>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

#include <optional>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace cvtest;

namespace {

QStringList Login() { return {"--email", DemoService().email, "--password", DemoService().password}; }

QString Last(const QString& text) {
  const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
  return lines.isEmpty() ? QString() : lines.last();
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

ToolResult MakeBackup(const QString& folder, const QStringList& picks) {
  static QString installer;
  if (installer.isEmpty()) {
    installer = MakeTempFolder("safety-installer");
    QFile::copy(BinDir() + "/cvtool", installer + "/Deployer");
    QFile::copy(BinDir() + "/libCvLibNav5.so", installer + "/libCvLibNav5.so");
  }
  return RunCvtool(QStringList{"backup", DemoService().url, folder} + picks + Login() +
                   QStringList{"--installer", installer});
}

unsigned Mode(const QString& path) {
  struct stat st {};
  return ::lstat(qPrintable(path), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

// The test's umask for one block, the earlier one back after it.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

void Damage(const QString& path) {
  QFile f(path);
  const QDateTime time = QFileInfo(f).lastModified();
  ASSERT_TRUE(f.open(QIODevice::ReadWrite));
  f.seek(40);
  f.write("DAMAGED");
  f.setFileTime(time, QFileDevice::FileModificationTime);
}

QStringList Hidden(const QString& folder) {
  return QDir(folder).entryList(QDir::Hidden | QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
      .filter(QRegularExpression("^\\."));
}

// Puts content in place of a file of a backup and has the index say so (size and SHA-256; the
// XXH3 dropped), as a backup written by hand would.
void ReplaceInBackup(const QString& backup, const QString& relative, const QByteArray& content) {
  QFile f(backup + "/" + relative);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(content);
  f.close();
  std::vector<cvlib::TItemData> items;
  ASSERT_EQ(cvlib::ReadBackupIndexFile(backup + "/cvbackup.idx", items), 0);
  const QString name = QFileInfo(relative).fileName();
  for (cvlib::TItemData& item : items)
    for (cvlib::TItemFile& file : item.files)
      if (file.name == name) {
        file.size = content.size();
        file.sha256 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        file.xxh3.clear();
        cvtest::SignItemData(item);
      }
  ASSERT_EQ(cvlib::WriteBackupIndexFile(backup + "/cvbackup.idx", items), 0);
}

}  // namespace

// Every file of a FAT stick mounted umask=000 is 0777: what is installed from it is 0644, or
// 0755 for a program, through the user's umask; the stick's group and other write never pass.
TEST(RestoreModes, FilesNeverTakeTheBackupsLooseModes) {
  const QString backup = MakeTempFolder("loose-backup");
  ASSERT_EQ(MakeBackup(backup, {"100:1", "1001:1"}).exitCode, 0);
  QDirIterator it(backup, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
  while (it.hasNext()) ::chmod(qPrintable(it.next()), 0777);

  struct Case {
    mode_t umask;
    unsigned file, program;
  };
  for (const Case& c : {Case{022, 0644, 0755}, Case{077, 0600, 0700}}) {
    SCOPED_TRACE(c.umask);
    const QString dest = MakeTempFolder("loose-restore");
    const QString setup = TestHome() + "/.cache/Corvane/Deployer/Setups/NavigatorSetup";
    QFile::remove(setup);
    ToolResult r;
    {
      const Umask mask(c.umask);
      r = RunCvtool({"restore", backup, dest, "100:1", "1001:1"});
    }
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
    EXPECT_EQ(Mode(dest + "/QMR2/NS/NL/NL_1.qmr2"), c.file);
    EXPECT_EQ(Mode(dest + "/QMR2/NS/NL/NL.db"), c.file);
    EXPECT_EQ(Mode(dest + "/Navigator/Docs/UserGuide.txt"), c.file);
    EXPECT_EQ(Mode(dest + "/Navigator/Samples/Routes/Coastal.rte"), c.file);
    // The setup's copy in the user's own folder served this run only.
    EXPECT_FALSE(QFile::exists(setup));
  }

  // A backup made from an installer folder on such a stick: the copy is a program, 0755.
  const QString loose = MakeTempFolder("loose-installer");
  QFile::copy(BinDir() + "/cvtool", loose + "/Deployer");
  QFile::copy(BinDir() + "/libCvLibNav5.so", loose + "/libCvLibNav5.so");
  ::chmod(qPrintable(loose + "/Deployer"), 0777);
  ::chmod(qPrintable(loose + "/libCvLibNav5.so"), 0777);
  const QString second = MakeTempFolder("loose-backup2");
  const ToolResult made = RunCvtool(QStringList{"backup", DemoService().url, second, "1002:1"} + Login() +
                                    QStringList{"--installer", loose});
  ASSERT_EQ(made.exitCode, 0) << qPrintable(made.out + made.err);
  EXPECT_EQ(Mode(second + "/Deployer"), 0755u);
  EXPECT_EQ(Mode(second + "/QMR2/BA/DK/DK_1.qmr2"), 0644u);
}

// An add-on archive with an entry that cannot be written (a link stands where its folder
// goes): the program fails, the message names the archive and the entry, the archive stays,
// and nothing is written through the link.
TEST(AddOnArchive, NotExtractedWholeFailsItsItemAndIsKept) {
  const QString dest = MakeTempFolder("addon-link");
  const QString elsewhere = MakeTempFolder("addon-elsewhere");
  ASSERT_TRUE(QDir().mkpath(dest + "/Navigator/Samples"));
  ASSERT_TRUE(QFile::link(elsewhere, dest + "/Navigator/Samples/Routes"));
  const ToolResult r = RunCvtool(QStringList{"install", DemoService().url, dest, "100:1"} + Login());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Last(r.out), "summary partial 1 2") << qPrintable(r.out + r.err);
  EXPECT_TRUE(r.err.contains("Samples.zip")) << qPrintable(r.err);
  EXPECT_TRUE(r.err.contains("\"Routes/Harbour tour.rte\" failed")) << qPrintable(r.err);
  EXPECT_TRUE(QFile::exists(dest + "/Navigator/Samples/Samples.zip"));
  EXPECT_TRUE(QFile::exists(dest + "/Navigator/Samples/Tracks/Morning.trk"));
  EXPECT_TRUE(QDir(elsewhere).isEmpty());
}

// A reinstall from a backup whose copy of a file is damaged: the installed set, its files and
// its record stay as they were, and no staging folder is left behind. A link planted where a
// set goes is replaced, never written through.
TEST(RestoreChartSet, AFailedReinstallLosesNothingInstalled) {
  const QString backup = MakeTempFolder("reinstall-backup");
  ASSERT_EQ(MakeBackup(backup, {"1001:1", "1001:2"}).exitCode, 0);
  const QString dest = MakeTempFolder("reinstall");
  const ToolResult first = RunCvtool({"restore", backup, dest, "1001:1"});
  ASSERT_EQ(first.exitCode, 0) << qPrintable(first.out + first.err);
  const QByteArray good = ReadAll(dest + "/QMR2/NS/NL/NL_2.qmr2");
  const QString record = "chart " + dest + "/QMR2/NS/NL/NL_2.qmr2";
  ASSERT_TRUE(RunCvtool({"installed"}).out.contains(record));

  Damage(backup + "/QMR2/NS/NL/NL_2.qmr2");
  const QString elsewhere = MakeTempFolder("reinstall-elsewhere");
  ASSERT_TRUE(QFile::link(elsewhere, dest + "/QMR2/NS/BE"));
  const ToolResult again = RunCvtool({"restore", backup, dest, "1001:1", "1001:2"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(Last(again.out), "summary partial 1 2") << qPrintable(again.out + again.err);
  EXPECT_EQ(ReadAll(dest + "/QMR2/NS/NL/NL_2.qmr2"), good);
  EXPECT_FALSE(ReadAll(dest + "/QMR2/NS/NL/NL_3.qmr2").isEmpty());
  EXPECT_TRUE(RunCvtool({"installed"}).out.contains(record));
  EXPECT_TRUE(Hidden(dest + "/QMR2/NS").isEmpty()) << qPrintable(Hidden(dest + "/QMR2/NS").join(' '));
  // The linked folder was taken out of the way: the set is a real folder now.
  EXPECT_TRUE(QDir(elsewhere).isEmpty());
  EXPECT_FALSE(QFileInfo(dest + "/QMR2/NS/BE").isSymLink());
  EXPECT_TRUE(QFile::exists(dest + "/QMR2/NS/BE/BE.db"));
}

// A folder that cannot be made half way through a run (a link in its way, a file holding its
// name): the run ends with its summary, counting what was done, and the message names the
// folder and the reason.
TEST(RunFolders, AFolderErrorEndsTheRunWithItsSummary) {
  struct Case {
    const char* what;
    bool link;
    const char* says;
  };
  for (const Case& c : {Case{"link", true, "is not used: a folder on its way is a symbolic link"},
                        Case{"file", false, "Error creating installation folder"}}) {
    SCOPED_TRACE(c.what);
    const QString dest = MakeTempFolder("folder-error");
    const QString elsewhere = MakeTempFolder("folder-elsewhere");
    ASSERT_TRUE(QDir().mkpath(dest + "/QMR2"));
    if (c.link) {
      ASSERT_TRUE(QFile::link(elsewhere, dest + "/QMR2/BA"));
    } else {
      QFile blocker(dest + "/QMR2/BA");
      ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    const ToolResult r = RunCvtool(QStringList{"install", DemoService().url, dest, "1001:1", "1002:1"} + Login());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Last(r.out), "summary partial 1 2") << qPrintable(r.out + r.err);
    EXPECT_TRUE(r.err.contains(c.says)) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains(dest + "/QMR2/BA/DK/")) << qPrintable(r.err);
    EXPECT_TRUE(QFile::exists(dest + "/QMR2/NS/NL/NL_1.qmr2"));
    EXPECT_TRUE(QDir(elsewhere).isEmpty());
  }
}

// The program's setup cannot be copied out of the backup (a folder holds its name in the user's
// setups folder): the program fails with "Cannot run installer" and the reason.
TEST(RestoreSetup, ASetupThatCannotBeCopiedSaysWhy) {
  const QString backup = MakeTempFolder("setup-blocked");
  ASSERT_EQ(MakeBackup(backup, {"110:1"}).exitCode, 0);
  const QString blocker = TestHome() + "/.cache/Corvane/Deployer/Setups/QMRManagerSetup";
  QFile::remove(blocker);
  ASSERT_TRUE(QDir().mkpath(blocker + "/inside"));
  const ToolResult r = RunCvtool({"restore", backup, MakeTempFolder("setup-blocked-dest"), "110:1"});
  QDir(blocker).removeRecursively();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(Last(r.out), "summary failed 0 1") << qPrintable(r.out + r.err);
  EXPECT_TRUE(r.err.contains("Cannot run installer \"" + blocker + "\" (")) << qPrintable(r.err);
}

// A damaged add-on of a backup fails its program before the setup runs: nothing is installed
// half.
TEST(RestoreSetup, ADamagedAddOnStopsTheSetupBeforeItStarts) {
  const QString backup = MakeTempFolder("addon-damaged");
  ASSERT_EQ(MakeBackup(backup, {"100:1"}).exitCode, 0);
  Damage(backup + "/Setups/Addons100/UserGuide.txt");
  const QString dest = MakeTempFolder("addon-damaged-dest");
  const ToolResult r = RunCvtool({"restore", backup, dest, "100:1"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("UserGuide.txt\" of the backup is missing or damaged")) << qPrintable(r.err);
  EXPECT_FALSE(QFile::exists(dest + "/Navigator/Navigator")) << "the setup ran";
}

// A '"' in the destination reaches the setup as part of its folder, not as a quote.
TEST(RunSetup, ArgumentsGoAsAList) {
  const QString dest = MakeTempFolder("quote") + "/a\"b c";
  ASSERT_TRUE(QDir().mkpath(dest));
  const ToolResult r = RunCvtool(QStringList{"install", DemoService().url, dest, "110:1"} + Login());
  EXPECT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  EXPECT_TRUE(QFile::exists(dest + "/QMR Manager/QMRManager"));
}

// A setup that never ends: Abort asks it to stop, ends it after a grace period, counts its item
// as failed and goes to the summary.
TEST(RunSetup, AbortEndsASetupThatNeverEnds) {
  const QString backup = MakeTempFolder("setup-hangs");
  ASSERT_EQ(MakeBackup(backup, {"110:1"}).exitCode, 0);
  ReplaceInBackup(backup, "Setups/QMRManagerSetup", "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 1; done\n");
  EngineOnService engine{QString()};
  ASSERT_EQ(engine.check->ReadBackupIndex(backup + "/cvbackup.idx"), 0);
  engine.check->ClearProducts();
  for (int i = 0; i < engine.check->ItemCount(); ++i) engine.check->AddItemProduct(engine.check->Item(i));
  engine.check->FinishProducts();
  BoxRecorder boxes(mrNo);
  TNullRunProgress progress;
  TRunSettings settings;
  settings.setupType = InstallFromBackup;
  settings.destination = MakeTempFolder("setup-hangs-dest");
  settings.backupFolder = backup;
  TDeployRun run(*engine.check, nullptr, progress, settings);
  std::optional<TRunResult> result;
  run.SetOnFinished([&](const TRunResult& r) { result = r; });
  QElapsedTimer clock;
  clock.start();
  QTimer::singleShot(500, &run, [&] { run.RequestAbort(); });
  run.RunBackupInstallation();
  while (!result && clock.elapsed() < 30000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  ASSERT_TRUE(result.has_value());
  EXPECT_LT(clock.elapsed(), 15000);
  EXPECT_TRUE(result->aborted);
  EXPECT_EQ(result->outcome, TRunOutcome::Failed);
  EXPECT_EQ(boxes.boxes.last().caption, "Failed");
}

namespace {

// Asks for Abort as soon as the installer's copy shows its progress.
class AbortOnInstallerCopy final : public TRunProgress {
 public:
  void SetSingleHeader(const QString&) override {}
  void SetSingleText(const QString& text) override {
    if (run && text.startsWith("Copying Deployer")) {
      copying = true;
      run->RequestAbort();
    }
  }
  void SetSingleMax(int) override {}
  void SetSinglePosition(int) override {}
  void SetTotalText(const QString&) override {}
  void SetTotalMax(int) override {}
  void SetTotalPosition(int v) override { position = v; }
  int TotalPosition() const override { return position; }
  void FileNotice(TRunFileAction, const QString&, std::int64_t, const QString&) override {}
  TDeployRun* run = nullptr;
  bool copying = false;
  int position = 0;
};

}  // namespace

// Abort while a backup copies the installer: the copy ends (no part of the file under way is
// left), and the index is written for the items that are complete.
TEST(BackupAbort, AbortEndsTheInstallerCopy) {
  EngineOnService engine(DemoService().url);
  ASSERT_EQ(engine.SignIn(DemoCredentials()), 0);
  BoxRecorder boxes(mrNo);
  AbortOnInstallerCopy progress;
  const QString backup = MakeTempFolder("abort-installer");
  const QString installer = MakeTempFolder("abort-installer-src");
  QFile::copy(BinDir() + "/cvtool", installer + "/Deployer");
  QFile::copy(BinDir() + "/libCvLibNav5.so", installer + "/libCvLibNav5.so");
  ASSERT_GT(QFileInfo(installer + "/Deployer").size(), 2 << 20);
  TRunSettings settings;
  settings.setupType = CreateBackup;
  settings.destination = backup;
  settings.installerFolder = installer;
  TDeployRun run(*engine.check, nullptr, progress, settings);
  progress.run = &run;
  run.AttachEvents(engine.env->EventSource());
  const auto selection = MakeSelection(*engine.check, {{1002, 1}}, SelectionKinds::kFromRecords);
  std::optional<TRunResult> result;
  run.SetOnFinished([&](const TRunResult& r) { result = r; });
  ASSERT_TRUE(run.RequestRun(*selection));
  QElapsedTimer clock;
  clock.start();
  while (!result && clock.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(progress.copying);
  EXPECT_TRUE(result->aborted);
  EXPECT_FALSE(QFile::exists(backup + "/Deployer"));
  EXPECT_TRUE(Hidden(backup).isEmpty()) << qPrintable(Hidden(backup).join(' '));
  ASSERT_TRUE(run.IndexWritten());
  std::vector<cvlib::TItemData> items;
  ASSERT_EQ(cvlib::ReadBackupIndexFile(backup + "/cvbackup.idx", items), 0);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].productNumber, 1002);
}

namespace {

// Asks for Abort at the first file found current, and counts those told after it.
class AbortOnCurrent final : public TRunProgress {
 public:
  void SetSingleHeader(const QString&) override {}
  void SetSingleText(const QString& text) override {
    if (text.startsWith("Checking the files...")) checking = true;
  }
  void SetSingleMax(int) override {}
  void SetSinglePosition(int) override {}
  void SetTotalText(const QString&) override {}
  void SetTotalMax(int) override {}
  void SetTotalPosition(int v) override { position = v; }
  int TotalPosition() const override { return position; }
  void FileNotice(TRunFileAction action, const QString&, std::int64_t, const QString&) override {
    if (action != TRunFileAction::Current) return;
    current += 1;
    if (run) run->RequestAbort();
  }
  TDeployRun* run = nullptr;
  bool checking = false;
  int current = 0, position = 0;
};

}  // namespace

// Updating a backup whose files all need their checksums (their times changed): Abort ends
// the scan at the file it is at, and the scan tells how far it is.
TEST(BackupScan, AbortEndsTheScanOfCurrentFiles) {
  const QString backup = MakeTempFolder("scan-abort");
  ASSERT_EQ(MakeBackup(backup, {"1001:1"}).exitCode, 0);
  QDirIterator it(backup + "/QMR2", QDir::Files, QDirIterator::Subdirectories);
  int files = 0;
  while (it.hasNext()) {
    QFile f(it.next());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime);
    files += 1;
  }
  ASSERT_GT(files, 2);
  EngineOnService engine(DemoService().url);
  ASSERT_EQ(engine.SignIn(DemoCredentials()), 0);
  BoxRecorder boxes(mrNo);
  AbortOnCurrent progress;
  TRunSettings settings;
  settings.setupType = CreateBackup;
  settings.destination = backup;
  settings.installerFolder = backup;  // no installer copy
  TDeployRun run(*engine.check, nullptr, progress, settings);
  progress.run = &run;
  run.AttachEvents(engine.env->EventSource());
  const auto selection = MakeSelection(*engine.check, {{1001, 1}}, SelectionKinds::kFromRecords);
  std::optional<TRunResult> result;
  run.SetOnFinished([&](const TRunResult& r) { result = r; });
  ASSERT_TRUE(run.RequestRun(*selection));
  QElapsedTimer clock;
  clock.start();
  while (!result && clock.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->aborted);
  EXPECT_EQ(progress.current, 1);
  EXPECT_TRUE(progress.checking);
}

// A chart set's add-ons from a backup go where its record lists them: beside the charts.
TEST(RestoreChartSet, AddOnsGoWhereTheRecordListsThem) {
  const QString backup = MakeTempFolder("chart-addon");
  ASSERT_EQ(MakeBackup(backup, {"1001:1"}).exitCode, 0);
  const QByteArray legend = "Legend of the Dutch charts\n";
  ASSERT_TRUE(QDir().mkpath(backup + "/QMR2/NS/NL/Addons1001"));
  {
    QFile f(backup + "/QMR2/NS/NL/Addons1001/Legend.txt");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(legend);
  }
  std::vector<cvlib::TItemData> items;
  ASSERT_EQ(cvlib::ReadBackupIndexFile(backup + "/cvbackup.idx", items), 0);
  ASSERT_EQ(items.size(), 1u);
  cvlib::TItemFile addOn = items[0].files.back();
  addOn.name = "Legend.txt";
  addOn.addOn = true;
  addOn.size = legend.size();
  addOn.sha256 = QString::fromLatin1(QCryptographicHash::hash(legend, QCryptographicHash::Sha256).toHex());
  addOn.xxh3.clear();
  items[0].files.push_back(addOn);
  cvtest::SignItemData(items[0]);
  ASSERT_EQ(cvlib::WriteBackupIndexFile(backup + "/cvbackup.idx", items), 0);

  const QString dest = MakeTempFolder("chart-addon-dest");
  const ToolResult r = RunCvtool({"restore", backup, dest, "1001:1"});
  ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  EXPECT_EQ(ReadAll(dest + "/QMR2/NS/NL/Legend.txt"), legend);
  const QString listed = RunCvtool({"installed"}).out;
  EXPECT_TRUE(listed.contains(dest + "/QMR2/NS/NL/Legend.txt")) << qPrintable(listed);
}

// Too many failed sign-ins: the service answers 429 with the wait, and cvtool says it in
// words. A service of its own: the throttle counts every failure from this computer.
TEST(SignInThrottle, CvtoolSaysHowLongToWait) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start({"--demo"}, true));
  const QString dest = MakeTempFolder("throttled");
  ToolResult r;
  for (int i = 0; i < 6; ++i)
    r = RunCvtool({"install", service.url, dest, "1001:1", "--email", service.email, "--password", "wrong"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("too many failed sign-ins: the service takes the next one in 15 minutes (10)"))
      << qPrintable(r.err);
  // The right password waits too.
  r = RunCvtool({"install", service.url, dest, "1001:1", "--email", service.email, "--password", service.password});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("(10)")) << qPrintable(r.err);
}
