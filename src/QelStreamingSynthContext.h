// The state of one segment's cloud synthesis.
//
// Owned by the channel (its synthesis context) from the start of a text
// segment until that segment's audio has been delivered or has failed; the
// channel refuses a new SPEAK and defers a close while one exists. Confined
// to the engine's event-processor thread.
#ifndef QEL_STREAMING_SYNTH_CONTEXT_H
#define QEL_STREAMING_SYNTH_CONTEXT_H

namespace TARNWICKSS {

struct StreamingSynthContext {
  StreamingSynthContext() = default;
  StreamingSynthContext(const StreamingSynthContext&) = delete;
  StreamingSynthContext& operator=(const StreamingSynthContext&) = delete;
};

}  // namespace TARNWICKSS

#endif  // QEL_STREAMING_SYNTH_CONTEXT_H
