#include "CvLib.h"
#include "TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>

namespace {

QString Script(const QString& dir, const QString& name, const QByteArray& body) {
  const QString path = dir + "/" + name;
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write("#!/bin/sh\n" + body);
  f.close();
  // Written without execute permission on purpose: RunAndWait must give it.
  f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  return path;
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(SplitCommandLine, LikeACommandLine) {
  struct TCase {
    const char* text;
    QStringList args;
  };
  const TCase cases[] = {
      {"/SILENT /DIR=\"/opt/Corvane/My Charts/\" /LANG=nl", {"/SILENT", "/DIR=/opt/Corvane/My Charts/", "/LANG=nl"}},
      {"  a\t b  ", {"a", "b"}},
      {"", {}},
      {"\"\" x", {"", "x"}},
      {"\"a \"\"q\"\" b\"", {"a \"q\" b"}},
      {"a\\\"b", {"a\"b"}},
      {"\"c:\\\\\" next", {"c:\\", "next"}},
      {"back\\slash", {"back\\slash"}},
      {"\"unclosed quote here", {"unclosed quote here"}},
      {"x\"y z\"w", {"xy zw"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cvlib::SplitCommandLine(QString::fromUtf8(c.text)), c.args);
  }
}

TEST(RunAndWait, PassesArgumentsFolderAndExitCode) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("run"));
  QDir().mkpath(dir + "/work dir");
  const QString setup = Script(dir, "setup.sh", "printf '%s\\n' \"$@\" > args.txt\npwd > cwd.txt\nexit 3\n");
  int exitCode = -5;
  const int error = RunAndWait(setup, "/SILENT /DIR=\"/a b/c\" /LANG=en", dir + "/work dir", {}, exitCode);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(exitCode, 3);
  EXPECT_TRUE(QFileInfo(setup).isExecutable());
  EXPECT_EQ(ReadFile(dir + "/work dir/args.txt"), QByteArray("/SILENT\n/DIR=/a b/c\n/LANG=en\n"));
  EXPECT_EQ(ReadFile(dir + "/work dir/cwd.txt").trimmed(), QFile::encodeName(QDir(dir + "/work dir").canonicalPath()));
}

TEST(RunAndWait, StartErrorsAndCrashes) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("run"));
  int exitCode = 0;
  EXPECT_EQ(RunAndWait(dir + "/missing", "", "", {}, exitCode), cvlib::ceProcessStart);
  EXPECT_EQ(exitCode, -1);
  const QString ok = Script(dir, "ok.sh", "exit 0\n");
  EXPECT_EQ(RunAndWait(ok, "", dir + "/no-such-folder", {}, exitCode), cvlib::ceProcessStart);
  QFile junk(dir + "/junk");
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("\x7f\x45no program");
  junk.close();
  EXPECT_EQ(RunAndWait(dir + "/junk", "", "", {}, exitCode), cvlib::ceProcessStart);

  const QString crash = Script(dir, "crash.sh", "kill -SEGV $$\n");
  EXPECT_EQ(RunAndWait(crash, "", "", {}, exitCode), cvlib::ceProcessCrashed);
  EXPECT_EQ(exitCode, 128 + SIGSEGV);
}

bool ProcessGone(qint64 pid) {
  // Gone, or a zombie waiting for a parent that never reaps (no init in some containers).
  const QByteArray stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
  if (stat.isEmpty()) return true;
  const qsizetype close = stat.lastIndexOf(')');
  return close > 0 && stat.mid(close + 2, 1) == "Z";
}

TEST(RunAndWait, StopTerminatesTheProgramAndItsChildren) {
  const QString dir = cvtest::MakeTempFolder(QStringLiteral("run"));
  // The child ignores SIGTERM, so it takes the hard way out.
  const QString setup = Script(dir, "slow.sh",
                               "sh -c 'trap \"\" TERM; sleep 60' &\n"
                               "echo $! > child.pid\n"
                               "sleep 60\n");
  int polls = 0;
  int exitCode = 0;
  const int error = RunAndWait(setup, "", dir,
                               [&](bool& stop) {
                                 QCoreApplication::processEvents();
                                 stop = ++polls >= 20 && QFileInfo::exists(dir + "/child.pid");
                               },
                               exitCode);
  EXPECT_EQ(error, cvlib::ceProcessStopped);
  EXPECT_GE(polls, 20);
  bool ok = false;
  const qint64 child = ReadFile(dir + "/child.pid").trimmed().toLongLong(&ok);
  ASSERT_TRUE(ok);
  for (int i = 0; i < 100 && !ProcessGone(child); ++i) ::usleep(20000);
  EXPECT_TRUE(ProcessGone(child));
}

TEST(F12, ChartSetsFrom1000Up) {
  for (const int n : {1000, 1001, 25000, 2147483647}) EXPECT_TRUE(F12(n)) << n;
  for (const int n : {999, 1, 0, -1, -1000}) EXPECT_FALSE(F12(n)) << n;
}

}  // namespace
