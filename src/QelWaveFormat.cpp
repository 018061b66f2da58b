#include "QelWaveFormat.h"

#include <cstring>

namespace TARNWICKSS {

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

}  // namespace TARNWICKSS
