// AsyncEvent: the base of every unit of work that travels through an event
// processor's queue.
//
// An event is reference counted and deletes itself when its last holder lets
// go. A new event starts with one reference, held by its creator; posting it
// hands that reference to the processor's queue, and the processor drops it
// after Process() has run (or when the queue is released at clean-up). A
// poster that wants to look at the event after processing takes an extra
// reference with Ref() before posting and drops it with Unref() when done.
//
// Ref() and Unref() may be called from any thread. Process() runs on the
// processor's worker thread only.
#ifndef ODAEDPF_ASYNC_EVENT_H
#define ODAEDPF_ASYNC_EVENT_H

#include <atomic>
#include <cstdint>

namespace OdaEdpf {

class AsyncEvent {
 public:
  AsyncEvent(const AsyncEvent&) = delete;
  AsyncEvent& operator=(const AsyncEvent&) = delete;

  // Does the event's work; runs on the processor's worker thread.
  virtual void Process() = 0;

  // Adds one holder.
  void Ref();
  // Drops one holder and deletes the event when it was the last. Does nothing
  // when the count is already 0, which makes a stray Unref() from a derived
  // destructor harmless.
  void Unref();

 protected:
  // Starts with one reference, owned by the creator.
  AsyncEvent();
  // Only Unref() deletes events, so nobody else may destroy one.
  virtual ~AsyncEvent();

 private:
  std::atomic<std::uint32_t> ref_count_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_ASYNC_EVENT_H
