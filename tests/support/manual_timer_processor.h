// ManualTimerProcessor: a timer processor for tests of timer owners. Posted
// events (timer starts and stops) wait until the test runs them, and the
// timers read a clock that only the test moves, so nothing waits for time to
// pass.
//
// The clock is process-wide (a timer queue takes a plain function), so one
// test at a time. Destroy every timer owner before the processor: the
// destructor drops pending events unprocessed and deletes queued timers.
#ifndef TESTS_SUPPORT_MANUAL_TIMER_PROCESSOR_H
#define TESTS_SUPPORT_MANUAL_TIMER_PROCESSOR_H

#include <apr_time.h>

#include <cstdint>
#include <deque>

#include "OdaEdpfAsyncEventProcessor.h"
#include "OdaEdpfTimerQueue.h"

namespace corvex_test {

class ManualTimerProcessor : public OdaEdpf::AsyncEventTimerProcessor {
 public:
  // Microseconds; also usable as a store's clock.
  static apr_time_t Now() { return now_; }
  static void SetNow(apr_time_t now) { now_ = now; }

  ManualTimerProcessor() { GetTimerQueue()->SetClock(Now); }
  ~ManualTimerProcessor() override {
    for (OdaEdpf::AsyncEvent* event : pending_) event->Unref();
  }
  bool PostEvent(OdaEdpf::AsyncEvent* event) override {
    pending_.push_back(event);
    return true;
  }
  // Runs the posted events in order, including those they post.
  void RunPending() {
    while (!pending_.empty()) {
      OdaEdpf::AsyncEvent* event = pending_.front();
      pending_.pop_front();
      ProcessEvent(event);
    }
  }
  // Moves the clock by `ms` and fires what is due.
  void AdvanceMs(std::int64_t ms) {
    now_ += ms * 1000;
    GetTimerQueue()->Advance();
  }

 private:
  static inline apr_time_t now_ = 0;
  std::deque<OdaEdpf::AsyncEvent*> pending_;
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_MANUAL_TIMER_PROCESSOR_H
