// SilenceWatch. End publishes the end (time, then SPEAK) before it clears
// the audible SPEAK, so a media thread that sees no audible SPEAK sees the
// end that silenced it. A loud frame keeps the end it was judged against:
// a later end must not be blamed for it.
#include "silence_watch.h"

namespace corvex {

SilenceWatch::Finding SilenceWatch::Begin(mrcp_request_id speak, std::int64_t now_us) {
  audible_.store(speak, std::memory_order_release);
  const std::int64_t loud = loud_at_.exchange(0);
  if (loud == 0 || now_us - loud <= kSlackUs) return Finding();
  return Claim();
}

void SilenceWatch::End(mrcp_request_id speak, std::int64_t now_us) {
  if (audible_.load(std::memory_order_relaxed) != speak) return;
  ended_at_.store(now_us, std::memory_order_relaxed);
  ended_.store(speak, std::memory_order_release);
  audible_.store(0, std::memory_order_release);
}

SilenceWatch::Finding SilenceWatch::AfterRead(mrcp_request_id audible_before, std::int64_t read_us, bool audio,
                                              std::int64_t now_us) {
  if (audio && audible_before == 0 && audible_.load(std::memory_order_acquire) == 0 &&
      loud_at_.load(std::memory_order_acquire) == 0) {
    const mrcp_request_id ended = ended_.load(std::memory_order_acquire);
    const std::int64_t ended_at = ended_at_.load(std::memory_order_relaxed);
    if (ended != 0 && ended != reported_.load(std::memory_order_relaxed) && read_us - ended_at > kSlackUs) {
      // Only this thread sets loud_at_, so the frame's account is written
      // before it is published and never over a waiting one.
      loud_speak_.store(ended, std::memory_order_relaxed);
      loud_late_us_.store(read_us - ended_at, std::memory_order_relaxed);
      loud_at_.store(read_us, std::memory_order_release);
      // A SPEAK that began meanwhile (and may have ended) may not have seen
      // the frame, so its IN-PROGRESS could not excuse it: withdrawn, rather
      // than judged against the wrong end.
      if (audible_.load(std::memory_order_acquire) != 0 || ended_.load(std::memory_order_acquire) != ended) {
        std::int64_t mine = read_us;
        loud_at_.compare_exchange_strong(mine, 0);
      }
    }
  }
  // Still silent past the slack: no IN-PROGRESS excuses it any more.
  const std::int64_t loud = loud_at_.load();
  if (loud == 0 || now_us - loud <= kSlackUs || audible_.load(std::memory_order_acquire) != 0) return Finding();
  std::int64_t expected = loud;
  if (!loud_at_.compare_exchange_strong(expected, 0)) return Finding();
  return Claim();
}

SilenceWatch::Finding SilenceWatch::Flush() { return loud_at_.exchange(0) == 0 ? Finding() : Claim(); }

SilenceWatch::Finding SilenceWatch::Claim() {
  Finding finding;
  const mrcp_request_id speak = loud_speak_.load(std::memory_order_relaxed);
  if (speak == 0 || reported_.exchange(speak) == speak) return finding;
  finding.speak = speak;
  finding.late_us = loud_late_us_.load(std::memory_order_relaxed);
  return finding;
}

}  // namespace corvex
