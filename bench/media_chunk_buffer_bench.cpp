// The frame path: one 10 ms frame read from a media chunk buffer, at 8000 Hz
// (160 B) and 16000 Hz (320 B), against a bare copy of a frame under an APR
// thread mutex. Both walk the same amount of memory (a minute of audio), so
// the ratio shows what the buffer's bookkeeping costs, not cache misses.
//
// Prints the median of each and, last, the ratio of the medians.
#include <apr_general.h>
#include <apr_thread_mutex.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "mpf_media_chunk_buffer.h"

namespace {

constexpr size_t kSecondsQueued = 60;

// A minute of 16-bit audio at the frame's rate, as bytes.
size_t MinuteBytes(size_t frame_size) { return frame_size * 100 * kSecondsQueued; }

// Writes a minute of audio in pieces of 320..32000 bytes, as the engine does
// with streamed or resampled speech.
void FillMinute(mpf_media_chunk_buffer_t* buffer, const std::vector<unsigned char>& audio, std::mt19937* random) {
  std::uniform_int_distribution<size_t> piece_size(320, 32000);
  for (size_t written = 0; written < audio.size();) {
    const size_t size = std::min(piece_size(*random), audio.size() - written);
    mpf_media_chunk_buffer_audio_write(buffer, audio.data() + written, size);
    written += size;
  }
}

void BM_FrameRead(benchmark::State& state) {
  const size_t frame_size = static_cast<size_t>(state.range(0));
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  mpf_media_chunk_buffer_t* buffer = mpf_media_chunk_buffer_create(pool);
  std::vector<unsigned char> audio(MinuteBytes(frame_size), 0x5A);
  std::vector<unsigned char> bytes(frame_size);
  std::mt19937 random(1);
  FillMinute(buffer, audio, &random);

  for (auto _ : state) {
    if (mpf_media_chunk__buffer_get_size(buffer) < frame_size) {
      state.PauseTiming();  // once a minute of audio; off the clock
      mpf_media_chunk_buffer_restart(buffer);
      FillMinute(buffer, audio, &random);
      state.ResumeTiming();
    }
    mpf_frame_t frame{};
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.codec_frame.buffer = bytes.data();
    frame.codec_frame.size = frame_size;
    mpf_media_chunk_buffer_frame_read(buffer, &frame);
    benchmark::DoNotOptimize(frame.type);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame_size));
  mpf_media_chunk_buffer_destroy(buffer);
  apr_pool_destroy(pool);
}

// The floor: lock, copy one frame from the next place in a minute of audio,
// unlock.
void BM_LockedFrameCopy(benchmark::State& state) {
  const size_t frame_size = static_cast<size_t>(state.range(0));
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  apr_thread_mutex_t* mutex = nullptr;
  apr_thread_mutex_create(&mutex, APR_THREAD_MUTEX_UNNESTED, pool);
  std::vector<unsigned char> audio(MinuteBytes(frame_size), 0x5A);
  std::vector<unsigned char> bytes(frame_size);
  size_t offset = 0;

  for (auto _ : state) {
    apr_thread_mutex_lock(mutex);
    std::memcpy(bytes.data(), audio.data() + offset, frame_size);
    offset += frame_size;
    if (offset == audio.size()) offset = 0;
    apr_thread_mutex_unlock(mutex);
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame_size));
  apr_thread_mutex_destroy(mutex);
  apr_pool_destroy(pool);
}

BENCHMARK(BM_LockedFrameCopy)->Arg(160)->Arg(320)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_FrameRead)->Arg(160)->Arg(320)->Repetitions(10)->ReportAggregatesOnly(true);

// At the end, each frame read's medians over the baseline's for the same
// frame size: wall time, and CPU time, which other processes on the machine
// disturb less.
class RatioReporter : public bench::SummaryReporter {
  void Summarize() override {
    const auto& baselines = Medians("BM_LockedFrameCopy");
    for (const auto& [args, read] : Medians("BM_FrameRead")) {
      const auto baseline = baselines.find(args);
      if (baseline == baselines.end() || baseline->second.real <= 0 || baseline->second.cpu <= 0) continue;
      const Times copy = baseline->second;
      Line("frame %s B: read %.1f ns (cpu %.1f), locked copy %.1f ns (cpu %.1f), ratio %.2f (cpu %.2f)", args.c_str(),
           read.real * 1e9, read.cpu * 1e9, copy.real * 1e9, copy.cpu * 1e9, read.real / copy.real,
           read.cpu / copy.cpu);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  RatioReporter reporter;
  return bench::RunBenchmarks(argc, argv, reporter);
}
