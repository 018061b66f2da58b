// SilenceWatch: holds one channel's audio to "ended means silent".
//
// A SPEAK may be heard from its IN-PROGRESS to its end: its final answer
// (SPEAK-COMPLETE, also the cancelled one of a SPEAK a newer one replaced,
// or an error response) or the STOP or BARGE-IN-OCCURRED response that
// named it. From an end to the next SPEAK's IN-PROGRESS the channel is
// silent: a frame with audio read then is audio after the end of the SPEAK
// that ended last. Frames carry no request id, so they are told apart by
// time: a frame whose read began before the end is the SPEAK's own, and a
// frame read within kSlackUs after the end (already on its way) or before
// the next IN-PROGRESS (a plugin that starts playing just before it says so)
// is allowed. Each ended SPEAK is reported once.
//
// Owned by its HostChannel. Begin and End are called by the thread that
// delivered the plugin's message (under the host's mutex, so never two at
// once); BeforeRead, AfterRead and Flush by the channel's media thread.
// Lock-free: the media thread never waits for the others. Times are
// microseconds of one monotonic clock.
#ifndef CORVEX_SILENCE_WATCH_H
#define CORVEX_SILENCE_WATCH_H

#include <atomic>
#include <cstdint>

#include "corvex/mrcp_message.h"

namespace corvex {

class SilenceWatch {
 public:
  static constexpr std::int64_t kSlackUs = 10000;

  // Audio after the end of `speak` (0: none), first read `late_us` after it.
  struct Finding {
    mrcp_request_id speak = 0;
    std::int64_t late_us = 0;
  };

  // The SPEAK's IN-PROGRESS arrived: its audio may play.
  Finding Begin(mrcp_request_id speak, std::int64_t now_us);
  // The SPEAK ended (it may never have begun).
  void End(mrcp_request_id speak, std::int64_t now_us);

  // Media thread: what to pass to AfterRead, taken just before a read.
  mrcp_request_id BeforeRead() const { return audible_.load(std::memory_order_acquire); }
  // Media thread, after each read: `audible_before` from BeforeRead,
  // `read_us` when the read began, `audio` whether the frame carried audio.
  Finding AfterRead(mrcp_request_id audible_before, std::int64_t read_us, bool audio, std::int64_t now_us);
  // Media thread, when it stops: audio still waiting for an IN-PROGRESS.
  Finding Flush();

 private:
  // Claims the loud frame just taken from loud_at_ for a report.
  Finding Claim();

  std::atomic<mrcp_request_id> audible_{0};  // between its IN-PROGRESS and its end; 0: none
  std::atomic<mrcp_request_id> ended_{0};    // the SPEAK that ended last, once audible
  std::atomic<std::int64_t> ended_at_{0};
  // The first frame with audio read while silence was due, more than the
  // slack after the end: it is judged once the slack before an IN-PROGRESS
  // has passed (0: none waiting).
  std::atomic<std::int64_t> loud_at_{0};
  // The end the waiting loud frame came after, and how long after; written
  // by the media thread before it publishes loud_at_.
  std::atomic<mrcp_request_id> loud_speak_{0};
  std::atomic<std::int64_t> loud_late_us_{0};
  std::atomic<mrcp_request_id> reported_{0};
};

}  // namespace corvex

#endif  // CORVEX_SILENCE_WATCH_H
