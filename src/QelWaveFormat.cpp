#include "QelWaveFormat.h"

#include <cstring>

namespace TARNWICKSS {

namespace {

bool Is(const std::uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

}  // namespace

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}

void PutLe16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

void WriteWaveHeader(apr_file_t* file, std::uint32_t sampling_rate, std::uint16_t format_tag) {
  const bool eight_bit = format_tag == kWaveFormatAlaw || format_tag == kWaveFormatMulaw;
  std::uint8_t header[kWaveHeaderSize];
  std::memcpy(header, "RIFF", 4);
  PutLe32(header + 4, 0);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  PutLe32(header + 16, 16);
  PutLe16(header + 20, format_tag);
  PutLe16(header + 22, 1);
  PutLe32(header + 24, sampling_rate);
  PutLe32(header + 28, eight_bit ? sampling_rate : sampling_rate * 2);
  PutLe16(header + 32, eight_bit ? 1 : 2);
  PutLe16(header + 34, eight_bit ? 8 : 16);
  std::memcpy(header + 36, "data", 4);
  PutLe32(header + 40, 0);
  apr_file_write_full(file, header, sizeof(header), nullptr);
}

bool WriteWaveSizes(apr_file_t* file, std::uint32_t content_length) {
  std::uint8_t size[4];
  apr_off_t offset = 40;
  if (apr_file_seek(file, APR_SET, &offset) != APR_SUCCESS) return false;
  PutLe32(size, content_length);
  apr_file_write_full(file, size, sizeof(size), nullptr);
  offset = 4;
  if (apr_file_seek(file, APR_SET, &offset) != APR_SUCCESS) return false;
  PutLe32(size, content_length + 36);
  apr_file_write_full(file, size, sizeof(size), nullptr);
  return true;
}

bool LocateWaveData(const WaveReadAt& read_at, std::uint64_t size, WaveLayout& layout) {
  std::uint8_t header[kWaveHeaderSize];
  const bool full_header = size >= kWaveHeaderSize && read_at(0, header, kWaveHeaderSize);
  if (full_header && Is(header, "RIFF") && Is(header + 8, "WAVE") && Is(header + 12, "fmt ") &&
      ReadLe32(header + 16) == 16 && Is(header + 36, "data")) {
    layout = {kWaveHeaderSize, ReadLe32(header + 40)};
    return true;
  }
  if (size >= 12 && read_at(0, header, 12) && Is(header, "RIFF") && Is(header + 8, "WAVE")) {
    std::uint64_t position = 12;
    std::uint8_t chunk[8];
    // Every step moves on by at least 8 bytes, so the walk ends.
    while (position + 8 <= size && read_at(position, chunk, 8)) {
      const std::uint32_t chunk_size = ReadLe32(chunk + 4);
      if (Is(chunk, "data")) {
        layout = {position + 8, chunk_size};
        return true;
      }
      position += 8 + static_cast<std::uint64_t>(chunk_size) + (chunk_size & 1);  // chunks are word-aligned
    }
  }
  if (!full_header) return false;
  layout = {kWaveHeaderSize, ReadLe32(header + 40)};
  return true;
}

}  // namespace TARNWICKSS
