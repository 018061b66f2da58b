// The local speech service itself: started as the real program, where it
// refuses to run, how it checks a signature, and what it says: SSML
// honoured, language and voice honoured, tones of the asked frequency.
#include <apr_base64.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <cstdlib>
#include <thread>
#include <vector>

#include "brillify/BrillCloudRequester.h"
#include "brillify/RequestSignature.h"
#include "fault_switches.h"
#include "service_credentials.h"
#include "speech_service.h"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

using corvex_test::TestSpeechService;
using Samples = std::vector<std::int16_t>;

struct Speech {
  std::string plain;
  std::string common;
  std::string ssml;
  std::string language = "en-US";
  std::string voice = "Default";
};

struct Said {
  Samples samples;
  std::string voice;  // who spoke, as the service names it
};

// Asks `service` to say `speech`; nothing (with a test failure) when the
// answer is not a success.
Said Say(const TestSpeechService& service, const Speech& speech) {
  BrillCloudRequester requester(TestSpeechService::kClientId, TestSpeechService::kClientKey, "tester",
                                service.text_url().c_str(), "", nullptr);
  auto* info = new RequestInfoJSON();
  info->setLanguage(speech.language.c_str());
  info->setResponseVoice(speech.voice.c_str());
  auto* match = new ClientMatchJSON();
  match->setExpression("speak_this");
  match->setPlainResponseText(speech.plain.c_str());
  match->setResponseText(speech.common.c_str());
  if (!speech.ssml.empty()) match->setSSMLResponseText(speech.ssml.c_str());
  info->appendClientMatch(match);
  match->release();
  const BrillServerJSON* answer = requester.textRequest("speak_this", nullptr, info, nullptr);
  info->release();
  EXPECT_EQ(0, answer->getStatus()) << to_string(*answer);
  if (answer->countOfAllResults() != 1) return {};
  const CommandResultJSON* result = answer->elementOfAllResults(0);
  const std::string& base64 = result->getResponseAudioBytes();
  std::string wave(static_cast<std::size_t>(apr_base64_decode_len(base64.c_str())), '\0');
  wave.resize(static_cast<std::size_t>(apr_base64_decode(&wave[0], base64.c_str())));
  Samples samples(wave.size() > 44 ? (wave.size() - 44) / 2 : 0);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(wave[44 + 2 * i]) |
                                           static_cast<unsigned char>(wave[45 + 2 * i]) << 8);
  }
  const auto* voice = dynamic_cast<const JSONStringValue*>(result->findValue("Voice"));
  return {samples, voice ? voice->value() : std::string()};
}

// The longest run of 10 ms frames whose level stays below -50 dBFS, in
// seconds.
double LongestSilence(const Samples& samples) {
  std::size_t longest = 0, run = 0;
  for (std::size_t at = 0; at + 160 <= samples.size(); at += 160) {
    double energy = 0;
    for (std::size_t i = at; i < at + 160; ++i) energy += static_cast<double>(samples[i]) * samples[i];
    run = std::sqrt(energy / 160) < 100 ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest * 0.01;
}

// The amplitude of the `hz` component (Goertzel over the whole signal).
double Amplitude(const Samples& samples, double hz) {
  const double w = 2 * M_PI * hz / 16000;
  double re = 0, im = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    re += samples[i] * std::cos(w * i);
    im -= samples[i] * std::sin(w * i);
  }
  return 2 * std::hypot(re, im) / samples.size();
}

class SpeechServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.ok()) << service_.error(); }
  TestSpeechService service_;
};

TEST(SpeechServiceProgram, PrintsItsAddressFirstAndServesUntilStopped) {
  TestSpeechService child(TestSpeechService::Mode::kChildProcess);
  ASSERT_TRUE(child.ok()) << child.error();
  EXPECT_GT(child.pid(), 0);
  EXPECT_EQ(0u, child.address().find("http://127.0.0.1:"));
  EXPECT_NE("http://127.0.0.1:0", child.address());
  Speech speech;
  speech.plain = "Hello";
  EXPECT_GT(Say(child, speech).samples.size(), 1600u);
  const int status = child.Stop();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(SpeechServiceProgram, RefusesToServeWhereItShouldNot) {
  const std::string folder = MakeTestRoot("speech-refusals");
  const std::string good = folder + "/good.json";
  std::ofstream(good) << R"({"client-id": "a", "client-key": "b"})";
  std::ofstream(folder + "/keyless.json") << "\xEF\xBB\xBF" R"({"client-id": "a", "client-key": ""})";
  std::ofstream(folder + "/array.json") << R"([{"client-id": "a", "client-key": "b"}])";

  speech_service::SpeechService taken({"127.0.0.1", 0, good, false});
  ASSERT_TRUE(taken.Start()) << taken.error();

  struct Case {
    speech_service::Options options;
    const char* error;
  };
  const Case cases[] = {
      {{"0.0.0.0", 0, good, false}, "not a loopback address"},
      {{"192.168.1.1", 0, good, false}, "not a loopback address"},
      {{"127.0.0.1", 0, folder + "/absent.json", false}, "cannot open credentials file"},
      {{"127.0.0.1", 0, folder + "/keyless.json", false}, "lacks client-id or client-key"},
      {{"127.0.0.1", 0, folder + "/array.json", false}, "is not a JSON object"},
      {{"127.0.0.1", taken.port(), good, false}, "cannot listen on 127.0.0.1"},
  };
  for (const Case& c : cases) {
    speech_service::SpeechService service(c.options);
    EXPECT_FALSE(service.Start());
    EXPECT_NE(std::string::npos, service.error().find(c.error)) << service.error();
    EXPECT_TRUE(service.address().empty());
  }
  taken.Stop();
  std::filesystem::remove_all(folder);
}

TEST(SpeechServiceCredentials, AcceptOnlyTheSignatureOfTheKeyOverTheSameRequestInTime) {
  const std::string folder = MakeTestRoot("speech-credentials");
  std::ofstream(folder + "/c.json") << R"({"client-id": "id", "client-key": "key", "user-id": "u"})";
  speech_service::ServiceCredentials credentials;
  std::string error;
  ASSERT_TRUE(credentials.Load(folder + "/c.json", &error)) << error;
  std::filesystem::remove_all(folder);

  const std::time_t now = 1700000000;
  const std::string ts = std::to_string(now);
  const std::string body = R"({"Query": "speak_this"})";
  const std::string signature = Brillify::SignTextRequest("key", "id", "u", ts, body);
  EXPECT_TRUE(credentials.Verify("id", "u", ts, signature, body, now, &error)) << error;
  EXPECT_TRUE(credentials.Verify("id", "u", std::to_string(now - 300), Brillify::SignTextRequest(
                                     "key", "id", "u", std::to_string(now - 300), body), body, now, &error));

  struct Case {
    std::string id, user, timestamp, signature, body;
    const char* error;
  };
  const Case cases[] = {
      {"other", "u", ts, signature, body, "unknown client"},
      {"", "u", ts, signature, body, "unknown client"},
      {"id", "u", ts, signature, body + " ", "signature mismatch"},
      {"id", "v", ts, signature, body, "signature mismatch"},
      {"id", "u", ts, Brillify::SignTextRequest("kez", "id", "u", ts, body), body, "signature mismatch"},
      {"id", "u", ts, signature.substr(1), body, "signature mismatch"},
      {"id", "u", std::to_string(now + 1), signature, body, "signature mismatch"},
      {"id", "u", std::to_string(now - 301),
       Brillify::SignTextRequest("key", "id", "u", std::to_string(now - 301), body), body, "stale timestamp"},
      {"id", "u", std::to_string(now + 301),
       Brillify::SignTextRequest("key", "id", "u", std::to_string(now + 301), body), body, "stale timestamp"},
      {"id", "u", "", Brillify::SignTextRequest("key", "id", "u", "", body), body, "stale timestamp"},
      {"id", "u", ts + "x", Brillify::SignTextRequest("key", "id", "u", ts + "x", body), body, "stale timestamp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    error.clear();
    EXPECT_FALSE(credentials.Verify(c.id, c.user, c.timestamp, c.signature, c.body, now, &error));
    EXPECT_NE(std::string::npos, error.find(c.error)) << error;
    EXPECT_EQ(std::string::npos, error.find("key")) << error;
  }
}

TEST(SpeechServiceFaults, SwitchesAreReadFromTheVoiceName) {
  speech_service::FaultSwitches faults;
  std::string error;
  ASSERT_TRUE(speech_service::ParseFaultSwitches("en-us", &faults, &error));
  EXPECT_EQ("en-us", faults.voice);
  EXPECT_EQ(0, faults.tone_hz);
  ASSERT_TRUE(speech_service::ParseFaultSwitches("fault:voice=de,,piece=37,piece-ms=0,truncate=10,fetch-status=404",
                                                 &faults, &error));
  EXPECT_EQ("de", faults.voice);
  EXPECT_EQ(37, faults.fetch.piece_bytes);
  EXPECT_EQ(0, faults.fetch.piece_ms);
  EXPECT_EQ(10, faults.fetch.truncate_bytes);
  EXPECT_EQ(404, faults.fetch.status);
  for (const char* bad : {"fault:piece=0", "fault:tone", "fault:no-answer=1", "fault:delay=-1", "fault:ms=1x",
                          "fault:Tone=5", "fault:fetch-status=99", "fault:instant=1"}) {
    EXPECT_FALSE(speech_service::ParseFaultSwitches(bad, &faults, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST_F(SpeechServiceTest, SsmlIsInterpretedNotReadOut) {
  Speech plain;
  plain.plain = "One two.";
  Speech paused;
  paused.ssml = R"(<speak version="1.0">One <break time="1500ms"/> two.</speak>)";
  // SSML arriving only as the common text is recognised too.
  Speech common;
  common.common = paused.ssml;
  const Samples without = Say(service_, plain).samples;
  for (const Speech& ssml : {paused, common}) {
    const Samples with = Say(service_, ssml).samples;
    EXPECT_GT(LongestSilence(with), 1.3);
    EXPECT_LT(LongestSilence(without), 0.8);
    // The pause and a phrase boundary were added, and the tags were not read
    // out (which takes some seven seconds).
    const double added = (static_cast<double>(with.size()) - static_cast<double>(without.size())) / 16000;
    EXPECT_GT(added, 1.4);
    EXPECT_LT(added, 3.0);
  }
}

TEST_F(SpeechServiceTest, LanguageAndVoiceChooseTheSpeaker) {
  struct Case {
    const char* language;
    const char* voice;
    const char* speaker;
  } cases[] = {
      {"en-US", "Default", "English (America)"},
      {"DE-de", "Default", "German"},
      {"fr-FR", "", "French (France)"},
      {"xx-YY", "Default", "English (Great Britain)"},  // unknown: English
      {"de-DE", "en+f3", "English (Great Britain)"},    // a voice espeak-ng knows wins
      {"de-DE", "no-such-voice", "German"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language + std::string(" ") + c.voice);
    Speech speech;
    speech.plain = "Hallo, guten Tag.";
    speech.language = c.language;
    speech.voice = c.voice;
    const Said said = Say(service_, speech);
    EXPECT_EQ(c.speaker, said.voice);
    EXPECT_GT(said.samples.size(), 8000u);
  }
}

TEST_F(SpeechServiceTest, AToneIsThatFrequencyAtHalfScale) {
  Speech tone;
  tone.plain = "ignored";
  tone.voice = "fault:tone=1000,ms=250";
  const Said said = Say(service_, tone);
  const Samples& samples = said.samples;
  EXPECT_EQ("tone", said.voice);
  ASSERT_EQ(4000u, samples.size());
  EXPECT_NEAR(16384, Amplitude(samples, 1000), 2);
  EXPECT_LT(Amplitude(samples, 1500), 2);
}

TEST_F(SpeechServiceTest, InstantAnswersAreThePreMadeToneWhateverTheText) {
  Speech first;
  first.plain = "Anything at all.";
  first.voice = "fault:instant,ms=250";
  Speech other = first;
  other.plain = "Something else, much longer, that would take a while to speak.";
  Speech higher = first;
  higher.voice = "fault:instant,tone=1000,ms=500";
  const Said said = Say(service_, first);
  EXPECT_EQ("tone", said.voice);
  ASSERT_EQ(4000u, said.samples.size());
  EXPECT_NEAR(16384, Amplitude(said.samples, 440), 2);
  // The text plays no part.
  EXPECT_EQ(said.samples, Say(service_, other).samples);
  // Each frequency and length has its own, and asking for another leaves
  // the first as it was.
  const Samples high = Say(service_, higher).samples;
  ASSERT_EQ(8000u, high.size());
  EXPECT_NEAR(16384, Amplitude(high, 1000), 2);
  EXPECT_EQ(said.samples, Say(service_, first).samples);
}

}  // namespace

// Unanswered requests each hold a service thread for up to a minute; a run
// of them (a soak injects several a minute) must not leave the requests
// behind them unserved.
TEST_F(SpeechServiceTest, RequestsLeftUnansweredDoNotStarveTheOthers) {
  const char* saved = std::getenv("BRILLIFY_TIMEOUT_MS");
  const std::string previous = saved ? saved : "";
  setenv("BRILLIFY_TIMEOUT_MS", "300", 1);
  std::vector<std::thread> hangs;
  for (int i = 0; i < 24; ++i) {
    hangs.emplace_back([this] {
      BrillCloudRequester requester(TestSpeechService::kClientId, TestSpeechService::kClientKey, "tester",
                                    service_.text_url().c_str(), "", nullptr);
      auto* info = new RequestInfoJSON();
      info->setResponseVoice("fault:no-answer");
      try {
        requester.textRequest("speak_this", nullptr, info, nullptr);
        ADD_FAILURE() << "an unanswered request was answered";
      } catch (const char*) {
      }
      info->release();
    });
  }
  for (std::thread& hang : hangs) hang.join();
  if (saved) setenv("BRILLIFY_TIMEOUT_MS", previous.c_str(), 1);
  else unsetenv("BRILLIFY_TIMEOUT_MS");
  Speech tone;
  tone.plain = "Still there?";
  tone.voice = "fault:instant,ms=100";
  EXPECT_EQ(1600u, Say(service_, tone).samples.size());
}
