#include "CvLibNavEnv.h"

#include <QMetaObject>
#include <QObject>

#include <algorithm>

namespace cvlib {

TNavEventSource::TNavEventSource() : fContext(std::make_unique<QObject>()) {}

TNavEventSource::~TNavEventSource() { *fAlive = false; }

void TNavEventSource::Subscribe(TNavEventCallback callback, void* data) {
  if (!callback) return;
  for (const Subscriber& s : fSubscribers)
    if (s.callback == callback && s.data == data) return;
  fSubscribers.push_back({callback, data});
}

void TNavEventSource::Unsubscribe(TNavEventCallback callback, void* data) {
  fSubscribers.erase(std::remove_if(fSubscribers.begin(), fSubscribers.end(),
                                    [&](const Subscriber& s) {
                                      return s.callback == callback && s.data == data;
                                    }),
                     fSubscribers.end());
}

void TNavEventSource::Post(const TNavEvent& event, const void* owner) {
  if (event.code == necDownloadProgress && !fQueue.empty() &&
      fQueue.back().event.code == necDownloadProgress && fQueue.back().owner == owner) {
    fQueue.back().event.value = event.value;
  } else {
    fQueue.push_back({event, owner});
  }
  ScheduleDelivery();
}

void TNavEventSource::Withdraw(const void* owner) {
  fQueue.erase(std::remove_if(fQueue.begin(), fQueue.end(), [owner](const Queued& q) { return q.owner == owner; }),
               fQueue.end());
}

void TNavEventSource::ScheduleDelivery() {
  if (fScheduled || fDelivering || fQueue.empty()) return;
  fScheduled = true;
  QMetaObject::invokeMethod(fContext.get(), [this] { Deliver(); }, Qt::QueuedConnection);
}

void TNavEventSource::Deliver() {
  fScheduled = false;
  if (fDelivering || fQueue.empty()) return;
  const TNavEvent event = fQueue.front().event;
  fQueue.pop_front();
  fDelivering = true;
  const std::shared_ptr<bool> alive = fAlive;
  // A copy: a callback may subscribe or unsubscribe while it runs.
  const std::vector<Subscriber> subscribers = fSubscribers;
  for (const Subscriber& s : subscribers) {
    const bool stillThere = std::any_of(fSubscribers.begin(), fSubscribers.end(), [&](const Subscriber& t) {
      return t.callback == s.callback && t.data == s.data;
    });
    if (stillThere) s.callback(s.data, event);
    if (!*alive) return;
  }
  fDelivering = false;
  ScheduleDelivery();
}

std::unique_ptr<TNavEnv> NavEnvCreate() { return std::make_unique<TNavEnv>(); }

}  // namespace cvlib
