// Timer: calls its handler back on an event processor's worker thread after a
// number of milliseconds, once (OneShot) or repeatedly (Periodic).
// TimerHandler: the interface a timer's owner implements to be called back.
// StartTimerEvent, StopTimerEvent: the events by which Start() and Stop()
// hand a timer to its processor's thread.
//
// Threads: Start() and Stop() may be called from any thread, but not for the
// same timer from two threads at once. All TimerHandler callbacks run on the
// processor's worker thread.
//
// Ownership: the handler is not owned and must outlive every callback. Who
// deletes the timer depends on how its run ends:
//   - a OneShot timer that fired: its handler (typically in OnTimeoutElapsed);
//   - a stopped DeleteOnStop timer: the timer queue, right after
//     OnTimerStopped; the owner must forget the pointer once it calls Stop();
//   - a stopped KeepOnStop timer: its owner;
//   - a timer still queued when the processor is destroyed: the queue.
#ifndef ODAEDPF_TIMER_H
#define ODAEDPF_TIMER_H

#include <atomic>
#include <cstdint>

#include "OdaEdpfAsyncEvent.h"

namespace OdaEdpf {

class AsyncEventTimerProcessor;
class Timer;
class TimerQueue;

class TimerHandler {
 public:
  virtual ~TimerHandler();
  // The timer has been queued and is now counting.
  virtual void OnTimerStarted(Timer* timer);
  // The timer's stop has been processed; a DeleteOnStop timer is deleted as
  // soon as this returns.
  virtual void OnTimerStopped(Timer* timer);
  // The timer is due. A OneShot timer is idle again here and may be started
  // again or deleted; a Periodic one is re-queued after this returns, so it
  // must not be deleted here.
  virtual void OnTimeoutElapsed(Timer* timer) = 0;
};

class Timer {
 public:
  enum Type : std::int32_t { OneShot = 0, Periodic = 1 };
  // Any value other than DeleteOnStop behaves like KeepOnStop.
  enum LifeTime : std::int32_t { DeleteOnStop = 0, KeepOnStop = 1 };

  // `handler` is not owned and must outlive the timer's callbacks. An
  // `interval` of 0 makes the timer unusable: its start is refused on the
  // processor thread.
  Timer(TimerHandler* handler, long interval, Type type, LifeTime life_time);
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  virtual ~Timer();

  // Hands the timer to `processor`. False for a null processor, for a timer
  // already started, or when the processor does not accept the event.
  bool Start(AsyncEventTimerProcessor* processor);
  // Asks the last processor the timer was started on to stop it. False when
  // the timer was never started or a stop is already pending. Works for an
  // idle timer too (a OneShot that has fired): the stop is still delivered
  // and a DeleteOnStop timer is still deleted.
  bool Stop();

  std::int64_t GetInterval() const { return interval_; }
  Type GetType() const { return type_; }
  AsyncEventTimerProcessor* GetProcessor() const { return processor_; }

 private:
  friend class TimerQueue;

  TimerHandler* const handler_;
  const std::int64_t interval_;  // milliseconds
  const Type type_;
  // Milliseconds on the queue's elapsed scale; 0 while not queued. Worker
  // thread only.
  std::int64_t due_point_;
  // Set by Start() before the start event is posted, so the worker sees it.
  AsyncEventTimerProcessor* processor_;
  // The flags are written by Start()/Stop() on the caller's thread and by the
  // queue on the worker, so they are atomics.
  std::atomic<bool> started_;
  std::atomic<bool> stop_requested_;
  const LifeTime life_time_;
};

// Posted by Timer::Start(); queues the timer on the processor thread.
class StartTimerEvent : public AsyncEvent {
 public:
  explicit StartTimerEvent(Timer* timer) : timer_(timer) {}
  void Process() override;

 private:
  Timer* const timer_;
};

// Posted by Timer::Stop(); finishes the timer on the processor thread.
class StopTimerEvent : public AsyncEvent {
 public:
  explicit StopTimerEvent(Timer* timer) : timer_(timer) {}
  void Process() override;

 private:
  Timer* const timer_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_TIMER_H
