#include "OdaEdpfSoftEventProcessor.h"

#include <apr_errno.h>

#include <algorithm>
#include <cstdint>

#include "OdaEdpfTimerQueue.h"

namespace OdaEdpf {

namespace {

// While events keep the queue from running empty, due timers still get a
// turn after this many events.
constexpr int kEventsPerTimerTurn = 10;

// The longest single wait for a timer. A far due point is waited for in
// turns of this length: in microseconds and added to the clock (as the wait
// does), a due point centuries away would overflow into the past and the
// worker would spin.
constexpr std::int64_t kMaxTimerWaitMs = 3600 * 1000;

}  // namespace

SoftEventProcessor::Observer::~Observer() = default;

bool SoftEventProcessor::Observer::OnStart(SoftEventProcessor* /*processor*/) { return true; }

void SoftEventProcessor::Observer::OnShutdown(SoftEventProcessor* /*processor*/) {}

SoftEventProcessor::SoftEventProcessor()
    : pool_(nullptr), thread_(nullptr), cond_(nullptr), mutex_(nullptr), waiting_(false), running_(false) {}

SoftEventProcessor::~SoftEventProcessor() = default;

bool SoftEventProcessor::PostEvent(AsyncEvent* event) {
  if (mutex_ == nullptr) {
    return false;
  }
  apr_thread_mutex_lock(mutex_);
  events_.push_back(event);
  // Signalling under the mutex, and only while the worker says it waits,
  // cannot lose a wake-up: the worker sets the flag with the mutex held.
  if (waiting_) {
    apr_thread_cond_signal(cond_);
  }
  apr_thread_mutex_unlock(mutex_);
  return true;
}

bool SoftEventProcessor::Start() {
  if (pool_ != nullptr) {
    return false;
  }
  if (apr_pool_create_ex(&pool_, nullptr, nullptr, nullptr) != APR_SUCCESS) {
    pool_ = nullptr;
    return false;
  }
  // Without the mutex or condition variable the worker could neither wait nor
  // be posted to, so refuse to start.
  if (apr_thread_mutex_create(&mutex_, APR_THREAD_MUTEX_DEFAULT, pool_) != APR_SUCCESS ||
      apr_thread_cond_create(&cond_, pool_) != APR_SUCCESS) {
    Cleanup();
    return false;
  }
  if (apr_thread_create(&thread_, nullptr, WorkerMain, this, pool_) != APR_SUCCESS) {
    Cleanup();
    return false;
  }
  return true;
}

bool SoftEventProcessor::Shutdown(bool wait) {
  if (thread_ == nullptr) {
    return false;
  }
  PostEvent(new ExitEvent(this));
  if (!wait) {
    return true;
  }
  WaitForShutdown();
  return true;
}

void SoftEventProcessor::WaitForShutdown() {
  if (thread_ != nullptr) {
    apr_status_t exit_status;
    apr_thread_join(&exit_status, thread_);
    thread_ = nullptr;
  }
  Cleanup();
}

void SoftEventProcessor::ProcessShutdown() { running_ = false; }

void SoftEventProcessor::AddObserver(Observer* observer) { observers_.push_back(observer); }

bool SoftEventProcessor::OnStart() {
  for (Observer* observer : observers_) {
    if (!observer->OnStart(this)) {
      return false;
    }
  }
  return true;
}

void SoftEventProcessor::OnShutdown() {
  for (Observer* observer : observers_) {
    observer->OnShutdown(this);
  }
}

bool SoftEventProcessor::RunEventLoop() {
  if (!OnStart()) {
    return false;
  }
  running_ = true;
  TimerQueue* timers = GetTimerQueue();
  // Events handled since the timers last had a turn.
  int burst = 0;
  for (;;) {
    ++burst;
    apr_thread_mutex_lock(mutex_);
    if (events_.empty()) {
      waiting_ = true;
      apr_status_t status;
      if (timers->HasTimers()) {
        // Sleep no longer than until the first timer is due.
        const std::int64_t wait_ms = std::clamp<std::int64_t>(timers->GetTimeout(), 0, kMaxTimerWaitMs);
        status = apr_thread_cond_timedwait(cond_, mutex_, wait_ms * 1000);
      } else {
        status = apr_thread_cond_wait(cond_, mutex_);
      }
      waiting_ = false;
      bool have_event = false;
      if (status == APR_SUCCESS || APR_STATUS_IS_TIMEUP(status)) {
        if (timers->HasTimers()) {
          apr_thread_mutex_unlock(mutex_);
          timers->Advance();
          apr_thread_mutex_lock(mutex_);
        }
        burst = 1;
        have_event = !events_.empty();
      }
      if (!have_event) {
        apr_thread_mutex_unlock(mutex_);
        burst = 0;
        if (running_) {
          continue;
        }
        break;
      }
    }
    AsyncEvent* event = events_.front();
    events_.pop_front();
    apr_thread_mutex_unlock(mutex_);

    ProcessEvent(event);

    if (burst > kEventsPerTimerTurn && timers->HasTimers()) {
      timers->Advance();
      burst = 0;
    }
    if (!running_) {
      break;
    }
  }
  OnShutdown();
  return true;
}

void SoftEventProcessor::Cleanup() {
  if (pool_ != nullptr) {
    apr_pool_destroy(pool_);
    pool_ = nullptr;
    thread_ = nullptr;
    cond_ = nullptr;
    mutex_ = nullptr;
  }
  while (!events_.empty()) {
    AsyncEvent* event = events_.front();
    events_.pop_front();
    event->Unref();
  }
}

void* APR_THREAD_FUNC SoftEventProcessor::WorkerMain(apr_thread_t* thread, void* data) {
  EventProcessorTask(static_cast<SoftEventProcessor*>(data));
  apr_thread_exit(thread, APR_SUCCESS);
  return nullptr;
}

void EventProcessorTask(SoftEventProcessor* processor) { processor->RunEventLoop(); }

}  // namespace OdaEdpf
