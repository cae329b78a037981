// Qt Network comes with the network module at the first request. Where it cannot be loaded (a
// damaged installation), the commands that need it say so and fail; nothing crashes, and what
// needs no network still works. Where the module cannot be run from memory, it comes from a
// private temporary folder that does not outlive the loading.
#include "TestEnv.h"

#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

struct TResult {
  int exitCode = -1;
  bool crashed = true;
  QString out, err;
};

// Runs cvtool (or program) after `mount`, in a mount namespace of its own: nothing outside the
// command sees the change.
TResult RunInNamespace(const QString& mount, const QStringList& args, const QString& program = QString(),
                       const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  QString command = QStringLiteral("%1 && exec '%2'")
                        .arg(mount, program.isEmpty() ? cvtest::BinDir() + QStringLiteral("/cvtool") : program);
  for (const QString& a : args) command += QStringLiteral(" '%1'").arg(a);
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"), command});
  TResult r;
  if (!p.waitForFinished(60000)) return r;
  r.crashed = p.exitStatus() != QProcess::NormalExit;
  r.exitCode = p.exitCode();
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

// With the system's Qt Network replaced by an empty file.
TResult RunWithoutQtNetwork(const QString& library, const QStringList& args, const QString& program = QString()) {
  return RunInNamespace(QStringLiteral("mount --bind /dev/null '%1'").arg(library), args, program);
}

}  // namespace

TEST(WithoutNetwork, CommandsThatNeedItFailWithAReason) {
  if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()) GTEST_SKIP() << "no unshare";
  const QString library = QFileInfo(QLibraryInfo::path(QLibraryInfo::LibrariesPath) +
                                    QStringLiteral("/libQt6Network.so.6")).canonicalFilePath();
  ASSERT_FALSE(library.isEmpty());
  // A private mount namespace where mounting is allowed (root, or a container that permits it).
  const TResult probe = RunWithoutQtNetwork(library, {}, QStringLiteral("true"));
  if (probe.crashed || probe.exitCode != 0) GTEST_SKIP() << "no private mount namespace here: " << qPrintable(probe.err);

  // The program starts without it.
  const TResult version = RunWithoutQtNetwork(library, {QStringLiteral("--version")});
  EXPECT_FALSE(version.crashed);
  EXPECT_EQ(version.exitCode, 0) << qPrintable(version.err);

  const TResult account = RunWithoutQtNetwork(
      library, {"account", "http://127.0.0.1:1", "products", "--email", "a@example.com", "--password", "x"});
  EXPECT_FALSE(account.crashed);
  EXPECT_EQ(account.exitCode, 1);
  EXPECT_TRUE(account.err.contains(QStringLiteral("The program's network part cannot be loaded"))) << qPrintable(account.err);

  const TResult pus =
      RunWithoutQtNetwork(library, {"pus", "http://127.0.0.1:1", "version", "{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}"});
  EXPECT_FALSE(pus.crashed);
  EXPECT_EQ(pus.exitCode, 1);
  EXPECT_TRUE(pus.err.contains(QStringLiteral("could not be started"))) << qPrintable(pus.err);

  // The settings store needs no network.
  const TResult reg = RunWithoutQtNetwork(library, {"reg", "set", "1", "Settings", "Language", "int", "1"});
  EXPECT_FALSE(reg.crashed);
  EXPECT_EQ(reg.exitCode, 0) << qPrintable(reg.err);
}

TEST(WithoutNetwork, WithoutProcTheModuleComesFromAPrivateFolderAndLeavesNothing) {
  if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty()) GTEST_SKIP() << "no unshare";
  const TResult probe = RunInNamespace(QStringLiteral("mount -t tmpfs none /proc"), {}, QStringLiteral("true"));
  if (probe.crashed || probe.exitCode != 0) GTEST_SKIP() << "no private mount namespace here: " << qPrintable(probe.err);
  // No /proc: no memory file can be loaded by its name, and the program's own folder is not
  // known to the loader either.
  const QString tmp = cvtest::MakeTempFolder(QStringLiteral("tmpdir"));
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("TMPDIR"), tmp);
  env.insert(QStringLiteral("LD_LIBRARY_PATH"), cvtest::BinDir());
  const TResult account = RunInNamespace(
      QStringLiteral("mount -t tmpfs none /proc"),
      {"account", "http://127.0.0.1:1", "products", "--email", "a@example.com", "--password", "x"}, QString(), env);
  EXPECT_FALSE(account.crashed);
  EXPECT_EQ(account.exitCode, 1);
  // The request went out and found nobody: the module was loaded.
  EXPECT_TRUE(account.err.contains(QStringLiteral("cannot be reached"))) << qPrintable(account.err);
  EXPECT_TRUE(QDir(tmp).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
      << qPrintable(QDir(tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(u' '));
}
