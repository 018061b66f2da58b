// SoftEventProcessor: one worker thread that runs posted events in posting
// order and, between events, the timers that are due.
// SoftEventProcessor::Observer: lets the owner run its own start-up and
// tear-down on the worker thread, before the first and after the last event.
// ExitEvent: the event that ends the worker's loop.
//
// Owner: the object that creates the processor (the engine, the logger). It
// adds observers, calls Start(), later Shutdown(true), then deletes the
// processor. The destructor neither joins nor cleans up, so Shutdown(true)
// (or Shutdown(false) followed by WaitForShutdown()) must come first.
// Observers are not owned and must outlive the worker.
//
// Threads: PostEvent() from any thread, including the worker, but only from a
// successful Start() until the processor is cleaned up. Everything else from
// the owner's thread, except that Shutdown(false) may also be called from the
// worker. Events, timer callbacks and observer callbacks all run on the
// worker, one at a time, never under the processor's mutex.
#ifndef ODAEDPF_SOFT_EVENT_PROCESSOR_H
#define ODAEDPF_SOFT_EVENT_PROCESSOR_H

#include <apr_pools.h>
#include <apr_thread_cond.h>
#include <apr_thread_mutex.h>
#include <apr_thread_proc.h>

#include <deque>
#include <vector>

#include "OdaEdpfAsyncEventProcessor.h"

namespace OdaEdpf {

class SoftEventProcessor : public AsyncEventTimerProcessor {
 public:
  class Observer {
   public:
    virtual ~Observer();
    // First thing on the worker. Returning false ends the worker before any
    // event is processed, and no observer's OnShutdown follows.
    virtual bool OnStart(SoftEventProcessor* processor);
    // Last thing on the worker, after the loop has ended.
    virtual void OnShutdown(SoftEventProcessor* processor);
  };

  SoftEventProcessor();
  // Frees the queue's storage but releases no queued event and touches no
  // observer.
  ~SoftEventProcessor() override;

  // Appends the event and wakes the worker. False, with the caller keeping its
  // reference, only when the processor is not started.
  bool PostEvent(AsyncEvent* event) override;

  // Creates the pool, mutex, condition variable and worker thread. False when
  // any of them cannot be created (everything made so far is released) or
  // when the processor is already started.
  virtual bool Start();
  // Posts an ExitEvent: every event posted before it is still processed, none
  // posted after it. With `wait` also joins the worker and cleans up; never
  // wait from the worker itself. False when there is no worker thread.
  virtual bool Shutdown(bool wait);
  // Joins the worker, if any, then releases pool and unprocessed events.
  virtual void WaitForShutdown();
  // Ends the loop after the current event; called from ExitEvent::Process().
  virtual void ProcessShutdown();

  // Appends an observer; only before Start().
  void AddObserver(Observer* observer);

 protected:
  // Worker: asks the observers in order; false at the first refusal.
  virtual bool OnStart();
  // Worker: tells every observer in order.
  virtual void OnShutdown();

  // Worker: the event loop. False at once when OnStart() refused.
  bool RunEventLoop();
  // Owner, with no worker running: destroys the pool with the mutex,
  // condition variable and thread objects, then releases every queued event
  // unprocessed.
  void Cleanup();

 private:
  friend void EventProcessorTask(SoftEventProcessor* processor);

  static void* APR_THREAD_FUNC WorkerMain(apr_thread_t* thread, void* data);

  apr_pool_t* pool_;           // null while not started
  apr_thread_t* thread_;       // null without a thread or once joined
  apr_thread_cond_t* cond_;    // signalled by posters while waiting_
  apr_thread_mutex_t* mutex_;  // default flags, not nested
  // Each pointer carries one reference owned by the queue. GUARDED_BY(mutex_),
  // except in Cleanup() when no worker exists.
  std::deque<AsyncEvent*> events_;
  // True only while the worker is blocked on cond_. GUARDED_BY(mutex_).
  bool waiting_;
  // Worker thread only.
  bool running_;
  // Not owned; filled before Start(), read by the worker.
  std::vector<Observer*> observers_;
};

// Worker thread body: runs the processor's event loop.
void EventProcessorTask(SoftEventProcessor* processor);

// Stops the processor it was made for; posted by Shutdown().
class ExitEvent : public AsyncEvent {
 public:
  explicit ExitEvent(SoftEventProcessor* processor) : processor_(processor) {}
  void Process() override { processor_->ProcessShutdown(); }

 private:
  SoftEventProcessor* const processor_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_SOFT_EVENT_PROCESSOR_H
