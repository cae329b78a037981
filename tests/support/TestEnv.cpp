#include "TestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace cvtest {
namespace {

std::unique_ptr<QTemporaryDir>& HomeDir() {
  static std::unique_ptr<QTemporaryDir> dir;
  return dir;
}

}  // namespace

void InitTestEnvironment() {
  // Made under /tmp before TMPDIR moves, so the folder does not contain itself.
  auto& home = HomeDir();
  home = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/cvtest-XXXXXX"));
  if (!home->isValid()) {
    std::fprintf(stderr, "cannot create the test home folder\n");
    std::exit(2);
  }
  const QString root = home->path();
  for (const char* sub : {"home", "data", "config", "tmp"}) QDir(root).mkpath(QString::fromLatin1(sub));
  setenv("HOME", qPrintable(root + "/home"), 1);
  setenv("XDG_DATA_HOME", qPrintable(root + "/data"), 1);
  setenv("XDG_CONFIG_HOME", qPrintable(root + "/config"), 1);
  setenv("XDG_CACHE_HOME", qPrintable(root + "/home/.cache"), 1);
  setenv("TMPDIR", qPrintable(root + "/tmp"), 1);
  // A test never reaches a real server by accident.
  unsetenv("CORVANE_PUS_URL");
  unsetenv("CORVANE_SERVICE_URL");
  unsetenv("CORVANE_VOLUMES");
}

QString TestHome() { return HomeDir() ? HomeDir()->path() : QString(); }

QString MakeTempFolder(const QString& hint) {
  static std::atomic<int> counter{0};
  const QString path = TestHome() + QStringLiteral("/tmp/%1-%2").arg(hint).arg(++counter);
  QDir().mkpath(path);
  return path;
}

QString BinDir() {
  const QByteArray env = qgetenv("CORVANE_BIN_DIR");
  return env.isEmpty() ? QCoreApplication::applicationDirPath() : QString::fromLocal8Bit(env);
}

QString SourceDir() { return QString::fromLocal8Bit(qgetenv("CORVANE_SOURCE_DIR")); }

}  // namespace cvtest
