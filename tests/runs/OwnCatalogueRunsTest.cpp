// Runs through cvtool against a service with a catalogue of the test's own.
// A backup update that ends early (a damaged or too large file half way through an item, Abort,
// the process killed, an installer copy that does not fit) leaves every item that was good as
// it was: cvtool verify finds nothing damaged, and the earlier chart set restores.
// A chart set's add-on installed from the internet is where its record lists it.
#include "FileSizeLimit.h"
#include "IntegrationFixture.h"
#include "TestEnv.h"
#include "ToolRun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include <sys/statvfs.h>

using namespace cvtest;

namespace {

constexpr qint64 kOldTime = 1700000000;
constexpr qint64 kNewTime = 1700100000;

QByteArray Bytes(char seed, qint64 size) {
  QByteArray data(size, '\0');
  for (qint64 i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i * 7 + i / 301);
  return data;
}

QString Sha(const QByteArray& data) {
  return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Write(const QString& path, const QByteArray& data) {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QJsonObject Account(int product, int other) {
  unsigned char salt[16];
  unsigned char hash[32];
  RAND_bytes(salt, sizeof salt);
  PKCS5_PBKDF2_HMAC("secret", 6, salt, sizeof salt, 1000, EVP_sha256(), sizeof hash, hash);
  return {{"email", "update@example.com"},
          {"salt", QString::fromLatin1(QByteArray(reinterpret_cast<char*>(salt), sizeof salt).toHex())},
          {"hash", QString::fromLatin1(QByteArray(reinterpret_cast<char*>(hash), sizeof hash).toHex())},
          {"rounds", 1000},
          {"products", QJsonArray{QJsonObject{{"product", product}}, QJsonObject{{"product", other}}}}};
}

// Serves one file: its first part, then nothing until released.
class StallingServer {
 public:
  explicit StallingServer(QByteArray data) : fData(std::move(data)) {
    fServer.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(static_cast<size_t>(fData.size()), "application/octet-stream",
                               [this](size_t offset, size_t length, httplib::DataSink& sink) {
                                 if (offset >= kStallAt) {
                                   fStalled = true;
                                   std::unique_lock lock(fMutex);
                                   fReleased.wait_for(lock, std::chrono::seconds(30), [this] { return fRelease; });
                                   return false;
                                 }
                                 sink.write(fData.constData() + offset, std::min(length, kStallAt - offset));
                                 return true;
                               });
    });
    fPort = fServer.bind_to_any_port("127.0.0.1");
    fThread = std::thread([this] { fServer.listen_after_bind(); });
    while (!fServer.is_running()) std::this_thread::yield();
  }
  ~StallingServer() {
    {
      std::lock_guard lock(fMutex);
      fRelease = true;
    }
    fReleased.notify_all();
    fServer.stop();
    fThread.join();
  }
  bool Stalled() const { return fStalled; }
  QString URL() const { return QStringLiteral("http://127.0.0.1:%1/stall").arg(fPort); }
  static constexpr size_t kStallAt = 2 * 1024 * 1024;

 private:
  QByteArray fData;
  httplib::Server fServer;
  std::thread fThread;
  int fPort = 0;
  std::mutex fMutex;
  std::condition_variable fReleased;
  bool fRelease = false;
  std::atomic<bool> fStalled{false};
};

// Two chart sets: UPD (three files) and OTH (one), each a file list the service serves and signs.
struct Catalogue {
  struct File {
    QString name;
    QByteArray bytes;   // what the service sends
    QString listedSha;  // empty: the bytes' own
    qint64 time = kOldTime;
    QString url;        // served elsewhere
    bool addOn = false;
  };
  QString content = MakeTempFolder("update-catalogue");
  ServiceProcess service;

  bool Start(const std::vector<File>& upd, const std::vector<File>& oth) {
    QJsonArray products;
    for (const auto& [number, code, files] : {std::tuple{1900, "UPD", &upd}, std::tuple{1901, "OTH", &oth}}) {
      QJsonArray list;
      for (const File& f : *files) {
        QJsonObject o{{"name", f.name}, {"folder", ""}, {"size", qint64(f.bytes.size())},
                      {"sha256", f.listedSha.isEmpty() ? Sha(f.bytes) : f.listedSha}, {"time", f.time},
                      {"addon", f.addOn}};
        if (f.url.isEmpty()) {
          const QString path = QStringLiteral("%1/%2-%3").arg(code, Sha(f.bytes).left(12), f.name);
          if (!Write(content + "/files/" + path, f.bytes)) return false;
          o["path"] = path;
        } else {
          o["url"] = f.url;
        }
        list.append(o);
      }
      products.append(QJsonObject{{"number", number}, {"kind", 1}, {"moduleMask", 1}, {"displayName", code},
                                  {"productCode", code}, {"moduleCode", "M"}, {"revision", 1}, {"files", list}});
    }
    return Write(content + "/catalogue.json", QJsonDocument(QJsonObject{{"products", products}}).toJson()) &&
           Write(content + "/accounts.json",
                 QJsonDocument(QJsonObject{{"accounts", QJsonArray{Account(1900, 1901)}}}).toJson()) &&
           service.Start({"--accounts", content}, false);
  }
};

const std::vector<Catalogue::File> kOldUpd = {
    {"a.qmr2", Bytes('a', 70000)}, {"b.qmr2", Bytes('b', 80000)}, {"c.qmr2", Bytes('c', 90000)}};
const std::vector<Catalogue::File> kOldOth = {{"o.qmr2", Bytes('o', 60000)}};
// The new revision of both: UPD's first two files change, the third stays; OTH's file changes.
Catalogue::File NewA() { return {"a.qmr2", Bytes('A', 71000), {}, kNewTime}; }
Catalogue::File NewO() { return {"o.qmr2", Bytes('O', 61000), {}, kNewTime}; }

QString InstallerFolder() {
  static QString folder;
  if (folder.isEmpty()) {
    folder = MakeTempFolder("update-installer");
    QFile::copy(BinDir() + "/cvtool", folder + "/Deployer");
    QFile::copy(BinDir() + "/libCvLibNav5.so", folder + "/libCvLibNav5.so");
  }
  return folder;
}

QStringList BackupArgs(const Catalogue& catalogue, const QString& folder) {
  // OTH first: it is complete before UPD fails.
  return {"backup", catalogue.service.url, folder, "1901:1", "1900:1", "--email", "update@example.com",
          "--password", "secret", "--installer", InstallerFolder()};
}

// A good backup of the first revision.
QString MakeOldBackup() {
  Catalogue old;
  if (!old.Start(kOldUpd, kOldOth)) {
    ADD_FAILURE() << qPrintable(old.service.Log());
    return {};
  }
  const QString folder = MakeTempFolder("update-backup");
  const ToolResult r = RunCvtool(BackupArgs(old, folder));
  EXPECT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
  return folder;
}

QStringList StagedLeftovers(const QString& folder) {
  QStringList found;
  for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
    if (const QString f = it.next(); f.endsWith(".cvpart.cvpart")) found << f;
  return found;
}

// verify reports nothing missing or damaged, and UPD of the first revision restores whole.
void ExpectOldUpdGood(const QString& backup) {
  const ToolResult verify = RunCvtool({"verify", backup});
  EXPECT_EQ(verify.exitCode, 0) << qPrintable(verify.out + verify.err);
  EXPECT_TRUE(verify.out.contains("verified 4 0 0")) << qPrintable(verify.out);
  for (const auto& f : kOldUpd) EXPECT_EQ(Read(backup + "/QMR2/UPD/M/" + f.name), f.bytes) << qPrintable(f.name);
  const QString dest = MakeTempFolder("update-restore");
  const ToolResult restore = RunCvtool({"restore", backup, dest, "1900:1"});
  EXPECT_EQ(restore.exitCode, 0) << qPrintable(restore.out + restore.err);
  for (const auto& f : kOldUpd) EXPECT_EQ(Read(dest + "/QMR2/UPD/M/" + f.name), f.bytes) << qPrintable(f.name);
}

}  // namespace

// The update fails in UPD's second file after its first has arrived: UPD keeps its old files
// and entry, OTH (complete) is updated, and nothing staged stays behind.
TEST(BackupUpdateFaults, AnItemThatFailsHalfWayKeepsItsOldFiles) {
  struct Case {
    const char* what;
    Catalogue::File b;
    rlim_t limit;  // a medium that has no room for a file this large (0: room enough)
  };
  const Case cases[] = {
      {"served damaged", {"b.qmr2", Bytes('B', 81000), Sha(Bytes('X', 81000)), kNewTime}, 0},
      {"too large for the medium", {"b.qmr2", Bytes('B', 3 * 1024 * 1024), {}, kNewTime}, 2 * 1024 * 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QString backup = MakeOldBackup();
    ASSERT_FALSE(backup.isEmpty());
    Catalogue updated;
    ASSERT_TRUE(updated.Start({NewA(), c.b, kOldUpd[2]}, {NewO()})) << qPrintable(updated.service.Log());
    ToolResult r;
    {
      std::optional<TFileSizeLimit> full;
      if (c.limit) full.emplace(c.limit);
      r = RunCvtool(BackupArgs(updated, backup));
    }
    EXPECT_EQ(r.exitCode, 1) << qPrintable(r.out + r.err);
    EXPECT_TRUE(r.out.trimmed().endsWith("summary partial 1 2")) << qPrintable(r.out + r.err);
    EXPECT_EQ(Read(backup + "/QMR2/OTH/M/o.qmr2"), NewO().bytes);
    EXPECT_TRUE(StagedLeftovers(backup).isEmpty()) << qPrintable(StagedLeftovers(backup).join(' '));
    ExpectOldUpdGood(backup);
  }
}

// Abort (Ctrl-C) or a kill while UPD's second file comes in. Abort writes the index of what is
// there (OTH, complete, updated); a killed run writes none, so OTH keeps its old files too.
TEST(BackupUpdateFaults, AbortOrKillHalfWayKeepsTheOldFiles) {
  const QByteArray big = Bytes('S', 6 * 1024 * 1024);
  for (const int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal);
    const QString backup = MakeOldBackup();
    ASSERT_FALSE(backup.isEmpty());
    StallingServer stalling(big);
    Catalogue updated;
    ASSERT_TRUE(updated.Start({NewA(), {"b.qmr2", big, {}, kNewTime, stalling.URL()}, kOldUpd[2]}, {NewO()}))
        << qPrintable(updated.service.Log());
    QProcess p;
    p.start(BinDir() + "/cvtool", BackupArgs(updated, backup));
    // Until UPD's second file is coming in: its first has arrived beside the old one.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000 && !stalling.Stalled()) p.waitForFinished(50);
    ASSERT_EQ(p.state(), QProcess::Running) << p.readAllStandardError().constData();
    EXPECT_EQ(StagedLeftovers(backup).size(), 2) << "a.qmr2 and o.qmr2 wait beside the old ones";
    EXPECT_EQ(Read(backup + "/QMR2/UPD/M/a.qmr2"), kOldUpd[0].bytes);
    ::kill(static_cast<pid_t>(p.processId()), signal);
    ASSERT_TRUE(p.waitForFinished(30000));
    if (signal == SIGINT) {
      EXPECT_TRUE(QString::fromUtf8(p.readAllStandardOutput()).trimmed().endsWith("summary partial 1 2"));
      EXPECT_EQ(Read(backup + "/QMR2/OTH/M/o.qmr2"), NewO().bytes);
      EXPECT_TRUE(StagedLeftovers(backup).isEmpty()) << qPrintable(StagedLeftovers(backup).join(' '));
    } else {
      EXPECT_EQ(Read(backup + "/QMR2/OTH/M/o.qmr2"), kOldOth[0].bytes);
    }
    ExpectOldUpdGood(backup);
  }
}

// The installer copy does not fit on the medium: the items fetched in this run are in place and
// the index says so (the run itself has failed: a backup without its installer is not stored).
TEST(BackupUpdateFaults, AFailedInstallerCopyStillWritesTheIndex) {
  const QString backup = MakeOldBackup();
  ASSERT_FALSE(backup.isEmpty());
  const QString qtCore = backup + "/Deployer.libs/libQt6Core.so.6";
  ASSERT_TRUE(QFile::remove(qtCore)) << "the copy carries Qt";
  Catalogue updated;
  ASSERT_TRUE(updated.Start({NewA(), kOldUpd[1], kOldUpd[2]}, {NewO()})) << qPrintable(updated.service.Log());
  ToolResult r;
  {
    TFileSizeLimit full(1024 * 1024);
    r = RunCvtool(BackupArgs(updated, backup));
  }
  EXPECT_EQ(r.exitCode, 1) << qPrintable(r.out + r.err);
  EXPECT_TRUE(r.out.trimmed().endsWith("summary failed 0 2")) << qPrintable(r.out + r.err);
  EXPECT_FALSE(QFile::exists(qtCore));
  const ToolResult verify = RunCvtool({"verify", backup});
  EXPECT_EQ(verify.exitCode, 0) << qPrintable(verify.out + verify.err);
  EXPECT_TRUE(verify.out.contains("verified 4 0 0")) << qPrintable(verify.out);
  EXPECT_EQ(Read(backup + "/QMR2/UPD/M/a.qmr2"), NewA().bytes);
  EXPECT_EQ(Read(backup + "/QMR2/OTH/M/o.qmr2"), NewO().bytes);
  EXPECT_TRUE(StagedLeftovers(backup).isEmpty()) << qPrintable(StagedLeftovers(backup).join(' '));
}

// Installed from the internet, a chart set's add-on arrives in Addons<n>/ and is recorded beside
// the charts: it must be there too, and an install again keeps it current.
TEST(InternetInstall, AChartSetAddOnIsWhereItsRecordListsIt) {
  const QByteArray legend = "Legend of the chart set\n";
  Catalogue catalogue;
  ASSERT_TRUE(catalogue.Start({kOldUpd[0], {"Legend.txt", legend, {}, kOldTime, {}, true}}, kOldOth))
      << qPrintable(catalogue.service.Log());
  const QString dest = MakeTempFolder("addon-install");
  const QStringList args{"install", catalogue.service.url, dest, "1900:1", "--email", "update@example.com",
                         "--password", "secret"};
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    const ToolResult r = RunCvtool(args);
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.out + r.err);
    EXPECT_EQ(r.out.contains("fetch\t"), run == 0) << qPrintable(r.out);
    EXPECT_EQ(Read(dest + "/QMR2/UPD/M/Legend.txt"), legend);
    EXPECT_EQ(Read(dest + "/QMR2/UPD/M/Addons1900/Legend.txt"), legend);
    const QString listed = RunCvtool({"installed"}).out;
    EXPECT_TRUE(listed.contains(dest + "/QMR2/UPD/M/Legend.txt")) << qPrintable(listed);
  }
}

namespace {

struct Command {
  int exitCode = -1;
  QString output;
};

Command Execute(const QString& program, const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(program, args);
  Command c;
  if (!p.waitForStarted(10000)) {
    c.output = program + ": " + p.errorString();
    return c;
  }
  if (!p.waitForFinished(60000)) p.kill();
  c.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  c.output = QString::fromUtf8(p.readAll()).trimmed();
  return c;
}

// A vfat image of the test's own in a temporary folder, mounted by the kernel through a loop
// device; always unmounted and detached. (fusefat is no stand-in: its rename sets a file's time
// to now.)
class VfatStick {
 public:
  // False, with why, where mounting it is not allowed here.
  bool Mount(QString& why) {
    const QString folder = MakeTempFolder("vfat");
    const QString image = folder + "/stick.img";
    fMount = folder + "/stick";
    QDir().mkpath(fMount);
    QFile img(image);
    if (!img.open(QIODevice::WriteOnly) || !img.resize(256 << 20)) {
      why = "cannot make the image";
      return false;
    }
    img.close();
    const Command mkfs = Execute("mkfs.vfat", {image});
    if (mkfs.exitCode != 0) {
      why = "mkfs.vfat: " + mkfs.output;
      return false;
    }
    const Command loop = Execute("losetup", {"--find", "--show", image});
    if (loop.exitCode != 0) {
      why = "losetup: " + loop.output;
      return false;
    }
    fLoop = loop.output;
    const Command mount = Execute("mount", {"-t", "vfat", fLoop, fMount});
    if (mount.exitCode != 0) {
      why = "mount: " + mount.output;
      return false;
    }
    fMounted = true;
    return true;
  }
  ~VfatStick() {
    if (fMounted) Execute("umount", {fMount});
    if (!fLoop.isEmpty()) Execute("losetup", {"-d", fLoop});
  }
  const QString& Folder() const { return fMount; }

 private:
  QString fMount, fLoop;
  bool fMounted = false;
};

int FileGets(ServiceProcess& service) {
  service.WaitForLog("no such line", 400);
  return static_cast<int>(service.Log().count("GET /files/"));
}

}  // namespace

// A vfat stick keeps file times in 2-second steps: an unchanged backup on it, whose listed times
// are odd seconds, is current at the next update: nothing is fetched, and the installer copy is
// not copied again.
TEST(VfatStick, AnUnchangedBackupIsNotFetchedOrCopiedAgain) {
  VfatStick stick;
  QString why;
  if (!stick.Mount(why)) GTEST_SKIP() << "no vfat image can be mounted here: " << qPrintable(why);
  std::vector<Catalogue::File> upd = kOldUpd;
  upd[0].time = kOldTime + 1;
  upd[1].time = kOldTime + 3;
  std::vector<Catalogue::File> oth = kOldOth;
  oth[0].time = kOldTime + 5;
  Catalogue catalogue;
  ASSERT_TRUE(catalogue.Start(upd, oth)) << qPrintable(catalogue.service.Log());
  const QString backup = stick.Folder();
  const ToolResult made = RunCvtool(BackupArgs(catalogue, backup));
  ASSERT_EQ(made.exitCode, 0) << qPrintable(made.out + made.err);
  EXPECT_EQ(QFileInfo(backup + "/QMR2/UPD/M/a.qmr2").lastModified().toSecsSinceEpoch(), kOldTime) << "2-second steps";

  // A copied file takes its source's time: one that keeps this mark was not copied again.
  const QDateTime mark = QDateTime::fromSecsSinceEpoch(1600000000);
  QStringList installer;
  for (QDirIterator it(backup + "/Deployer.libs", QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
    installer << it.next();
  installer << backup + "/qt.conf";
  ASSERT_GT(installer.size(), 10);
  for (const QString& file : installer) {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite) && f.setFileTime(mark, QFileDevice::FileModificationTime)) << qPrintable(file);
  }

  const int gets = FileGets(catalogue.service);
  const ToolResult again = RunCvtool(BackupArgs(catalogue, backup));
  ASSERT_EQ(again.exitCode, 0) << qPrintable(again.out + again.err);
  EXPECT_FALSE(again.out.contains("fetch\t")) << qPrintable(again.out);
  EXPECT_EQ(FileGets(catalogue.service), gets);
  for (const QString& file : installer) EXPECT_EQ(QFileInfo(file).lastModified(), mark) << qPrintable(file);
  EXPECT_TRUE(StagedLeftovers(backup).isEmpty());
  EXPECT_EQ(RunCvtool({"verify", backup}).exitCode, 0);
}

namespace {

// A tmpfs of the test's own: a medium whose room the test sets; always unmounted.
class SmallMedium {
 public:
  bool Mount(QString& why) {
    fFolder = MakeTempFolder("small-medium") + "/medium";
    QDir().mkpath(fFolder);
    const Command mount = Execute("mount", {"-t", "tmpfs", "-o", "size=256m", "tmpfs", fFolder});
    fMounted = mount.exitCode == 0;
    why = mount.output;
    return fMounted;
  }
  // Leaves `room` bytes free beyond what is there now.
  bool Shrink(qint64 room) {
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(fFolder).constData(), &st) != 0) return false;
    const qint64 used = qint64(st.f_blocks - st.f_bfree) * qint64(st.f_frsize);
    return Execute("mount", {"-o", QStringLiteral("remount,size=%1").arg(used + room), fFolder}).exitCode == 0;
  }
  ~SmallMedium() {
    if (fMounted) Execute("umount", {fFolder});
  }
  const QString& Folder() const { return fFolder; }

 private:
  QString fFolder;
  bool fMounted = false;
};

}  // namespace

// A medium with little room left. With room for one item's new files beside the old ones, the
// items switched so far make room for the next (the update succeeds); with less, the update
// fails and every old file stays good.
TEST(BackupUpdateFaults, AFullMediumKeepsTheOldFiles) {
  const std::vector<Catalogue::File> oldUpd = {{"a.qmr2", Bytes('a', 2'000'000)}, kOldUpd[1], kOldUpd[2]};
  const std::vector<Catalogue::File> oldOth = {{"o.qmr2", Bytes('o', 2'000'000)}};
  const Catalogue::File newA{"a.qmr2", Bytes('A', 2'010'000), {}, kNewTime};
  const Catalogue::File newO{"o.qmr2", Bytes('O', 2'010'000), {}, kNewTime};
  struct Case {
    qint64 room;
    const char* summary;
  };
  for (const Case& c : {Case{3'000'000, "summary success 2 2"}, Case{500'000, "summary failed 0 2"}}) {
    SCOPED_TRACE(c.room);
    SmallMedium medium;
    QString why;
    if (!medium.Mount(why)) GTEST_SKIP() << "no tmpfs can be mounted here: " << qPrintable(why);
    const QString backup = medium.Folder();
    {
      Catalogue old;
      ASSERT_TRUE(old.Start(oldUpd, oldOth)) << qPrintable(old.service.Log());
      ASSERT_EQ(RunCvtool(BackupArgs(old, backup)).exitCode, 0);
    }
    ASSERT_TRUE(medium.Shrink(c.room));
    Catalogue updated;
    ASSERT_TRUE(updated.Start({newA, oldUpd[1], oldUpd[2]}, {newO})) << qPrintable(updated.service.Log());
    const ToolResult r = RunCvtool(BackupArgs(updated, backup));
    EXPECT_TRUE(r.out.trimmed().endsWith(c.summary)) << qPrintable(r.out + r.err);
    const ToolResult verify = RunCvtool({"verify", backup});
    EXPECT_EQ(verify.exitCode, 0) << qPrintable(verify.out + verify.err);
    const bool updatedAll = QString(c.summary).contains("success");
    EXPECT_EQ(Read(backup + "/QMR2/UPD/M/a.qmr2"), updatedAll ? newA.bytes : oldUpd[0].bytes);
    EXPECT_EQ(Read(backup + "/QMR2/OTH/M/o.qmr2"), updatedAll ? newO.bytes : oldOth[0].bytes);
    EXPECT_TRUE(StagedLeftovers(backup).isEmpty()) << qPrintable(StagedLeftovers(backup).join(' '));
  }
}
