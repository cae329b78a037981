#include "CvInstalledChartsLoad.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutex>

#include <algorithm>

#include <sys/resource.h>
#include <unistd.h>

namespace {

QMutex gHookMutex;
std::function<void()> gBeforeLoad;

}  // namespace

void TInstalledChartsLoad::SetBeforeLoadForTests(std::function<void()> beforeLoad) {
  QMutexLocker lock(&gHookMutex);
  gBeforeLoad = std::move(beforeLoad);
}

TInstalledChartsLoad::TInstalledChartsLoad(const QString& chartCacheFile, QObject* parent)
    : QObject(parent), thread_([this, chartCacheFile] { Load(chartCacheFile); }) {}

TInstalledChartsLoad::~TInstalledChartsLoad() {
  if (thread_.joinable()) thread_.join();
}

void TInstalledChartsLoad::Load(const QString& chartCacheFile) {
  std::function<void()> before;
  {
    QMutexLocker lock(&gHookMutex);
    before = gBeforeLoad;
  }
  // The window comes first: on a busy computer the load takes what the start leaves over.
  const id_t self = static_cast<id_t>(::gettid());
  ::setpriority(PRIO_PROCESS, self, std::min(19, ::getpriority(PRIO_PROCESS, self) + 10));
  try {
    if (before) before();
    model_ = std::make_unique<TInstalledCharts>(chartCacheFile);
  } catch (...) {
    error_ = std::current_exception();
  }
  ready_.store(true, std::memory_order_release);
  // Queued to this object's thread: dropped unheard if the object goes first.
  QMetaObject::invokeMethod(this, [this] { emit Finished(); }, Qt::QueuedConnection);
}

void TInstalledChartsLoad::Wait() {
  // The thread's Finished wakes the wait. A plain wait for events, not a nested event loop:
  // one that an ending program told to quit would return at once and leave this spinning.
  while (!Ready()) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<TInstalledCharts> TInstalledChartsLoad::Take() {
  if (!Ready() || taken_) return nullptr;
  taken_ = true;
  if (thread_.joinable()) thread_.join();
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  return std::move(model_);
}
