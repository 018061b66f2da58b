// The local speech service itself: started as the real program, where it
// refuses to run, how it checks a signature, and what it says: SSML
// honoured, language and voice honoured, tones of the asked frequency.
#include "speech_service.h"

#include <apr_base64.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio_samples.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/RequestSignature.h"
#include "service_credentials.h"
#include "speak_request.h"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

using corvex_test::Samples;
using corvex_test::TestSpeechService;

struct Said {
  Samples samples;
  std::string voice;  // who spoke, as the service names it
};

// Asks `service` to say `text`; nothing (with a test failure) when the answer
// is not a success.
Said Say(const TestSpeechService& service, const std::string& text, const std::string& voice = "Default",
         const std::string& language = "en-US", bool ssml = false) {
  BrillCloudRequester requester(TestSpeechService::kClientId, TestSpeechService::kClientKey, "tester",
                                service.text_url().c_str(), "", nullptr);
  RequestInfoJSON* info = corvex_test::SpeakRequestInfo(text, voice, false, language, ssml);
  const BrillServerJSON* answer = requester.textRequest("speak_this", nullptr, info, nullptr);
  info->release();
  EXPECT_EQ(0, answer->getStatus()) << to_string(*answer);
  if (answer->countOfAllResults() != 1) return {};
  const CommandResultJSON* result = answer->elementOfAllResults(0);
  const std::string& base64 = result->getResponseAudioBytes();
  corvex_test::Bytes wave(static_cast<std::size_t>(apr_base64_decode_len(base64.c_str())));
  wave.resize(static_cast<std::size_t>(apr_base64_decode_binary(wave.data(), base64.c_str())));
  const auto* speaker = dynamic_cast<const JSONStringValue*>(result->findValue("Voice"));
  return {corvex_test::ToSamples(corvex_test::Bytes(wave.begin() + std::min<std::size_t>(44, wave.size()), wave.end())),
          speaker ? speaker->value() : std::string()};
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
  EXPECT_GT(Say(child, "Hello").samples.size(), 1600u);
  const int status = child.Stop();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(SpeechServiceProgram, RefusesToServeWhereItShouldNot) {
  const std::string folder = MakeTestRoot("speech-refusals");
  const std::string good = folder + "/good.json";
  WriteFile(good, R"({"client-id": "a", "client-key": "b"})");
  speech_service::SpeechService taken({"127.0.0.1", 0, good, false, {}});
  ASSERT_TRUE(taken.Start()) << taken.error();

  struct Case {
    speech_service::Options options;
    const char* error;
  };
  const Case cases[] = {
      {{"0.0.0.0", 0, good, false, {}}, "not a loopback address"},
      {{"127.0.0.1", 0, folder + "/absent.json", false, {}}, "cannot open credentials file"},
      {{"127.0.0.1", taken.port(), good, false, {}}, "cannot listen on 127.0.0.1"},
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
  WriteFile(folder + "/c.json", R"({"client-id": "id", "client-key": "key", "user-id": "u"})");
  speech_service::ServiceCredentials credentials;
  std::string error;
  ASSERT_TRUE(credentials.Load(folder + "/c.json", &error)) << error;
  std::filesystem::remove_all(folder);

  const std::time_t now = 1700000000;
  const std::string body = R"({"Query": "speak_this"})";
  auto at = [&](std::time_t t) { return std::to_string(t); };
  auto sign = [&](std::time_t t) { return Brillify::SignTextRequest("key", "id", "u", at(t), body); };
  // Up to 300 s either way.
  for (std::time_t t : {now, now - 300, now + 300}) {
    EXPECT_TRUE(credentials.Verify("id", "u", at(t), sign(t), body, now, &error)) << error;
  }
  struct Case {
    std::string id, timestamp, signature, body;
    const char* error;
  };
  const Case cases[] = {
      {"other", at(now), sign(now), body, "unknown client"},
      {"id", at(now), sign(now), body + " ", "signature mismatch"},
      {"id", at(now), Brillify::SignTextRequest("kez", "id", "u", at(now), body), body, "signature mismatch"},
      {"id", at(now - 301), sign(now - 301), body, "stale timestamp"},
      {"id", at(now + 301), sign(now + 301), body, "stale timestamp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    error.clear();
    EXPECT_FALSE(credentials.Verify(c.id, "u", c.timestamp, c.signature, c.body, now, &error));
    EXPECT_NE(std::string::npos, error.find(c.error)) << error;
    EXPECT_EQ(std::string::npos, error.find("key")) << error;
  }
}

TEST_F(SpeechServiceTest, SsmlIsInterpretedNotReadOut) {
  const Samples without = Say(service_, "One two.").samples;
  const Samples with =
      Say(service_, R"(<speak version="1.0">One <break time="1500ms"/> two.</speak>)", "Default", "en-US", true)
          .samples;
  // The pause and a phrase boundary were added, and the tags were not read
  // out (which takes some seven seconds).
  const double added = (static_cast<double>(with.size()) - static_cast<double>(without.size())) / 16000;
  EXPECT_GT(added, 1.4);
  EXPECT_LT(added, 3.0);
}

TEST_F(SpeechServiceTest, LanguageAndVoiceChooseTheSpeaker) {
  struct Case {
    const char* language;
    const char* voice;
    const char* speaker;
  } cases[] = {
      {"DE-de", "Default", "German"},
      {"xx-YY", "Default", "English (Great Britain)"},  // unknown: English
      {"de-DE", "en+f3", "English (Great Britain)"},    // a voice espeak-ng knows wins
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language + std::string(" ") + c.voice);
    const Said said = Say(service_, "Hallo, guten Tag.", c.voice, c.language);
    EXPECT_EQ(c.speaker, said.voice);
    EXPECT_GT(said.samples.size(), 8000u);
  }
}

TEST_F(SpeechServiceTest, AToneIsThatFrequencyAtHalfScaleWhateverTheText) {
  const Said said = Say(service_, "ignored", "fault:tone=1000,ms=250");
  EXPECT_EQ("tone", said.voice);
  ASSERT_EQ(4000u, said.samples.size());
  EXPECT_NEAR(16384, Amplitude(said.samples, 1000), 2);
  EXPECT_LT(Amplitude(said.samples, 1500), 2);
  // A pre-made instant tone is the same samples, whatever the text, and
  // asking for another leaves the first as it was.
  EXPECT_EQ(said.samples, Say(service_, "Anything at all.", "fault:instant,tone=1000,ms=250").samples);
  EXPECT_EQ(8000u, Say(service_, "Something else.", "fault:instant,tone=1000,ms=500").samples.size());
  EXPECT_EQ(said.samples, Say(service_, "Something else.", "fault:instant,tone=1000,ms=250").samples);
}

// Unanswered requests each hold a service thread for up to a minute; a run
// of them (a soak injects several a minute) must not leave the requests
// behind them unserved.
TEST_F(SpeechServiceTest, RequestsLeftUnansweredDoNotStarveTheOthers) {
  {
    ScopedEnv quick("BRILLIFY_TIMEOUT_MS", "300");
    std::vector<std::thread> hangs;
    for (int i = 0; i < 24; ++i) {
      hangs.emplace_back([this] {
        BrillCloudRequester requester(TestSpeechService::kClientId, TestSpeechService::kClientKey, "tester",
                                      service_.text_url().c_str(), "", nullptr);
        RequestInfoJSON* info = corvex_test::SpeakRequestInfo("Hello", "fault:no-answer");
        try {
          requester.textRequest("speak_this", nullptr, info, nullptr);
          ADD_FAILURE() << "an unanswered request was answered";
        } catch (const char*) {
        }
        info->release();
      });
    }
    for (std::thread& hang : hangs) hang.join();
  }
  EXPECT_EQ(1600u, Say(service_, "Still there?", "fault:instant,ms=100").samples.size());
}

}  // namespace
