// The channel's tasks on a running engine, with the cloud replaced by a test
// double: the hand-over between the engine thread and the media thread (this
// test's thread plays the media thread), STOP, PAUSE, and a close deferred
// while a segment is being synthesized; all of it alike whether the engine
// thread or cloud workers make the exchanges. Then, through the real cloud
// road against the local speech service, STOP, BARGE-IN-OCCURRED, a newer
// SPEAK and close racing an exchange that a worker holds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "OdaEdpfAsyncEvent.h"
#include "QelTarnwickssChannel.h"
#include "fake_server_channel.h"
#include "log_capture.h"
#include "test_speech_service.h"

namespace {

using namespace TARNWICKSS;

// Stands in for the cloud: queues `audio_bytes` of audio and the end marker
// and starts speaking (Speak); or keeps a synthesis context open, a segment in
// the middle of its synthesis, with nothing queued (Hold) or after queuing
// the audio and starting to speak (Stream); or takes the real road (Cloud).
class FakeChannel : public Channel {
 public:
  using Channel::Channel;
  enum class Mode { Speak, Hold, Stream, Cloud } mode = Mode::Speak;
  std::size_t audio_bytes = 1600;

  void FailSegment() { ProcessSynthError(); }
  // Engine thread: the chunk memory the media buffer holds.
  std::size_t Held() const { return mpf_media_chunk_buffer_held_size(media_buffer()); }
  // Engine thread: the final results of exchanges that reached the channel.
  int finals = 0;
  void OnCloudResult(CloudExchange& exchange, CloudResult& result) override {
    finals += result.final();
    Channel::OnCloudResult(exchange, result);
  }

 protected:
  bool StartSynthesis() override {
    if (mode == Mode::Cloud) return Channel::StartSynthesis();
    if (mode == Mode::Hold) {
      SetSynthContext(std::make_unique<StreamingSynthContext>());
      return true;
    }
    std::vector<unsigned char> audio(audio_bytes, 0x11);
    mpf_media_chunk_buffer_audio_write(media_buffer(), audio.data(), audio.size());
    if (mode == Mode::Stream) {
      SetSynthContext(std::make_unique<StreamingSynthContext>());
    } else {
      EndStream();
    }
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

// The parameter: the engine's cloud workers.
class ChannelTasks : public ::testing::TestWithParam<int>, protected corvex_test::FakeServerChannel<FakeChannel> {
 protected:
  ChannelTasks() : FakeServerChannel("tasks", "feed1@speechsynth") {}
  void SetUp() override {
    ASSERT_TRUE(ReplaceInFile(root_ + "/conf/tarnwickss.xml", "save-records=\"false\"", "save-records=\"true\""));
    ASSERT_TRUE(Workers(GetParam()) && Open(8000));
  }
  bool Workers(int count) {
    return ReplaceInFile(root_ + "/conf/tarnwickss.xml", "cloud-workers=\"0\"",
                         "cloud-workers=\"" + std::to_string(count) + "\"");
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
};

// However an accepted SPEAK ends, it gets one final answer and leaves one
// record with its cause and the bytes of the frames it played. Each queues 3
// frames and 72 bytes: the frame with the end-of-stream marker plays those 72
// bytes, padded with silence, and the end is reported with the next frame.
TEST_P(ChannelTasks, EverySpeakEndsWithOneAnswerAndOneRecordOfWhatItPlayed) {
  enum Ending { kNormal, kFailed, kBargeIn, kStopsWhilePaused, kReplaced, kClosed };
  const struct {
    Ending ending;
    int played;  // frames
    const char* cause;
  } rows[] = {{kNormal, 4, "normal"},      {kFailed, 4, "error"},
              {kBargeIn, 3, "barge-in"},   {kStopsWhilePaused, 1, "cancelled"},
              {kReplaced, 2, "cancelled"}, {kClosed, 2, "cancelled"}};
  channel_->audio_bytes = 160 * 3 + 72;
  int speaks = 0;
  for (const auto& row : rows) {
    channel_->mode = row.ending == kFailed ? FakeChannel::Mode::Stream : FakeChannel::Mode::Speak;
    const mrcp_request_id speak = Send(Request(SYNTHESIZER_SPEAK));
    ++speaks;
    ASSERT_TRUE(server_.WaitForMessage(speak, MRCP_MESSAGE_TYPE_RESPONSE));
    // Its audio is readable once the task that sent the response is done.
    OnEngine([this, &row] {
      if (row.ending == kFailed) channel_->FailSegment();
      return 0;
    });
    for (int i = 0; i < row.played; ++i) EXPECT_EQ(ReadFrame(), MEDIA_FRAME_TYPE_AUDIO) << row.cause;
    mrcp_request_id last = speak;  // the request whose answer ends the SPEAK
    if (row.ending == kStopsWhilePaused) {
      ASSERT_TRUE(server_.WaitForMessage(Send(Request(SYNTHESIZER_PAUSE)), MRCP_MESSAGE_TYPE_RESPONSE));
      EXPECT_EQ(ReadFrame(), MEDIA_FRAME_TYPE_NONE);  // paused: the buffer keeps its place
      // A second STOP gets the held one answered; it waits for the media thread.
      const mrcp_request_id first = Send(Request(SYNTHESIZER_STOP));
      last = Send(Request(SYNTHESIZER_STOP));
      ASSERT_TRUE(server_.WaitForMessage(first, MRCP_MESSAGE_TYPE_RESPONSE));
      EXPECT_TRUE(server_.Messages(last).empty());
    } else if (row.ending == kBargeIn) {
      last = Send(Request(SYNTHESIZER_BARGE_IN_OCCURRED));
      OnEngine([] { return 0; });  // it is held
    } else if (row.ending == kReplaced) {
      ASSERT_TRUE(server_.WaitForMessage(Send(Request(SYNTHESIZER_SPEAK)), MRCP_MESSAGE_TYPE_RESPONSE));
      ++speaks;
    } else if (row.ending == kClosed) {
      channel_->SignalEvent(TaskMsgClose, nullptr);
      ASSERT_TRUE(server_.WaitFor(Heard::ChannelClose));
    }
    EXPECT_TRUE(row.ending == kReplaced || ReadFrame() == MEDIA_FRAME_TYPE_NONE);  // reports the end or the STOP
    const bool completes = row.ending == kNormal || row.ending == kFailed || row.ending == kReplaced;
    ASSERT_TRUE(row.ending == kClosed ||
                server_.WaitForMessage(last, completes ? MRCP_MESSAGE_TYPE_EVENT : MRCP_MESSAGE_TYPE_RESPONSE));
    EXPECT_EQ(server_.Messages(speak).size(), completes ? 2u : 1u) << row.cause;
    const std::string record = ReadFile(root_ + "/var/tarnwickss-feed1@speechsynth-" + std::to_string(speak) + ".json");
    EXPECT_NE(record.find("\"completion-cause\": \"" + std::string(row.cause)), std::string::npos) << record;
    EXPECT_NE(record.find("\"data-length\": \"" + std::to_string(row.played * 160) + " "), std::string::npos) << record;
    EXPECT_TRUE(row.ending != kStopsWhilePaused || Held() <= 64u * 1024);  // the unplayed audio went with the STOP
  }
  int records = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_ + "/var"))
    records += entry.path().extension() == ".json";
  EXPECT_EQ(records, speaks);  // the SPEAK that replaced one was ended by the next
}

TEST_P(ChannelTasks, ParametersComeFromDefaultsThenHeadersThenVendorParameters) {
  mrcp_message_t* request = Request(SYNTHESIZER_SPEAK);
  mrcp_synth_header_t* synth = request->synth_header;
  apt_string_assign(&synth->voice_param.name, "HeaderVoice", request->pool);
  mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
  synth->voice_param.gender = VOICE_GENDER_MALE;
  mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_GENDER);
  apt_string_assign(&synth->speech_language, "", request->pool);  // present and empty still overrides
  mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_SPEECH_LANGUAGE);
  mrcp_generic_header_t* generic = request->generic_header;
  apt_string_assign(&generic->content_type, "text/plain; Charset=\"ISO-8859-1\"", request->pool);
  apt_string_assign(&request->body, "Caf\xE9", request->pool);
  apt_string_assign(&generic->logging_tag, "call-42", request->pool);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_LOGGING_TAG);
  apt_string_assign(&generic->cache_control, "max-age=30, min-fresh = 5", request->pool);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_CACHE_CONTROL);
  generic->vendor_specific_params = apt_pair_array_create(4, request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "voice-name", "\"Vendor Voice\"", request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "voice-gender", "Female", request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "audio-as-url", "1", request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "region", "eu", request->pool);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);

  corvex_test::LogCapture log;
  const mrcp_request_id speak = Send(request);
  ASSERT_TRUE(server_.WaitForMessage(speak, MRCP_MESSAGE_TYPE_RESPONSE));
  const SdrManager::SynthesisDetails& details = channel_->details();
  EXPECT_EQ(details.speak_params.voice_name, "Vendor Voice");
  EXPECT_EQ(details.speak_params.voice_gender, VOICE_GENDER_MALE);  // "Female" is not a gender word
  EXPECT_EQ(details.speak_params.language, "");
  EXPECT_FALSE(details.speak_params.audio_as_url);
  EXPECT_EQ(details.speak_params.region, "eu");
  EXPECT_EQ(details.speak_params.content_type, SYNTH_CONTENT_TEXT);
  EXPECT_EQ(details.speak_params.content, "Caf\xC3\xA9");  // the cloud gets UTF-8
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

TEST_P(ChannelTasks, OnlyOpenChannelsAreListedAndADestroyedOneLeavesTheList) {
  auto in_use = [this] { return OnEngine([this] { return engine_->in_use_count(); }); };
  auto open = [this](FakeChannel* channel, mrcp_engine_channel_t* host, apr_pool_t* pool, int nth) {
    *host = host_channel_;
    host->pool = pool;
    host->method_obj = channel;
    channel->SetHostChannel(host);
    channel->SignalEvent(TaskMsgOpen, nullptr);
    return server_.WaitFor(Heard::ChannelOpen, nth);
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

TEST_P(ChannelTasks, CloseDuringSynthesisIsAcknowledgedWhenTheSegmentEnds) {
  channel_->mode = FakeChannel::Mode::Hold;
  const mrcp_request_id speak = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(channel_->SignalEvent(TaskMsgClose, nullptr));
  // A later request proves the close task has run without acknowledging.
  const mrcp_request_id probe = Send(Request(SYNTHESIZER_GET_PARAMS));
  ASSERT_TRUE(server_.WaitForMessage(probe, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_FALSE(server_.Has(Heard::ChannelClose));
  EXPECT_TRUE(server_.Messages(speak).empty());

  // While the context exists a new SPEAK is refused.
  const mrcp_request_id refused = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(server_.WaitForMessage(refused, MRCP_MESSAGE_TYPE_RESPONSE));
  EXPECT_EQ(server_.Messages(refused)[0].status, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);

  FakeChannel* channel = channel_.get();
  engine_->event_processor()->PostEvent(new CallEvent([channel] { channel->FailSegment(); }));
  ASSERT_TRUE(server_.WaitFor(Heard::ChannelClose));
  const auto messages = server_.Messages(speak);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].status, MRCP_STATUS_CODE_METHOD_FAILED);
  EXPECT_EQ(messages[0].cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
}

}  // namespace

// A SPEAK is heard only from its IN-PROGRESS to its end: a frame read as
// its response goes out has no audio yet, and none once a newer SPEAK has
// replaced it (its SPEAK-COMPLETE, cancelled, is out).
TEST_P(ChannelTasks, ASpeakIsHeardOnlyFromItsInProgressToItsEnd) {
  std::vector<int> types;  // of the frames read as each message went out
  server_.on_heard = [&](const Heard& h) {
    if (h.kind == Heard::Message) types.push_back(ReadFrame());
  };
  channel_->audio_bytes = 160 * 50;
  const mrcp_request_id first = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(server_.WaitForMessage(first, MRCP_MESSAGE_TYPE_RESPONSE));
  const mrcp_request_id second = Send(Request(SYNTHESIZER_SPEAK));
  ASSERT_TRUE(server_.WaitForMessage(second, MRCP_MESSAGE_TYPE_RESPONSE));
  server_.on_heard = nullptr;
  EXPECT_EQ(server_.Messages(first).back().cause, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  // The first's response, its SPEAK-COMPLETE, the second's response.
  EXPECT_EQ(types, std::vector<int>(3, MEDIA_FRAME_TYPE_NONE));
}

// A media thread reading back to back while SPEAKs are stopped and
// followed at once by the next one: every SPEAK still gets its final answer
// (the STOP's response, or SPEAK-COMPLETE for the short ones), whatever the
// media thread was doing with the previous SPEAK when the next began.
TEST_P(ChannelTasks, SpeaksStoppedAndFollowedAtOnceWhileTheMediaThreadReadsAllEnd) {
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
    ASSERT_TRUE(server_.WaitForMessage(longer, MRCP_MESSAGE_TYPE_RESPONSE)) << i;
    const mrcp_request_id stop = Send(Request(i % 2 ? SYNTHESIZER_STOP : SYNTHESIZER_BARGE_IN_OCCURRED));
    ASSERT_TRUE(server_.WaitForMessage(stop, MRCP_MESSAGE_TYPE_RESPONSE)) << i;
    channel_->audio_bytes = 160 * (i % 3);  // an empty SPEAK, one frame, two
    const mrcp_request_id shorter = Send(Request(SYNTHESIZER_SPEAK));
    ASSERT_TRUE(server_.WaitForMessage(shorter, MRCP_MESSAGE_TYPE_EVENT)) << i;
    // The stopped SPEAK: its response, then nothing (the STOP ended it) or
    // SPEAK-COMPLETE when it had played out before the STOP came.
    EXPECT_LE(server_.Messages(longer).size(), 2u) << i;
    EXPECT_EQ(server_.Messages(stop).size(), 1u) << i;
    EXPECT_EQ(server_.Messages(shorter).size(), 2u) << i;
  }
  done.store(true);
  media.join();
}

INSTANTIATE_TEST_SUITE_P(CloudWorkers, ChannelTasks, ::testing::Values(0, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

namespace {

// The real cloud road with two workers, against the local speech service,
// the waveform cache on; no media thread reads unless the test does.
class ExchangeRaces : public ChannelTasks {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.ok()) << service_.error();
    WriteFile(root_ + "/data/credentials.json", service_.PluginCredentials());
    ASSERT_TRUE(ReplaceInFile(root_ + "/conf/tarnwickss.xml", "caching=\"false\"", "caching=\"true\""));
    ASSERT_TRUE(Workers(2) && Open(8000));
    channel_->mode = FakeChannel::Mode::Cloud;
  }
  // A SPEAK spoken with the service's fault switches `voice`.
  mrcp_request_id Speak(const std::string& voice, bool by_url = false) {
    mrcp_message_t* request = Request(SYNTHESIZER_SPEAK);
    apt_string_assign(&request->synth_header->voice_param.name, voice.c_str(), request->pool);
    mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    if (by_url) {
      request->generic_header->vendor_specific_params = apt_pair_array_create(1, request->pool);
      apt_pair_array_append(request->generic_header->vendor_specific_params, "audio-as-url", "true", request->pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
    }
    return Send(request);
  }
  // Waits until no worker holds an exchange and the engine has taken up
  // what they sent.
  void Settle() {
    for (int i = 0; i < 1000 && engine_->cloud_workers()->running() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    OnEngine([] { return 0; });
  }
  bool Ended(mrcp_request_id speak) {
    for (const Heard& h : server_.Messages(speak))
      if (h.type == MRCP_MESSAGE_TYPE_EVENT) return true;
    return false;
  }
  // Frames with audio read until the SPEAK's end (at most 5 s).
  int AudioFrames(mrcp_request_id speak) {
    int audio = 0;
    for (const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !Ended(speak) && std::chrono::steady_clock::now() < give_up;) {
      if (ReadFrame() & MEDIA_FRAME_TYPE_AUDIO) {
        ++audio;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return audio;
  }
  std::vector<mrcp_request_state_e> States(mrcp_request_id id) {
    std::vector<mrcp_request_state_e> states;
    for (const Heard& h : server_.Messages(id)) states.push_back(h.state);
    return states;
  }

  corvex_test::TestSpeechService service_;
};

// Served at once while the service takes its time: PAUSE and RESUME, then
// the STOP, answered without a frame read; the SPEAK had its IN-PROGRESS and
// nothing more, and nothing of it plays, stays on disk or enters the cache.
TEST_F(ExchangeRaces, StopOrBargeInEndsASpeakWhoseTextRequestOrFetchIsInFlight) {
  struct Case {
    mrcp_method_id method;
    bool by_url;
  } const cases[] = {{SYNTHESIZER_STOP, false}, {SYNTHESIZER_BARGE_IN_OCCURRED, false}, {SYNTHESIZER_STOP, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.method) + (c.by_url ? " by URL" : " inline"));
    corvex_test::LogCapture log;
    const std::string voice = c.by_url ? "fault:tone=500,ms=300,fetch-delay=800" : "fault:tone=500,ms=300,delay=800";
    const mrcp_request_id speak = Speak(voice, c.by_url);
    const mrcp_request_id pause = Send(Request(SYNTHESIZER_PAUSE));
    const mrcp_request_id resume = Send(Request(SYNTHESIZER_RESUME));
    ASSERT_TRUE(server_.WaitForMessage(resume, MRCP_MESSAGE_TYPE_RESPONSE));
    EXPECT_EQ(server_.Messages(pause).size(), 1u);
    if (c.by_url) {
      ASSERT_TRUE(log.WaitFor("TTS Request Answered"));
    }
    const mrcp_request_id stop = Send(Request(c.method));
    ASSERT_TRUE(server_.WaitForMessage(stop, MRCP_MESSAGE_TYPE_RESPONSE));
    EXPECT_EQ(States(speak), std::vector<mrcp_request_state_e>{MRCP_REQUEST_STATE_INPROGRESS});
    Settle();
    EXPECT_EQ(ReadFrame(), MEDIA_FRAME_TYPE_NONE);
    EXPECT_EQ(server_.Messages(speak).size(), 1u);
    EXPECT_EQ(log.Count("Submit TTS Request"), 1u);
    EXPECT_EQ(log.Warnings(), 0u) << log.WarningText();
  }
  EXPECT_TRUE(std::filesystem::is_empty(root_ + "/var"));
}

// A newer SPEAK replaces one whose answer has not come (directly, or after a
// STOP); the older answer, arriving first, is dropped: the newer one plays
// its own 200 ms, not the older 500 ms.
TEST_F(ExchangeRaces, ANewerSpeakPlaysItsOwnAnswerNotTheOneOfTheSpeakItReplaced) {
  for (bool stop_first : {false, true}) {
    SCOPED_TRACE(stop_first);
    const mrcp_request_id older = Speak("fault:tone=500,ms=500,delay=100");
    if (stop_first) {
      ASSERT_TRUE(server_.WaitForMessage(Send(Request(SYNTHESIZER_STOP)), MRCP_MESSAGE_TYPE_RESPONSE));
    }
    const mrcp_request_id newer = Speak("fault:tone=900,ms=200,delay=400");
    EXPECT_EQ(AudioFrames(newer), 20);
    ASSERT_TRUE(server_.WaitForMessage(newer, MRCP_MESSAGE_TYPE_EVENT));
    EXPECT_EQ(server_.Messages(newer).back().cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
    const auto ended = server_.Messages(older);
    ASSERT_EQ(ended.size(), stop_first ? 1u : 2u);
    EXPECT_EQ(ended[0].state, MRCP_REQUEST_STATE_INPROGRESS);
    if (!stop_first) {
      EXPECT_EQ(ended[1].cause, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
    }
  }
}

// A fetch stopped half-way leaves no cache entry: the same SPEAK goes to the
// cloud again.
TEST_F(ExchangeRaces, AFetchStoppedHalfWayIsNotCached) {
  corvex_test::LogCapture log;
  const std::string slow = "fault:tone=500,ms=1000,piece=3200,piece-ms=150";
  for (int round = 1; round <= 2; ++round) {
    const mrcp_request_id speak = Speak(slow, true);
    ASSERT_TRUE(server_.WaitForMessage(speak, MRCP_MESSAGE_TYPE_RESPONSE));
    ASSERT_TRUE(log.WaitFor("Process audio chunk"));
    const mrcp_request_id stop = Send(Request(SYNTHESIZER_STOP));
    for (int i = 0; i < 100000 && server_.Messages(stop).empty(); ++i) ReadFrame();
    Settle();
    EXPECT_EQ(log.Count("Submit TTS Request"), static_cast<std::size_t>(round));
    EXPECT_EQ(log.Count("Found Matching Cache Record"), 0u);
  }
  EXPECT_TRUE(std::filesystem::is_empty(root_ + "/var"));
}

// A close while a worker holds the SPEAK's request is acknowledged once the
// worker has let go (its final result has reached the channel), and
// promptly: the cancel ends a request that would never be answered.
TEST_F(ExchangeRaces, ACloseIsAcknowledgedOnceTheWorkerHasLetGo) {
  int finals_at_close = -1;
  server_.on_heard = [&](const Heard& h) {
    if (h.kind == Heard::ChannelClose) finals_at_close = channel_->finals;
  };
  const mrcp_request_id speak = Speak("fault:no-answer");
  while (engine_->cloud_workers()->running() == 0) std::this_thread::yield();
  ASSERT_TRUE(channel_->SignalEvent(TaskMsgClose, nullptr));
  ASSERT_TRUE(server_.WaitFor(Heard::ChannelClose));
  server_.on_heard = nullptr;
  EXPECT_EQ(finals_at_close, 1);
  EXPECT_EQ(States(speak), std::vector<mrcp_request_state_e>{MRCP_REQUEST_STATE_INPROGRESS});
}

}  // namespace
