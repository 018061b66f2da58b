// Resampling 16000 -> 8000 Hz through the adapter, as the channel does it:
// one-shot (a whole 5 s inline answer in one call, then the flush) and
// streaming (the same 5 s in 3200-sample blocks into 1600-sample output
// blocks, then the flush), against a plain copy of the same 5 s of samples.
// Throughput is in input samples per second; 16000 of them are one second
// of speech.
//
// Prints the median of each and, last, each one's ratio to the copy.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "QelResampler.h"
#include "bench_support.h"

namespace {

constexpr int kInput = 5 * 16000;
constexpr int kBlock = 3200;
constexpr int kOutBlock = 1600;

// Speech-like input: a few tones and noise, well inside 16 bits.
const std::vector<std::int16_t>& Input() {
  static const std::vector<std::int16_t> input = [] {
    std::vector<std::int16_t> samples(kInput);
    std::mt19937 random(3);
    std::uniform_int_distribution<int> noise(-1000, 1000);
    for (int i = 0; i < kInput; ++i) {
      const double t = i / 16000.0;
      samples[i] = static_cast<std::int16_t>(6000 * std::sin(2 * M_PI * 220 * t) +
                                             3000 * std::sin(2 * M_PI * 1700 * t) + noise(random));
    }
    return samples;
  }();
  return input;
}

void BM_Copy(benchmark::State& state) {
  const std::vector<std::int16_t>& input = Input();
  std::vector<std::int16_t> output(kInput);
  for (auto _ : state) {
    std::memcpy(output.data(), input.data(), kInput * sizeof(std::int16_t));
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kInput);
}

void BM_OneShot(benchmark::State& state) {
  const std::vector<std::int16_t>& input = Input();
  std::vector<std::int16_t> output(kInput / 2);
  for (auto _ : state) {
    TARNWICKSS::Resampler resampler(16000, 8000, kInput);
    int produced = resampler.Process(input.data(), kInput, output.data(), kInput / 2);
    while (const int more = resampler.Flush(output.data() + produced, kInput / 2 - produced)) produced += more;
    if (produced != kInput / 2) state.SkipWithError("wrong output count");
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kInput);
}

void BM_Streaming(benchmark::State& state) {
  const std::vector<std::int16_t>& input = Input();
  std::vector<std::int16_t> block(kOutBlock);
  // Built once, as a channel keeps it across the bodies it streams.
  TARNWICKSS::Resampler resampler(16000, 8000, kBlock);
  for (auto _ : state) {
    resampler.Clear();
    int produced = 0;
    for (int offset = 0; offset < kInput; offset += kBlock) {
      produced += resampler.Process(input.data() + offset, kBlock, block.data(), kOutBlock);
      benchmark::DoNotOptimize(block.data());
    }
    while (const int more = resampler.Flush(block.data(), kOutBlock)) produced += more;
    if (produced != kInput / 2) state.SkipWithError("wrong output count");
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kInput);
}

BENCHMARK(BM_Copy)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_OneShot)->Unit(benchmark::kMicrosecond)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_Streaming)->Unit(benchmark::kMicrosecond)->Repetitions(10)->ReportAggregatesOnly(true);

// Console output plus, at the end, each resampling median against the copy's:
// input samples per second, seconds of speech per second, and the ratio of
// times (wall and CPU).
class RatioReporter : public bench::SummaryReporter {
  void Summarize() override {
    const auto& copies = Medians("BM_Copy");
    if (copies.empty() || copies.begin()->second.real <= 0 || copies.begin()->second.cpu <= 0) return;
    const Times copy = copies.begin()->second;
    for (const char* name : {"BM_OneShot", "BM_Streaming"}) {
      const auto& runs = Medians(name);
      if (runs.empty() || runs.begin()->second.real <= 0) continue;
      const Times it = runs.begin()->second;
      const double per_second = kInput / it.real;
      Line("%s: %.1f M input samples/s (%.0fx real time), copy %.1f M samples/s, ratio %.1f (cpu %.1f)", name + 3,
           per_second / 1e6, per_second / 16000, kInput / copy.real / 1e6, it.real / copy.real, it.cpu / copy.cpu);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  RatioReporter reporter;
  return bench::RunBenchmarks(argc, argv, reporter);
}
