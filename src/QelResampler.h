// Sample-rate conversion of 16-bit mono audio (cloud audio at 16000 Hz to an
// 8000 Hz channel) through libsoxr, at its high quality (alias products far
// below what 16-bit samples can carry) and without dither, so the same input
// always gives the same output.
//
// Contract: construct with the source rate, the target rate and the largest
// block Process takes at once; Process returns the samples produced so far,
// which may be 0 while the filter fills; Flush ends the input and hands back
// what the filter still holds; Clear makes it as new.
//
// libsoxr produces output in bursts (one 3200-sample block at 16000 Hz can
// yield more than 1600 samples at 8000 Hz) and holds back some hundred
// samples until flushed. This adapter never writes more than the caller's
// output block: the surplus is kept and handed back first by the next call.
// After Flush, the next Process starts a new stream (libsoxr itself must not
// take input after a flush until it has been cleared).
//
// Not thread-safe: one owner thread (the engine's).
#ifndef QEL_RESAMPLER_H
#define QEL_RESAMPLER_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct soxr;

namespace TARNWICKSS {

class Resampler {
 public:
  // `max_input` sizes the working buffers (up to a cache-friendly step);
  // larger blocks are still taken, fed to the library step by step.
  Resampler(double source_rate, double target_rate, int max_input);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // False when the library refused the rates; every call then returns -1.
  bool IsValid() const { return soxr_ != nullptr; }

  // Takes `count` input samples and writes at most `capacity` output samples
  // to `output`. Returns the number written, or -1 when the library failed
  // or an argument is invalid (nothing is taken then).
  int Process(const std::int16_t* input, int count, std::int16_t* output, int capacity);
  // Ends the input and writes at most `capacity` of the remaining samples;
  // call until it returns 0. Over a whole stream, n input samples give
  // n * target / source output samples (rounded). -1 as for Process.
  int Flush(std::int16_t* output, int capacity);
  // Drops the input taken and the output not yet handed back.
  void Clear();

  // Output produced and not yet handed back.
  std::size_t held() const { return held_.size() - held_begin_; }

 private:
  // Moves `count` samples into the held output.
  void Hold(const std::int16_t* samples, std::size_t count);
  // Writes up to `capacity` held samples; returns how many.
  int Deliver(std::int16_t* output, int capacity);

  soxr* soxr_ = nullptr;
  std::size_t step_;  // the most input one library call gets
  bool flushed_ = false;
  std::vector<std::int16_t> scratch_;  // one library call's output
  std::vector<std::int16_t> held_;     // produced output; [held_begin_, end) not yet handed back
  std::size_t held_begin_ = 0;
};

}  // namespace TARNWICKSS

#endif  // QEL_RESAMPLER_H
