#pragma once

// The navigation environment and its event source: how the chart-check engine tells its
// owner that an operation has finished (130) or how far a download has come (131).
// Events are delivered through the event loop of the thread that created the environment,
// one at a time and never inside the call that started the operation.

#include <deque>
#include <memory>
#include <vector>

class QObject;

namespace cvlib {

enum TNavEventCode : int {
  necOperationDone = 130,      // the running operation has finished
  necDownloadProgress = 131,   // value: bytes of the current file received so far
};

// One event as a subscriber gets it. The record does not name the operation.
struct TNavEvent {
  int code = 0;
  double value = 0;
};

using TNavEventCallback = void (*)(void* data, const TNavEvent& event);

class TNavEventSource final {
 public:
  TNavEventSource();
  ~TNavEventSource();
  TNavEventSource(const TNavEventSource&) = delete;
  TNavEventSource& operator=(const TNavEventSource&) = delete;

  // A (callback, data) pair is subscribed once; subscribing it again changes nothing.
  // Unsubscribe during a delivery is allowed: the pair gets no further event.
  void Subscribe(TNavEventCallback callback, void* data);
  void Unsubscribe(TNavEventCallback callback, void* data);
  int SubscriberCount() const { return static_cast<int>(fSubscribers.size()); }

  // Queues an event for delivery from the event loop. A progress event that is still
  // waiting is updated instead of queueing another one, so a fast download cannot flood
  // the queue. A callback that pumps events never gets the next event re-entrantly: it
  // waits until the callback has returned. owner tags the event for Withdraw.
  void Post(const TNavEvent& event, const void* owner = nullptr);
  // Drops the waiting events of owner: an object that goes away leaves no event behind that
  // its successor's caller would take for its own.
  void Withdraw(const void* owner);
  // Expires when the source is deleted: an object that outlives its environment posts nothing.
  std::weak_ptr<const bool> Lifetime() const { return fAlive; }

 private:
  struct Subscriber {
    TNavEventCallback callback;
    void* data;
  };
  struct Queued {
    TNavEvent event;
    const void* owner;
  };
  void ScheduleDelivery();
  void Deliver();

  std::unique_ptr<QObject> fContext;  // lives in the creating thread; queued calls die with it
  std::vector<Subscriber> fSubscribers;
  std::deque<Queued> fQueue;
  bool fScheduled = false;
  bool fDelivering = false;
  // Cleared by the destructor: a callback may delete the environment while it runs.
  std::shared_ptr<bool> fAlive = std::make_shared<bool>(true);
};

class TNavEnv final {
 public:
  TNavEnv() = default;
  TNavEnv(const TNavEnv&) = delete;
  TNavEnv& operator=(const TNavEnv&) = delete;
  TNavEventSource& EventSource() { return fEvents; }

 private:
  TNavEventSource fEvents;
};

// Creates the environment in the calling thread, which must run a Qt event loop.
std::unique_ptr<TNavEnv> NavEnvCreate();

}  // namespace cvlib
