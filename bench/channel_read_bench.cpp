// The media thread's call: Channel::Read of one 10 ms frame while the channel
// speaks, at 8000 Hz (160 B) and 16000 Hz (320 B), on a channel of a running
// engine, against a bare copy of one frame under an APR thread mutex.
//
// The channel's audio is queued the way a synthesized segment queues it:
// 16000 Hz speech cut into the converter's 200 ms blocks and, at 8000 Hz,
// resampled block by block, so the pieces have the sizes the resampler
// hands out (not multiples of a frame). A SPEAK queues a minute of it; the
// read loop sends the next SPEAK, off the clock, when less than a frame is
// left. The baseline copies a minute of the same pieces, written by another
// thread as the engine thread writes the channel's.
//
// Where that audio was written decides what reading it costs, more than any
// bookkeeping: a minute read at benchmark speed comes straight out of the
// writing core's cache. Left to the scheduler, the baseline's short-lived
// writer ran on the reading core and the engine thread on the other, which
// doubled the channel's figure against the baseline's. So both are placed:
// placement 0 writes on the reading thread's CPU (what the goal compares:
// the read's own work, the memory coming from the reader's cache in both),
// placement 1 on another CPU (the same for both; it mostly measures how this
// machine moves cache lines between cores, and swings from run to run).
//
// The cloud is replaced as in the channel's task tests: a channel whose
// synthesis writes the prepared pieces and starts speaking.
//
// Prints the medians and, last, one line per rate and placement:
// "channel-read RATE READ_NS BASELINE_NS" for placement 0 and
// "channel-read-cross RATE READ_NS BASELINE_NS" for placement 1 (CPU time,
// which other processes disturb least).
#include <apr_general.h>
#include <apr_thread_mutex.h>
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "QelResampler.h"
#include "QelTarnwickssChannel.h"
#include "bench_support.h"
#include "fake_server_channel.h"

namespace {

using namespace TARNWICKSS;

constexpr int kSourceRate = 16000;
constexpr int kBlock = 3200;  // input samples per converter block: 200 ms
constexpr int kSecondsPerSpeak = 60;
constexpr int kSecondsOfSpeech = 5;  // the clip repeated to fill a SPEAK

// Sets the CPUs the reading thread and the writing thread run on for the
// benchmark's placement (its second argument; see the top of the file).
// False, with the benchmark skipped, when the process may use only one CPU
// and the placement needs two.
bool Placed(benchmark::State& state, int* reader, int* writer) {
  cpu_set_t allowed;
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
    }
  }
  const bool same = state.range(1) == 0;
  if (cpus.size() < (same ? 1u : 2u)) {
    state.SkipWithError("this placement needs two CPUs");
    return false;
  }
  *reader = cpus[0];
  *writer = same ? cpus[0] : cpus[1];
  return true;
}

void RunOn(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Gives the calling thread back the CPUs it had when made.
class KeepAffinity {
 public:
  KeepAffinity() { pthread_getaffinity_np(pthread_self(), sizeof cpus_, &cpus_); }
  ~KeepAffinity() { pthread_setaffinity_np(pthread_self(), sizeof cpus_, &cpus_); }
  KeepAffinity(const KeepAffinity&) = delete;
  KeepAffinity& operator=(const KeepAffinity&) = delete;

 private:
  cpu_set_t cpus_;
};

// Speech-like 16000 Hz samples: a few tones and noise, well inside 16 bits.
std::vector<std::int16_t> Speech() {
  std::vector<std::int16_t> samples(kSecondsOfSpeech * kSourceRate);
  std::mt19937 random(7);
  std::uniform_int_distribution<int> noise(-1000, 1000);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / kSourceRate;
    samples[i] = static_cast<std::int16_t>(6000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 1700 * t) +
                                           noise(random));
  }
  return samples;
}

// The pieces a segment's conversion queues for a channel at `rate`: one per
// 200 ms input block, resampled when the rate is not the source's, and the
// flushed rest.
std::vector<std::vector<std::uint8_t>> Pieces(int rate) {
  const std::vector<std::int16_t> speech = Speech();
  std::vector<std::vector<std::uint8_t>> pieces;
  auto add = [&pieces](const std::int16_t* samples, int count) {
    if (count <= 0) return;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples);
    pieces.emplace_back(bytes, bytes + count * sizeof(std::int16_t));
  };
  if (rate == kSourceRate) {
    for (std::size_t at = 0; at < speech.size(); at += kBlock) {
      add(speech.data() + at, static_cast<int>(std::min<std::size_t>(kBlock, speech.size() - at)));
    }
    return pieces;
  }
  const int out_block = rate / 5;
  Resampler resampler(kSourceRate, rate, kBlock);
  std::vector<std::int16_t> out(static_cast<std::size_t>(out_block));
  for (std::size_t at = 0; at < speech.size(); at += kBlock) {
    const int count = static_cast<int>(std::min<std::size_t>(kBlock, speech.size() - at));
    add(out.data(), resampler.Process(speech.data() + at, count, out.data(), out_block));
  }
  while (const int more = resampler.Flush(out.data(), out_block)) {
    if (more < 0) break;
    add(out.data(), more);
  }
  return pieces;
}

// A channel whose synthesis queues a minute of the prepared pieces, then the
// end-of-stream marker, and starts speaking.
class PlayingChannel : public Channel {
 public:
  PlayingChannel(Engine* engine, unsigned rate) : Channel(engine), pieces_(Pieces(static_cast<int>(rate))) {}
  // Audio bytes queued and not yet read.
  std::size_t queued() const { return mpf_media_chunk__buffer_get_size(media_buffer()); }
  // Chunk memory the media buffer holds (the engine thread's count: read it
  // only while that thread leaves the channel alone).
  std::size_t held() const { return mpf_media_chunk_buffer_held_size(media_buffer()); }
  // SPEAKs started: their audio may be read (the engine thread counts each
  // just after its response has gone out).
  int started() const { return started_.load(); }

 protected:
  bool StartSynthesis() override {
    for (int clip = 0; clip < kSecondsPerSpeak / kSecondsOfSpeech; ++clip) {
      for (const auto& piece : pieces_) mpf_media_chunk_buffer_audio_write(media_buffer(), piece.data(), piece.size());
    }
    EndStream();
    StartSpeaking();
    started_.fetch_add(1);
    return true;
  }

 private:
  const std::vector<std::vector<std::uint8_t>> pieces_;
  std::atomic<int> started_{0};
};

// An engine opened on the sample configuration in a fresh server root, and
// one open channel at `rate`.
class SpeakingChannel : public corvex_test::FakeServerChannel<PlayingChannel> {
 public:
  explicit SpeakingChannel(unsigned rate) : FakeServerChannel("channel-read-bench", "bench1@speechsynth") {
    ok_ = Open(rate, rate);
  }

  bool ok() const { return ok_; }
  PlayingChannel& channel() { return *channel_; }
  mrcp_request_id last_id() const { return next_id_; }
  bool WaitForComplete(mrcp_request_id id) { return server_.WaitForMessage(id, MRCP_MESSAGE_TYPE_EVENT); }

  // Sends a SPEAK (which replaces the one playing) and waits for its
  // IN-PROGRESS response and for its audio to become readable.
  bool Speak() {
    const int before = channel_->started();
    const mrcp_request_id id = Send(Request(SYNTHESIZER_SPEAK));
    if (!id || !server_.WaitFor([id](const Heard& h) {
          return h.kind == Heard::Message && h.request_id == id && h.type == MRCP_MESSAGE_TYPE_RESPONSE &&
                 h.state == MRCP_REQUEST_STATE_INPROGRESS;
        })) {
      return false;
    }
    while (channel_->started() == before) std::this_thread::yield();
    return true;
  }

 private:
  bool ok_ = false;
};

void BM_ChannelRead(benchmark::State& state) {
  const auto rate = static_cast<unsigned>(state.range(0));
  const std::size_t frame_size = rate / 100 * sizeof(std::int16_t);
  int reader = 0;
  int writer = 0;
  if (!Placed(state, &reader, &writer)) return;
  const KeepAffinity keep;
  // The engine's thread, made as the engine opens, keeps the CPU of the
  // thread that made it.
  RunOn(writer);
  SpeakingChannel speaking(rate);
  RunOn(reader);
  if (!speaking.ok() || !speaking.Speak()) {
    state.SkipWithError("the engine or its channel did not open");
    return;
  }
  PlayingChannel& channel = speaking.channel();
  std::vector<unsigned char> bytes(frame_size);
  for (auto _ : state) {
    if (channel.queued() < frame_size) {
      state.PauseTiming();  // once a minute of audio
      const bool spoke = speaking.Speak();
      state.ResumeTiming();
      if (!spoke) {
        state.SkipWithError("a SPEAK was not answered");
        break;
      }
    }
    mpf_frame_t frame{};
    frame.type = MEDIA_FRAME_TYPE_NONE;
    frame.codec_frame.buffer = bytes.data();
    frame.codec_frame.size = frame_size;
    channel.Read(&frame);
    benchmark::DoNotOptimize(frame.type);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame_size));
}

// The floor: lock, copy one frame from the next place in a minute of audio,
// unlock. The audio is what the channel gets: pieces another thread wrote
// into fresh memory, a minute at a time, on the CPU the placement gives the
// channel's engine thread.
void BM_LockedFrameCopy(benchmark::State& state) {
  const auto rate = static_cast<unsigned>(state.range(0));
  const std::size_t frame_size = rate / 100 * sizeof(std::int16_t);
  int reader = 0;
  int writer = 0;
  if (!Placed(state, &reader, &writer)) return;
  const KeepAffinity keep;
  RunOn(reader);
  const std::vector<std::vector<std::uint8_t>> pieces = Pieces(static_cast<int>(rate));
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  apr_thread_mutex_t* mutex = nullptr;
  apr_thread_mutex_create(&mutex, APR_THREAD_MUTEX_UNNESTED, pool);
  std::vector<std::uint8_t> audio;
  auto write_minute = [&pieces, &audio] {
    std::vector<std::uint8_t> fresh;
    for (int clip = 0; clip < kSecondsPerSpeak / kSecondsOfSpeech; ++clip) {
      for (const auto& piece : pieces) fresh.insert(fresh.end(), piece.begin(), piece.end());
    }
    audio.swap(fresh);
  };
  auto refill = [&write_minute, writer] {
    std::thread writing([&write_minute, writer] {
      RunOn(writer);
      write_minute();
    });
    writing.join();
  };
  refill();
  std::vector<unsigned char> bytes(frame_size);
  std::size_t offset = 0;
  for (auto _ : state) {
    if (audio.size() - offset < frame_size) {
      state.PauseTiming();  // once a minute of audio, as the channel's next SPEAK
      refill();
      offset = 0;
      state.ResumeTiming();
    }
    apr_thread_mutex_lock(mutex);
    std::memcpy(bytes.data(), audio.data() + offset, frame_size);
    offset += frame_size;
    apr_thread_mutex_unlock(mutex);
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame_size));
  apr_thread_mutex_destroy(mutex);
  apr_pool_destroy(pool);
}

BENCHMARK(BM_LockedFrameCopy)
    ->ArgsProduct({{8000, 16000}, {0, 1}})
    ->ArgNames({"rate", "placement"})
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ChannelRead)
    ->ArgsProduct({{8000, 16000}, {0, 1}})
    ->ArgNames({"rate", "placement"})
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

// At the end, each rate's and placement's medians (CPU and wall, in ns).
class RatioReporter : public bench::SummaryReporter {
  void Summarize() override {
    const auto& baselines = Medians("BM_LockedFrameCopy");
    for (const auto& [args, read] : Medians("BM_ChannelRead")) {
      const auto baseline = baselines.find(args);
      unsigned rate = 0;
      int placement = 0;
      if (baseline == baselines.end() || std::sscanf(args.c_str(), "rate:%u/placement:%d", &rate, &placement) != 2) {
        continue;
      }
      Line("%s %u %.2f %.2f (wall %.2f %.2f)", placement == 0 ? "channel-read" : "channel-read-cross", rate,
           read.cpu * 1e9, baseline->second.cpu * 1e9, read.real * 1e9, baseline->second.real * 1e9);
    }
  }
};

}  // namespace

// The media memory a channel keeps once its SPEAK has ended: a minute of
// speech at 16000 Hz played to its end, then the channel idle. Prints
// "idle-channel RATE HELD_BYTES PLAYING_BYTES", the second figure being what
// the buffer held while the SPEAK played its last frames.
void MeasureIdleChannel(unsigned rate) {
  SpeakingChannel speaking(rate);
  if (!speaking.ok() || !speaking.Speak()) {
    std::fprintf(stderr, "idle-channel: the engine or its channel did not open\n");
    return;
  }
  PlayingChannel& channel = speaking.channel();
  std::vector<unsigned char> bytes(rate / 100 * sizeof(std::int16_t));
  std::size_t playing = 0;
  for (int i = 0; i < kSecondsPerSpeak * 100 + 10; ++i) {
    // The last whole frame read: the end marker is still queued.
    if (!playing && channel.queued() < bytes.size()) playing = channel.held();
    mpf_frame_t frame{};
    frame.codec_frame.buffer = bytes.data();
    frame.codec_frame.size = bytes.size();
    channel.Read(&frame);
  }
  if (!speaking.WaitForComplete(speaking.last_id())) {
    std::fprintf(stderr, "idle-channel: the SPEAK did not complete\n");
    return;
  }
  std::printf("idle-channel %u %zu %zu\n", rate, channel.held(), playing);
}

int main(int argc, char** argv) {
  RatioReporter reporter;
  return bench::RunBenchmarks(argc, argv, reporter, [] { MeasureIdleChannel(16000); });
}
