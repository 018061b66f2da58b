#include "QelWaveReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace TARNWICKSS {

namespace {

constexpr unsigned kPcm = 1;
constexpr unsigned kExtensible = 0xFFFE;
constexpr std::uint32_t kToEnd = 0xFFFFFFFF;
constexpr std::size_t kChunkHeaderSize = 8;
constexpr std::size_t kFormatSize = 16;
constexpr std::size_t kExtensibleFormatSize = 40;
// The sub-format GUID of WAVE_FORMAT_EXTENSIBLE after its first two bytes
// (the format code): {xxxx0000-0000-0010-8000-00AA00389B71}.
constexpr std::uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                             0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

unsigned Le16(const std::uint8_t* p) { return static_cast<unsigned>(p[0] | p[1] << 8); }

bool Is(const std::uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

}  // namespace

bool WaveReader::Read(const std::uint8_t* data, std::size_t size, const std::uint8_t*& audio, std::size_t& audio_size) {
  audio = nullptr;
  audio_size = 0;
  if (part_ == Part::kRefused) return false;
  while (size > 0) {
    if (part_ == Part::kAfterAudio) return true;
    if (part_ == Part::kAudio) {
      // The data chunk is one run, so a piece holds at most one run of audio.
      const std::size_t n = to_end_ ? size : static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
      audio = data;
      audio_size = n;
      audio_bytes_ += n;
      data += n;
      size -= n;
      if (!to_end_) {
        remaining_ -= n;
        if (remaining_ == 0) part_ = Part::kAfterAudio;
      }
      continue;
    }
    if (skip_ > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, size));
      data += n;
      size -= n;
      skip_ -= n;
      continue;
    }
    const std::size_t n = std::min(part_size_ - part_fill_, size);
    std::memcpy(part_bytes_ + part_fill_, data, n);
    part_fill_ += n;
    data += n;
    size -= n;
    if (part_fill_ < part_size_) break;
    part_fill_ = 0;
    if (!OnPart()) return false;
  }
  return true;
}

bool WaveReader::OnPart() {
  const std::uint8_t* p = part_bytes_;
  switch (part_) {
    case Part::kRiff:
      if (!Is(p, "RIFF") || !Is(p + 8, "WAVE")) {
        Refuse(Problem::kNotWave);
        return false;
      }
      break;
    case Part::kChunk: {
      const std::uint32_t size = Le32(p + 4);
      if (Is(p, "data")) {
        if (!have_format_) {
          Refuse(Problem::kNoFormat);
          return false;
        }
        declared_ = size;
        to_end_ = size == 0 || size == kToEnd;
        remaining_ = size;
        part_ = Part::kAudio;
        return true;
      }
      if (Is(p, "fmt ")) {
        if (size < kFormatSize) {
          Refuse(Problem::kFormat);
          return false;
        }
        format_chunk_size_ = size;
        part_ = Part::kFormat;
        part_size_ = std::min<std::size_t>(size, kExtensibleFormatSize);
        return true;
      }
      skip_ = static_cast<std::uint64_t>(size) + (size & 1);  // chunks are word-aligned
      return true;
    }
    case Part::kFormat: {
      format_ = Format{Le16(p), 0, Le16(p + 2), Le32(p + 4), Le16(p + 14)};
      bool pcm = format_.tag == kPcm;
      if (format_.tag == kExtensible && part_size_ == kExtensibleFormatSize && Le16(p + 16) >= 22) {
        format_.sub_format = Le16(p + 24);
        pcm = format_.sub_format == kPcm && std::memcmp(p + 26, kSubFormatTail, sizeof(kSubFormatTail)) == 0;
      }
      skip_ = format_chunk_size_ - part_size_ + (format_chunk_size_ & 1);
      have_format_ = true;
      if (!pcm || format_.channels != 1 || format_.bits != 16) {
        Refuse(Problem::kFormat);
        return false;
      }
      break;
    }
    default:
      return true;
  }
  part_ = Part::kChunk;
  part_size_ = kChunkHeaderSize;
  return true;
}

bool WaveReader::End() {
  if (part_ == Part::kRefused) return false;
  if (!in_audio()) {
    Refuse(part_ == Part::kRiff ? Problem::kNotWave : Problem::kNoData);
  } else if (!to_end_ && remaining_ > 0) {
    Refuse(Problem::kCutShort, audio_bytes_);
  } else if (audio_bytes_ < 2) {
    Refuse(Problem::kNoAudio);
  }
  return part_ != Part::kRefused;
}

void WaveReader::Refuse(Problem problem, std::uint64_t available) {
  problem_ = problem;
  available_ = available;
  part_ = Part::kRefused;
}

std::uint64_t WaveReader::header_wanted() const {
  switch (part_) {
    case Part::kRiff:
    case Part::kChunk:
    case Part::kFormat:
      return skip_ > 0 ? skip_ : part_size_ - part_fill_;
    default:
      return 0;
  }
}

bool WaveReader::declared(std::uint64_t& size) const {
  size = declared_;
  return !to_end_;
}

std::string WaveReader::Describe() const {
  char text[96];
  switch (problem_) {
    case Problem::kNone:
      return "playable";
    case Problem::kNotWave:
      return "not RIFF/WAVE";
    case Problem::kNoFormat:
      return "no \"fmt \" chunk before \"data\"";
    case Problem::kNoData:
      return "no \"data\" chunk";
    case Problem::kNoAudio:
      return "no audio";
    case Problem::kCutShort:
      std::snprintf(text, sizeof(text), "data cut short at %llu of %lu bytes",
                    static_cast<unsigned long long>(available_), static_cast<unsigned long>(declared_));
      return text;
    case Problem::kFormat:
      if (format_.tag == kExtensible) {
        std::snprintf(text, sizeof(text), "format %u/%u, %u channels, %lu Hz, %u bits", format_.tag, format_.sub_format,
                      format_.channels, static_cast<unsigned long>(format_.rate), format_.bits);
      } else {
        std::snprintf(text, sizeof(text), "format %u, %u channels, %lu Hz, %u bits", format_.tag, format_.channels,
                      static_cast<unsigned long>(format_.rate), format_.bits);
      }
      return text;
  }
  return "";
}

}  // namespace TARNWICKSS
