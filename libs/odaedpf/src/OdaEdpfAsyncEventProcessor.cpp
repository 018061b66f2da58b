#include "OdaEdpfAsyncEventProcessor.h"

#include "OdaEdpfTimerQueue.h"

namespace OdaEdpf {

AsyncEventProcessor::~AsyncEventProcessor() = default;

void AsyncEventProcessor::ProcessEvent(AsyncEvent* event) {
  event->Process();
  event->Unref();
}

AsyncEventTimerProcessor::AsyncEventTimerProcessor() : timer_queue_(new TimerQueue()) {}

AsyncEventTimerProcessor::~AsyncEventTimerProcessor() = default;

bool AsyncEventTimerProcessor::ProcessStartTimer(Timer* timer) { return timer_queue_->AddTimer(timer); }

bool AsyncEventTimerProcessor::ProcessStopTimer(Timer* timer) { return timer_queue_->RemoveTimer(timer); }

}  // namespace OdaEdpf
