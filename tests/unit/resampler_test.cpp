// The resampler adapter from 16000 to 8000 Hz: no sample lost or invented
// over a stream, output independent of how the input and output are cut (the
// caller's block never overrun), a clean state after Clear and after Flush,
// and the filter's quality at the rates a channel uses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "QelResampler.h"
#include "audio_samples.h"

namespace {

using corvex_test::Rms;
using corvex_test::Samples;
using corvex_test::Tone;
using TARNWICKSS::Resampler;

constexpr int kBlock = 3200;  // 200 ms at 16000 Hz, the streaming block
constexpr int kOutBlock = 1600;

// Speech-like input: two tones plus noise.
Samples Mixed(std::size_t count) {
  Samples samples = Tone(440, 9000, count);
  const Samples other = Tone(2900, 4000, count);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> noise(-800, 800);
  for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::int16_t>(samples[i] + other[i] + noise(random));
  return samples;
}

// Runs a whole stream through `resampler` in blocks of the given sizes
// (cycled), collecting output through blocks of `capacity`, then flushes.
Samples Stream(Resampler& resampler, const Samples& input, const std::vector<int>& blocks, int capacity = kOutBlock) {
  Samples output;
  Samples block(static_cast<std::size_t>(capacity));
  std::size_t offset = 0;
  for (std::size_t i = 0; offset < input.size(); ++i) {
    const int count = std::min<int>(blocks[i % blocks.size()], static_cast<int>(input.size() - offset));
    const int produced = resampler.Process(input.data() + offset, count, block.data(), capacity);
    EXPECT_GE(produced, 0);
    EXPECT_LE(produced, capacity);
    output.insert(output.end(), block.begin(), block.begin() + std::max(produced, 0));
    offset += static_cast<std::size_t>(count);
  }
  for (;;) {
    const int produced = resampler.Flush(block.data(), capacity);
    EXPECT_GE(produced, 0);
    EXPECT_LE(produced, capacity);
    if (produced <= 0) break;
    output.insert(output.end(), block.begin(), block.begin() + produced);
  }
  return output;
}

TEST(Resampler, AStreamOfNSamplesGivesExactlyHalfAfterTheFlush) {
  for (std::size_t n : {std::size_t{2}, std::size_t{3198}, std::size_t{3200}, std::size_t{3202}, std::size_t{80000}}) {
    SCOPED_TRACE(n);
    Resampler streamed(16000, 8000, kBlock);
    EXPECT_EQ(n / 2, Stream(streamed, Mixed(n), {kBlock}).size());
    // One call with the whole input, as for inline audio.
    Resampler whole(16000, 8000, static_cast<int>(n));
    EXPECT_EQ(n / 2, Stream(whole, Mixed(n), {static_cast<int>(n)}, static_cast<int>(n)).size());
  }
}

TEST(Resampler, OutputDoesNotDependOnHowTheInputOrOutputIsCut) {
  const Samples input = Mixed(48000);
  Resampler reference_resampler(16000, 8000, kBlock);
  const Samples reference = Stream(reference_resampler, input, {kBlock});
  ASSERT_EQ(24000u, reference.size());

  struct Cut {
    std::vector<int> blocks;
    int capacity;
  } cuts[] = {
      {{1}, kOutBlock}, {{37, 3200, 5, 1601}, kOutBlock}, {{48000}, 24000}, {{kBlock}, 7}, {{10000}, kOutBlock}};
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.blocks.front());
    Resampler resampler(16000, 8000, kBlock);
    EXPECT_EQ(reference, Stream(resampler, input, cut.blocks, cut.capacity));
  }
}

TEST(Resampler, ClearOrAFinishedStreamLeavesItAsNew) {
  const Samples first = Mixed(10000);
  const Samples second = Tone(1000, 12000, 9600);
  Resampler fresh(16000, 8000, kBlock);
  const Samples expected = Stream(fresh, second, {kBlock});

  // Cleared in the middle of a stream, with input taken and output held.
  Resampler cleared(16000, 8000, kBlock);
  Samples out(kOutBlock);
  cleared.Process(first.data(), kBlock, out.data(), 10);
  EXPECT_GT(cleared.held(), 0u);
  cleared.Clear();
  EXPECT_EQ(0u, cleared.held());
  EXPECT_EQ(expected, Stream(cleared, second, {kBlock}));

  // Fed again after a flush without a Clear: a new stream, not a crash.
  Resampler flushed(16000, 8000, kBlock);
  Stream(flushed, first, {kBlock});
  EXPECT_EQ(expected, Stream(flushed, second, {kBlock}));
}

TEST(Resampler, AOneKilohertzToneKeepsItsLevelAndTonesAboveTheNewNyquistVanish) {
  const std::size_t n = 32000;  // 2 s
  const double amplitude = 16384;
  // The middle second: clear of the edges, where a tone starting at full
  // level is a click with energy at every frequency.
  auto middle_rms = [&](double hz) {
    Resampler resampler(16000, 8000, kBlock);
    const Samples out = Stream(resampler, Tone(hz, amplitude, n), {kBlock});
    EXPECT_EQ(n / 2, out.size());
    return Rms(out, 4000, 12000);
  };
  const double in_rms = Rms(Tone(1000, amplitude, n), 8000, 24000);
  const double kept = middle_rms(1000);
  EXPECT_NEAR(0.0, 20 * std::log10(kept / in_rms), 0.1);
  for (double hz : {5000.0, 7000.0}) {
    SCOPED_TRACE(hz);
    const double alias = middle_rms(hz);
    // Zero output is infinitely far below.
    if (alias > 0) {
      EXPECT_LE(20 * std::log10(alias / kept), -100.0);
    }
  }
}

TEST(Resampler, InvalidUseIsRefusedNotFatal) {
  Resampler bad_rate(0, 8000, kBlock);
  EXPECT_FALSE(bad_rate.IsValid());
  Samples out(kOutBlock);
  const Samples in(kBlock);
  EXPECT_EQ(-1, bad_rate.Process(in.data(), kBlock, out.data(), kOutBlock));
  EXPECT_EQ(-1, bad_rate.Flush(out.data(), kOutBlock));

  Resampler resampler(16000, 8000, kBlock);
  ASSERT_TRUE(resampler.IsValid());
  EXPECT_EQ(-1, resampler.Process(in.data(), -1, out.data(), kOutBlock));
  EXPECT_EQ(-1, resampler.Process(nullptr, 5, out.data(), kOutBlock));
  EXPECT_EQ(-1, resampler.Process(in.data(), kBlock, nullptr, kOutBlock));
  EXPECT_EQ(0, resampler.Process(nullptr, 0, nullptr, 0));
}

}  // namespace
