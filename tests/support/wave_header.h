// The canonical 44-byte header of a mono WAVE file, which every writer in the
// system produces; tests compare written headers with it byte for byte. Also
// the little-endian fields that WAVE and cache attribute files are made of.
#ifndef TESTS_SUPPORT_WAVE_HEADER_H
#define TESTS_SUPPORT_WAVE_HEADER_H

#include <cstdint>
#include <string>

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

// One record of a cache attribute file: the length-prefixed token and value.
inline std::string AttributeRecord(const std::string& token, const std::string& value) {
  return LeBytes(static_cast<std::uint32_t>(token.size())) + token + LeBytes(static_cast<std::uint32_t>(value.size())) +
         value;
}

#endif  // TESTS_SUPPORT_WAVE_HEADER_H
