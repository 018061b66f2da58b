// Cloud audio to the channel's rate: however a WAVE body is cut into pieces,
// the same samples come out, no header byte is ever played, and n samples
// become exactly n * rate / 16000.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "QelCloudAudioConverter.h"
#include "audio_samples.h"

namespace {

using TARNWICKSS::CloudAudioConverter;
using Bytes = std::vector<std::uint8_t>;

// A WAVE body: a header of loud bytes (0x7F) that must never be heard, then
// `n` samples of two tones, little-endian.
Bytes Body(std::size_t n) {
  corvex_test::Samples tones = corvex_test::Tone(440, 8000, n);
  const corvex_test::Samples high = corvex_test::Tone(3100, 4000, n);
  for (std::size_t i = 0; i < n; ++i) tones[i] = static_cast<std::int16_t>(tones[i] + high[i]);
  Bytes body(CloudAudioConverter::kWaveHeaderSize, 0x7F);
  const Bytes samples = corvex_test::ToBytes(tones);
  body.insert(body.end(), samples.begin(), samples.end());
  return body;
}

// Feeds `body` in pieces of `piece` bytes; returns all output.
Bytes Convert(CloudAudioConverter& converter, unsigned rate, const Bytes& body, std::size_t piece,
              std::size_t header = CloudAudioConverter::kWaveHeaderSize) {
  Bytes out;
  const CloudAudioConverter::Sink sink = [&out](const std::uint8_t* bytes, std::size_t size) {
    out.insert(out.end(), bytes, bytes + size);
  };
  EXPECT_TRUE(converter.Start(rate, header));
  for (std::size_t at = 0; at < body.size(); at += piece) {
    EXPECT_TRUE(converter.Write(body.data() + at, std::min(piece, body.size() - at), sink));
  }
  EXPECT_TRUE(converter.Finish(sink));
  return out;
}

TEST(CloudAudioConverter, PiecesOfAnySizeGiveTheSameSamplesAsTheWholeBody) {
  const std::size_t n = 9001;  // odd, and not a whole number of blocks
  Bytes body = Body(n);
  const Bytes samples(body.begin() + CloudAudioConverter::kWaveHeaderSize, body.end());
  body.push_back(0x55);  // half a sample at the end is dropped
  for (unsigned rate : {16000u, 8000u}) {
    SCOPED_TRACE(rate);
    CloudAudioConverter whole;
    const Bytes reference = Convert(whole, rate, body, body.size());
    if (rate == 16000) {
      EXPECT_EQ(reference, samples);
    } else {
      EXPECT_EQ(reference.size(), n / 2 * 2);
    }
    // The same converter again, also after a stream left half-way (a STOP
    // mid-body): nothing of the abandoned stream leaks into the next one.
    EXPECT_EQ(Convert(whole, rate, body, body.size()), reference);
    ASSERT_TRUE(whole.Start(rate, CloudAudioConverter::kWaveHeaderSize));
    EXPECT_TRUE(whole.Write(body.data(), body.size() / 2 + 1, [](const std::uint8_t*, std::size_t) {}));
    EXPECT_EQ(Convert(whole, rate, body, 999), reference);
    // The samples alone, as an inline answer hands them over.
    CloudAudioConverter inline_audio;
    EXPECT_EQ(Convert(inline_audio, rate, samples, samples.size(), 0), reference);
    for (std::size_t piece : {1, 2, 3, 43, 44, 45, 46, 999, 6401, 32768}) {
      SCOPED_TRACE(piece);
      CloudAudioConverter converter;
      EXPECT_EQ(Convert(converter, rate, body, piece), reference);
      EXPECT_EQ(converter.input_samples(), n);
    }
  }
}

TEST(CloudAudioConverter, ABodyNoLongerThanItsHeaderGivesNothing) {
  for (unsigned rate : {16000u, 8000u}) {
    CloudAudioConverter converter;
    EXPECT_TRUE(Convert(converter, rate, Bytes(44, 0x7F), 20).empty());
    EXPECT_TRUE(Convert(converter, rate, Bytes(45, 0x7F), 45).empty());
  }
  CloudAudioConverter refused;
  EXPECT_FALSE(refused.Start(0, 44));
  EXPECT_FALSE(refused.Write("abcd", 4, [](const std::uint8_t*, std::size_t) { FAIL(); }));
}

}  // namespace
