#include "OdaEdpfTimer.h"

#include "OdaEdpfAsyncEventProcessor.h"

namespace OdaEdpf {

TimerHandler::~TimerHandler() = default;

void TimerHandler::OnTimerStarted(Timer* /*timer*/) {}

void TimerHandler::OnTimerStopped(Timer* /*timer*/) {}

Timer::Timer(TimerHandler* handler, long interval, Type type, LifeTime life_time)
    : handler_(handler),
      interval_(interval),
      type_(type),
      due_point_(0),
      processor_(nullptr),
      started_(false),
      stop_requested_(false),
      life_time_(life_time) {}

Timer::~Timer() = default;

bool Timer::Start(AsyncEventTimerProcessor* processor) {
  if (processor == nullptr || started_) {
    return false;
  }
  processor_ = processor;
  started_ = true;
  AsyncEvent* event = new StartTimerEvent(this);
  if (!processor->PostEvent(event)) {
    // The processor is not running: nothing will queue the timer, so leave
    // it startable rather than stuck in "started".
    event->Unref();
    started_ = false;
    return false;
  }
  return true;
}

bool Timer::Stop() {
  if (processor_ == nullptr || stop_requested_) {
    return false;
  }
  stop_requested_ = true;
  AsyncEvent* event = new StopTimerEvent(this);
  if (!processor_->PostEvent(event)) {
    event->Unref();
    stop_requested_ = false;
    return false;
  }
  return true;
}

void StartTimerEvent::Process() { timer_->GetProcessor()->ProcessStartTimer(timer_); }

void StopTimerEvent::Process() { timer_->GetProcessor()->ProcessStopTimer(timer_); }

}  // namespace OdaEdpf
