#pragma once

// The installed-products model made on a thread of its own, so that the wizard's first page
// does not wait for thousands of chart headers. The thread only builds the model; it belongs
// to the thread that made this object from the moment Take hands it over, and nothing touches
// it from both at once: the worker lets go of it before it says it is done.

#include "CvInstalledCharts.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

class TInstalledChartsLoad final : public QObject {
  Q_OBJECT

 public:
  // Starts building the model on chartCacheFile (see TInstalledCharts).
  explicit TInstalledChartsLoad(const QString& chartCacheFile, QObject* parent = nullptr);
  // Waits for the thread; a model not taken is freed here.
  ~TInstalledChartsLoad() override;

  TInstalledChartsLoad(const TInstalledChartsLoad&) = delete;
  TInstalledChartsLoad& operator=(const TInstalledChartsLoad&) = delete;

  // True once the thread is done with the model (or failed).
  bool Ready() const { return ready_.load(std::memory_order_acquire); }
  // Handles this thread's events until Ready, user input held back meanwhile.
  void Wait();
  // After Ready: the model, once; raises what the model's creation raised.
  std::unique_ptr<TInstalledCharts> Take();

  // Tests: runs on the worker before the model is built (a slowed load), empty for none.
  static void SetBeforeLoadForTests(std::function<void()> beforeLoad);

 signals:
  // The thread is done; delivered through the event loop of this object's thread.
  void Finished();

 private:
  void Load(const QString& chartCacheFile);

  std::unique_ptr<TInstalledCharts> model_;  // written by the worker before ready_
  std::exception_ptr error_;                 // likewise
  std::atomic<bool> ready_{false};
  bool taken_ = false;
  std::thread thread_;
};
