// AsyncEventProcessor: anything that accepts AsyncEvents and runs them later,
// one at a time, on a thread of its own.
// AsyncEventTimerProcessor: such a processor that also runs timers; it owns
// the TimerQueue that keeps them in due order.
//
// PostEvent() may be called from any thread. ProcessEvent(),
// ProcessStartTimer() and ProcessStopTimer() run on the processor's worker
// thread only, as does every use of the timer queue.
#ifndef ODAEDPF_ASYNC_EVENT_PROCESSOR_H
#define ODAEDPF_ASYNC_EVENT_PROCESSOR_H

#include <memory>

#include "OdaEdpfAsyncEvent.h"

namespace OdaEdpf {

class Timer;
class TimerQueue;

class AsyncEventProcessor {
 public:
  AsyncEventProcessor() = default;
  AsyncEventProcessor(const AsyncEventProcessor&) = delete;
  AsyncEventProcessor& operator=(const AsyncEventProcessor&) = delete;
  virtual ~AsyncEventProcessor();

  // Queues the event for the worker. On true the processor has taken over
  // the caller's reference; on false the caller still holds it.
  virtual bool PostEvent(AsyncEvent* event) = 0;

  // Runs one dequeued event and drops the queue's reference to it.
  virtual void ProcessEvent(AsyncEvent* event);
};

class AsyncEventTimerProcessor : public AsyncEventProcessor {
 public:
  AsyncEventTimerProcessor();
  // Deletes the timer queue and with it every timer still queued.
  ~AsyncEventTimerProcessor() override;

  // Queues a started timer (TimerQueue::AddTimer).
  virtual bool ProcessStartTimer(Timer* timer);
  // Finishes a stopped timer (TimerQueue::RemoveTimer).
  virtual bool ProcessStopTimer(Timer* timer);

 protected:
  // Never null; belongs to the worker thread once the processor runs.
  TimerQueue* GetTimerQueue() const { return timer_queue_.get(); }

 private:
  std::unique_ptr<TimerQueue> timer_queue_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_ASYNC_EVENT_PROCESSOR_H
