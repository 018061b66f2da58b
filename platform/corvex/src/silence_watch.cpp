// SilenceWatch. End publishes the end (time, then SPEAK) before it clears
// the audible SPEAK, so a media thread that sees no audible SPEAK sees the
// end that silenced it.
#include "silence_watch.h"

namespace corvex {

SilenceWatch::Finding SilenceWatch::Begin(mrcp_request_id speak, std::int64_t now_us) {
  audible_.store(speak, std::memory_order_release);
  const std::int64_t loud = loud_at_.exchange(0);
  if (loud == 0 || now_us - loud <= kSlackUs) return Finding();
  return Claim(loud);
}

void SilenceWatch::End(mrcp_request_id speak, std::int64_t now_us) {
  if (audible_.load(std::memory_order_relaxed) != speak) return;
  ended_at_.store(now_us, std::memory_order_relaxed);
  ended_.store(speak, std::memory_order_release);
  audible_.store(0, std::memory_order_release);
}

SilenceWatch::Finding SilenceWatch::AfterRead(mrcp_request_id audible_before, std::int64_t read_us, bool audio,
                                              std::int64_t now_us) {
  if (audio && audible_before == 0 && audible_.load(std::memory_order_acquire) == 0) {
    const mrcp_request_id ended = ended_.load(std::memory_order_acquire);
    if (ended != 0 && ended != reported_.load(std::memory_order_relaxed) &&
        read_us - ended_at_.load(std::memory_order_relaxed) > kSlackUs) {
      std::int64_t none = 0;
      loud_at_.compare_exchange_strong(none, read_us);
    }
  }
  // Still silent past the slack: no IN-PROGRESS excuses it any more.
  const std::int64_t loud = loud_at_.load();
  if (loud == 0 || now_us - loud <= kSlackUs || audible_.load(std::memory_order_acquire) != 0) return Finding();
  std::int64_t expected = loud;
  if (!loud_at_.compare_exchange_strong(expected, 0)) return Finding();
  return Claim(loud);
}

SilenceWatch::Finding SilenceWatch::Flush() {
  const std::int64_t loud = loud_at_.exchange(0);
  return loud == 0 ? Finding() : Claim(loud);
}

SilenceWatch::Finding SilenceWatch::Claim(std::int64_t loud_us) {
  Finding finding;
  const mrcp_request_id ended = ended_.load(std::memory_order_acquire);
  if (ended == 0 || reported_.exchange(ended) == ended) return finding;
  finding.speak = ended;
  finding.late_us = loud_us - ended_at_.load(std::memory_order_relaxed);
  return finding;
}

}  // namespace corvex
