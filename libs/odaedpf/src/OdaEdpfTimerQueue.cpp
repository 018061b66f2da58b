#include "OdaEdpfTimerQueue.h"

#include <iterator>
#include <limits>

#include "OdaEdpfTimer.h"

namespace OdaEdpf {

namespace {

// Past this many milliseconds the time base is moved forward.
constexpr std::int64_t kMaxElapsed = 65534;

// elapsed + interval, saturated: an interval too long to count from here is
// due at the end of the scale, which in practice is never, rather than
// wrapping into the past and firing at once.
std::int64_t DuePoint(std::int64_t elapsed, std::int64_t interval) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  return interval > kMax - elapsed ? kMax : elapsed + interval;
}

}  // namespace

TimerQueue::TimerQueue(Clock clock) : elapsed_(0), last_time_(0), clock_(clock) {}

TimerQueue::~TimerQueue() {
  for (Timer* timer : timers_) {
    delete timer;
  }
}

bool TimerQueue::AddTimer(Timer* timer) {
  if (timer == nullptr || timer->interval_ == 0 || timer->handler_ == nullptr) {
    return false;
  }
  if (timer->due_point_ != 0) {
    timers_.remove(timer);
    timer->due_point_ = 0;
  }
  timer->due_point_ = DuePoint(elapsed_, timer->interval_);
  InsertTimer(timer);
  timer->handler_->OnTimerStarted(timer);
  return true;
}

bool TimerQueue::RemoveTimer(Timer* timer) {
  if (timer == nullptr) {
    return false;
  }
  if (timer->due_point_ != 0) {
    timers_.remove(timer);
    timer->due_point_ = 0;
  }
  const Timer::LifeTime life_time = timer->life_time_;
  timer->started_ = false;
  timer->stop_requested_ = false;
  // A timer refused for a missing handler can still be stopped.
  if (timer->handler_ != nullptr) {
    timer->handler_->OnTimerStopped(timer);
  }
  if (life_time == Timer::DeleteOnStop) {
    delete timer;
  }
  if (timers_.empty()) {
    elapsed_ = 0;
  }
  return true;
}

bool TimerQueue::InsertTimer(Timer* timer) {
  if (timers_.empty()) {
    timers_.push_back(timer);
    last_time_ = clock_();
    return true;
  }
  // New timers are usually the latest due, so search from the back; stopping
  // at the first entry that is not later keeps equal due points in insertion
  // order.
  auto it = timers_.end();
  while (it != timers_.begin()) {
    auto prev = std::prev(it);
    if ((*prev)->due_point_ <= timer->due_point_) {
      break;
    }
    it = prev;
  }
  timers_.insert(it, timer);
  return true;
}

bool TimerQueue::Advance() {
  if (timers_.empty()) {
    return true;
  }
  const apr_time_t now = clock_();
  if (static_cast<std::uint64_t>(last_time_) > static_cast<std::uint64_t>(now)) {
    // The clock stepped back: wait until it has passed the last reading.
    return false;
  }
  // Whole milliseconds only; the remainder stays in last_time_ for the next
  // advance. Dropping it would stop the scale altogether for a busy
  // processor, which advances every few microseconds.
  const apr_time_t whole_ms = (now - last_time_) / 1000;
  elapsed_ += whole_ms;
  last_time_ += whole_ms * 1000;
  if (elapsed_ > kMaxElapsed) {
    Reschedule();
  }

  while (!timers_.empty() && timers_.front()->due_point_ <= elapsed_) {
    Timer* timer = timers_.front();
    timers_.pop_front();
    timer->due_point_ = 0;
    if (timer->stop_requested_) {
      // Its pending stop event finishes it.
      continue;
    }
    if (timer->type_ == Timer::Periodic) {
      timer->handler_->OnTimeoutElapsed(timer);
      // Counted from this advance, so missed periods are not made up.
      timer->due_point_ = DuePoint(elapsed_, timer->interval_);
      InsertTimer(timer);
    } else {
      timer->started_ = false;
      // The handler may start or delete the timer; it is not touched after.
      timer->handler_->OnTimeoutElapsed(timer);
    }
  }
  if (timers_.empty()) {
    elapsed_ = 0;
  }
  return true;
}

void TimerQueue::Reschedule() {
  for (Timer* timer : timers_) {
    timer->due_point_ = timer->due_point_ > elapsed_ ? timer->due_point_ - elapsed_ : 0;
  }
  elapsed_ = 0;
}

std::int64_t TimerQueue::GetTimeout() const {
  if (timers_.empty()) {
    return 0;
  }
  return timers_.front()->due_point_ - elapsed_;
}

}  // namespace OdaEdpf
