#include "OdaEdpfAsyncEvent.h"

namespace OdaEdpf {

AsyncEvent::AsyncEvent() : ref_count_(0) { Ref(); }

AsyncEvent::~AsyncEvent() = default;

void AsyncEvent::Ref() { ref_count_.fetch_add(1, std::memory_order_relaxed); }

void AsyncEvent::Unref() {
  if (ref_count_.load(std::memory_order_acquire) == 0) {
    return;
  }
  // acq_rel: the last holder must see every write the other holders made
  // before they let go.
  if (ref_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete this;
  }
}

}  // namespace OdaEdpf
