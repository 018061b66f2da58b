// The channel's tasks on a running engine, with the cloud replaced by a test
// double: the hand-over between the engine thread and the media thread (this
// test's thread plays the media thread), STOP, PAUSE, and a close deferred
// while a segment is being synthesized. (A SPEAK replaced by a newer one is
// the SPEAK-road test's, through the real plugin.)
#include <apr_general.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "OdaEdpfAsyncEvent.h"
#include "QelTarnwickssChannel.h"
#include "QelTarnwickssEngine.h"
#include "log_capture.h"
#include "test_root.h"

namespace {

using namespace TARNWICKSS;

// What the server heard from the engine and the channel.
struct Server {
  struct Heard {
    enum Kind { EngineOpen, ChannelOpen, ChannelClose, Message } kind;
    mrcp_message_type_e type = MRCP_MESSAGE_TYPE_UNKNOWN;
    mrcp_method_id method = 0;
    mrcp_request_id request_id = 0;
    mrcp_status_code_e status = MRCP_STATUS_CODE_UNKNOWN;
    mrcp_request_state_e state = MRCP_REQUEST_STATE_UNKNOWN;
    int cause = -1;
    bool ok = true;  // ChannelOpen: the acknowledged result
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Heard> heard;

  void Add(Heard h) {
    std::lock_guard<std::mutex> lock(mutex);
    heard.push_back(h);
    changed.notify_all();
  }
  bool WaitFor(const std::function<bool(const Heard&)>& pred, int count = 1) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return std::count_if(heard.begin(), heard.end(), pred) >= count; });
  }
  std::vector<Heard> Messages(mrcp_request_id id) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Heard> out;
    for (const Heard& h : heard)
      if (h.kind == Heard::Message && h.request_id == id) out.push_back(h);
    return out;
  }
  bool Has(Heard::Kind kind) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::any_of(heard.begin(), heard.end(), [kind](const Heard& h) { return h.kind == kind; });
  }
};

Server* ServerOf(mrcp_engine_channel_t* channel) { return static_cast<Server*>(channel->event_obj); }

const mrcp_engine_event_vtable_t kEngineEvents = {
    [](mrcp_engine_t* engine, apt_bool_t) -> apt_bool_t {
      static_cast<Server*>(engine->event_obj)->Add({Server::Heard::EngineOpen});
      return TRUE;
    },
    [](mrcp_engine_t*) -> apt_bool_t { return TRUE; }};

const mrcp_engine_channel_event_vtable_t kChannelEvents = {
    [](mrcp_engine_channel_t* channel, apt_bool_t status) -> apt_bool_t {
      Server::Heard h{Server::Heard::ChannelOpen};
      h.ok = status == TRUE;
      ServerOf(channel)->Add(h);
      return TRUE;
    },
    [](mrcp_engine_channel_t* channel) -> apt_bool_t {
      ServerOf(channel)->Add({Server::Heard::ChannelClose});
      return TRUE;
    },
    [](mrcp_engine_channel_t* channel, mrcp_message_t* message) -> apt_bool_t {
      Server::Heard h{Server::Heard::Message};
      h.type = message->start_line.message_type;
      h.method = message->start_line.method_id;
      h.request_id = message->start_line.request_id;
      h.status = message->start_line.status_code;
      h.state = message->start_line.request_state;
      if (mrcp_resource_header_property_check(message, SYNTHESIZER_HEADER_COMPLETION_CAUSE))
        h.cause = message->synth_header->completion_cause;
      ServerOf(channel)->Add(h);
      return TRUE;
    }};

// Stands in for the cloud: either queues `audio_bytes` of audio and the end
// marker and starts speaking, or keeps a synthesis context open (a segment in
// the middle of its synthesis).
class FakeChannel : public Channel {
 public:
  using Channel::Channel;
  enum class Mode { Speak, Hold } mode = Mode::Speak;
  std::size_t audio_bytes = 1600;

  void FailSegment() { ProcessSynthError(); }
  // Engine thread: the chunk memory the media buffer holds.
  std::size_t Held() const { return mpf_media_chunk_buffer_held_size(media_buffer()); }

 protected:
  bool StartSynthesis() override {
    if (mode == Mode::Hold) {
      SetSynthContext(std::make_unique<StreamingSynthContext>());
      return true;
    }
    std::vector<unsigned char> audio(audio_bytes, 0x11);
    mpf_media_chunk_buffer_audio_write(media_buffer(), audio.data(), audio.size());
    EndStream();
    StartSpeaking();
    return true;
  }
};

// Runs a function on the engine's thread.
class CallEvent : public OdaEdpf::AsyncEvent {
 public:
  explicit CallEvent(std::function<void()> f) : f_(std::move(f)) {}
  void Process() override { f_(); }

 private:
  std::function<void()> f_;
};

class ChannelTasks : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTestRoot("tasks");
    InstallSampleConfig(root_);
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
    host_engine_.pool = pool_;
    host_engine_.dir_layout = apt_default_dir_layout_create(root_.c_str(), pool_);
    host_engine_.event_vtable = &kEngineEvents;
    host_engine_.event_obj = &server_;
    engine_ = std::make_unique<Engine>("TARNWICKSS");
    engine_->SetHostEngine(&host_engine_);
    ASSERT_TRUE(engine_->Open());
    ASSERT_TRUE(server_.WaitFor([](const Server::Heard& h) { return h.kind == Server::Heard::EngineOpen; }));

    channel_ = std::make_unique<FakeChannel>(engine_.get());
    codec_.name.buf = const_cast<char*>("LPCM");
    codec_.name.length = 4;
    codec_.sampling_rate = 8000;
    codec_.channel_count = 1;
    stream_.rx_descriptor = &codec_;
    termination_.audio_stream = &stream_;
    host_channel_.pool = pool_;
    host_channel_.id = "feed1@speechsynth";
    host_channel_.engine = &host_engine_;
    host_channel_.termination = &termination_;
    host_channel_.method_obj = channel_.get();
    host_channel_.event_vtable = &kChannelEvents;
    host_channel_.event_obj = &server_;
    channel_->SetHostChannel(&host_channel_);
    ASSERT_TRUE(channel_->SignalEvent(TaskMsgOpen, nullptr));
    ASSERT_TRUE(server_.WaitFor([](const Server::Heard& h) { return h.kind == Server::Heard::ChannelOpen; }));
  }

  void TearDown() override {
    if (!server_.Has(Server::Heard::ChannelClose)) {
      channel_->SignalEvent(TaskMsgClose, nullptr);
      server_.WaitFor([](const Server::Heard& h) { return h.kind == Server::Heard::ChannelClose; });
    }
    engine_->Close();
    channel_.reset();
    engine_.reset();
    apr_pool_destroy(pool_);
    apr_terminate();
    std::filesystem::remove_all(root_);
  }

  // Each request in a pool of its own, as the server makes them: the engine
  // thread allocates the request's response and events from it while this
  // thread builds the next request, and a pool is not safe from two threads.
  mrcp_message_t* Request(mrcp_method_id method) {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, pool_);
    mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, method, ++next_id_, pool);
    if (method == SYNTHESIZER_SPEAK) {
      mrcp_resource_header_prepare(request);
      mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
      apt_string_assign(&generic->content_type, "text/plain", pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
      apt_string_assign(&request->body, "Hello", pool);
    }
    return request;
  }
  mrcp_request_id Send(mrcp_message_t* request) {
    EXPECT_TRUE(channel_->SignalEvent(TaskMsgRequest, request));
    return request->start_line.request_id;
  }
  bool WaitForMessage(mrcp_request_id id, mrcp_message_type_e type, int count = 1) {
    return server_.WaitFor(
        [=](const Server::Heard& h) {
          return h.kind == Server::Heard::Message && h.request_id == id && h.type == type;
        },
        count);
  }
  // Runs `f` on the engine's thread and returns its result.
  template <typename F>
  auto OnEngine(F f) {
    std::promise<decltype(f())> result;
    engine_->event_processor()->PostEvent(new CallEvent([&] { result.set_value(f()); }));
    return result.get_future().get();
  }
  // An idle channel holds no more than a few spare chunks.
  std::size_t Held() {
    return OnEngine([this] { return channel_->Held(); });
  }
  // Plays one 10 ms frame as the media thread does; returns its type.
  int ReadFrame() {
    unsigned char buffer[160];
    std::memset(buffer, 0x7f, sizeof(buffer));
    mpf_frame_t frame{};
    frame.codec_frame.buffer = buffer;
    frame.codec_frame.size = sizeof(buffer);
    channel_->Read(&frame);
    return frame.type;
  }

  std::string root_;
  apr_pool_t* pool_ = nullptr;
  Server server_;
  mrcp_engine_t host_engine_{};
  mpf_codec_descriptor_t codec_{};
  mpf_audio_stream_t stream_{};
  mpf_termination_t termination_{};
  mrcp_engine_channel_t host_channel_{};
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<FakeChannel> channel_;
  mrcp_request_id next_id_ = 0;
};

TEST_F(ChannelTasks, SpeakPlaysItsAudioThenCompletesNormally) {
  channel_->audio_bytes = 160 * 500;
  const mrcp_request_id speak = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(WaitForMessage(speak, MRCP_MESSAGE_TYPE_RESPONSE));
  int audio_frames = 0, last_type = -1;
  for (int i = 0; i < 600 && !(last_type == MEDIA_FRAME_TYPE_NONE && audio_frames > 0); ++i) {
    last_type = ReadFrame();
    if (last_type & MEDIA_FRAME_TYPE_AUDIO) ++audio_frames;
  }
  // 80000 bytes are 500 frames; the marker's frame is not played.
  EXPECT_EQ(audio_frames, 500);
  ASSERT_TRUE(WaitForMessage(speak, MRCP_MESSAGE_TYPE_EVENT));
  const auto messages = server_.Messages(speak);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].status, MRCP_STATUS_CODE_SUCCESS);
  EXPECT_EQ(messages[0].state, MRCP_REQUEST_STATE_INPROGRESS);
  EXPECT_EQ(messages[1].method, SYNTHESIZER_SPEAK_COMPLETE);
  EXPECT_EQ(messages[1].state, MRCP_REQUEST_STATE_COMPLETE);
  EXPECT_EQ(messages[1].cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
  EXPECT_EQ(ReadFrame(), MEDIA_FRAME_TYPE_NONE);  // idle again: frames untouched
  EXPECT_LE(Held(), 64u * 1024);
}

TEST_F(ChannelTasks, ParametersComeFromDefaultsThenHeadersThenVendorParameters) {
  mrcp_message_t* request = Request(SYNTHESIZER_SPEAK);
  mrcp_synth_header_t* synth = request->synth_header;
  apt_string_assign(&synth->voice_param.name, "HeaderVoice", pool_);
  mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
  synth->voice_param.gender = VOICE_GENDER_MALE;
  mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_GENDER);
  apt_string_assign(&synth->speech_language, "", pool_);  // present and empty still overrides
  mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_SPEECH_LANGUAGE);
  mrcp_generic_header_t* generic = request->generic_header;
  apt_string_assign(&generic->content_type, "text/plain;charset=UTF-8", pool_);
  apt_string_assign(&generic->logging_tag, "call-42", pool_);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_LOGGING_TAG);
  apt_string_assign(&generic->cache_control, "max-age=30, min-fresh = 5", pool_);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_CACHE_CONTROL);
  generic->vendor_specific_params = apt_pair_array_create(4, pool_);
  apt_pair_array_append(generic->vendor_specific_params, "voice-name", "\"Vendor Voice\"", pool_);
  apt_pair_array_append(generic->vendor_specific_params, "voice-gender", "Female", pool_);
  apt_pair_array_append(generic->vendor_specific_params, "audio-as-url", "1", pool_);
  apt_pair_array_append(generic->vendor_specific_params, "region", "eu", pool_);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);

  corvex_test::LogCapture log;
  const mrcp_request_id speak = Send(request);
  ASSERT_TRUE(WaitForMessage(speak, MRCP_MESSAGE_TYPE_RESPONSE));
  const SdrManager::SynthesisDetails& details = channel_->details();
  EXPECT_EQ(details.speak_params.voice_name, "Vendor Voice");
  EXPECT_EQ(details.speak_params.voice_gender, VOICE_GENDER_MALE);  // "Female" is not a gender word
  EXPECT_EQ(details.speak_params.language, "");
  EXPECT_FALSE(details.speak_params.audio_as_url);
  EXPECT_EQ(details.speak_params.region, "eu");
  EXPECT_EQ(details.speak_params.content_type, SYNTH_CONTENT_TEXT);
  EXPECT_EQ(details.logging_tag, "call-42");
  EXPECT_EQ(details.cache_control.max_age, 30);
  EXPECT_EQ(details.sampling_rate, 8000u);
  EXPECT_EQ(details.codec, "LPCM");
  EXPECT_EQ(details.completion_cause, SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN);
  const std::string tail = " <feed1@speechsynth@tarnwickss>";
  EXPECT_EQ(log.Count("Unknown Value [Female] of Parameter [voice-gender]" + tail, APT_PRIO_WARNING), 1u);
  EXPECT_EQ(log.Count("Unknown Value [1] of Parameter [audio-as-url]" + tail, APT_PRIO_WARNING), 1u);
  EXPECT_EQ(log.Warnings(), 2u) << log.WarningText();
}

TEST_F(ChannelTasks, StopWhilePausedEndsTheSpeakWithTheStopResponseOnly) {
  channel_->audio_bytes = 160 * 500;
  const mrcp_request_id speak = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(WaitForMessage(speak, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_EQ(ReadFrame(), MEDIA_FRAME_TYPE_AUDIO);
  const mrcp_request_id pause = Send(Request(SYNTHESIZER_PAUSE));
  ASSERT_TRUE(WaitForMessage(pause, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_EQ(ReadFrame(), MEDIA_FRAME_TYPE_NONE);  // paused: the buffer keeps its place

  // Two STOPs: each gets exactly one answer, once the media thread has stopped.
  corvex_test::LogCapture log;
  const mrcp_request_id stop1 = Send(Request(SYNTHESIZER_STOP));
  const mrcp_request_id stop2 = Send(Request(SYNTHESIZER_BARGE_IN_OCCURRED));
  ASSERT_TRUE(WaitForMessage(stop1, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_TRUE(server_.Messages(stop2).empty());
  EXPECT_EQ(ReadFrame(), MEDIA_FRAME_TYPE_NONE);
  ASSERT_TRUE(WaitForMessage(stop2, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_EQ(log.Count("Stop Complete <feed1@speechsynth@tarnwickss>", APT_PRIO_NOTICE), 1u);
  EXPECT_EQ(server_.Messages(stop2)[0].status, MRCP_STATUS_CODE_SUCCESS);
  EXPECT_EQ(server_.Messages(stop1).size(), 1u);
  EXPECT_EQ(server_.Messages(speak).size(), 1u);  // no SPEAK-COMPLETE after a STOP
  EXPECT_EQ(channel_->details().completion_cause, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  EXPECT_LE(Held(), 64u * 1024);  // the unplayed audio went with the STOP
}

TEST_F(ChannelTasks, OnlyOpenChannelsAreListedAndADestroyedOneLeavesTheList) {
  auto in_use = [this] { return OnEngine([this] { return engine_->in_use_count(); }); };
  auto open = [this](FakeChannel* channel, mrcp_engine_channel_t* host, apr_pool_t* pool, int nth) {
    *host = host_channel_;
    host->pool = pool;
    host->method_obj = channel;
    channel->SetHostChannel(host);
    channel->SignalEvent(TaskMsgOpen, nullptr);
    return server_.WaitFor([](const Server::Heard& h) { return h.kind == Server::Heard::ChannelOpen; }, nth);
  };
  // Destroyed by the server without a close.
  mrcp_engine_channel_t host_second{}, host_third{};
  auto* second = new FakeChannel(engine_.get());
  ASSERT_TRUE(open(second, &host_second, pool_, 2));
  EXPECT_EQ(in_use(), 2u);
  Channel::Destroy(second);
  EXPECT_EQ(in_use(), 1u);
  // No media buffer can be made (here: no pool for it): the open fails.
  auto* third = new FakeChannel(engine_.get());
  ASSERT_TRUE(open(third, &host_third, nullptr, 3));
  EXPECT_FALSE(server_.heard.back().ok);
  EXPECT_EQ(in_use(), 1u);
  Channel::Destroy(third);
}

TEST_F(ChannelTasks, CloseDuringSynthesisIsAcknowledgedWhenTheSegmentEnds) {
  channel_->mode = FakeChannel::Mode::Hold;
  const mrcp_request_id speak = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(channel_->SignalEvent(TaskMsgClose, nullptr));
  // A later request proves the close task has run without acknowledging.
  const mrcp_request_id probe = Send(Request(SYNTHESIZER_GET_PARAMS));
  ASSERT_TRUE(WaitForMessage(probe, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_FALSE(server_.Has(Server::Heard::ChannelClose));
  EXPECT_TRUE(server_.Messages(speak).empty());

  // While the context exists a new SPEAK is refused.
  const mrcp_request_id refused = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(WaitForMessage(refused, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_EQ(server_.Messages(refused)[0].status, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);

  FakeChannel* channel = channel_.get();
  engine_->event_processor()->PostEvent(new CallEvent([channel] { channel->FailSegment(); }));
  ASSERT_TRUE(server_.WaitFor([](const Server::Heard& h) { return h.kind == Server::Heard::ChannelClose; }));
  const auto messages = server_.Messages(speak);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].status, MRCP_STATUS_CODE_METHOD_FAILED);
  EXPECT_EQ(messages[0].cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
}

}  // namespace

// A media thread reading back to back while SPEAKs are stopped and
// followed at once by the next one: every SPEAK still gets its final answer
// (the STOP's response, or SPEAK-COMPLETE for the short ones), whatever the
// media thread was doing with the previous SPEAK when the next began.
TEST_F(ChannelTasks, SpeaksStoppedAndFollowedAtOnceWhileTheMediaThreadReadsAllEnd) {
  std::atomic<bool> done{false};
  std::thread media([&] {
    while (!done.load()) {
      ReadFrame();
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 200; ++i) {
    channel_->audio_bytes = 160 * 50;
    const mrcp_request_id longer = Send(Request(SYNTHESIZER_SPEAK));
    ASSERT_TRUE(WaitForMessage(longer, MRCP_MESSAGE_TYPE_RESPONSE)) << i;
    const mrcp_request_id stop = Send(Request(i % 2 ? SYNTHESIZER_STOP : SYNTHESIZER_BARGE_IN_OCCURRED));
    ASSERT_TRUE(WaitForMessage(stop, MRCP_MESSAGE_TYPE_RESPONSE)) << i;
    channel_->audio_bytes = 160 * (i % 3);  // an empty SPEAK, one frame, two
    const mrcp_request_id shorter = Send(Request(SYNTHESIZER_SPEAK));
    ASSERT_TRUE(WaitForMessage(shorter, MRCP_MESSAGE_TYPE_EVENT)) << i;
    // The stopped SPEAK: its response, then nothing (the STOP ended it) or
    // SPEAK-COMPLETE when it had played out before the STOP came.
    EXPECT_LE(server_.Messages(longer).size(), 2u) << i;
    EXPECT_EQ(server_.Messages(stop).size(), 1u) << i;
    EXPECT_EQ(server_.Messages(shorter).size(), 2u) << i;
  }
  done.store(true);
  media.join();
}
