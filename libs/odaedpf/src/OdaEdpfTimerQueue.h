// TimerQueue: the running timers of one event processor, in due order.
//
// Owned by an AsyncEventTimerProcessor; every operation runs on that
// processor's worker thread, so the queue has no lock of its own. Handler
// callbacks are made from AddTimer, RemoveTimer and Advance on that thread.
//
// Time is kept as a millisecond count, `elapsed`, since the queue's time
// base; due points are on the same scale. The count moves only in Advance(),
// by the clock time since the previous advance (or since the insertion into
// an empty queue). To keep the numbers small the base is moved forward once
// the count passes 65534 ms, and the count restarts at 0 whenever the queue
// runs empty.
//
// Invariants:
//   - timers_ is sorted by ascending due point; equal due points keep the
//     order in which they were inserted;
//   - a timer outside timers_ has due point 0; a queued one has a non-zero
//     due point, except between Reschedule() and the firing of the same
//     Advance(), which takes every due point 0 off the front;
//   - timers_ empty implies elapsed_ == 0.
#ifndef ODAEDPF_TIMER_QUEUE_H
#define ODAEDPF_TIMER_QUEUE_H

#include <apr_time.h>

#include <cstdint>
#include <list>

namespace OdaEdpf {

class Timer;

class TimerQueue {
 public:
  // Source of the current time in microseconds. Tests replace it to move time
  // without sleeping.
  using Clock = apr_time_t (*)();

  explicit TimerQueue(Clock clock = apr_time_now);
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;
  // Deletes every timer still queued, whatever its life time.
  ~TimerQueue();

  // Queues a started timer one interval from the current elapsed count and
  // tells its handler. A due point past the end of the scale is held at the
  // end: due never, in practice. False, with no callback, for a null timer, a zero
  // interval or a null handler.
  bool AddTimer(Timer* timer);
  // Finishes a stop: unqueues the timer, clears its flags, tells its handler
  // and, for DeleteOnStop, deletes it. False only for a null timer.
  bool RemoveTimer(Timer* timer);
  // Places a timer with its due point already set. Always true.
  bool InsertTimer(Timer* timer);
  // Accounts the clock time since the last advance and fires every due
  // timer. False, with nothing changed, when the clock reads earlier than at
  // the last advance.
  bool Advance();
  // Moves the time base forward to the elapsed count: due points become
  // relative to it (0 when already due) and elapsed becomes 0.
  void Reschedule();
  // Milliseconds from the elapsed count to the first due point; 0 when
  // empty. Ignores clock time not yet accounted by Advance().
  std::int64_t GetTimeout() const;

  bool HasTimers() const { return !timers_.empty(); }

  // Replaces the clock; only while no other thread uses the queue.
  void SetClock(Clock clock) { clock_ = clock; }

 private:
  std::list<Timer*> timers_;
  std::int64_t elapsed_;  // milliseconds since the time base
  apr_time_t last_time_;  // clock reading of the last advance less what it did not count, microseconds
  Clock clock_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_TIMER_QUEUE_H
