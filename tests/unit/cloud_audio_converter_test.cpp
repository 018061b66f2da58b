// WAVE audio to the channel's rate: however a body is cut into pieces, the
// same samples come out, no header byte is ever played, and n samples
// become exactly n * rate / 16000; and the one WAVE reader behind it plays
// what it should and refuses the rest, streamed or held whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "QelCloudAudioConverter.h"
#include "audio_samples.h"
#include "wave_header.h"

namespace {

using TARNWICKSS::CloudAudioConverter;
using Problem = TARNWICKSS::WaveReader::Problem;
using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A 16000 Hz WAVE body (its data size says "to the end"), then `n` samples
// of two tones, little-endian.
Bytes Body(std::size_t n) {
  corvex_test::Samples tones = corvex_test::Tone(440, 8000, n);
  const corvex_test::Samples high = corvex_test::Tone(3100, 4000, n);
  for (std::size_t i = 0; i < n; ++i) tones[i] = static_cast<std::int16_t>(tones[i] + high[i]);
  Bytes body = ToBytes(WaveHeader(16000, 0));
  const Bytes samples = corvex_test::ToBytes(tones);
  body.insert(body.end(), samples.begin(), samples.end());
  return body;
}

// Feeds `body` in pieces of `piece` bytes; returns all output, and whether
// every call succeeded in `ok`.
Bytes Convert(CloudAudioConverter& converter, unsigned rate, const Bytes& body, std::size_t piece, bool* ok = nullptr) {
  Bytes out;
  const CloudAudioConverter::Sink sink = [&out](const std::uint8_t* bytes, std::size_t size) {
    out.insert(out.end(), bytes, bytes + size);
  };
  converter.Start(rate);
  bool written = true;
  for (std::size_t at = 0; at < body.size() && written; at += piece) {
    written = converter.Write(body.data() + at, std::min(piece, body.size() - at), sink);
  }
  written = converter.Finish(sink) && written;
  if (!ok) {
    EXPECT_TRUE(written);
  } else {
    *ok = written;
  }
  return out;
}

TEST(CloudAudioConverter, PiecesOfAnySizeGiveTheSameSamplesAsTheWholeBody) {
  const std::size_t n = 9001;  // odd, and not a whole number of blocks
  Bytes body = Body(n);
  const Bytes samples(body.begin() + 44, body.end());
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
    whole.Start(rate);
    EXPECT_TRUE(whole.Write(body.data(), body.size() / 2 + 1, [](const std::uint8_t*, std::size_t) {}));
    EXPECT_EQ(Convert(whole, rate, body, 999), reference);
    for (std::size_t piece : {1, 2, 3, 43, 44, 45, 46, 999, 6401, 32768}) {
      SCOPED_TRACE(piece);
      CloudAudioConverter converter;
      EXPECT_EQ(Convert(converter, rate, body, piece), reference);
      EXPECT_EQ(converter.input_samples(), n);
    }
  }
}

// Every source goes through this reader: a fetched body in pieces of any
// size, and a file or inline answer held whole, which is checked whole
// before a sample is handed on.
TEST(CloudAudioConverter, OneWaveReaderPlaysWhatItCanAndRefusesTheRest) {
  const std::string pcm = "\1\2\3\4\5\6";
  auto fmt = [](unsigned tag, unsigned channels, unsigned rate, unsigned bits, const std::string& more = "") {
    const std::string body = LeBytes(tag, 2) + LeBytes(channels, 2) + LeBytes(rate) +
                             LeBytes(rate * channels * bits / 8) + LeBytes(channels * bits / 8, 2) + LeBytes(bits, 2) +
                             more;
    return "fmt " + LeBytes(static_cast<std::uint32_t>(body.size())) + body;
  };
  auto riff = [](const std::string& chunks) { return "RIFF" + LeBytes(4 + chunks.size()) + "WAVE" + chunks; };
  auto data = [](const std::string& bytes, std::uint32_t size) { return "data" + LeBytes(size) + bytes; };
  const std::string guid_tail("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
  auto extensible = [&](unsigned sub) {
    return fmt(0xFFFE, 1, 16000, 16, LeBytes(22, 2) + LeBytes(16, 2) + LeBytes(4) + LeBytes(sub, 2) + guid_tail);
  };
  const std::string plain = fmt(1, 1, 16000, 16);
  const struct {
    std::string wave;
    Problem problem;
    unsigned rate = 16000;
  } kCases[] = {
      {WaveHeader(16000, 6) + pcm + "junk", Problem::kNone},
      // A longer "fmt ", an odd "LIST" with its pad byte, then a chunk after the data.
      {riff(fmt(1, 1, 16000, 16, std::string(2, '\0')) + "LIST" + LeBytes(5) + std::string("INFOx\0", 6) +
            data(pcm, 6) + "LIST" + LeBytes(4) + "INFO"),
       Problem::kNone},
      {WaveHeader(16000, 0) + pcm, Problem::kNone},
      {riff(plain + data(pcm, 0xFFFFFFFF)), Problem::kNone},
      {riff(extensible(1) + data(pcm, 6)), Problem::kNone},
      {WaveHeader(8000, 6) + pcm, Problem::kNone, 8000},
      {riff(extensible(3) + data(pcm, 6)), Problem::kFormat},
      {riff(fmt(3, 1, 16000, 32) + data(pcm, 6)), Problem::kFormat},
      {riff(fmt(1, 2, 16000, 16) + data(pcm, 6)), Problem::kFormat},
      {WaveHeader(16000, 6, 1, 8) + pcm, Problem::kFormat},
      {WaveHeader(22050, 6) + pcm, Problem::kFormat},
      {WaveHeader(8000, 6) + pcm, Problem::kFormat},  // at 16000 Hz
      {riff("fmt " + LeBytes(14) + std::string(14, '\1') + data(pcm, 6)), Problem::kFormat},
      {"<html><body>502 Bad Gateway</body></html>" + pcm, Problem::kNotWave},
      {riff(data(pcm, 6) + plain), Problem::kNoFormat},
      {riff(plain), Problem::kNoData},
      {WaveHeader(16000, 8) + pcm, Problem::kCutShort},
      {WaveHeader(16000, 0), Problem::kNoAudio},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.wave);
    const Bytes wave = ToBytes(c.wave);
    const bool ok = c.problem == Problem::kNone;
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, wave.size()}) {
      CloudAudioConverter converter;
      bool written = false;
      const Bytes out = Convert(converter, c.rate, wave, piece, &written);
      EXPECT_EQ(written, ok) << piece;
      EXPECT_EQ(converter.reader().problem(), c.problem) << piece;
      if (c.problem != Problem::kCutShort) {
        EXPECT_EQ(out, ok ? ToBytes(pcm) : Bytes()) << piece;
      }
    }
    CloudAudioConverter whole;
    std::size_t at = 0;
    const auto read = [&](std::uint8_t* buffer, std::size_t count) {
      count = std::min(count, wave.size() - at);
      std::copy_n(wave.begin() + static_cast<std::ptrdiff_t>(at), count, buffer);
      at += count;
      return count;
    };
    ASSERT_EQ(whole.StartWhole(c.rate, wave.size(), read), ok);
    EXPECT_EQ(whole.reader().problem(), c.problem);
    Bytes out;
    EXPECT_EQ(
        ok && whole.ConvertWhole([&out](const std::uint8_t* b, std::size_t n) { out.insert(out.end(), b, b + n); }),
        ok);
    EXPECT_EQ(out, ok ? ToBytes(pcm) : Bytes());
  }
  CloudAudioConverter refused;
  refused.Start(16000);
  EXPECT_FALSE(refused.Write("RIFX", 4, [](const std::uint8_t*, std::size_t) { FAIL(); }) &&
               refused.Write("....WAVE", 8, [](const std::uint8_t*, std::size_t) { FAIL(); }));
  EXPECT_EQ(refused.reader().Describe(), "not RIFF/WAVE");
}

}  // namespace
