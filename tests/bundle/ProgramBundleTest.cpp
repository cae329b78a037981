// The backup's copy of the installer: what the ELF reader makes of good and damaged files,
// which files a copy takes, and the copy started with a cleared library search path (and, where
// a private mount namespace is allowed, with the system's copies of everything it carries
// hidden): every library it loads lies in the copy or belongs to the base system.
#include "CvLibRegistry.h"
#include "CvProgramBundle.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace cvruns;

namespace {

QString Bin() { return cvtest::BinDir(); }

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

QString Target(const TProgramBundle& b, const QString& target) {
  for (const TBundleFile& f : b.files)
    if (f.target == target) return f.source;
  return {};
}

// One bundle for the whole program: planning reads a few dozen libraries.
const TProgramBundle& Planned() {
  static TProgramBundle bundle;
  static bool done = false;
  if (!done) {
    QString error;
    EXPECT_EQ(PlanProgramBundle(Bin(), bundle, error), 0) << error.toStdString();
    done = true;
  }
  return bundle;
}

QString Copied() {
  static QString folder;
  if (folder.isEmpty()) {
    folder = cvtest::MakeTempFolder(QStringLiteral("copy"));
    QString failed;
    EXPECT_EQ(CopyProgramBundle(Planned(), folder, failed), 0) << failed.toStdString();
  }
  return folder;
}

}  // namespace

TEST(ElfDynamic, ReadsTheProgramAndItsLibrary) {
  TElfDynamic elf;
  QString error;
  ASSERT_TRUE(ReadElfDynamic(Bin() + QStringLiteral("/Deployer"), elf, error)) << error.toStdString();
  EXPECT_EQ(elf.elfClass, QT_POINTER_SIZE == 8 ? 2 : 1);
  EXPECT_TRUE(elf.needed.contains(QStringLiteral("libCvLibNav5.so")));
  EXPECT_TRUE(elf.needed.contains(QStringLiteral("libQt6Widgets.so.6")));
  // The copy's search path, as DT_RPATH so that it serves indirect needs and plug-ins too.
  EXPECT_TRUE(elf.rpath.contains(QStringLiteral("$ORIGIN/Deployer.libs"))) << elf.rpath.join(u':').toStdString();
  EXPECT_TRUE(elf.runpath.isEmpty());
  // An empty entry would have the loader look in the current folder (a backup drive's root).
  EXPECT_FALSE(elf.rpath.contains(QString())) << elf.rpath.join(u':').toStdString();

  ASSERT_TRUE(ReadElfDynamic(Bin() + QStringLiteral("/libCvLibNav5.so"), elf, error));
  EXPECT_EQ(elf.soname, QStringLiteral("libCvLibNav5.so"));
  EXPECT_TRUE(elf.rpath.contains(QStringLiteral("$ORIGIN/Deployer.libs")));
  EXPECT_FALSE(elf.rpath.contains(QString()));
  EXPECT_TRUE(elf.runpath.isEmpty());
}

TEST(ElfDynamic, DamagedFilesGiveAReasonNotACrash) {
  const QByteArray real = ReadAll(Bin() + QStringLiteral("/libCvLibNav5.so"));
  ASSERT_GT(real.size(), 4096);
  auto patched = [&](int offset, const QByteArray& bytes) {
    QByteArray b = real;
    b.replace(offset, bytes.size(), bytes);
    return b;
  };
  const QByteArray huge(8, '\xff');
  struct Case {
    const char* name;
    QByteArray data;
  };
  const Case cases[] = {
      {"empty", QByteArray()},
      {"text", QByteArray("#!/bin/sh\necho hello\n")},
      {"header only", real.left(40)},
      {"cut after the program headers", real.left(1024)},
      {"program headers far away", patched(32, huge)},  // e_phoff
      {"big-endian mark", patched(5, QByteArray(1, '\x02'))},
      {"unknown class", patched(4, QByteArray(1, '\x07'))},
  };
  const QString folder = cvtest::MakeTempFolder(QStringLiteral("elf"));
  for (const Case& c : cases) {
    const QString path = folder + u'/' + QString::fromLatin1(c.name);
    Write(path, c.data);
    TElfDynamic elf;
    QString error;
    EXPECT_FALSE(ReadElfDynamic(path, elf, error)) << c.name;
    EXPECT_FALSE(error.isEmpty()) << c.name;
  }
  TElfDynamic elf;
  QString error;
  EXPECT_FALSE(ReadElfDynamic(folder + QStringLiteral("/none"), elf, error));
  // A FIFO under a library's name is refused at once, never waited on.
  ASSERT_EQ(::mkfifo(QFile::encodeName(folder + QStringLiteral("/fifo.so")).constData(), 0600), 0);
  EXPECT_FALSE(ReadElfDynamic(folder + QStringLiteral("/fifo.so"), elf, error));
}

TEST(ProgramBundle, SystemLibrariesStayOut) {
  for (const char* name : {"libc.so.6", "ld-linux-x86-64.so.2", "libstdc++.so.6", "libgcc_s.so.1", "libz.so.1",
                           "libGL.so.1", "libEGL.so.1", "libX11.so.6", "libxcb.so.1", "libfontconfig.so.1",
                           "libglib-2.0.so.0", "libdbus-1.so.3", "libwayland-client.so.0", "libicuuc.so.72",
                           "libicudata.so.72"})
    EXPECT_TRUE(IsSystemLibrary(QString::fromLatin1(name))) << name;
  for (const char* name : {"libQt6Core.so.6", "libicuio.so.72", "libzip.so.4", "libxcb-icccm.so.4",
                           "libxkbcommon-x11.so.0", "libcrypto.so.3", "libsqlite3.so.0", "libdouble-conversion.so.3",
                           "libpcre2-16.so.0", "libCvLibNav5.so", "libc.so.6.evil", "xlibc.so.6"})
    EXPECT_FALSE(IsSystemLibrary(QString::fromLatin1(name))) << name;
}

TEST(ProgramBundle, TakesQtItsNeedsAndThePlatformPlugins) {
  const TProgramBundle& b = Planned();
  ASSERT_GE(b.files.size(), 2);
  EXPECT_EQ(b.files[0].target, QStringLiteral("Deployer"));
  EXPECT_EQ(b.files[1].target, QStringLiteral("libCvLibNav5.so"));
  for (const char* target : {"Deployer.libs/libQt6Core.so.6", "Deployer.libs/libQt6Widgets.so.6",
                             "Deployer.libs/libsqlite3.so.0", "Deployer.libs/plugins/tls/libqopensslbackend.so",
                             "Deployer.libs/plugins/platforms/libqxcb.so", "Deployer.libs/libQt6XcbQpa.so.6",
                             "Deployer.libs/libxcb-icccm.so.4", "Deployer.libs/plugins/platforms/libqoffscreen.so",
                             // loaded on first use, named by no DT_NEEDED of the program or library
                             "Deployer.libs/libzip.so.4", "Deployer.libs/libcrypto.so.3",
                             "Deployer.libs/libQt6Network.so.6"})
    EXPECT_FALSE(Target(b, QString::fromLatin1(target)).isEmpty()) << target;
  const QString plugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
  if (QFileInfo::exists(plugins + QStringLiteral("/platforms/libqwayland-generic.so"))) {
    EXPECT_FALSE(Target(b, QStringLiteral("Deployer.libs/plugins/platforms/libqwayland-generic.so")).isEmpty());
    EXPECT_FALSE(Target(b, QStringLiteral("Deployer.libs/libQt6WaylandClient.so.6")).isEmpty());
  }
  // Only what the program uses on a desktop: no image formats (it shows PNG only), no icon
  // engines, no GL integration, no compositor-side Wayland integrations.
  for (const TBundleFile& f : b.files)
    for (const char* unused : {"/imageformats/", "/iconengines/", "/xcbglintegrations/", "-server.so", "libQt6Svg"})
      EXPECT_FALSE(f.target.contains(QLatin1String(unused))) << f.target.toStdString();
  QStringList targets;
  for (const TBundleFile& f : b.files) {
    EXPECT_FALSE(IsSystemLibrary(QFileInfo(f.target).fileName())) << f.target.toStdString();
    EXPECT_FALSE(targets.contains(f.target)) << f.target.toStdString();
    targets.append(f.target);
  }
  EXPECT_TRUE(b.expected.contains(QStringLiteral("libc.so.6")));
  EXPECT_TRUE(b.expected.contains(QStringLiteral("libX11-xcb.so.1")) || b.expected.contains(QStringLiteral("libxcb.so.1")));
}

TEST(ProgramBundle, MissingPiecesAreNamed) {
  const QString folder = cvtest::MakeTempFolder(QStringLiteral("half"));
  TProgramBundle b;
  QString error;
  EXPECT_EQ(PlanProgramBundle(folder, b, error), cvlib::ceFileNotFound);
  EXPECT_TRUE(error.endsWith(QStringLiteral("Deployer")));
  ASSERT_TRUE(QFile::copy(Bin() + QStringLiteral("/Deployer"), folder + QStringLiteral("/Deployer")));
  EXPECT_EQ(PlanProgramBundle(folder, b, error), cvlib::ceFileNotFound);
  EXPECT_TRUE(error.endsWith(QStringLiteral("libCvLibNav5.so")));
  // A support library that is no ELF file.
  Write(folder + QStringLiteral("/libCvLibNav5.so"), "not a library");
  EXPECT_EQ(PlanProgramBundle(folder, b, error), cvlib::ceFileRead);
}

TEST(ProgramBundle, CopyRefusesALinkedLibraryFolder) {
  const QString folder = cvtest::MakeTempFolder(QStringLiteral("linked"));
  const QString elsewhere = cvtest::MakeTempFolder(QStringLiteral("elsewhere"));
  ASSERT_TRUE(QFile::link(elsewhere, folder + QStringLiteral("/Deployer.libs")));
  QString failed;
  EXPECT_EQ(CopyProgramBundle(Planned(), folder, failed), cvlib::ceChkLinkedFolder);
  EXPECT_EQ(failed, folder + QStringLiteral("/Deployer.libs"));
  EXPECT_TRUE(QDir(elsewhere).isEmpty());
}

TEST(ProgramBundle, CopyOfACopyTakesTheCopysOwnFiles) {
  const QString first = Copied();
  ASSERT_TRUE(QFileInfo::exists(first + QStringLiteral("/qt.conf")));
  TProgramBundle again;
  QString error;
  ASSERT_EQ(PlanProgramBundle(first, again, error), 0) << error.toStdString();
  for (const TBundleFile& f : again.files)
    EXPECT_TRUE(f.source.startsWith(QFileInfo(first).canonicalFilePath() + u'/')) << f.source.toStdString();
  EXPECT_EQ(again.files.size(), Planned().files.size());
}

// The program and its support library arrive without their debug information, still whole
// programs with their version marker and their source's time; an update keeps them, and a
// computer without strip gets them as they are.
TEST(ProgramBundle, OwnFilesAreCopiedStrippedAndKeptOnUpdate) {
  if (QStandardPaths::findExecutable(QStringLiteral("strip")).isEmpty()) GTEST_SKIP() << "no strip (binutils)";
  const QString copy = Copied();
  for (const char* name : {"Deployer", "libCvLibNav5.so"}) {
    const QFileInfo source(Target(Planned(), QString::fromLatin1(name))), there(copy + u'/' + QString::fromLatin1(name));
    EXPECT_LT(there.size(), source.size() / 2) << name;
    EXPECT_EQ(there.lastModified(), source.lastModified()) << name;
    const QByteArray bytes = ReadAll(there.filePath());
    EXPECT_FALSE(bytes.contains(".debug_info")) << name;
    EXPECT_FALSE(bytes.contains(".symtab")) << name;
    TElfDynamic elf;
    QString error;
    EXPECT_TRUE(ReadElfDynamic(there.filePath(), elf, error)) << error.toStdString();
    EXPECT_FALSE(elf.needed.isEmpty()) << name;
  }
  EXPECT_TRUE(ReadAll(copy + QStringLiteral("/Deployer")).contains("CVPRODUCTVERSION="));
  EXPECT_TRUE(QFileInfo(copy + QStringLiteral("/Deployer")).isExecutable());
  // No hidden leftovers beside them.
  EXPECT_TRUE(QDir(copy).entryList(QStringList{QStringLiteral(".*strip*")}, QDir::Files | QDir::Hidden).isEmpty());

  // An update leaves a stripped copy alone, and strip does not run again for sources that did
  // not change (their stripped form is kept in the user's cache).
  const QString before = QFileInfo(copy + QStringLiteral("/Deployer")).lastModified().toString(Qt::ISODateWithMs);
  struct stat first {};
  ASSERT_EQ(::stat(QFile::encodeName(copy + QStringLiteral("/Deployer")).constData(), &first), 0);
  const QString shims = cvtest::MakeTempFolder(QStringLiteral("strip-shim"));
  const QString log = shims + QStringLiteral("/ran.log");
  {
    QFile shim(shims + QStringLiteral("/strip"));
    ASSERT_TRUE(shim.open(QIODevice::WriteOnly));
    shim.write(QStringLiteral("#!/bin/sh\necho \"$@\" >> '%1'\nexec '%2' \"$@\"\n")
                   .arg(log, QStandardPaths::findExecutable(QStringLiteral("strip")))
                   .toUtf8());
    shim.close();
    ASSERT_TRUE(shim.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
  }
  const QByteArray searchPath = qgetenv("PATH");
  qputenv("PATH", QFile::encodeName(shims) + ':' + searchPath);
  QString failed;
  const int updated = CopyProgramBundle(Planned(), copy, failed);
  qputenv("PATH", searchPath);
  ASSERT_EQ(updated, 0) << failed.toStdString();
  struct stat again {};
  ASSERT_EQ(::stat(QFile::encodeName(copy + QStringLiteral("/Deployer")).constData(), &again), 0);
  EXPECT_EQ(first.st_ino, again.st_ino);
  EXPECT_FALSE(QFile::exists(log)) << "strip ran again: " << ReadAll(log).toStdString();

  // Without strip on the computer, the files come as they are.
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", QFile::encodeName(cvtest::MakeTempFolder(QStringLiteral("nostrip"))));
  const QString plain = cvtest::MakeTempFolder(QStringLiteral("plain"));
  const int result = CopyProgramBundle(Planned(), plain, failed);
  qputenv("PATH", path);
  ASSERT_EQ(result, 0) << failed.toStdString();
  EXPECT_EQ(QFileInfo(plain + QStringLiteral("/Deployer")).size(), QFileInfo(Target(Planned(), QStringLiteral("Deployer"))).size());
}

// `ldd` with no LD_LIBRARY_PATH: each library of the program, its support library and what
// they need resolves inside the copy unless it is a base-system library.
TEST(ProgramBundle, LddFindsEverythingInTheCopy) {
  const QString copy = QFileInfo(Copied()).canonicalFilePath();
  for (const char* file : {"Deployer", "libCvLibNav5.so"}) {
    QProcess ldd;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LD_LIBRARY_PATH"));
    ldd.setProcessEnvironment(env);
    ldd.start(QStringLiteral("ldd"), {copy + u'/' + QString::fromLatin1(file)});
    ASSERT_TRUE(ldd.waitForFinished(30000));
    const QString out = QString::fromLocal8Bit(ldd.readAllStandardOutput());
    EXPECT_FALSE(out.contains(QStringLiteral("not found"))) << out.toStdString();
    static const QRegularExpression line(QStringLiteral("^\\s*(\\S+) => (\\S+)"), QRegularExpression::MultilineOption);
    int inCopy = 0;
    for (auto m = line.globalMatch(out); m.hasNext();) {
      const auto match = m.next();
      const QString name = match.captured(1), path = match.captured(2);
      if (path.startsWith(copy + u'/')) ++inCopy;
      else EXPECT_TRUE(IsSystemLibrary(name) && !path.contains(QStringLiteral("Qt6"))) << file << ": " << path.toStdString();
    }
    EXPECT_GT(inCopy, 5) << out.toStdString();
  }
}

namespace {

// Starts the copy's program on a platform with a cleared library and plug-in search path,
// optionally in a private mount namespace where the system's copies of every file the copy
// carries are empty. Returns the objects the loader initialised; alive tells whether the
// program was still running after it had loaded its platform plug-in.
QStringList StartCopy(const QString& copy, const QString& platform, bool hideSystem, bool& alive,
                      const QStringList& extraEnv = {}) {
  alive = false;
  const QString log = cvtest::MakeTempFolder(QStringLiteral("ld")) + QStringLiteral("/ld");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"LD_LIBRARY_PATH", "QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH"})
    env.remove(QString::fromLatin1(name));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
  // Nothing to reach: the program only has to show its first page.
  env.insert(QStringLiteral("CORVANE_PUS_URL"), QStringLiteral("http://127.0.0.1:9/"));
  env.insert(QStringLiteral("CORVANE_SERVICE_URL"), QStringLiteral("http://127.0.0.1:9/"));
  for (const QString& e : extraEnv) env.insert(e.section(u'=', 0, 0), e.section(u'=', 1));
  QString script = QStringLiteral("set -e\n");
  if (hideSystem) {
    for (const TBundleFile& f : Planned().files)
      if (!f.source.startsWith(QFileInfo(Bin()).canonicalFilePath() + u'/'))
        script += QStringLiteral("mount --bind /dev/null '%1'\n").arg(f.source);
    script += QStringLiteral("mount -t tmpfs none '%1'\n").arg(QLibraryInfo::path(QLibraryInfo::PluginsPath));
  }
  script += QStringLiteral("exec env LD_DEBUG=libs LD_DEBUG_OUTPUT='%1' '%2/Deployer'\n").arg(log, copy);
  QProcess p;
  p.setProcessEnvironment(env);
  p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  if (hideSystem) p.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"), script});
  else p.start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
  if (!p.waitForStarted(10000)) return {};
  const QString logFile = log + u'.' + QString::number(p.processId());
  const QString marker = QStringLiteral("/plugins/platforms/libq") + platform;
  for (int i = 0; i < 300 && p.state() == QProcess::Running; ++i) {
    if (ReadAll(logFile).contains(marker.toUtf8())) {
      QThread::msleep(1500);
      alive = p.state() == QProcess::Running;
      break;
    }
    p.waitForFinished(50);
  }
  p.kill();
  p.waitForFinished(10000);
  QStringList loaded;
  static const QRegularExpression init(QStringLiteral("calling init: (\\S+)"));
  for (auto m = init.globalMatch(QString::fromLocal8Bit(ReadAll(logFile))); m.hasNext();) loaded.append(m.next().captured(1));
  loaded.removeDuplicates();
  return loaded;
}

// Every object the loader initialised lies in the copy or is a base-system library; with
// a GL driver (Wayland's EGL), the driver's own libraries may come from the system too, but
// never a library the copy carries, nor any part of Qt.
void ExpectAllFromCopyOrSystem(const QStringList& loaded, const QString& copy, bool glDriver = false) {
  QSet<QString> carried;
  for (const TBundleFile& f : Planned().files) carried.insert(QFileInfo(f.target).fileName());
  for (const QString& path : loaded) {
    if (path.startsWith(copy + u'/')) continue;
    // The network module, which the copy's support library carries and loads from memory.
    if (path.startsWith(QLatin1String("/proc/self/fd/"))) continue;
    const QString name = QFileInfo(path).fileName();
    EXPECT_FALSE(carried.contains(name) || name.contains(QStringLiteral("Qt6")) || path.contains(QStringLiteral("/qt6/")))
        << path.toStdString();
    if (!glDriver) {
      EXPECT_TRUE(IsSystemLibrary(name)) << path.toStdString();
    }
  }
}

}  // namespace

TEST(ProgramBundle, CopyStartsOffscreenFromItsOwnFiles) {
  const QString copy = QFileInfo(Copied()).canonicalFilePath();
  bool alive = false;
  const QStringList loaded = StartCopy(copy, QStringLiteral("offscreen"), false, alive);
  EXPECT_TRUE(alive);
  EXPECT_TRUE(loaded.contains(copy + QStringLiteral("/Deployer.libs/plugins/platforms/libqoffscreen.so")))
      << loaded.join(u'\n').toStdString();
  ExpectAllFromCopyOrSystem(loaded, copy);
}

TEST(ProgramBundle, CopyStartsWithTheSystemsQtHidden) {
  if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()) GTEST_SKIP() << "no unshare";
  // A private mount namespace where mounting is allowed (root, or a container that permits it).
  QProcess probe;
  probe.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("mount"), QStringLiteral("-t"),
                                          QStringLiteral("tmpfs"), QStringLiteral("none"),
                                          cvtest::MakeTempFolder(QStringLiteral("probe"))});
  if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
    GTEST_SKIP() << "no private mount namespace here";
  const QString copy = QFileInfo(Copied()).canonicalFilePath();
  // With a language chosen the wizard goes to its first page, after which it checks for updates.
  ASSERT_EQ(cvlib::GetAppReg().WriteInteger(cvlib::rrSettings, QStringLiteral("Settings"), QStringLiteral("Language"), 1), 0);
  bool alive = false;
  const QStringList loaded = StartCopy(copy, QStringLiteral("offscreen"), true, alive);
  EXPECT_TRUE(alive) << loaded.join(u'\n').toStdString();
  ExpectAllFromCopyOrSystem(loaded, copy);
  // The update check after the first page loads the network module, and Qt Network from the copy.
  EXPECT_TRUE(loaded.contains(copy + QStringLiteral("/Deployer.libs/libQt6Network.so.6")))
      << loaded.join(u'\n').toStdString();

  // X11, on a virtual display.
  if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) return;
  QProcess xvfb;
  xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                                      QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                                      QStringLiteral("1024x768x24")});
  ASSERT_TRUE(xvfb.waitForStarted(10000));
  QByteArray display;
  for (int i = 0; i < 200 && !display.contains('\n'); ++i) {
    xvfb.waitForReadyRead(50);
    display += xvfb.readAllStandardOutput();
  }
  ASSERT_FALSE(display.trimmed().isEmpty());
  const QStringList onX11 =
      StartCopy(copy, QStringLiteral("xcb"), true, alive, {QStringLiteral("DISPLAY=:") + QString::fromLatin1(display.trimmed())});
  xvfb.terminate();
  xvfb.waitForFinished(10000);
  EXPECT_TRUE(alive) << onX11.join(u'\n').toStdString();
  EXPECT_TRUE(onX11.contains(copy + QStringLiteral("/Deployer.libs/plugins/platforms/libqxcb.so")));
  ExpectAllFromCopyOrSystem(onX11, copy);

  // Wayland, on a headless compositor where there is one; else the plug-in loads and then
  // gives up, and what it loaded on the way must still come from the copy.
  if (Target(Planned(), QStringLiteral("Deployer.libs/plugins/platforms/libqwayland-generic.so")).isEmpty()) return;
  const QString runtime = cvtest::MakeTempFolder(QStringLiteral("xdg"));
  QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QProcess weston;
  bool compositor = false;
  if (!QStandardPaths::findExecutable(QStringLiteral("weston")).isEmpty()) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    weston.setProcessEnvironment(env);
    weston.start(QStringLiteral("weston"), {QStringLiteral("--backend=headless-backend.so"),
                                            QStringLiteral("--socket=wayland-copy"), QStringLiteral("--idle-time=0")});
    for (int i = 0; i < 200 && !compositor && weston.state() != QProcess::NotRunning; ++i) {
      weston.waitForFinished(50);
      compositor = QFileInfo::exists(runtime + QStringLiteral("/wayland-copy"));
    }
  }
  const QStringList onWayland =
      StartCopy(copy, QStringLiteral("wayland"), true, alive,
                {QStringLiteral("XDG_RUNTIME_DIR=") + runtime,
                 QStringLiteral("WAYLAND_DISPLAY=") + (compositor ? QStringLiteral("wayland-copy") : QStringLiteral("none"))});
  if (compositor) {
    EXPECT_TRUE(alive) << onWayland.join(u'\n').toStdString();
    weston.terminate();
    weston.waitForFinished(10000);
  }
  EXPECT_TRUE(onWayland.contains(copy + QStringLiteral("/Deployer.libs/plugins/platforms/libqwayland-generic.so")))
      << onWayland.join(u'\n').toStdString();
  EXPECT_TRUE(onWayland.contains(copy + QStringLiteral("/Deployer.libs/libQt6WaylandClient.so.6")));
  ExpectAllFromCopyOrSystem(onWayland, copy, true);
}
