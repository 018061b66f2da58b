#include "QelCloudAudioConverter.h"

#include <algorithm>
#include <cstring>

namespace TARNWICKSS {

namespace {

constexpr unsigned kPcm = 1;
constexpr unsigned kExtensible = 0xFFFE;

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

unsigned Le16(const std::uint8_t* p) { return static_cast<unsigned>(p[0] | p[1] << 8); }

// Bytes each header part needs.
std::size_t PartSize(int part) { return part == 0 ? 12 : part == 1 ? 8 : 16; }

}  // namespace

CloudAudioConverter::CloudAudioConverter() = default;

CloudAudioConverter::~CloudAudioConverter() = default;

bool CloudAudioConverter::Start(unsigned target_rate, std::size_t header_size) {
  header_size_ = header_size;
  header_part_ = header_size > 0 ? HeaderPart::kRiff : HeaderPart::kSamples;
  skip_ = 0;
  part_fill_ = 0;
  refused_ = false;
  format_ = Format();
  odd_byte_pending_ = false;
  input_fill_ = 0;
  input_samples_ = 0;
  output_samples_ = 0;
  if (target_rate == kSourceRate) {
    resampler_.reset();
    target_rate_ = target_rate;
    valid_ = true;
    return true;
  }
  if (resampler_ && target_rate_ == target_rate) {
    resampler_->Clear();
  } else {
    resampler_ = std::make_unique<Resampler>(kSourceRate, target_rate, static_cast<int>(kInputBlock));
    input_block_.assign(kInputBlock, 0);
    output_block_.assign(std::max<std::size_t>(1, static_cast<std::size_t>(target_rate) * 200 / 1000), 0);
  }
  target_rate_ = target_rate;
  valid_ = resampler_->IsValid();
  if (!valid_) resampler_.reset();
  return valid_;
}

bool CloudAudioConverter::Write(const void* data, std::size_t size, const Sink& sink) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (!valid_ || refused_ || (size > 0 && !bytes)) return false;
  // The header may be spread over several pieces.
  if (!TakeHeader(bytes, size)) return false;
  if (size == 0) return true;

  bool ok = true;
  if (odd_byte_pending_) {
    const std::uint8_t joined[2] = {odd_byte_, bytes[0]};
    odd_byte_pending_ = false;
    ++bytes;
    --size;
    ok = Take(joined, 1, sink);
  }
  ok = Take(bytes, size / 2, sink) && ok;
  if (size % 2 != 0) {
    odd_byte_pending_ = true;
    odd_byte_ = bytes[size - 1];
  }
  return ok;
}

bool CloudAudioConverter::TakeHeader(const std::uint8_t*& bytes, std::size_t& size) {
  while (size > 0 && (skip_ > 0 || header_part_ != HeaderPart::kSamples)) {
    if (skip_ > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, size));
      bytes += n;
      size -= n;
      skip_ -= n;
      continue;
    }
    const std::size_t need = PartSize(static_cast<int>(header_part_));
    const std::size_t n = std::min(need - part_fill_, size);
    std::memcpy(part_ + part_fill_, bytes, n);
    part_fill_ += n;
    bytes += n;
    size -= n;
    if (part_fill_ < need) break;
    part_fill_ = 0;
    if (!OnHeaderPart()) {
      refused_ = true;
      size = 0;
      return false;
    }
  }
  return true;
}

bool CloudAudioConverter::OnHeaderPart() {
  switch (header_part_) {
    case HeaderPart::kRiff:
      if (std::memcmp(part_, "RIFF", 4) == 0 && std::memcmp(part_ + 8, "WAVE", 4) == 0) {
        header_part_ = HeaderPart::kChunk;
      } else {
        skip_ = header_size_ > 12 ? header_size_ - 12 : 0;
        header_part_ = HeaderPart::kSamples;
      }
      return true;
    case HeaderPart::kChunk: {
      const std::uint32_t size = Le32(part_ + 4);
      if (std::memcmp(part_, "data", 4) == 0) {
        header_part_ = HeaderPart::kSamples;
      } else if (std::memcmp(part_, "fmt ", 4) == 0 && size >= 16) {
        header_part_ = HeaderPart::kFormat;
        format_rest_ = size - 16 + (size & 1);
      } else {
        skip_ = static_cast<std::uint64_t>(size) + (size & 1);  // chunks are word-aligned
      }
      return true;
    }
    case HeaderPart::kFormat:
      format_ = Format{Le16(part_), Le16(part_ + 2), Le32(part_ + 4), Le16(part_ + 14)};
      skip_ = format_rest_;
      header_part_ = HeaderPart::kChunk;
      return (format_.tag == kPcm || format_.tag == kExtensible) && format_.channels == 1 &&
             format_.rate == kSourceRate && format_.bits == 16;
    case HeaderPart::kSamples:
      break;
  }
  return true;
}

bool CloudAudioConverter::Finish(const Sink& sink) {
  if (!valid_ || refused_) return false;
  odd_byte_pending_ = false;
  if (!resampler_) return true;
  bool ok = true;
  if (input_fill_ > 0) {
    ok = Convert(input_fill_, sink);
    input_fill_ = 0;
  }
  for (;;) {
    const int produced = resampler_->Flush(output_block_.data(), static_cast<int>(output_block_.size()));
    if (produced < 0) return false;
    if (produced == 0) break;
    Deliver(produced, sink);
  }
  return ok;
}

bool CloudAudioConverter::Take(const std::uint8_t* bytes, std::size_t count, const Sink& sink) {
  input_samples_ += count;
  if (!resampler_) {
    // The cloud's byte order is the channel's (both little-endian here).
    if (count > 0) sink(bytes, count * 2);
    output_samples_ += count;
    return true;
  }
  bool ok = true;
  while (count > 0) {
    const std::size_t n = std::min(count, kInputBlock - input_fill_);
    std::int16_t* to = input_block_.data() + input_fill_;
    for (std::size_t i = 0; i < n; ++i) {
      to[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
    }
    bytes += 2 * n;
    count -= n;
    input_fill_ += n;
    if (input_fill_ == kInputBlock) {
      ok = Convert(kInputBlock, sink) && ok;
      input_fill_ = 0;
    }
  }
  // What is left of the piece is converted now too, not held until a whole
  // block has arrived: the resampler's output does not depend on how its input
  // is split, and a paced body then reaches the channel as it comes.
  if (input_fill_ > 0) {
    ok = Convert(input_fill_, sink) && ok;
    input_fill_ = 0;
  }
  return ok;
}

bool CloudAudioConverter::Convert(std::size_t count, const Sink& sink) {
  const int capacity = static_cast<int>(output_block_.size());
  int produced = resampler_->Process(input_block_.data(), static_cast<int>(count), output_block_.data(), capacity);
  // The resampler works in bursts and keeps what does not fit the output
  // block; take all of it now rather than let it pile up.
  for (;;) {
    if (produced < 0) return false;
    Deliver(produced, sink);
    if (resampler_->held() == 0) return true;
    produced = resampler_->Process(nullptr, 0, output_block_.data(), capacity);
  }
}

void CloudAudioConverter::Deliver(int count, const Sink& sink) {
  const std::uint64_t allowed = input_samples_ * target_rate_ / kSourceRate;
  const std::uint64_t room = allowed > output_samples_ ? allowed - output_samples_ : 0;
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(count), room));
  if (n == 0) return;
  sink(reinterpret_cast<const std::uint8_t*>(output_block_.data()), n * sizeof(std::int16_t));
  output_samples_ += n;
}

}  // namespace TARNWICKSS
