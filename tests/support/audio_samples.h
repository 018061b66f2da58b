// 16-bit mono PCM helpers shared by the tests of audio: samples as the
// little-endian bytes a channel plays and back, tones, and levels.
#ifndef TESTS_SUPPORT_AUDIO_SAMPLES_H
#define TESTS_SUPPORT_AUDIO_SAMPLES_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvex_test {

using Samples = std::vector<std::int16_t>;
using Bytes = std::vector<std::uint8_t>;

inline Bytes ToBytes(const Samples& samples) {
  Bytes bytes;
  bytes.reserve(samples.size() * 2);
  for (std::int16_t s : samples) {
    bytes.push_back(static_cast<std::uint8_t>(s & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((static_cast<std::uint16_t>(s) >> 8) & 0xFF));
  }
  return bytes;
}

// A trailing odd byte is dropped.
inline Samples ToSamples(const Bytes& bytes) {
  Samples samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return samples;
}

inline Samples Tone(double hz, double amplitude, std::size_t count, double rate = 16000) {
  Samples samples(count);
  for (std::size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * i / rate)));
  }
  return samples;
}

// Root mean square of samples [begin, end); 0 for an empty range.
inline double Rms(const Samples& samples, std::size_t begin, std::size_t end) {
  double sum = 0;
  for (std::size_t i = begin; i < end; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0;
}

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_AUDIO_SAMPLES_H
