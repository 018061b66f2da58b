#include "QelCloudAudioConverter.h"

#include <algorithm>
#include <array>

namespace TARNWICKSS {

namespace {
// Bytes read from a whole WAVE at a time: one input block.
constexpr std::size_t kWholePiece = CloudAudioConverter::kInputBlock * 2;
}  // namespace

CloudAudioConverter::CloudAudioConverter() = default;

CloudAudioConverter::~CloudAudioConverter() = default;

void CloudAudioConverter::Start(unsigned target_rate) {
  reader_.Start();
  target_rate_ = target_rate;
  accepted_ = false;
  resample_ = false;
  intact_ = true;
  odd_byte_pending_ = false;
  input_samples_ = 0;
  output_samples_ = 0;
  whole_read_ = nullptr;
  whole_left_ = 0;
}

bool CloudAudioConverter::Accept() {
  accepted_ = true;
  const std::uint32_t source_rate = reader_.format().rate;
  if (source_rate == target_rate_) return true;
  if (source_rate != kSourceRate || target_rate_ == 0 || target_rate_ > kSourceRate) return false;
  if (resampler_ && resampler_rate_ == target_rate_) {
    resampler_->Clear();
  } else {
    resampler_ = std::make_unique<Resampler>(kSourceRate, target_rate_, static_cast<int>(kInputBlock));
    resampler_rate_ = target_rate_;
    input_block_.assign(kInputBlock, 0);
    output_block_.assign(std::max<std::size_t>(1, static_cast<std::size_t>(target_rate_) * 200 / 1000), 0);
  }
  if (!resampler_->IsValid()) {
    resampler_.reset();
    return false;
  }
  resample_ = true;
  return true;
}

bool CloudAudioConverter::Write(const void* data, std::size_t size, const Sink& sink) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (size > 0 && !bytes) return false;
  const std::uint8_t* audio = nullptr;
  std::size_t audio_size = 0;
  if (!reader_.Read(bytes, size, audio, audio_size)) return false;
  if (!accepted_ && reader_.in_audio() && !Accept()) {
    reader_.Refuse(WaveReader::Problem::kFormat);
    return false;
  }
  if (audio_size == 0) return true;

  bool ok = true;
  if (odd_byte_pending_) {
    const std::uint8_t joined[2] = {odd_byte_, audio[0]};
    odd_byte_pending_ = false;
    ++audio;
    --audio_size;
    ok = Take(joined, 1, sink);
  }
  ok = Take(audio, audio_size / 2, sink) && ok;
  if (audio_size % 2 != 0) {
    odd_byte_pending_ = true;
    odd_byte_ = audio[audio_size - 1];
  }
  return ok;
}

bool CloudAudioConverter::Finish(const Sink& sink) {
  odd_byte_pending_ = false;
  bool ok = true;
  if (resample_) {
    for (;;) {
      const int produced = resampler_->Flush(output_block_.data(), static_cast<int>(output_block_.size()));
      if (produced < 0) intact_ = ok = false;
      if (produced <= 0) break;
      Deliver(produced, sink);
    }
  }
  return reader_.End() && ok;
}

bool CloudAudioConverter::StartWhole(unsigned target_rate, std::uint64_t size, const ReadNext& read) {
  Start(target_rate);
  std::array<std::uint8_t, kWholePiece> piece;
  // Exactly the header's bytes: not a sample passes before the whole is
  // checked.
  while (!reader_.in_audio()) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>({reader_.header_wanted(), piece.size(), size}));
    const std::size_t got = want > 0 ? read(piece.data(), want) : 0;
    size -= got;
    if (!Write(piece.data(), got, nullptr)) return false;
    if (got == 0 || got < want) {
      reader_.End();
      return false;
    }
  }
  std::uint64_t declared = 0;
  if (reader_.declared(declared) && declared > size) {
    reader_.Refuse(WaveReader::Problem::kCutShort, size);
    return false;
  }
  whole_left_ = reader_.declared(declared) ? declared : size;
  if (whole_left_ < 2) {
    reader_.Refuse(WaveReader::Problem::kNoAudio);
    return false;
  }
  whole_read_ = read;
  return true;
}

bool CloudAudioConverter::ConvertWhole(const Sink& sink) {
  std::array<std::uint8_t, kWholePiece> piece;
  bool ok = true;
  while (whole_left_ > 0 && whole_read_) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), whole_left_));
    const std::size_t got = whole_read_(piece.data(), want);
    whole_left_ -= got;
    ok = Write(piece.data(), got, sink) && ok;
    if (got < want) break;
  }
  whole_read_ = nullptr;
  return Finish(sink) && ok;
}

bool CloudAudioConverter::Take(const std::uint8_t* bytes, std::size_t count, const Sink& sink) {
  input_samples_ += count;
  if (!resample_) {
    // The WAVE's byte order is the channel's (both little-endian here).
    if (count > 0) sink(bytes, count * 2);
    output_samples_ += count;
    return true;
  }
  // The whole piece goes to the resampler now, in blocks, none held back for
  // the next piece: the resampler's output does not depend on how its input
  // is split, and a paced body then reaches the channel as it comes.
  bool ok = true;
  while (count > 0) {
    const std::size_t n = std::min(count, kInputBlock);
    for (std::size_t i = 0; i < n; ++i) {
      input_block_[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
    }
    bytes += 2 * n;
    count -= n;
    ok = Convert(n, sink) && ok;
  }
  return ok;
}

bool CloudAudioConverter::Convert(std::size_t count, const Sink& sink) {
  const int capacity = static_cast<int>(output_block_.size());
  int produced = resampler_->Process(input_block_.data(), static_cast<int>(count), output_block_.data(), capacity);
  // The resampler works in bursts and keeps what does not fit the output
  // block; take all of it now rather than let it pile up.
  for (;;) {
    if (produced < 0) {
      intact_ = false;
      return false;
    }
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
