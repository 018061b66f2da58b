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
// thread as the engine thread writes the channel's, so the ratio shows the
// channel's and the buffer's bookkeeping, not the memory traffic both pay.
//
// The cloud is replaced as in the channel's task tests: a channel whose
// synthesis writes the prepared pieces and starts speaking.
//
// Prints the medians and, last, one line per rate: "channel-read RATE
// READ_NS BASELINE_NS" (CPU time, which other processes disturb least).
#include <apr_general.h>
#include <apr_thread_mutex.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "QelResampler.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"
#include "bench_support.h"
#include "test_root.h"

namespace {

using namespace TARNWICKSS;

constexpr int kSourceRate = 16000;
constexpr int kBlock = 3200;  // input samples per converter block: 200 ms
constexpr int kSecondsPerSpeak = 60;
constexpr int kSecondsOfSpeech = 5;  // the clip repeated to fill a SPEAK

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

// What the server hears: the responses to SPEAKs, by request id.
struct Server {
  std::mutex mutex;
  std::condition_variable changed;
  bool engine_open = false;
  bool channel_open = false;
  std::map<mrcp_request_id, mrcp_request_state_e> responses;
  std::map<mrcp_request_id, bool> completed;  // SPEAK-COMPLETE arrived

  template <typename Pred>
  bool WaitFor(Pred pred) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), pred);
  }
  void Note(const std::function<void()>& change) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      change();
    }
    changed.notify_all();
  }
};

Server* ServerOf(mrcp_engine_channel_t* channel) { return static_cast<Server*>(channel->event_obj); }

const mrcp_engine_event_vtable_t kEngineEvents = {[](mrcp_engine_t* engine, apt_bool_t) -> apt_bool_t {
                                                    auto* server = static_cast<Server*>(engine->event_obj);
                                                    server->Note([server] { server->engine_open = true; });
                                                    return TRUE;
                                                  },
                                                  [](mrcp_engine_t*) -> apt_bool_t { return TRUE; }};

const mrcp_engine_channel_event_vtable_t kChannelEvents = {
    [](mrcp_engine_channel_t* channel, apt_bool_t) -> apt_bool_t {
      Server* server = ServerOf(channel);
      server->Note([server] { server->channel_open = true; });
      return TRUE;
    },
    [](mrcp_engine_channel_t* channel) -> apt_bool_t {
      Server* server = ServerOf(channel);
      server->Note([server] { server->channel_open = false; });
      return TRUE;
    },
    [](mrcp_engine_channel_t* channel, mrcp_message_t* message) -> apt_bool_t {
      Server* server = ServerOf(channel);
      const mrcp_request_id id = message->start_line.request_id;
      if (message->start_line.message_type == MRCP_MESSAGE_TYPE_EVENT) {
        server->Note([server, id] { server->completed[id] = true; });
        return TRUE;
      }
      if (message->start_line.message_type != MRCP_MESSAGE_TYPE_RESPONSE) return TRUE;
      const mrcp_request_state_e state = message->start_line.request_state;
      server->Note([server, id, state] { server->responses[id] = state; });
      return TRUE;
    }};

// A channel whose synthesis queues a minute of the prepared pieces, then the
// end-of-stream marker, and starts speaking.
class PlayingChannel : public Channel {
 public:
  PlayingChannel(Engine* engine, const std::vector<std::vector<std::uint8_t>>* pieces)
      : Channel(engine), pieces_(pieces) {}
  // Audio bytes queued and not yet read.
  std::size_t queued() const { return mpf_media_chunk__buffer_get_size(media_buffer()); }
  // Chunk memory the media buffer holds (the engine thread's count: read it
  // only while that thread leaves the channel alone).
  std::size_t held() const { return mpf_media_chunk_buffer_held_size(media_buffer()); }

 protected:
  bool StartSynthesis() override {
    for (int clip = 0; clip < kSecondsPerSpeak / kSecondsOfSpeech; ++clip) {
      for (const auto& piece : *pieces_) mpf_media_chunk_buffer_audio_write(media_buffer(), piece.data(), piece.size());
    }
    EndStream();
    StartSpeaking();
    return true;
  }

 private:
  const std::vector<std::vector<std::uint8_t>>* pieces_;
};

// An engine opened on the sample configuration in a fresh server root, and
// one open channel at `rate`.
class SpeakingChannel {
 public:
  explicit SpeakingChannel(unsigned rate) : pieces_(Pieces(static_cast<int>(rate))) {
    root_ = MakeTestRoot("channel-read-bench");
    InstallSampleConfig(root_);
    apr_pool_create(&pool_, nullptr);
    host_engine_.pool = pool_;
    host_engine_.dir_layout = apt_default_dir_layout_create(root_.c_str(), pool_);
    host_engine_.event_vtable = &kEngineEvents;
    host_engine_.event_obj = &server_;
    engine_ = std::make_unique<Engine>("TARNWICKSS");
    engine_->SetHostEngine(&host_engine_);
    ok_ = engine_->Open() && server_.WaitFor([this] { return server_.engine_open; });
    if (!ok_) return;

    channel_ = std::make_unique<PlayingChannel>(engine_.get(), &pieces_);
    codec_.name.buf = const_cast<char*>("LPCM");
    codec_.name.length = 4;
    codec_.sampling_rate = static_cast<apr_uint16_t>(rate);
    codec_.channel_count = 1;
    stream_.rx_descriptor = &codec_;
    termination_.audio_stream = &stream_;
    host_channel_.pool = pool_;
    host_channel_.id = "bench1@speechsynth";
    host_channel_.engine = &host_engine_;
    host_channel_.termination = &termination_;
    host_channel_.method_obj = channel_.get();
    host_channel_.event_vtable = &kChannelEvents;
    host_channel_.event_obj = &server_;
    channel_->SetHostChannel(&host_channel_);
    ok_ = channel_->SignalEvent(TaskMsgOpen, nullptr) && server_.WaitFor([this] { return server_.channel_open; });
  }

  ~SpeakingChannel() {
    if (channel_ && server_.channel_open) {
      channel_->SignalEvent(TaskMsgClose, nullptr);
      server_.WaitFor([this] { return !server_.channel_open; });
    }
    if (engine_) engine_->Close();
    channel_.reset();
    engine_.reset();
    apr_pool_destroy(pool_);
    std::filesystem::remove_all(root_);
  }

  bool ok() const { return ok_; }
  PlayingChannel& channel() { return *channel_; }
  mrcp_request_id last_id() const { return next_id_; }
  bool WaitForComplete(mrcp_request_id id) {
    return server_.WaitFor([this, id] { return server_.completed.count(id) > 0; });
  }

  // Sends a SPEAK (which replaces the one playing) and waits for its
  // IN-PROGRESS response.
  bool Speak() {
    const mrcp_request_id id = ++next_id_;
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SPEAK, id, pool_);
    mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
    apt_string_assign(&generic->content_type, "text/plain", pool_);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    apt_string_assign(&request->body, "A minute of speech.", pool_);
    return channel_->SignalEvent(TaskMsgRequest, request) && server_.WaitFor([this, id] {
      const auto it = server_.responses.find(id);
      return it != server_.responses.end() && it->second == MRCP_REQUEST_STATE_INPROGRESS;
    });
  }

 private:
  std::vector<std::vector<std::uint8_t>> pieces_;
  std::string root_;
  apr_pool_t* pool_ = nullptr;
  Server server_;
  mrcp_engine_t host_engine_{};
  mpf_codec_descriptor_t codec_{};
  mpf_audio_stream_t stream_{};
  mpf_termination_t termination_{};
  mrcp_engine_channel_t host_channel_{};
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<PlayingChannel> channel_;
  mrcp_request_id next_id_ = 0;
  bool ok_ = false;
};

void BM_ChannelRead(benchmark::State& state) {
  const auto rate = static_cast<unsigned>(state.range(0));
  const std::size_t frame_size = rate / 100 * sizeof(std::int16_t);
  SpeakingChannel speaking(rate);
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
// into fresh memory, a minute at a time, so the copy pays for moving that
// memory to the reading core as the channel's read does. (Copying a minute
// that stays in the reading core's cache, as media_chunk_buffer_bench's
// baseline does, is about half as dear; no channel is read like that.)
void BM_LockedFrameCopy(benchmark::State& state) {
  const auto rate = static_cast<unsigned>(state.range(0));
  const std::size_t frame_size = rate / 100 * sizeof(std::int16_t);
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
  auto refill = [&write_minute] {
    std::thread writer(write_minute);
    writer.join();
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

BENCHMARK(BM_LockedFrameCopy)->Arg(8000)->Arg(16000)->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK(BM_ChannelRead)->Arg(8000)->Arg(16000)->Repetitions(10)->ReportAggregatesOnly(true);

// At the end, each rate's medians (CPU and wall, in ns).
class RatioReporter : public bench::SummaryReporter {
  void Summarize() override {
    const auto& baselines = Medians("BM_LockedFrameCopy");
    for (const auto& [rate, read] : Medians("BM_ChannelRead")) {
      const auto baseline = baselines.find(rate);
      if (baseline == baselines.end()) continue;
      Line("channel-read %s %.2f %.2f (wall %.2f %.2f)", rate.c_str(), read.cpu * 1e9, baseline->second.cpu * 1e9,
           read.real * 1e9, baseline->second.real * 1e9);
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
