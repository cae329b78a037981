#include "SelfUpdateSupport.h"

#include "TestEnv.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

namespace sutest {

const QString kInstallerGuid = QStringLiteral("{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}");

bool OpenSsl(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(CV_OPENSSL_PROGRAM), args);
  if (!p.waitForFinished(30000)) return false;
  return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString BuildSigningKey() { return QStringLiteral(CV_UPDATE_SIGNING_KEY); }

QString MakeOtherKey() {
  const QString key = cvtest::MakeTempFolder("key") + "/other.pem";
  EXPECT_TRUE(OpenSsl({"genpkey", "-algorithm", "ED25519", "-out", key}));
  return key;
}

bool SignFile(const QString& key, const QString& file, const QString& version, const QString& guid) {
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly)) return false;
  QCryptographicHash sha(QCryptographicHash::Sha256);
  sha.addData(&in);
  // Written out here rather than taken from the program, so that a change of its form shows.
  const QByteArray manifest = "Corvane update manifest 1\nproduct " + guid.toLatin1() + "\nversion " +
                              version.toLatin1() + "\nsha256 " + sha.result().toHex() + "\n";
  const QString folder = cvtest::MakeTempFolder("manifest");
  WriteFile(folder + "/manifest", manifest);
  if (!OpenSsl({"pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", folder + "/manifest", "-out",
                folder + "/signature"}))
    return false;
  QFile::remove(file + ".sig");
  WriteFile(file + ".sig", manifest + ReadFile(folder + "/signature"));
  return true;
}

void WriteFile(const QString& path, const QByteArray& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  ASSERT_EQ(f.write(data), data.size());
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TContent::TContent() : fRoot(cvtest::MakeTempFolder("content")) {
  QDir().mkpath(ProductFolder());
  WriteFile(ProductFolder() + "/product.json",
            R"({"version": "9.0.0.0", "date1": "2026-11-02", "date2": "2026-11-02",
                "file": ")" + InstallerName().toUtf8() + R"("})");
  SetHistory("<p>history</p>");
}

void TContent::SetHistory(const QByteArray& html) { WriteFile(ProductFolder() + "/history.html", html); }

void TContent::SetInstaller(const QByteArray& data, bool sign, const QString& version) {
  QFile::remove(InstallerPath() + ".sig");
  WriteFile(InstallerPath(), data);
  if (sign) {
    ASSERT_TRUE(SignFile(BuildSigningKey(), InstallerPath(), version));
  }
}

void TContent::SetLargeInstaller(qint64 size) {
  QFile::remove(InstallerPath() + ".sig");
  QFile f(InstallerPath());
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_TRUE(f.resize(size));
}

bool TService::Start(const QString& content) {
  fProcess.setProgram(cvtest::BinDir() + "/deployer-service");
  fProcess.setArguments({"--host", "127.0.0.1", "--port", "0", "--content", content});
  fProcess.start();
  if (!fProcess.waitForStarted(5000)) return false;
  while (!fProcess.canReadLine()) {
    if (!fProcess.waitForReadyRead(10000)) return false;
  }
  fBase = QString::fromUtf8(fProcess.readLine()).trimmed();
  return !fBase.isEmpty();
}

void TService::Stop() {
  if (fProcess.state() == QProcess::NotRunning) return;
  fProcess.kill();
  fProcess.waitForFinished(5000);
}

QByteArray TService::Log() {
  fLog += fProcess.readAllStandardError();
  return fLog;
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() > timeoutMs) return false;
    // Also what was posted before the caller's own event began: a nested loop started from
    // inside a posted event does not deliver those on its own.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

}  // namespace sutest
