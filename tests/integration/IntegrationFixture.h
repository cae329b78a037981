#pragma once

// The real deployer-service as a child process on 127.0.0.1, and the chart-check engine
// driven against it in the test's event loop, as the wizard drives it.

#include "CvLib.h"
#include "EngineSelection.h"
#include "TestEnv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <memory>
#include <utility>
#include <vector>

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace cvtest {

// deployer-service started with the given options; stopped (SIGTERM) when destroyed.
class ServiceProcess {
 public:
  // demo: the first three stdout lines are the URL, "E-mail: ..." and "Password: ...".
  bool Start(const QStringList& options, bool demo) {
    fProcess.setProgram(BinDir() + QStringLiteral("/deployer-service"));
    fProcess.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + options);
    fProcess.start();
    if (!fProcess.waitForStarted(10000)) return false;
    const int wanted = demo ? 3 : 1;
    QStringList lines;
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (lines.size() < wanted && timer.elapsed() < 30000) {
      if (fProcess.state() != QProcess::Running) break;
      fProcess.waitForReadyRead(100);
      out += fProcess.readAllStandardOutput();
      lines = QString::fromUtf8(out).split(u'\n');
      lines.removeLast();  // the unfinished line
    }
    if (lines.size() < wanted) return false;
    url = lines[0].trimmed();
    if (demo) {
      if (!lines[1].startsWith(QLatin1String("E-mail: ")) || !lines[2].startsWith(QLatin1String("Password: ")))
        return false;
      email = lines[1].mid(8).trimmed();
      password = lines[2].mid(10).trimmed();
    }
    return url.startsWith(QLatin1String("http://127.0.0.1:"));
  }

  ~ServiceProcess() {
    if (fProcess.state() == QProcess::NotRunning) return;
    fProcess.terminate();
    if (!fProcess.waitForFinished(5000)) {
      fProcess.kill();
      fProcess.waitForFinished(5000);
    }
  }

  // Everything the service wrote to stderr so far (one line per request: method, path, status).
  QString Log() {
    fLog += QString::fromUtf8(fProcess.readAllStandardError());
    return fLog;
  }
  // Waits until the log has a line containing text (the service logs after it answered).
  bool WaitForLog(const QString& text, int timeoutMs = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (!Log().contains(text) && timer.elapsed() < timeoutMs) fProcess.waitForReadyRead(50);
    return Log().contains(text);
  }

  QString url, email, password;

 private:
  QProcess fProcess;
  QString fLog;
};

struct EventRecorder {
  std::vector<TNavEvent> events;

  static void Callback(void* data, const TNavEvent& event) {
    static_cast<EventRecorder*>(data)->events.push_back(event);
  }
  int Count(int code) const {
    return static_cast<int>(
        std::count_if(events.begin(), events.end(), [code](const TNavEvent& e) { return e.code == code; }));
  }
  bool WaitDone(int count, int timeoutMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (Count(130) < count && timer.elapsed() < timeoutMs)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return Count(130) >= count;
  }
  // Lets queued events arrive for a while (to see that no further 130 comes).
  static void Pump(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
};

// An engine on the environment's event source, talking to one service.
class EngineOnService {
 public:
  explicit EngineOnService(const QString& url) : env(NavEnvCreate()) {
    env->EventSource().Subscribe(&EventRecorder::Callback, &recorder);
    check = QMRChartCheckCreate(env->EventSource(), QStringLiteral("CSI"), cvlib::PackVersion(1, 0, 0, 0));
    if (!url.isEmpty()) check->SetServiceURL(url);
  }
  ~EngineOnService() {
    check.reset();
    env->EventSource().Unsubscribe(&EventRecorder::Callback, &recorder);
  }

  // Starts an operation, checks that it reports through exactly one 130, returns LastError.
  template <typename Start>
  int Run(Start start) {
    const int before = recorder.Count(130);
    const int started = start();
    EXPECT_NE(started, cvlib::ceChkBusy);
    EXPECT_EQ(recorder.Count(130), before) << "event delivered inside the call";
    EXPECT_TRUE(recorder.WaitDone(before + 1));
    EXPECT_EQ(recorder.Count(130), before + 1);
    if (started != 0) {
      EXPECT_EQ(check->LastError(), started) << "returned and reported errors differ";
    }
    return check->LastError();
  }

  int SignIn(const QString& text, bool remember = false) {
    check->SignIn(text, remember);
    return Run([&] { return check->RequestProducts(); });
  }

  int FileList(const std::vector<std::pair<int, int>>& selection) {
    const auto list = MakeSelection(*check, selection, SelectionKinds::kFromRecords);
    return Run([&] { return check->RequestFileList(*list); });
  }

  InstallItem* FindItem(int product, int mask) const {
    for (int i = 0; i < check->ItemCount(); ++i)
      if (check->Item(i)->ProductNumber() == product && check->Item(i)->ModuleMask() == mask) return check->Item(i);
    return nullptr;
  }

  int Download(InstallItem* item, int file, const QString& folder) {
    return Run([&] { return check->StartDownload(item, file, folder); });
  }

  std::unique_ptr<TNavEnv> env;
  EventRecorder recorder;
  std::unique_ptr<ChartCheck> check;
};

// The demo catalogue served with --demo --test-control for the whole test program.
ServiceProcess& DemoService();

// POSTs a JSON body to the service; the HTTP status, or 0 when it could not be sent.
int PostJson(const QString& baseUrl, const QString& path, const QByteArray& body);

// "e-mail;password" of the demo account.
inline QString DemoCredentials() { return DemoService().email + u';' + DemoService().password; }

QByteArray Sha256OfFile(const QString& path);

}  // namespace cvtest
