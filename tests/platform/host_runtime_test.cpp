// The host runtime driving small test plugins (tests/integration/plugins):
// loading and refusal, codec negotiation, request pool release, media, WAVE
// output, teardown order, the protocol checker, channel lifetime, the
// server's SPEAK queue and session state, and a plugin that misbehaves.
#include "corvex/host_runtime.hpp"

#include <apr_pools.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "corvex/mrcp_text.h"
#include "log_capture.h"
#include "test_root.h"
#include "wave_header.h"

namespace {

using corvex::Host;
using corvex::HostEvent;
using Kind = HostEvent::Kind;

std::string PluginPath(const std::string& name) { return std::string(TEST_PLUGIN_DIR) + "/" + name + ".so"; }

class HostRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = MakeTestRoot("host"); }
  void TearDown() override {
    EXPECT_EQ(log_.Count("ORDER VIOLATION"), 0u) << log_.WarningText();
    std::filesystem::remove_all(root_);
  }
  corvex::HostConfig Config() {
    corvex::HostConfig config;
    config.root = root_;
    config.max_channel_count = 7;
    return config;
  }
  // Loads and opens a plugin, failing the test when that does not work.
  void Start(Host& host, const std::string& plugin) {
    ASSERT_TRUE(host.LoadPlugin(PluginPath(plugin)));
    ASSERT_TRUE(host.OpenEngine());
  }
  int OpenChannel(Host& host, unsigned rate) {
    int channel = host.CreateChannel(rate);
    EXPECT_GE(channel, 0);
    EXPECT_TRUE(host.OpenChannel(channel));
    return channel;
  }
  mrcp_message_t* Send(Host& host, int channel, mrcp_method_id method, const char* body = nullptr) {
    mrcp_message_t* request = host.CreateRequest(channel, method);
    EXPECT_NE(request, nullptr);
    if (!request) return nullptr;
    if (body) apt_string_assign(&request->body, body, request->pool);
    EXPECT_TRUE(host.SendRequest(channel, request));
    return request;
  }
  // Waits for a message answering request id on channel (newest events first).
  static bool WaitAnswer(Host& host, int channel, mrcp_request_id id, mrcp_message_type_e type,
                         mrcp_request_state_e state) {
    return host.WaitFor([=](const std::vector<HostEvent>& events) {
      return std::any_of(events.rbegin(), events.rend(), [=](const HostEvent& e) {
        return e.kind == Kind::Message && e.channel == channel && e.request_id == id && e.message_type == type &&
               e.request_state == state;
      });
    });
  }
  static std::vector<HostEvent> Messages(const Host& host, int channel) {
    std::vector<HostEvent> out;
    for (const HostEvent& e : host.Events()) {
      if (e.kind == Kind::Message && e.channel == channel) out.push_back(e);
    }
    return out;
  }

  corvex_test::LogCapture log_;  // first: outlives every Host of a test
  std::string root_;
};

// Counts the frames of 8000 Hz channels without allocating on the media thread.
class CountingSink : public corvex::FrameSink {
 public:
  void OnFrame(int channel, const mpf_frame_t& frame) override {
    frames[channel]++;
    if (frame.type & MEDIA_FRAME_TYPE_AUDIO) audio[channel]++;
    if (frame.codec_frame.size != 160 || std::this_thread::get_id() == control_) wrong++;
  }
  std::array<std::atomic<int>, 4> frames{};
  std::array<std::atomic<int>, 4> audio{};
  std::atomic<int> wrong{0};  // of another size, or on the control thread

 private:
  std::thread::id control_ = std::this_thread::get_id();
};

TEST_F(HostRuntimeTest, LoadRefusesWrongVersionMissingLibraryAndNullEngineChannelsTakeOfferedLpcmOnly) {
  corvex::HostConfig config = Config();
  config.max_channel_count = 2;
  Host host(config);
  const std::string old_version = PluginPath("old_version_plugin");
  EXPECT_FALSE(host.LoadPlugin(old_version));
  EXPECT_EQ(log_.Count("interface version 1.6.0.0", APT_PRIO_WARNING), 1u) << log_.WarningText();
  EXPECT_FALSE(log_.Contains("create called"));
  EXPECT_EQ(dlopen(old_version.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "refused plugin stays loaded";
  EXPECT_FALSE(host.LoadPlugin(root_ + "/missing.so"));
  EXPECT_EQ(log_.Count("cannot load plugin", APT_PRIO_WARNING), 1u);

  // The creator runs with the host's logger and its own source already set.
  EXPECT_FALSE(host.LoadPlugin(PluginPath("null_engine_plugin")));
  EXPECT_EQ(log_.Count("created no engine", APT_PRIO_WARNING), 1u);
  const auto records = log_.Records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const corvex_test::LogRecord& r) {
    return r.message.find("no engine today") != std::string::npos && r.source == "NULL-ENGINE-PLUGIN";
  }));
  EXPECT_EQ(host.CreateChannel(8000), -1);

  // After all that, a good plugin still loads, one at a time. It offers LPCM
  // at 8000 only (and PCMU at 16000).
  EXPECT_TRUE(host.LoadPlugin(PluginPath("rogue_plugin")));
  EXPECT_FALSE(host.LoadPlugin(PluginPath("echo_plugin")));
  ASSERT_TRUE(host.OpenEngine());
  EXPECT_EQ(host.CreateChannel(11025), -1);
  EXPECT_EQ(host.CreateChannel(16000), -1);
  EXPECT_EQ(log_.Count("does not offer LPCM", APT_PRIO_WARNING), 1u);
  const int first = OpenChannel(host, 8000);
  OpenChannel(host, 8000);
  EXPECT_EQ(host.CreateChannel(8000), -1);  // the configured maximum
  EXPECT_TRUE(host.DestroyChannel(first));
  EXPECT_GE(host.CreateChannel(8000), 0);
}

// Counts pools released by the runtime through a cleanup on each request pool.
struct PoolCounter {
  std::atomic<int> created{0};
  std::atomic<int> released{0};
  std::atomic<int> max_live{0};
  void Track(mrcp_message_t* request) {
    created++;
    apr_pool_cleanup_register(request->pool, this, &PoolCounter::OnRelease, apr_pool_cleanup_null);
    max_live = std::max(max_live.load(), created - released);
  }
  static apr_status_t OnRelease(void* self) {
    static_cast<PoolCounter*>(self)->released++;
    return APR_SUCCESS;
  }
};

TEST_F(HostRuntimeTest, RequestPoolsAreReleasedOnceAnsweredAndNotBefore) {
  PoolCounter pools;
  PoolCounter playing;
  {
    Host host(Config());
    Start(host, "echo_plugin");
    const int ch = OpenChannel(host, 8000);
    ASSERT_TRUE(host.StartMedia(ch, nullptr, false));
    for (int i = 0; i < 300; ++i) {  // SPEAK is final at SPEAK-COMPLETE, the others at their response
      const bool speak = i % 3 == 0;
      mrcp_message_t* r = host.CreateRequest(ch, speak ? SYNTHESIZER_SPEAK : SYNTHESIZER_GET_PARAMS);
      pools.Track(r);
      if (speak) apt_string_assign(&r->body, "2", r->pool);
      ASSERT_TRUE(host.SendRequest(ch, r));
      ASSERT_TRUE(WaitAnswer(host, ch, r->start_line.request_id,
                             speak ? MRCP_MESSAGE_TYPE_EVENT : MRCP_MESSAGE_TYPE_RESPONSE,
                             MRCP_REQUEST_STATE_COMPLETE));
    }
    EXPECT_LE(pools.max_live.load(), 2);

    // A SPEAK still playing keeps its pool however many requests pass; its
    // STOP response makes it final.
    mrcp_message_t* speak = Send(host, ch, SYNTHESIZER_SPEAK, "100000000");
    playing.Track(speak);
    ASSERT_TRUE(
        WaitAnswer(host, ch, speak->start_line.request_id, MRCP_MESSAGE_TYPE_RESPONSE, MRCP_REQUEST_STATE_INPROGRESS));
    for (int i = 0; i < 20; ++i) {
      const mrcp_request_id r = Send(host, ch, SYNTHESIZER_GET_PARAMS)->start_line.request_id;
      ASSERT_TRUE(WaitAnswer(host, ch, r, MRCP_MESSAGE_TYPE_RESPONSE, MRCP_REQUEST_STATE_COMPLETE));
    }
    EXPECT_EQ(playing.released.load(), 0);
    const mrcp_request_id stop = Send(host, ch, SYNTHESIZER_STOP)->start_line.request_id;
    ASSERT_TRUE(WaitAnswer(host, ch, stop, MRCP_MESSAGE_TYPE_RESPONSE, MRCP_REQUEST_STATE_COMPLETE));
    pools.Track(host.CreateRequest(ch, SYNTHESIZER_GET_PARAMS));  // never sent: kept until destroy
    EXPECT_EQ(playing.released.load(), 1);
    EXPECT_EQ(pools.created - pools.released, 1);
  }
  EXPECT_EQ(pools.released.load(), pools.created.load());
}

// Media threads feed their sinks until teardown, which stops them, then
// closes the channels, then the engine.
TEST_F(HostRuntimeTest, MediaReachesItsSinksUntilTeardownStopsItThenClosesChannelsThenTheEngine) {
  CountingSink sink;
  int c8 = -1, c16 = -1;
  {
    corvex::WaveFileSink wave(root_ + "/var/out-%d.wav", 16000);  // the sinks outlive the media threads
    Host host(Config());
    Start(host, "echo_plugin");
    c8 = OpenChannel(host, 8000);
    c16 = OpenChannel(host, 16000);
    const int busy = OpenChannel(host, 8000);
    ASSERT_TRUE(host.StartMedia(c8, &sink, false));
    ASSERT_TRUE(host.StartMedia(c16, &wave, false));
    ASSERT_TRUE(host.StartMedia(busy, nullptr, false));
    EXPECT_FALSE(host.StartMedia(c16, &sink, false));  // one media thread per channel
    Send(host, c8, SYNTHESIZER_SPEAK, "50");
    Send(host, c16, SYNTHESIZER_SPEAK, "30");
    Send(host, busy, SYNTHESIZER_SPEAK, "100000000");  // still reading frames when teardown starts
    ASSERT_TRUE(host.WaitForMessage(c8, MRCP_MESSAGE_TYPE_EVENT, SYNTHESIZER_SPEAK_COMPLETE));
    ASSERT_TRUE(host.WaitForMessage(c16, MRCP_MESSAGE_TYPE_EVENT, SYNTHESIZER_SPEAK_COMPLETE));
    // Frames without audio reach the sink too.
    const auto deadline = Host::Clock::now() + std::chrono::seconds(5);
    while (sink.frames[c8].load() <= 50 && Host::Clock::now() < deadline) std::this_thread::yield();
    host.DestroyEngine();

    std::vector<Kind> order;
    for (const HostEvent& e : host.Events()) {
      if (e.kind != Kind::Message) order.push_back(e.kind);
    }
    EXPECT_EQ(order,
              (std::vector<Kind>{Kind::EngineOpened, Kind::ChannelOpened, Kind::ChannelOpened, Kind::ChannelOpened,
                                 Kind::ChannelClosed, Kind::ChannelClosed, Kind::ChannelClosed, Kind::EngineClosed}));
  }
  EXPECT_GT(sink.frames[c8].load(), 50);
  EXPECT_EQ(sink.audio[c8].load(), 50);
  EXPECT_EQ(sink.wrong.load(), 0);
  const std::string wav = ReadFile(root_ + "/var/out-" + std::to_string(c16) + ".wav");
  EXPECT_EQ(wav.substr(0, 44), WaveHeader(16000, 30 * 320));
  EXPECT_EQ(wav.size(), 44u + 30 * 320);
  EXPECT_NE(wav.substr(44, 320), std::string(320, '\0'));  // the tone, not silence

  // Without "%d" the channels still get files of their own; non-audio frames write nothing.
  std::vector<unsigned char> samples(160, 0x11);
  const mpf_frame_t audio = {MEDIA_FRAME_TYPE_AUDIO, 0, {samples.data(), samples.size()}};
  {
    corvex::WaveFileSink plain(root_ + "/plain.wav", 8000);
    for (int ch : {0, 1, 1}) plain.OnFrame(ch, audio);
    plain.OnFrame(1, {MEDIA_FRAME_TYPE_NONE, 0, {samples.data(), samples.size()}});
  }
  EXPECT_EQ(ReadFile(root_ + "/plain.wav"), WaveHeader(8000, 160) + std::string(160, '\x11'));
  EXPECT_EQ(ReadFile(root_ + "/plain-1.wav").size(), 44u + 320u);
  {
    // The destructor does the same for what is still open.
    Host host(Config());
    Start(host, "echo_plugin");
    int ch = OpenChannel(host, 8000);
    ASSERT_TRUE(host.StartMedia(ch, nullptr, true));
    Send(host, ch, SYNTHESIZER_SPEAK, "100000000");
  }
  EXPECT_EQ(log_.Count("echo_plugin unloaded"), 2u);
  EXPECT_EQ(log_.Warnings(), 1u) << log_.WarningText();  // the second media thread refused
}

// Each rule of the checker, broken once by the rogue plugin as its request's
// body asks; a STOP follows where the rule is about what comes after one.
TEST_F(HostRuntimeTest, CheckerNamesEveryRuleThePluginBreaks) {
  enum Culprit { kFirst, kThen, kStranger };
  struct Case {
    const char* body;
    mrcp_method_id method;  // of the first request
    const char* rule;       // part of the rule's name; null: the plugin keeps every rule
    Culprit culprit = kFirst;
  };
  const mrcp_method_id kSpeak = SYNTHESIZER_SPEAK, kGet = SYNTHESIZER_GET_PARAMS;
  const std::vector<Case> cases = {
      {"fine", kSpeak, nullptr},
      {"twice", kSpeak, "nothing for a request after its final answer"},
      {"no-response", kSpeak, "SPEAK-COMPLETE after its IN-PROGRESS"},
      {"early", kSpeak, "SPEAK-COMPLETE after its IN-PROGRESS"},
      {"open-state", kSpeak, "SPEAK-COMPLETE has request-state COMPLETE and a Completion-Cause"},
      {"no-cause", kSpeak, "SPEAK-COMPLETE has request-state COMPLETE and a Completion-Cause"},
      {"complete", kSpeak, "a SPEAK ends with an error response"},
      {"two-responses", kGet, "exactly one response per request"},
      {"stranger", kGet, "no message for an unknown request id", kStranger},
      {"cause-42", kSpeak, "Completion-Cause 000 to 007"},
      {"odd-event", kSpeak, "events of the synthesizer resource only"},
      {"state-7", kSpeak, "request-state PENDING, IN-PROGRESS or COMPLETE"},
      {"status-250", kSpeak, "a status code of RFC 6787"},
      {"bare-marker", kSpeak, "a SPEECH-MARKER carries Speech-Marker"},
      {"other-channel", kSpeak, "Channel-Identifier is the channel's own"},
      {"phantom", kSpeak, "Active-Request-Id-List names only SPEAKs the channel was given", kThen},
      {"deaf", kSpeak, "audio after the end"}};
  for (const Case& c : cases) {
    const std::string body = c.body;
    Host host(Config());
    Start(host, "rogue_plugin");
    const int ch = OpenChannel(host, 8000);
    ASSERT_TRUE(host.StartMedia(ch, nullptr, true));
    const mrcp_request_id id = Send(host, ch, c.method, c.body)->start_line.request_id;
    const bool stop = body == "phantom" || body == "deaf";
    const mrcp_request_id then = stop ? Send(host, ch, SYNTHESIZER_STOP)->start_line.request_id : 0;
    // Audio after the end is found by the media thread.
    for (int i = 0; c.rule && i < 300 && host.Violations().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    host.DestroyChannel(ch);
    const std::vector<corvex::ProtocolViolation> found = host.Violations();
    ASSERT_EQ(found.empty(), c.rule == nullptr) << body << (found.empty() ? "" : ": " + found.front().rule);
    if (!c.rule) continue;
    EXPECT_NE(found.front().rule.find(c.rule), std::string::npos) << body << ": " << found.front().rule;
    EXPECT_EQ(found.front().channel, ch) << body;
    EXPECT_EQ(found.front().request_id, c.culprit == kThen ? then : c.culprit == kStranger ? id + 1000 : id) << body;
  }
  setenv("ROGUE_PLUGIN_ACK", "twice", 1);
  Host host(Config());
  Start(host, "rogue_plugin");
  OpenChannel(host, 8000);
  unsetenv("ROGUE_PLUGIN_ACK");
  ASSERT_EQ(host.Violations().size(), 1u);
  EXPECT_EQ(host.Violations()[0].rule, "open and close acknowledged exactly once");
}

// The plugin still works on a channel whose close it acknowledges late: the
// host waits and frees the channel only then (ASan sees any use after free).
TEST_F(HostRuntimeTest, AChannelIsFreedOnlyAfterItsLateCloseAcknowledgement) {
  setenv("ROGUE_PLUGIN_ACK", "late", 1);
  Host host(Config());
  Start(host, "rogue_plugin");
  unsetenv("ROGUE_PLUGIN_ACK");
  const int ch = OpenChannel(host, 8000);
  EXPECT_FALSE(host.CloseChannel(ch, std::chrono::milliseconds(100)));
  EXPECT_EQ(log_.Count("waiting for it before the channel is freed"), 1u);
  EXPECT_TRUE(host.DestroyChannel(ch));
  EXPECT_TRUE(host.UnclosedChannels().empty());
  EXPECT_TRUE(host.Violations().empty());
}

// The server's queue: a SPEAK that arrives while one speaks is PENDING and
// plays after it, without a second response; a STOP naming only a queued
// SPEAK takes it out of the queue and leaves the speaking one alone.
TEST_F(HostRuntimeTest, SpeaksQueueBehindTheSpeakingOneAndAStopEndsOnlyThoseItNames) {
  Host host(Config());
  Start(host, "echo_plugin");
  const int ch = OpenChannel(host, 8000);
  ASSERT_TRUE(host.StartMedia(ch, nullptr, true));
  const mrcp_request_id a = Send(host, ch, SYNTHESIZER_SPEAK, "30")->start_line.request_id;
  ASSERT_TRUE(WaitAnswer(host, ch, a, MRCP_MESSAGE_TYPE_RESPONSE, MRCP_REQUEST_STATE_INPROGRESS));
  const mrcp_request_id b = Send(host, ch, SYNTHESIZER_SPEAK, "5")->start_line.request_id;
  const mrcp_request_id c = Send(host, ch, SYNTHESIZER_SPEAK, "5")->start_line.request_id;
  mrcp_message_t* stop = host.CreateRequest(ch, SYNTHESIZER_STOP);
  apt_string_assign(&mrcp_generic_header_prepare(stop)->active_request_id_list, std::to_string(b).c_str(), stop->pool);
  mrcp_generic_header_property_add(stop, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST);
  ASSERT_TRUE(host.SendRequest(ch, stop));
  const std::string s = std::to_string(stop->start_line.request_id);
  ASSERT_TRUE(WaitAnswer(host, ch, c, MRCP_MESSAGE_TYPE_EVENT, MRCP_REQUEST_STATE_COMPLETE));

  std::vector<std::string> got;
  for (const HostEvent& e : host.TakeEvents()) {  // handed over once
    if (e.kind != Kind::Message) continue;
    got.push_back(std::to_string(e.request_id) + " " +
                  (e.message_type == MRCP_MESSAGE_TYPE_EVENT ? "event" : mrcp_request_state_name_get(e.request_state)) +
                  (e.from_host ? " (host)" : ""));
    if (std::to_string(e.request_id) == s) {
      EXPECT_NE(e.text.find("Active-Request-Id-List: " + std::to_string(b) + "\r\n"), std::string::npos) << e.text;
    }
  }
  EXPECT_EQ(got, (std::vector<std::string>{std::to_string(a) + " IN-PROGRESS", std::to_string(b) + " PENDING (host)",
                                           std::to_string(c) + " PENDING (host)", s + " COMPLETE (host)",
                                           std::to_string(a) + " event", std::to_string(c) + " event"}));
  EXPECT_TRUE(host.Events().empty());
  EXPECT_TRUE(host.Violations().empty());
}

// Session headers, Kill-On-Barge-In and the Active-Request-Id-List of the
// STOP and BARGE-IN-OCCURRED responses.
TEST_F(HostRuntimeTest, BargeInSparesASpeakThatMayNotBeKilledAndStopNamesWhatItEnded) {
  Host host(Config());
  Start(host, "echo_plugin");
  const int ch = OpenChannel(host, 8000);
  ASSERT_TRUE(host.StartMedia(ch, nullptr, true));
  mrcp_message_t* set = host.CreateRequest(ch, SYNTHESIZER_SET_PARAMS);  // the session's value
  mrcp_resource_header_prepare(set)->kill_on_barge_in = FALSE;
  mrcp_resource_header_property_add(set, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN);
  ASSERT_TRUE(host.SendRequest(ch, set));
  const mrcp_request_id spared = Send(host, ch, SYNTHESIZER_SPEAK, "20")->start_line.request_id;
  const mrcp_request_id barge = Send(host, ch, SYNTHESIZER_BARGE_IN_OCCURRED)->start_line.request_id;
  ASSERT_TRUE(WaitAnswer(host, ch, spared, MRCP_MESSAGE_TYPE_EVENT, MRCP_REQUEST_STATE_COMPLETE));

  mrcp_message_t* killed = host.CreateRequest(ch, SYNTHESIZER_SPEAK);  // its own header wins
  apt_string_assign(&killed->body, "100000", killed->pool);
  mrcp_resource_header_prepare(killed)->kill_on_barge_in = TRUE;
  mrcp_resource_header_property_add(killed, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN);
  ASSERT_TRUE(host.SendRequest(ch, killed));
  const mrcp_request_id stopped = killed->start_line.request_id;
  const mrcp_request_id queued = Send(host, ch, SYNTHESIZER_SPEAK, "5")->start_line.request_id;
  const mrcp_request_id stop = Send(host, ch, SYNTHESIZER_STOP)->start_line.request_id;
  ASSERT_TRUE(WaitAnswer(host, ch, stop, MRCP_MESSAGE_TYPE_RESPONSE, MRCP_REQUEST_STATE_COMPLETE));

  for (const HostEvent& e : Messages(host, ch)) {
    if (e.request_id == barge) {
      EXPECT_TRUE(e.from_host);
      EXPECT_EQ(e.text.find("Active-Request-Id-List"), std::string::npos) << e.text;
    } else if (e.request_id == stop) {
      EXPECT_FALSE(e.from_host);
      EXPECT_NE(
          e.text.find("Active-Request-Id-List: " + std::to_string(stopped) + "," + std::to_string(queued) + "\r\n"),
          std::string::npos)
          << e.text;
    } else if (e.request_id == queued) {
      EXPECT_EQ(e.request_state, MRCP_REQUEST_STATE_PENDING) << "ended in the queue, it gets nothing more";
    }
  }
  EXPECT_TRUE(host.Violations().empty());
}

// The server's own answers, with and without its queue: state rules (402,
// 410), session parameters (403, 404, stored only once the plugin said
// yes, vendor parameters merged by name, defaults for what was never set)
// and a request the plugin refuses to take (407; a queued SPEAK's end).
TEST_F(HostRuntimeTest, ServerAnswersStateRulesAndSessionParametersItself) {
  struct Step {
    const char* text;   // the request, its id 0 for the next one
    int status;         // of its response
    const char* shown;  // in what the client sees of it (null: anything)
    const char* not_shown = nullptr;
  };
  const std::vector<Step> steps = {
      {"MRCP/2.0 PAUSE", 402, nullptr},
      {"MRCP/2.0 CONTROL", 402, nullptr},
      {"MRCP/2.0 SET-PARAMS\nX-Unknown: 1\nVoice-Name: Kate\n\n", 403, "X-Unknown: 1", "Kate"},
      {"MRCP/2.0 SET-PARAMS\nVoice-Age: 1000\nVoice-Name: Kate\n\n", 404, "Voice-Age: 1000", "Kate"},
      {"MRCP/2.0 SET-PARAMS\nVoice-Name: Kate\n\nrefuse-params", 404, nullptr},
      {"MRCP/2.0 SET-PARAMS\nVoice-gender: FEMALE\nVendor-Specific-Parameters: a=1;b=2\n\n", 200, nullptr},
      {"MRCP/2.0 SET-PARAMS\nVendor-Specific-Parameters: b=3\n\n", 200, nullptr},
      {"MRCP/2.0 GET-PARAMS", 200,
       "Kill-On-Barge-In: true\r\nVoice-Gender: female\r\nVoice-Age: 30\r\nVoice-Variant: 1\r\nVoice-Name: "
       "default\r\n"},
      {"MRCP/2.0 GET-PARAMS\nVendor-Specific-Parameters: b;c\n\n", 200, "Vendor-Specific-Parameters: b=3\r\n", "a=1"},
      {"MRCP/2.0 GET-PARAMS\nSpeaker-Profile:\n\n", 403, "Speaker-Profile"},
      {"MRCP/2.0 SPEAK\n\ndeaf", 200, nullptr},  // 11: plays until stopped
      {"MRCP/2.0 DEFINE-LEXICON", 402, nullptr},
      {"MRCP/2.0 STOP 3", 410, nullptr},
      {"MRCP/2.0 SPEAK\n\nrefuse", -1, nullptr},  // 407, or PENDING and then SPEAK-COMPLETE 004
      {"MRCP/2.0 STOP\nActive-Request-Id-List: 11\n\n", 200, "Active-Request-Id-List: 11\r\n"}};
  for (const bool queue : {true, false}) {
    corvex::HostConfig config = Config();
    config.queue_speaks = queue;
    Host host(config);
    Start(host, "rogue_plugin");
    const int ch = OpenChannel(host, 8000);
    mrcp_request_id refused = 0;
    std::vector<HostEvent> all;
    for (const Step& step : steps) {
      mrcp_message_t* request = host.CreateRequest(ch, SYNTHESIZER_GET_PARAMS);
      mrcp_message_t* parsed =
          mrcp_text_parse(step.text, std::strlen(step.text), MRCP_TEXT_BODY_TO_END, request->pool, nullptr, nullptr);
      ASSERT_NE(parsed, nullptr) << step.text;
      if (parsed->start_line.request_id == 0) parsed->start_line.request_id = request->start_line.request_id;
      parsed->channel_id = request->channel_id;
      *request = *parsed;
      const mrcp_request_id id = request->start_line.request_id;
      if (step.status < 0) refused = id;
      EXPECT_EQ(host.SendRequest(ch, request), step.status >= 0 || queue) << step.text;
      std::vector<HostEvent> answers;
      for (const HostEvent& e : host.TakeEvents()) {
        if (e.request_id == id && e.message_type == MRCP_MESSAGE_TYPE_RESPONSE) answers.push_back(e);
        all.push_back(e);
      }
      ASSERT_EQ(answers.size(), 1u) << step.text;
      const int expected = step.status >= 0 ? step.status : queue ? 200 : 407;
      EXPECT_EQ(answers[0].status_code, expected) << step.text << (queue ? " (queue)" : "");
      const std::string& shown = answers[0].text;
      EXPECT_TRUE(!step.shown || shown.find(step.shown) != std::string::npos) << shown;
      EXPECT_TRUE(!step.not_shown || shown.find(step.not_shown) == std::string::npos) << shown;
    }
    // The refused SPEAK's final answer says why, never silence.
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const HostEvent& e) {
      return e.request_id == refused && e.request_state == MRCP_REQUEST_STATE_COMPLETE && e.has_completion_cause &&
             e.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_ERROR && e.from_host;
    })) << (queue ? "queue" : "no queue");
    host.DestroyChannel(ch);
    EXPECT_TRUE(host.Violations().empty()) << host.Violations().front().rule;
  }
}

TEST_F(HostRuntimeTest, MisbehavingPluginIsRefusedWithWarningsAndNoCrash) {
  Host host(Config());
  Start(host, "bad_calls_plugin");
  const int ch = host.CreateChannel(8000);  // codec name in lower case is still LPCM
  ASSERT_GE(ch, 0);
  EXPECT_EQ(host.CreateChannel(8000), -1);
  EXPECT_EQ(log_.Count("bad plugin: channel destroyed"), 1u);  // the refused channel is destroyed
  EXPECT_EQ(host.CreateChannel(16000), -1);
  ASSERT_TRUE(host.OpenChannel(ch));
  mrcp_message_t* request = Send(host, ch, SYNTHESIZER_GET_PARAMS);
  const std::vector<HostEvent> m = Messages(host, ch);
  ASSERT_EQ(m.size(), 2u);  // the stray answer and the real one; the echoed request was refused
  EXPECT_EQ(m[0].request_id, request->start_line.request_id + 1000);
  EXPECT_EQ(m[1].request_id, request->start_line.request_id);
  for (const char* refusal : {"mrcp_engine_create: null method table", "mrcp_engine_open_respond: null engine",
                              "incomplete channel method table", "plugin created no channel",
                              "mrcp_engine_channel_open_respond: null channel", "message of type 1 refused",
                              "mrcp_engine_channel_message_send: null message", "unknown request id",
                              "no synthesizer header block", "unknown header id 99"}) {
    EXPECT_EQ(log_.Count(refusal, APT_PRIO_WARNING), 1u) << refusal;
  }

  // Frames whose size the plugin changed never reach the sink; one warning, not one per frame.
  CountingSink sink;
  ASSERT_TRUE(host.StartMedia(ch, &sink, false));
  ASSERT_TRUE(log_.WaitFor("changed the frame buffer or size"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  host.StopMedia(ch);
  EXPECT_EQ(sink.frames[ch].load(), 0);
  EXPECT_EQ(log_.Count("changed the frame buffer or size"), 1u);
}

}  // namespace
