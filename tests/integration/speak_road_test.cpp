// The road of a SPEAK through the real plugin, hosted as the server hosts it,
// against the local speech service on a loopback port: text, SSML and URI
// lists become speech at 8000 and 16000 Hz, inline or by URL; the audio is
// exact however it arrives; the waveform cache serves what matches and only
// that; PAUSE and a newer SPEAK meet speech in progress (STOP and close
// races are the channel tasks' test and the soak's); and every fault of the service ends its SPEAK with exactly one
// final answer.
//
// Frames are pulled as fast as the plugin gives them except where time
// matters. The audio a SPEAK queued is read back from its waveform file
// (save-waveforms is on), which holds exactly the bytes queued for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "audio_capture.h"
#include "audio_samples.h"
#include "hosted_plugin.h"
#include "rapidjson/document.h"
#include "speech_synthesizer.h"
#include "test_speech_service.h"

namespace {

namespace fs = std::filesystem;
using corvex::HostEvent;
using corvex_test::Bytes;
using corvex_test::Samples;
using corvex_test::Speak;
using corvex_test::ToBytes;
using corvex_test::ToSamples;

// Every test runs with the engine thread making the cloud exchanges itself
// and with cloud workers making them: the road behaves the same.
class SpeakRoad : public corvex_test::HostedPlugin, public ::testing::WithParamInterface<int> {
 protected:
  static void SetUpTestSuite() {
    // Hung requests and fetches end quickly here.
    setenv("BRILLIFY_CONNECT_TIMEOUT_MS", "1000", 1);
    setenv("BRILLIFY_TIMEOUT_MS", "1500", 1);
  }

  void SetUp() override {
    HostedPlugin::SetUp();
    ASSERT_TRUE(service_.ok()) << service_.error();
    WriteFile(root_ + "/data/credentials.json", service_.PluginCredentials());
    Configure("save-waveforms=\"false\"", "save-waveforms=\"true\"");
    Configure("cloud-workers=\"0\"", "cloud-workers=\"" + std::to_string(GetParam()) + "\"");
    queue_speaks_ = false;  // the plugin's own handling of every request, a replacing SPEAK included
  }

  // Every channel has a media thread that pulls its frames into capture_.
  int OpenChannel(unsigned rate, bool realtime = false) {
    const int channel = HostedPlugin::OpenChannel(rate, true, realtime, &capture_);
    capture_.Take(channel);  // a channel index of an earlier host
    return channel;
  }

  // Waits for the request's first message.
  bool Answered(int channel, mrcp_request_id id) {
    return host_->WaitFor([&](const std::vector<HostEvent>& events) {
      for (const HostEvent& e : events)
        if (e.kind == HostEvent::Kind::Message && e.channel == channel && e.request_id == id) return true;
      return false;
    });
  }
  // Expects IN-PROGRESS, then SPEAK-COMPLETE with `cause`, and nothing else.
  void ExpectSpoken(int channel, mrcp_request_id id,
                    mrcp_synth_completion_cause_e cause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL) {
    const auto messages = Final(channel, id);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].status_code, MRCP_STATUS_CODE_SUCCESS);
    EXPECT_EQ(messages[0].request_state, MRCP_REQUEST_STATE_INPROGRESS);
    EXPECT_EQ(messages[1].method_id, SYNTHESIZER_SPEAK_COMPLETE);
    EXPECT_EQ(messages[1].completion_cause, cause);
  }
  void ExpectRefused(int channel, mrcp_request_id id, mrcp_status_code_e status) {
    const auto messages = Final(channel, id);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].status_code, status);
    EXPECT_EQ(messages[0].completion_cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
  }

  // The audio a segment queued, from its waveform file ("" when it has none).
  Bytes Waveform(int channel, mrcp_request_id id, int segment = 1) {
    const std::string name = root_ + "/var/tarnwickss-" + host_->channel(channel)->id + "-" + std::to_string(id) +
                             (segment > 1 ? "-" + std::to_string(segment) : "") + ".wav";
    const std::string file = ReadFile(name);
    return file.size() < 44 ? Bytes() : Bytes(file.begin() + 44, file.end());
  }

  corvex_test::TestSpeechService service_;
  corvex_test::AudioCapture capture_;
};

TEST_P(SpeakRoad, TextAndSsmlBecomeSpeechAtBothRatesInlineAndByUrl) {
  ASSERT_TRUE(StartHost());
  const std::string ssml = "<speak version=\"1.0\" xml:lang=\"en-US\">Good <break time=\"100ms\"/> morning.</speak>";
  for (unsigned rate : {8000u, 16000u}) {
    const int channel = OpenChannel(rate);
    for (bool by_url : {false, true}) {
      for (const Speak& speak : {Speak{"Good morning.", "", by_url}, Speak{ssml, "", by_url, "application/ssml+xml"}}) {
        SCOPED_TRACE(std::to_string(rate) + (by_url ? " by URL " : " inline ") + speak.type);
        const mrcp_request_id id = Send(channel, speak);
        ExpectSpoken(channel, id);
        const Samples speech = ToSamples(Waveform(channel, id));
        EXPECT_GT(speech.size(), rate * 3 / 10);  // "Good morning" takes a good part of a second
        EXPECT_LT(speech.size(), rate * 3);
        EXPECT_GT(corvex_test::Rms(speech, 0, speech.size()), 300);
        // All of it was played, but for the frame that carried the end.
        EXPECT_GE(capture_.Take(channel).size() + rate / 50, speech.size() * 2);
      }
    }
  }
  EXPECT_EQ(log_.Warnings(), 0u) << log_.WarningText();
}

// What the cloud is asked, read from the request info the plugin logs as it
// submits it: the segment's text in the fields its type calls for, the voice,
// and a language and the URL switch only when the SPEAK has them.
TEST_P(SpeakRoad, TheRequestInfoCarriesTheSegmentAndOnlyTheSwitchesAsked) {
  Configure("language=\"en-US\"", "language=\"\"");
  ASSERT_TRUE(StartHost());
  const int channel = OpenChannel(8000);
  Speak ssml{"<speak version=\"1.0\" xml:lang=\"en-GB\">Hello.</speak>", "en", true, "application/ssml+xml"};
  ssml.language = "en-GB";
  for (const Speak& speak : {Speak{"Hello."}, ssml}) {
    SCOPED_TRACE(speak.type);
    log_.Clear();
    ExpectSpoken(channel, Send(channel, speak));
    std::string logged;
    for (const auto& r : log_.Records())
      if (r.message.rfind("Submit TTS Request", 0) == 0) logged = r.message.substr(r.message.find('\n') + 1);
    rapidjson::Document info;
    ASSERT_FALSE(info.Parse(logged.c_str()).HasParseError()) << logged;
    auto field = [](const rapidjson::Value& object, const char* name) -> std::string {
      const auto it = object.FindMember(name);
      if (it == object.MemberEnd()) return "(absent)";
      if (it->value.IsBool()) return it->value.GetBool() ? "true" : "false";
      return it->value.IsString() ? it->value.GetString() : "(not a string)";
    };
    const bool is_ssml = speak.type != "text/plain";
    EXPECT_EQ(field(info, "Language"), is_ssml ? "en-GB" : "(absent)");
    EXPECT_EQ(field(info, "ResponseVoice"), is_ssml ? "en" : "Default");
    EXPECT_EQ(field(info, "ResponseAudioAsURL"), is_ssml ? "true" : "(absent)");
    EXPECT_EQ(field(info, "ResponseAudioShortOrLong"), "Short");
    ASSERT_TRUE(info.HasMember("ClientMatches") && info["ClientMatches"].IsArray());
    ASSERT_EQ(info["ClientMatches"].Size(), 1u);
    const rapidjson::Value& match = info["ClientMatches"][0];
    EXPECT_EQ(field(match, "Expression"), "speak_this");
    ASSERT_TRUE(match.HasMember("Result") && match["Result"].IsObject());
    EXPECT_EQ(field(match["Result"], "Intent"), "speak_this");
    for (const char* name : {"ResponseText", "ResponseTextLong"}) EXPECT_EQ(field(match, name), speak.body) << name;
    for (const char* name : {"PlainResponseText", "PlainResponseTextLong"})
      EXPECT_EQ(field(match, name), is_ssml ? "" : speak.body) << name;
    for (const char* name : {"SSMLResponseText", "SSMLResponseTextLong"})
      EXPECT_EQ(field(match, name), is_ssml ? speak.body : "(absent)") << name;
  }
}

TEST_P(SpeakRoad, SsmlIsSplitIntoItsVoicesAndTheWordsBetweenOrSentWholeWithoutBypass) {
  Configure("bypass-ssml=\"true\"", "bypass-ssml=\"false\"");
  const std::string ssml =
      "<speak version=\"1.0\" xml:lang=\"en-US\">Zero. <voice name=\"en\">One.</voice> and <voice "
      "name=\"en\">Two.</voice></speak>";
  for (bool split : {true, false}) {
    SCOPED_TRACE(split);
    if (!split) Configure("normalize-ssml=\"true\"", "normalize-ssml=\"false\"");
    ASSERT_TRUE(StartHost());
    const int channel = OpenChannel(8000);
    log_.Clear();
    const mrcp_request_id id = Send(channel, Speak{ssml, "", false, "application/ssml+xml"});
    ExpectSpoken(channel, id);
    EXPECT_EQ(log_.Count("Submit TTS Request"), split ? 4u : 1u);  // the words between voices too
    EXPECT_FALSE(Waveform(channel, id).empty());
    EXPECT_EQ(Waveform(channel, id, 4).empty(), !split);
  }
}

TEST_P(SpeakRoad, UriListsPlayOnlyFilesInsideTheAllowedFolders) {
  const Samples data = speech_service::Tone(440, 100);   // 10 frames at 16000 Hz
  const Samples inside = speech_service::Tone(880, 60);  // 6 frames
  WriteFile(root_ + "/data/a.wav", speech_service::WaveBytes(data, 16000));
  WriteFile(root_ + "/var/clip.wav", speech_service::WaveBytes(inside, 16000));
  for (const char* outside : {"/a.wav", "/data-evil/a.wav"})
    WriteFile(root_ + outside, speech_service::WaveBytes(data, 16000));
  fs::create_symlink(root_ + "/a.wav", root_ + "/data/out.wav");
  fs::create_symlink("/etc/passwd", root_ + "/var/passwd.wav");
  ASSERT_TRUE(StartHost());
  const int channel = OpenChannel(16000);
  const std::string file = "file://" + root_ + "/data/a.wav";
  const std::string base = "http://localhost/utterances";

  // By default the data folder and the waveform folder.
  mrcp_request_id id = Send(channel, Speak{file + "\r\n" + base + "/clip.wav\r\n", "", false, "text/uri-list"});
  ExpectSpoken(channel, id);
  Bytes expected = ToBytes(data);
  const Bytes second = ToBytes(inside);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(capture_.Take(channel), expected);

  // Nothing outside the folders, however written: a URI under the base
  // names a file of the waveform folder or nothing; a file outside the
  // allowed folders, links followed, is refused (407) whether it exists or
  // not, so nothing outside can be probed; a missing file inside fails (401).
  const std::string not_local = "Only local HTTP URI supported [", not_allowed = "Local File Not Allowed [";
  const std::tuple<std::string, mrcp_status_code_e, std::string> rows[] = {
      {base, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, not_local + base},
      {base + "/", MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, not_local + base + "/"},
      {base + "/../a.wav", MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, not_local + base + "/../a.wav"},
      {base + "//" + root_ + "/a.wav", MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, not_local + base + "//" + root_},
      {base + "/sub/../../a.wav", MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, not_local + base + "/sub/../../a.wav"},
      {base + "a.wav", MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, not_local + base + "a.wav"},
      {"https://example.com/utterances/clip.wav", MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, not_local + "https://"},
      {"file:///usr/bin/ls", MRCP_STATUS_CODE_METHOD_FAILED, not_allowed + "/usr/bin/ls]"},
      {"file:///etc/passwd", MRCP_STATUS_CODE_METHOD_FAILED, not_allowed + "/etc/passwd]"},
      {"file://" + root_ + "/data/out.wav", MRCP_STATUS_CODE_METHOD_FAILED, not_allowed + root_ + "/data/out.wav]"},
      {base + "/passwd.wav", MRCP_STATUS_CODE_METHOD_FAILED, not_allowed + root_ + "/var/passwd.wav]"},
      {"file://" + root_ + "/data/../a.wav", MRCP_STATUS_CODE_METHOD_FAILED, not_allowed + root_ + "/a.wav]"},
      {"file://" + root_ + "/data-evil/a.wav", MRCP_STATUS_CODE_METHOD_FAILED, not_allowed + root_ + "/data-evil"},
      {"file://" + root_ + "/missing.wav", MRCP_STATUS_CODE_METHOD_FAILED, not_allowed + root_ + "/missing.wav]"},
      {"file://" + root_ + "/data/no.wav", MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, "Failed to Play File [" + root_}};
  for (const auto& [uri, status, logged] : rows) {
    SCOPED_TRACE(uri);
    log_.Clear();
    ExpectRefused(channel, Send(channel, Speak{uri + "\r\n", "", false, "text/uri-list"}), status);
    EXPECT_EQ(log_.Count(logged, APT_PRIO_WARNING), 1u);
  }

  // A later segment that fails ends the audio after what was queued, in
  // error, and plays nothing of its own.
  for (const std::string& later : {base + "/../a.wav", std::string("file:///etc/passwd")}) {
    SCOPED_TRACE(later);
    id = Send(channel, Speak{file + "\n" + later + "\n" + file + "\n", "", false, "text/uri-list"});
    ExpectSpoken(channel, id, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    EXPECT_EQ(capture_.Take(channel), ToBytes(data));
  }

  // An empty list turns file segments off.
  Configure("audio-as-url=\"false\"", "local-file-folders=\"\"");
  ASSERT_TRUE(StartHost());
  const int off = OpenChannel(16000);
  for (const std::string& uri : {file, base + "/clip.wav"})
    ExpectRefused(off, Send(off, Speak{uri, "", false, "text/uri-list"}), MRCP_STATUS_CODE_METHOD_FAILED);
}

TEST_P(SpeakRoad, AudioIsExactAtBothRatesHoweverTheBodyArrives) {
  ASSERT_TRUE(StartHost());
  // 16000 Hz: the service's samples, byte for byte.
  const int wide = OpenChannel(16000);
  const Bytes tone = ToBytes(speech_service::Tone(1000, 500));
  mrcp_request_id id = Send(wide, Speak{"tone", "fault:tone=1000,ms=500"});
  ExpectSpoken(wide, id);
  EXPECT_EQ(Waveform(wide, id), tone);
  EXPECT_EQ(capture_.Take(wide), tone);
  id = Send(wide, Speak{"tone", "fault:tone=1000,ms=500,piece=37,piece-ms=0", true});
  ExpectSpoken(wide, id);
  EXPECT_EQ(Waveform(wide, id), tone);
  EXPECT_EQ(capture_.Take(wide), tone);
  // Audio that arrives slower than the frames are read: the reader waits for
  // whole frames instead of playing zeros in the middle of the speech.
  id = Send(wide, Speak{"tone", "fault:tone=1000,ms=500,piece=45,piece-ms=1", true});
  ExpectSpoken(wide, id);
  EXPECT_EQ(capture_.Take(wide), tone);

  // 8000 Hz: n samples become n / 2, the same ones whether the body came
  // inline, whole, or in pieces of any size (a first one within the header
  // included).
  const int narrow = OpenChannel(8000);
  const std::string voice = "fault:tone=1000,ms=333";  // 5328 samples
  id = Send(narrow, Speak{"tone", voice});
  ExpectSpoken(narrow, id);
  const Bytes reference = Waveform(narrow, id);
  EXPECT_EQ(reference.size(), 5328u / 2 * 2);
  for (const char* pieces : {",piece=100000", ",piece=20,piece-ms=1", ",piece=44,piece-ms=1", ",piece=45,piece-ms=1",
                             ",piece=4095", ",piece=7,piece-ms=0"}) {
    SCOPED_TRACE(pieces);
    id = Send(narrow, Speak{"tone", std::string(voice) + pieces, true});
    ExpectSpoken(narrow, id);
    EXPECT_EQ(Waveform(narrow, id), reference);
  }
}

TEST_P(SpeakRoad, TheCacheServesIdenticalSpeaksOnlyAndSurvivesARestart) {
  Configure("caching=\"false\"", "caching=\"true\"");
  ASSERT_TRUE(StartHost());
  const int narrow = OpenChannel(8000);
  const int wide = OpenChannel(16000);
  const Speak speak{"cache me", "fault:tone=600,ms=200"};
  const mrcp_request_id first = Send(narrow, speak);
  ExpectSpoken(narrow, first);
  const Bytes audio = Waveform(narrow, first);
  ASSERT_FALSE(audio.empty());
  capture_.Take(narrow);
  const std::string name =
      std::string("tarnwickss-") + host_->channel(narrow)->id + "-" + std::to_string(first) + ".wav";

  for (std::uint64_t use = 0; use < 2; ++use) {
    log_.Clear();
    ExpectSpoken(narrow, Send(narrow, speak));
    EXPECT_EQ(log_.Count("Submit TTS Request"), 0u);
    EXPECT_EQ(log_.Count("Found Matching Cache Record [" + name + "] use-count [" + std::to_string(use) + "]"), 1u);
    EXPECT_EQ(capture_.Take(narrow), audio);
  }

  Speak other_voice = speak, other_language = speak, faster = speak, too_old = speak;
  other_voice.voice += ",voice=en";
  other_language.language = "en-GB";
  faster.rate = 1.5f;
  too_old.cache_control = "max-age=0";
  // Last the faster one: a request that sets no rate accepts any.
  const std::vector<std::pair<int, Speak>> misses = {
      {narrow, other_voice}, {narrow, other_language}, {wide, speak}, {narrow, too_old}, {narrow, faster}};
  for (const auto& [channel, miss] : misses) {
    log_.Clear();
    ExpectSpoken(channel, Send(channel, miss));
    EXPECT_EQ(log_.Count("Submit TTS Request"), 1u) << miss.voice << " " << miss.language << " " << channel;
    EXPECT_EQ(log_.Count("Cache Directive Mismatch: max-age [0 sec]"), miss.cache_control.empty() ? 0u : 1u);
  }
  // A hit reads its own entry's attribute file, none of the others that
  // share its text's checksum.
  log_.Clear();
  ExpectSpoken(narrow, Send(narrow, other_voice));
  EXPECT_EQ(log_.Count("Submit TTS Request"), 0u);
  EXPECT_EQ(log_.Count("Load Cache File"), 1u);
  capture_.Take(narrow);

  ASSERT_TRUE(StartHost());
  // The close left the cache index, and the start took every entry from it.
  std::size_t vouched = 0, entries = 0;
  for (const auto& r : log_.Records())
    std::sscanf(r.message.c_str(), "Cache Index Vouched for [%zu] of [%zu]", &vouched, &entries);
  EXPECT_GE(vouched, 5u);
  EXPECT_EQ(vouched, entries);
  const int again = OpenChannel(8000);
  log_.Clear();
  ExpectSpoken(again, Send(again, speak));
  EXPECT_EQ(log_.Count("Submit TTS Request"), 0u);
  EXPECT_EQ(capture_.Take(again), audio);

  // A waveform cut short on disk is no hit: the text is synthesized again,
  // and the damaged entry goes with both its files, so the new one serves.
  const std::string found = "Found Matching Cache Record [";
  std::string hit;  // the entry that just served: the first to match
  for (const auto& r : log_.Records())
    if (r.message.rfind(found, 0) == 0) hit = r.message.substr(found.size(), r.message.find(']') - found.size());
  const std::string path = root_ + "/var/" + hit;
  fs::resize_file(path, fs::file_size(path) - audio.size() / 2);
  for (int miss = 1; miss >= 0; --miss) {
    log_.Clear();
    ExpectSpoken(again, Send(again, speak));
    EXPECT_EQ(log_.Count("Failed to Read Waveform Data " + path), static_cast<std::size_t>(miss));
    EXPECT_EQ(log_.Count("Submit TTS Request"), static_cast<std::size_t>(miss));
    EXPECT_EQ(capture_.Take(again), audio);
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(path.substr(0, path.size() - 4) + ".cache"));
}

TEST_P(SpeakRoad, PauseAndANewerSpeakMeetSpeechInProgress) {
  ASSERT_TRUE(StartHost());
  const int channel = OpenChannel(8000, /*realtime=*/true);
  const Speak long_tone{"long", "fault:tone=500,ms=3000"};
  // Paused, nothing plays and nothing is lost.
  const mrcp_request_id paused = Send(channel, Speak{"short", "fault:tone=500,ms=600"});
  ASSERT_EQ(Final(channel, Send(channel, SYNTHESIZER_PAUSE)).size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a frame being read as the pause came
  const std::size_t before = capture_.Take(channel).size();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(capture_.Take(channel).size(), 0u);
  ASSERT_EQ(Final(channel, Send(channel, SYNTHESIZER_RESUME)).size(), 1u);
  ExpectSpoken(channel, paused);
  EXPECT_EQ(before + capture_.Take(channel).size(), 600u * 8 * 2);

  // A newer SPEAK replaces one that is playing, which completes as cancelled.
  const mrcp_request_id replaced = Send(channel, long_tone);
  ASSERT_TRUE(Answered(channel, replaced));
  const mrcp_request_id newer = Send(channel, Speak{"short", "fault:tone=500,ms=100"});
  ExpectSpoken(channel, replaced, SYNTHESIZER_COMPLETION_CAUSE_CANCELLED);
  ExpectSpoken(channel, newer);
}

TEST_P(SpeakRoad, EveryServiceFaultEndsItsSpeakWithOneFinalAnswer) {
  ASSERT_TRUE(StartHost());
  const int faulty = OpenChannel(8000);
  const int healthy = OpenChannel(16000);
  struct Fault {
    std::string voice;
    bool by_url;
    int status;  // below 100: started, then completed with this cause (4: cut short or failed); else refused
  };
  // What the faulty channel plays of the plain tone: the spoken faults below
  // of that tone must play exactly this.
  const std::string tone = "fault:tone=500,ms=100";
  const mrcp_request_id plain = Send(faulty, Speak{"fault", tone});
  ExpectSpoken(faulty, plain);
  const Bytes reference = Waveform(faulty, plain);
  const Fault faults[] = {
      {"fault:status=3", false, 407},
      {"fault:no-status", false, 407},
      {"fault:empty-results", false, 407},
      {"fault:missing-results", false, 407},
      {"fault:missing-bytes", false, 407},
      {"fault:empty-bytes", false, 407},
      {"fault:missing-url", true, 407},
      {"fault:empty-url", true, 407},
      {"fault:fetch-status=404", true, 407},
      {"fault:no-such-switch", false, 401},  // HTTP 400
      {"fault:malformed-json", false, 401},
      {"fault:no-answer", false, 401},
      {"fault:delay=5000", false, 401},
      {"fault:fetch-delay=5000", true, 401},
      {"fault:tone=500,ms=1000,truncate=12000", true, 4},
      {"fault:tone=500,ms=100,delay=100", false, 0},
      {"fault:tone=500,ms=100,fetch-delay=100,piece=100", true, 0},
      // What a real cloud does now and then.
      {tone + ",reset", false, 401},
      {tone + ",http-status=500", false, 401},  // a good answer, but an error status
      {tone + ",trickle=20", false, 0},
      {tone + ",redirect", true, 0},
      {tone + ",chunked", true, 0},
      {tone + ",extra-chunks", false, 0},
      {tone + ",extra-chunks,piece=7,piece-ms=0", true, 0},
  };
  std::vector<mrcp_request_id> ids;
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.voice);
    const mrcp_request_id id = Send(faulty, Speak{"fault", fault.voice, fault.by_url});
    ids.push_back(id);
    if (fault.status < 100) {
      ExpectSpoken(faulty, id, static_cast<mrcp_synth_completion_cause_e>(fault.status));
      if (fault.status == 0 && fault.voice.rfind(tone + ",", 0) == 0) {
        EXPECT_EQ(Waveform(faulty, id), reference);
      }
    } else {
      ExpectRefused(faulty, id, static_cast<mrcp_status_code_e>(fault.status));
    }
    ExpectSpoken(healthy, Send(healthy, Speak{"fine", "fault:tone=500,ms=50"}));
  }
  // Nothing more came for any of them.
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(Final(faulty, ids[i]).size(), faults[i].status < 100 ? 2u : 1u) << faults[i].voice;
  }
}

// One WAVE reader serves every source: the cloud's answer inline and by URL,
// and local files. What it can play plays at the channel's rate (16000 Hz
// converted for an 8000 Hz channel, wherever it comes from); anything else
// plays nothing and fails its segment, 407 while the SPEAK response is held.
// Nothing of a failed segment is cached: the same SPEAK again goes to the
// cloud, and its waveform file is gone.
TEST_P(SpeakRoad, OneWaveReaderServesEverySourceAndNothingFailedIsCached) {
  Configure("caching=\"false\"", "caching=\"true\"");
  ASSERT_TRUE(StartHost());
  const int narrow = OpenChannel(8000);
  const int wide = OpenChannel(16000);
  const std::string tone = "fault:tone=500,ms=100";  // 1600 samples
  ExpectSpoken(narrow, Send(narrow, Speak{"wave", tone}));
  const Bytes converted = capture_.Take(narrow);
  const Samples samples = speech_service::Tone(500, 100);
  const Bytes as_is = ToBytes(samples);
  const std::string wave = speech_service::WaveBytes(samples, 16000);
  std::string open = wave;  // as a writer leaves it before it knows the length
  open.replace(40, 4, std::string(4, '\0'));
  auto file = [&](const std::string& name, const std::string& bytes) {
    WriteFile(root_ + "/data/" + name, bytes);
    return "file://" + root_ + "/data/" + name;
  };
  const std::string format = "Unsupported Audio Format [format ";
  const struct {
    int channel;
    std::string voice;  // a cloud answer, or
    std::string uri;    // a local file
    bool by_url;
    int answer;  // 407 refused, or the Completion-Cause after IN-PROGRESS
    const Bytes* played;
    std::string log;
  } kRows[] = {
      {narrow, tone + ",not-wave", "", false, 407, nullptr, "Unsupported Audio Format [not RIFF/WAVE]"},
      {narrow, tone + ",not-wave", "", true, 407, nullptr, "Unsupported Audio Format [not RIFF/WAVE]"},
      {narrow, tone + ",format=3,bits=32", "", false, 407, nullptr, format + "3, 1 channels, 16000 Hz, 32 bits]"},
      {narrow, tone + ",channels=2", "", true, 407, nullptr, format + "1, 2 channels, 16000 Hz, 16 bits]"},
      {narrow, tone + ",bits=8", "", false, 407, nullptr, format + "1, 1 channels, 16000 Hz, 8 bits]"},
      {narrow, tone + ",extensible,format=3", "", true, 407, nullptr,
       format + "65534/3, 1 channels, 16000 Hz, 16 bits]"},
      {narrow, tone + ",rate=22050", "", false, 407, nullptr, format + "1, 1 channels, 22050 Hz, 16 bits]"},
      {wide, tone + ",rate=8000", "", true, 407, nullptr, format + "1, 1 channels, 8000 Hz, 16 bits]"},
      {narrow, tone + ",data-size=4000", "", false, 407, nullptr, "Audio Cut Short [data cut short at 3200 of 4000"},
      {narrow, tone + ",data-size=4000", "", true, 4, &converted, "Audio Cut Short [data cut short at 3200 of 4000"},
      {narrow, tone + ",base64=junk", "", false, 407, nullptr, "Invalid ResponseAudioBytes [character 0x21 at "},
      {narrow, tone + ",base64=padding", "", false, 407, nullptr, "Invalid ResponseAudioBytes [padding]"},
      {narrow, tone + ",base64=length", "", false, 407, nullptr, "Invalid ResponseAudioBytes [length]"},
      {narrow, tone + ",base64=lines", "", false, 0, &converted, ""},
      {narrow, tone + ",extensible", "", true, 0, &converted, ""},
      {narrow, tone + ",data-size=0,chunked", "", true, 0, &converted, ""},
      {narrow, tone + ",data-size=4294967295", "", false, 0, &converted, ""},
      {narrow, tone + ",trailing-chunk,piece=7,piece-ms=0", "", true, 0, &converted, ""},
      {narrow, tone + ",rate=8000", "", false, 0, &as_is, ""},
      {narrow, "", file("16k.wav", wave), false, 0, &converted, ""},
      {narrow, "", file("open.wav", open), false, 0, &converted, ""},
      {narrow, "", file("8k.wav", speech_service::WaveBytes(samples, 8000)), false, 0, &as_is, ""},
      {narrow, "", file("22k.wav", speech_service::WaveBytes(samples, 22050)), false, 407, nullptr, format + "1, 1"},
      {narrow, "", file("empty.wav", open.substr(0, 44)), false, 407, nullptr, "Unsupported Audio Format [no audio]"},
      {narrow, "",
       file("ls",
            "\x7F"
            "ELF" +
                wave),
       false, 407, nullptr, "Unsupported Audio Format [not RIFF/WAVE]"},
      {narrow, "", file("cut.wav", wave.substr(0, 1000)), false, 407, nullptr, "Failed to Read Waveform Data "},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.voice + row.uri + (row.by_url ? " by URL" : ""));
    const bool cloud = row.uri.empty();
    const Speak speak = cloud ? Speak{"wave", row.voice, row.by_url} : Speak{row.uri, "", false, "text/uri-list"};
    for (int again = 0; again < (cloud ? 2 : 1); ++again) {
      log_.Clear();
      const mrcp_request_id id = Send(row.channel, speak);
      if (row.answer == 407) {
        ExpectRefused(row.channel, id, MRCP_STATUS_CODE_METHOD_FAILED);
      } else {
        ExpectSpoken(row.channel, id, static_cast<mrcp_synth_completion_cause_e>(row.answer));
      }
      EXPECT_EQ(capture_.Take(row.channel), row.played ? *row.played : Bytes());
      EXPECT_EQ(log_.Count(row.log), row.log.empty() ? log_.Count("") : 1u);
      if (!cloud) continue;
      EXPECT_EQ(log_.Count("Submit TTS Request"), row.answer == 0 && again ? 0u : 1u);
      EXPECT_TRUE(row.answer == 0 || Waveform(row.channel, id).empty());
    }
  }
}

TEST_P(SpeakRoad, AFailedRequestIsReattemptedOnceWhenAsked) {
  Configure("reattempt=\"false\"", "reattempt=\"true\"");
  ASSERT_TRUE(StartHost());
  const int channel = OpenChannel(8000);
  struct Case {
    std::string voice;
    bool by_url;
    mrcp_status_code_e status;
    std::size_t requests;
  } const cases[] = {{"fault:status=3", false, MRCP_STATUS_CODE_METHOD_FAILED, 2},
                     {"fault:malformed-json", false, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED, 2},
                     {"fault:fetch-status=404", true, MRCP_STATUS_CODE_METHOD_FAILED, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.voice);
    log_.Clear();
    ExpectRefused(channel, Send(channel, Speak{"again", c.voice, c.by_url}), c.status);
    EXPECT_EQ(log_.Count("Submit TTS Request"), c.requests);
    EXPECT_EQ(log_.Count("Reattempt TTS Request"), c.requests - 1);
  }
  // A fetch cut short after audio came is never retried: what came plays, then the error.
  log_.Clear();
  ExpectSpoken(channel, Send(channel, Speak{"again", "fault:tone=500,ms=1000,truncate=12000", true}),
               SYNTHESIZER_COMPLETION_CAUSE_ERROR);
  EXPECT_EQ(log_.Count("Submit TTS Request"), 1u);
  EXPECT_EQ(log_.Count("Reattempt TTS Request"), 0u);
  EXPECT_FALSE(capture_.Take(channel).empty());
}

INSTANTIATE_TEST_SUITE_P(CloudWorkers, SpeakRoad, ::testing::Values(0, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); });

}  // namespace
