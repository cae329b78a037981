#pragma once

// The engine as the wizard holds it: an environment, a chart-check object on the scripted
// service, and a recorder of the events that reach the subscriber.

#include "CvLib.h"
#include "EngineSelection.h"
#include "FakeService.h"
#include "TestEnv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace cvtest {

inline std::string RandomBytes(size_t size, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

inline QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct EventRecorder {
  std::vector<TNavEvent> events;
  int depth = 0;
  int maxDepth = 0;
  bool pumpInCallback = false;  // as the wizard does on progress

  static void Callback(void* data, const TNavEvent& event) {
    auto* self = static_cast<EventRecorder*>(data);
    self->maxDepth = std::max(self->maxDepth, ++self->depth);
    self->events.push_back(event);
    if (self->pumpInCallback) QCoreApplication::processEvents();
    --self->depth;
  }
  int DoneCount() const {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [](const TNavEvent& e) { return e.code == 130; }));
  }
  // Pumps events until `count` events 130 have arrived in all; false after the timeout.
  bool WaitDone(int count = 1, int timeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (DoneCount() < count && timer.elapsed() < timeoutMs)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return DoneCount() >= count;
  }
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetAppReg().DeleteKey(rrSettings, QStringLiteral("Account"));
    env = NavEnvCreate();
    env->EventSource().Subscribe(&EventRecorder::Callback, &recorder);
    check = NewCheck();
  }

  std::unique_ptr<ChartCheck> NewCheck() {
    auto c = QMRChartCheckCreate(env->EventSource(), QStringLiteral("CSI"), cvlib::PackVersion(1, 0, 0, 0));
    c->SetServiceURL(service.URL());
    return c;
  }

  // Starts an operation and waits for its event 130; returns LastError.
  template <typename Start>
  int Run(Start start) {
    const int before = recorder.DoneCount();
    const int started = start();
    EXPECT_EQ(recorder.DoneCount(), before) << "event delivered inside the call";
    EXPECT_NE(started, cvlib::ceChkBusy);
    EXPECT_TRUE(recorder.WaitDone(before + 1));
    EXPECT_EQ(started == 0 ? 0 : check->LastError(), started) << "returned and reported errors differ";
    return check->LastError();
  }

  int SignInAndList(const QString& text = QStringLiteral("anna@example.com;secret"), bool remember = false) {
    check->SignIn(text, remember);
    return Run([&] { return check->RequestProducts(); });
  }

  int FileList(const std::vector<std::pair<int, int>>& selection) {
    const auto list = MakeSelection(*check, selection, SelectionKinds::kDefault);
    return Run([&] { return check->RequestFileList(*list); });
  }

  FakeService service;
  std::unique_ptr<TNavEnv> env;
  EventRecorder recorder;
  std::unique_ptr<ChartCheck> check;
};

}  // namespace cvtest
