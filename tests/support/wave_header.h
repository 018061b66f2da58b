// The canonical 44-byte header of a mono WAVE file, which every writer in the
// system produces; tests compare written headers with it byte for byte. Also
// the little-endian fields that WAVE and cache attribute files are made of.
#ifndef TESTS_SUPPORT_WAVE_HEADER_H
#define TESTS_SUPPORT_WAVE_HEADER_H

#include <cstdint>
#include <string>
#include <utility>

#include "test_root.h"

// The low `size` bytes of `value`, least significant first.
inline std::string LeBytes(std::uint32_t value, int size = 4) {
  std::string bytes;
  for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

// `format` 1 is PCM, 7 mu-law.
inline std::string WaveHeader(std::uint32_t rate, std::uint32_t data_bytes, std::uint16_t format = 1,
                              std::uint16_t bits = 16) {
  return "RIFF" + LeBytes(36 + data_bytes) + "WAVEfmt " + LeBytes(16) + LeBytes(format, 2) + LeBytes(1, 2) +
         LeBytes(rate) + LeBytes(rate * bits / 8) + LeBytes(bits / 8, 2) + LeBytes(bits, 2) + "data" +
         LeBytes(data_bytes);
}

// The rate and data size of a canonical 16-bit mono file; {0, 0} when the
// file is not one, or its data size disagrees with its length.
inline std::pair<std::uint32_t, std::uint32_t> ReadWaveInfo(const std::string& path) {
  const std::string file = ReadFile(path);
  if (file.size() < 44) return {0, 0};
  auto le32 = [&file](std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(file[at + i]);
    return value;
  };
  const std::uint32_t rate = le32(24), data = le32(40);
  if (file.size() != 44u + data || file.compare(0, 44, WaveHeader(rate, data)) != 0) return {0, 0};
  return {rate, data};
}

// One record of a cache attribute file: the length-prefixed token and value.
inline std::string AttributeRecord(const std::string& token, const std::string& value) {
  return LeBytes(static_cast<std::uint32_t>(token.size())) + token +
         LeBytes(static_cast<std::uint32_t>(value.size())) + value;
}

#endif  // TESTS_SUPPORT_WAVE_HEADER_H
