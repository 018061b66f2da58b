#include "QelResampler.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace TARNWICKSS {

namespace {
// Room for a burst beyond the block's share of output.
constexpr std::size_t kBurstMargin = 1024;
// The library is fastest on blocks that stay in the cache; larger input is
// fed in steps of this size.
constexpr std::size_t kMaxStep = 4096;
}  // namespace

Resampler::Resampler(double source_rate, double target_rate, int max_input)
    : step_(std::min(kMaxStep, static_cast<std::size_t>(std::max(1, max_input)))) {
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  // One thread: the library runs on its caller's thread only.
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  if (source_rate > 0 && target_rate > 0) {
    soxr_ = soxr_create(source_rate, target_rate, 1, &error, &io, &quality, &runtime);
    if (error) soxr_ = nullptr;
  }
  const double ratio = source_rate > 0 ? target_rate / source_rate : 1.0;
  scratch_.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(step_) * ratio)) + kBurstMargin);
  held_.reserve(2 * scratch_.size());
}

Resampler::~Resampler() {
  if (soxr_) soxr_delete(soxr_);
}

int Resampler::Process(const std::int16_t* input, int count, std::int16_t* output, int capacity) {
  if (!soxr_ || count < 0 || capacity < 0 || (count > 0 && !input) || (capacity > 0 && !output)) return -1;
  if (flushed_) Clear();
  std::size_t taken = 0;
  const std::size_t total = static_cast<std::size_t>(count);
  while (taken < total) {
    const std::size_t step = std::min(total - taken, step_);
    std::size_t used = 0, produced = 0;
    // The library may take only part of the step when the scratch block
    // fills; the loop offers the rest again.
    if (soxr_process(soxr_, input + taken, step, &used, scratch_.data(), scratch_.size(), &produced)) return -1;
    if (used == 0 && produced == 0) return -1;
    Hold(scratch_.data(), produced);
    taken += used;
  }
  return Deliver(output, capacity);
}

int Resampler::Flush(std::int16_t* output, int capacity) {
  if (!soxr_ || capacity < 0 || (capacity > 0 && !output)) return -1;
  if (!flushed_) {
    flushed_ = true;
    for (;;) {
      std::size_t produced = 0;
      if (soxr_process(soxr_, nullptr, 0, nullptr, scratch_.data(), scratch_.size(), &produced)) return -1;
      if (produced == 0) break;
      Hold(scratch_.data(), produced);
    }
  }
  return Deliver(output, capacity);
}

void Resampler::Clear() {
  if (soxr_) soxr_clear(soxr_);
  held_.clear();
  held_begin_ = 0;
  flushed_ = false;
}

void Resampler::Hold(const std::int16_t* samples, std::size_t count) {
  if (count == 0) return;
  // Compact first, so the held output does not creep through memory.
  if (held_begin_ > 0) {
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(held_begin_));
    held_begin_ = 0;
  }
  held_.insert(held_.end(), samples, samples + count);
}

int Resampler::Deliver(std::int16_t* output, int capacity) {
  const std::size_t count = std::min(held(), static_cast<std::size_t>(capacity));
  if (count > 0) std::memcpy(output, held_.data() + held_begin_, count * sizeof(std::int16_t));
  held_begin_ += count;
  if (held_begin_ == held_.size()) {
    held_.clear();
    held_begin_ = 0;
  }
  return static_cast<int>(count);
}

}  // namespace TARNWICKSS
