// The canonical 44-byte header of a mono WAVE file, which every writer in the
// system produces; tests compare written headers with it byte for byte.
#ifndef TESTS_SUPPORT_WAVE_HEADER_H
#define TESTS_SUPPORT_WAVE_HEADER_H

#include <cstdint>
#include <string>

// `format` 1 is PCM, 7 mu-law.
inline std::string WaveHeader(std::uint32_t rate, std::uint32_t data_bytes, std::uint16_t format = 1,
                              std::uint16_t bits = 16) {
  std::string h;
  auto le = [&h](std::uint32_t v, int size) {
    for (int i = 0; i < size; ++i) h += static_cast<char>(v >> (8 * i));
  };
  h += "RIFF";
  le(36 + data_bytes, 4);
  h += "WAVEfmt ";
  le(16, 4);
  le(format, 2);
  le(1, 2);
  le(rate, 4);
  le(rate * bits / 8, 4);
  le(bits / 8, 2);
  le(bits, 2);
  h += "data";
  le(data_bytes, 4);
  return h;
}

#endif  // TESTS_SUPPORT_WAVE_HEADER_H
