// The SDK against the local speech service (and, where the service will not
// misbehave the right way, against a raw socket): inline and URL answers,
// the fetch's calls in order, callers refused, every fault switch arriving
// as the result or the thrown text the channel will meet, time-outs, and a
// fetch deleted from inside its own handler.
#include <apr_base64.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "brillify/BrillCloudRequester.h"
#include "brillify/RequestSignature.h"
#include "brillify/Timeouts.h"
#include "test_speech_service.h"
#include "wave_header.h"

namespace {

using corvex_test::TestSpeechService;
using Clock = std::chrono::steady_clock;

constexpr long kTimeoutMs = 1500;

// The request info a channel sends for one plain-text segment.
RequestInfoJSON* SpeakRequest(const std::string& text, const std::string& voice, bool as_url) {
  auto* info = new RequestInfoJSON();
  info->setLanguage("en-US");
  info->setRequestID("RRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRR");
  info->setSessionID("SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS");
  info->setClientName("tarnwickss");
  info->setClientVersion("1.1.0");
  auto* match = new ClientMatchJSON();
  match->setExpression("speak_this");
  auto* result = new JSONObjectValue();
  auto* intent = new JSONStringValue("speak_this");
  result->appendPair("Intent", intent);
  intent->release();
  match->setResult(result);
  result->release();
  for (auto set : {&ClientMatchJSON::setPlainResponseText, &ClientMatchJSON::setPlainResponseTextLong,
                   &ClientMatchJSON::setResponseText, &ClientMatchJSON::setResponseTextLong}) {
    (match->*set)(text.c_str());
  }
  info->clearClientMatches();
  info->setClientMatchesPresent();
  info->appendClientMatch(match);
  match->release();
  info->setResponseVoice(voice.c_str());
  info->setResponseAudioShortOrLong(RequestInfoJSON::stringToResponseAudioShortOrLong("Short"));
  if (as_url) info->setResponseAudioAsURL(true);
  return info;
}

std::string Decode(const std::string& base64) {
  std::string bytes(static_cast<std::size_t>(apr_base64_decode_len(base64.c_str())), '\0');
  bytes.resize(static_cast<std::size_t>(apr_base64_decode(&bytes[0], base64.c_str())));
  return bytes;
}

// Checks the canonical header of 16000 Hz 16-bit mono PCM; returns the
// samples.
std::vector<std::int16_t> Samples16kMono(const std::string& wave) {
  if (wave.size() < 44) {
    ADD_FAILURE() << "no WAVE header";
    return {};
  }
  EXPECT_EQ(WaveHeader(16000, static_cast<std::uint32_t>(wave.size() - 44)), wave.substr(0, 44));
  std::vector<std::int16_t> samples((wave.size() - 44) / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(wave[44 + 2 * i]) |
                                           static_cast<unsigned char>(wave[45 + 2 * i]) << 8);
  }
  return samples;
}

// Records every handler call as text, the body, and can act at a chosen call.
class Recorder : public Client::FetchHandler {
 public:
  void handleHTTPVersion(unsigned major, unsigned minor) override {
    Note("version " + std::to_string(major) + "." + std::to_string(minor));
  }
  void handleParameter(const char* name, const char* value) override {
    Note(std::string("param ") + name + ": " + value);
  }
  void handleContentByteCount(unsigned long count) override { Note("count " + std::to_string(count)); }
  void handleHeaderDone() override { Note("header-done"); }
  void handleContent(unsigned long size, const void* data) override {
    body.append(static_cast<const char*>(data), size);
    ++pieces;
    Note("content");
  }
  void handleContentEnd() override { Note("end"); }
  void handleStatusCode(unsigned code) override { Note("status " + std::to_string(code)); }
  void handleReasonPhrase(const char* phrase) override { Note(std::string("reason ") + phrase); }

  bool Saw(const std::string& event) const {
    for (const std::string& e : events) {
      if (e == event) return true;
    }
    return false;
  }

  std::vector<std::string> events;
  std::string body;
  int pieces = 0;
  // Called after an event is noted, with the event (may delete the fetch).
  std::function<void(const std::string&)> on_event;

 private:
  void Note(const std::string& event) {
    events.push_back(event);
    if (on_event) on_event(event);
  }
};

// The text an SDK call threw, or "" when it returned.
std::string Thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const char* text) {
    return text ? text : "(null)";
  }
  return std::string();
}

// Sets (or, given null, unsets) an environment variable until the end of the
// scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name), had_(std::getenv(name) != nullptr) {
    if (had_) old_ = std::getenv(name);
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  const bool had_;
  std::string old_;
};

// A loopback port nobody listens on.
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// One HTTP exchange on a raw loopback socket, for what the speech service
// will not do: it keeps the request it gets and answers with fixed bytes
// ("" closes the connection without a word).
class RawPeer {
 public:
  explicit RawPeer(std::string reply) : reply_(std::move(reply)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(listen_fd_, 1);
    socklen_t length = sizeof(address);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawPeer() {
    Join();
    close(listen_fd_);
  }
  std::string address() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string url() const { return address() + "/v1/text"; }
  // The request as received; call after the exchange.
  const std::string& request() {
    Join();
    return request_;
  }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  void Serve() {
    pollfd ready{listen_fd_, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return;
    const int fd = accept(listen_fd_, nullptr, nullptr);
    char buffer[4096];
    std::size_t wanted = std::string::npos;
    while (request_.size() < wanted) {
      const ssize_t n = read(fd, buffer, sizeof(buffer));
      if (n <= 0) break;
      request_.append(buffer, static_cast<std::size_t>(n));
      const std::size_t end = request_.find("\r\n\r\n");
      const std::size_t length = request_.find("Content-Length: ");
      if (end != std::string::npos && wanted == std::string::npos) {
        wanted = end + 4 + (length < end ? std::strtoul(request_.c_str() + length + 16, nullptr, 10) : 0);
      }
    }
    if (!reply_.empty()) (void)!write(fd, reply_.data(), reply_.size());
    close(fd);
  }

  std::string reply_;
  std::string request_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

std::string HttpReply(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

class BrillifyClient : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Before any thread of the service exists.
    setenv("BRILLIFY_TIMEOUT_MS", std::to_string(kTimeoutMs).c_str(), 1);
    setenv("BRILLIFY_CONNECT_TIMEOUT_MS", "1000", 1);
  }

  void SetUp() override {
    service_ = std::make_unique<TestSpeechService>();
    ASSERT_TRUE(service_->ok()) << service_->error();
    requester_ = MakeRequester(TestSpeechService::kClientId, TestSpeechService::kClientKey, service_->text_url());
  }

  void TearDown() override {
    requester_.reset();
    service_.reset();
  }

  static std::unique_ptr<BrillCloudRequester> MakeRequester(const std::string& id, const std::string& key,
                                                            const std::string& url) {
    return std::make_unique<BrillCloudRequester>(id.c_str(), key.c_str(), "tester", url.c_str(), "", nullptr);
  }

  // One text request for `text` spoken with `voice`; the answer stays the
  // requester's.
  BrillServerJSON* Ask(const std::string& voice, bool as_url = false, const std::string& text = "Hello",
                       BrillCloudRequester* requester = nullptr) {
    RequestInfoJSON* info = SpeakRequest(text, voice, as_url);
    struct Release {
      RequestInfoJSON* info;
      ~Release() { info->release(); }
    } release{info};
    return (requester ? requester : requester_.get())->textRequest("speak_this", nullptr, info, nullptr);
  }

  // The audio URL of a URL answer.
  std::string AudioUrl(const std::string& voice) {
    BrillServerJSON* answer = Ask(voice, true);
    EXPECT_EQ(0, answer->getStatus()) << to_string(*answer);
    EXPECT_EQ(1u, answer->countOfAllResults());
    return answer->countOfAllResults() ? answer->elementOfAllResults(0)->getResponseAudioURL() : std::string();
  }

  std::unique_ptr<TestSpeechService> service_;
  std::unique_ptr<BrillCloudRequester> requester_;
};

TEST_F(BrillifyClient, InlineAnswerIsSpeechAsA16kMonoWave) {
  BrillServerJSON* answer = Ask("Default", false, "Hello, this is a test of the speech service.");
  ASSERT_TRUE(answer->hasStatus());
  ASSERT_EQ(0, answer->getStatus()) << answer->getErrorMessage();
  ASSERT_TRUE(answer->hasAllResults());
  ASSERT_EQ(1u, answer->countOfAllResults());
  const CommandResultJSON* result = answer->elementOfAllResults(0);
  EXPECT_FALSE(result->hasResponseAudioURL());
  ASSERT_TRUE(result->hasResponseAudioBytes());
  const std::vector<std::int16_t> samples = Samples16kMono(Decode(result->getResponseAudioBytes()));
  // Nine words: between one and six seconds, and not silence.
  EXPECT_GT(samples.size(), 16000u);
  EXPECT_LT(samples.size(), 6 * 16000u);
  double energy = 0;
  for (std::int16_t s : samples) energy += static_cast<double>(s) * s;
  EXPECT_GT(std::sqrt(energy / samples.size()), 500.0);
}

TEST_F(BrillifyClient, UrlAnswerIsFetchedInSeveralPiecesInOrderThenEnds) {
  // Ten pieces 300 ms apart: longer than the time-out, but never quiet for it.
  const std::string voice = "fault:tone=700,ms=600,piece=2000,piece-ms=300";
  const std::string inline_wave = Decode(Ask(voice)->elementOfAllResults(0)->getResponseAudioBytes());
  ASSERT_EQ(44u + 19200u, inline_wave.size());

  const std::string url = AudioUrl(voice);
  ASSERT_EQ(0u, url.find(service_->address() + "/v1/audio/")) << url;
  Client::Fetch fetch(url.c_str(), nullptr);
  Recorder recorder;
  fetch.get(&recorder, Client::Fetch::GET);

  // The same audio, whole, in more than one piece.
  EXPECT_EQ(inline_wave, recorder.body);
  EXPECT_GE(recorder.pieces, 2);
  // Status line, header fields, the length, the end of the header, the
  // pieces, and the end last.
  const std::vector<std::string>& events = recorder.events;
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ("version 1.1", events[0]);
  EXPECT_EQ("status 200", events[1]);
  EXPECT_EQ("reason OK", events[2]);
  std::size_t i = 3;
  while (i < events.size() && events[i].compare(0, 6, "param ") == 0) ++i;
  EXPECT_TRUE(recorder.Saw("param Content-Length: 19244"));
  ASSERT_LT(i + 1, events.size());
  EXPECT_EQ("count 19244", events[i]);
  EXPECT_EQ("header-done", events[i + 1]);
  for (i += 2; i + 1 < events.size(); ++i) EXPECT_EQ("content", events[i]) << i;
  EXPECT_EQ("end", events.back());
}

TEST_F(BrillifyClient, OnlyTheClientOfTheCredentialsIsServed) {
  struct Case {
    const char* id;
    const char* key;
    const char* why;
  } cases[] = {{"someone-else", TestSpeechService::kClientKey, "unknown client"},
               {TestSpeechService::kClientId, "a-guessed-key", "signature mismatch"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto requester = MakeRequester(c.id, c.key, service_->text_url());
    BrillServerJSON* answer = Ask("Default", false, "Hello", requester.get());
    ASSERT_TRUE(answer->hasStatus());
    EXPECT_EQ(2, answer->getStatus());
    EXPECT_FALSE(answer->hasAllResults());
    EXPECT_NE(std::string::npos, answer->getErrorMessage().find(c.why)) << answer->getErrorMessage();
  }
}

TEST_F(BrillifyClient, TheKeyNeverTravelsAndTheSignatureCoversTheRequest) {
  RawPeer peer(HttpReply(R"({"Status": 0, "AllResults": []})"));
  auto requester = MakeRequester("raw-client", "raw-secret-key", peer.url());
  BrillServerJSON* answer = Ask("Default", false, "Hello", requester.get());
  EXPECT_EQ(0, answer->getStatus());
  const std::string& request = peer.request();
  ASSERT_NE(std::string::npos, request.find("\r\n\r\n"));
  EXPECT_EQ(std::string::npos, request.find("raw-secret-key"));
  EXPECT_EQ(0u, request.find("POST /v1/text HTTP/1.1\r\n"));

  auto header = [&](const std::string& name) {
    const std::size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::string();
    const std::size_t begin = at + name.size() + 4;
    return request.substr(begin, request.find("\r\n", begin) - begin);
  };
  const std::string body = request.substr(request.find("\r\n\r\n") + 4);
  EXPECT_EQ("raw-client", header(Brillify::kClientIdHeader));
  EXPECT_EQ("tester", header(Brillify::kUserIdHeader));
  const std::string timestamp = header(Brillify::kTimestampHeader);
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), std::atof(timestamp.c_str()), 60.0);
  EXPECT_EQ(Brillify::SignTextRequest("raw-secret-key", "raw-client", "tester", timestamp, body),
            header(Brillify::kSignatureHeader));

  rapidjson::Document document;
  document.Parse(body.c_str());
  ASSERT_FALSE(document.HasParseError()) << body;
  EXPECT_EQ("speak_this", std::string(document["Query"].GetString()));
  EXPECT_EQ("Hello", std::string(document["RequestInfo"]["ClientMatches"][0]["PlainResponseText"].GetString()));
  EXPECT_FALSE(document.HasMember("ConversationState"));
}

TEST_F(BrillifyClient, FaultSwitchesArriveAsTheResultsTheChannelWillMeet) {
  struct Case {
    const char* voice;
    bool as_url;
    int status;  // -1: no status
    bool has_results;
    std::size_t results;
    std::function<void(const CommandResultJSON&)> check;
  };
  const Case cases[] = {
      {"fault:status=7", false, 7, false, 0, nullptr},
      {"fault:no-status", false, -1, true, 0, nullptr},
      {"fault:empty-results", false, 0, true, 0, nullptr},
      {"fault:missing-results", false, 0, false, 0, nullptr},
      {"fault:tone=500,ms=50,missing-bytes", false, 0, true, 1,
       [](const CommandResultJSON& r) { EXPECT_FALSE(r.hasResponseAudioBytes() || r.hasResponseAudioURL()); }},
      {"fault:tone=500,ms=50,empty-bytes", false, 0, true, 1,
       [](const CommandResultJSON& r) {
         EXPECT_TRUE(r.hasResponseAudioBytes());
         EXPECT_TRUE(r.getResponseAudioBytes().empty());
       }},
      {"fault:tone=500,ms=50,missing-url", true, 0, true, 1,
       [](const CommandResultJSON& r) { EXPECT_FALSE(r.hasResponseAudioURL() || r.hasResponseAudioBytes()); }},
      {"fault:tone=500,ms=50,empty-url", true, 0, true, 1,
       [](const CommandResultJSON& r) {
         EXPECT_TRUE(r.hasResponseAudioURL());
         EXPECT_TRUE(r.getResponseAudioURL().empty());
       }},
      // A misspelt switch is refused loudly, not ignored.
      {"fault:tone=500,nosuch", false, 1, false, 0, nullptr},
      {"fault:tone=9000", false, 1, false, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.voice);
    BrillServerJSON* answer = Ask(c.voice, c.as_url);
    EXPECT_EQ(c.status >= 0, answer->hasStatus());
    EXPECT_EQ(c.status, answer->getStatus());
    EXPECT_EQ(c.has_results, answer->hasAllResults());
    ASSERT_EQ(c.results, answer->countOfAllResults());
    if (c.check) c.check(*answer->elementOfAllResults(0));
  }
}

TEST_F(BrillifyClient, BrokenOrMissingAnswersThrowTheSdkText) {
  EXPECT_NE(std::string::npos, Thrown([&] { Ask("fault:malformed-json"); }).find("unparsable text request answer"));

  RawPeer array_answer(HttpReply("[]"));
  auto requester = MakeRequester("id", "key", array_answer.url());
  EXPECT_NE(std::string::npos, Thrown([&] { Ask("Default", false, "Hello", requester.get()); }).find("unparsable"));

  RawPeer silent("");
  requester = MakeRequester("id", "key", silent.url());
  EXPECT_NE(std::string::npos, Thrown([&] { Ask("Default", false, "Hello", requester.get()); }).find("failed"));

  const std::string refused = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/v1/text";
  requester = MakeRequester("id", "key", refused);
  const std::string text = Thrown([&] { Ask("Default", false, "Hello", requester.get()); });
  EXPECT_EQ(0u, text.find("Brillify: text request failed [" + refused + "]")) << text;
}

TEST_F(BrillifyClient, RequestsWithoutAnAnswerInTimeEndByTheTimeOut) {
  for (const char* voice : {"fault:no-answer", "fault:delay=5000"}) {
    SCOPED_TRACE(voice);
    const auto start = Clock::now();
    const std::string text = Thrown([&] { Ask(voice); });
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(0u, text.find("Brillify: text request timed out [")) << text;
    EXPECT_GE(elapsed, kTimeoutMs - 50);
    EXPECT_LT(elapsed, kTimeoutMs + 2000);
  }
  // A short delay is only slow; and the requester recovers after a time-out.
  EXPECT_EQ(0, Ask("fault:tone=500,ms=50,delay=100")->getStatus());
}

TEST_F(BrillifyClient, FetchFailuresReachTheHandlerOrThrow) {
  for (const char* code : {"404", "500"}) {
    Client::Fetch fetch(AudioUrl(std::string("fault:tone=500,ms=50,fetch-status=") + code).c_str(), nullptr);
    Recorder recorder;
    fetch.get(&recorder, Client::Fetch::GET);
    EXPECT_TRUE(recorder.Saw(std::string("status ") + code));
    EXPECT_EQ("end", recorder.events.back());
  }
  {
    std::string url = AudioUrl("fault:tone=500,ms=50");
    url.replace(url.size() - 5, 1, url[url.size() - 5] == '0' ? "1" : "0");  // another id
    Client::Fetch fetch(url.c_str(), nullptr);
    Recorder recorder;
    fetch.get(&recorder, Client::Fetch::GET);
    EXPECT_EQ("status 404", recorder.events.at(1));
  }

  struct Case {
    std::string url;
    const char* thrown;
  };
  const Case cases[] = {
      {AudioUrl("fault:tone=500,ms=200,truncate=1000"), "Brillify: fetch failed ["},
      {AudioUrl("fault:tone=500,ms=200,truncate=0"), "Brillify: fetch failed ["},
      {AudioUrl("fault:tone=500,ms=50,fetch-delay=5000"), "Brillify: fetch timed out ["},
      {AudioUrl("fault:tone=500,ms=200,piece=1000,piece-ms=5000"), "Brillify: fetch timed out ["},
      {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a.wav", "Brillify: fetch failed ["},
      {"ftp://127.0.0.1/a.wav", "Brillify: fetch failed ["},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Client::Fetch fetch(c.url.c_str(), nullptr);
    Recorder recorder;
    EXPECT_EQ(0u, Thrown([&] { fetch.get(&recorder, Client::Fetch::GET); }).find(c.thrown));
    EXPECT_FALSE(recorder.Saw("end"));
    EXPECT_LE(recorder.body.size(), 1000u);
  }
}

TEST_F(BrillifyClient, AFetchMayBeDeletedFromInsideItsHandler) {
  const std::string url = AudioUrl("fault:tone=500,ms=300");
  for (const char* at : {"status 200", "content", "end"}) {
    SCOPED_TRACE(at);
    auto* fetch = new Client::Fetch(url.c_str(), nullptr);
    Recorder recorder;
    recorder.on_event = [&](const std::string& event) {
      if (event == at && fetch) {
        delete fetch;
        fetch = nullptr;
      }
    };
    EXPECT_EQ("", Thrown([&] { fetch->get(&recorder, Client::Fetch::GET); }));
    ASSERT_EQ(nullptr, fetch);
    // Nothing was reported after the deletion.
    EXPECT_EQ(at, recorder.events.back());
  }

  // A handler's own exception stops the transfer and comes out of get as is.
  Client::Fetch fetch(url.c_str(), nullptr);
  Recorder thrower;
  thrower.on_event = [](const std::string& event) {
    if (event == "content") throw 42;
  };
  EXPECT_THROW(fetch.get(&thrower, Client::Fetch::GET), int);
  EXPECT_FALSE(thrower.Saw("end"));
  EXPECT_EQ(1, thrower.pieces);

  // Misuse is refused with the SDK's text; the fetch still works afterwards.
  Recorder nested;
  nested.on_event = [&](const std::string& event) {
    if (event == "header-done") {
      EXPECT_NE(std::string::npos, Thrown([&] { fetch.get(&nested, Client::Fetch::GET); }).find("already running"));
    }
  };
  fetch.get(&nested, Client::Fetch::GET);
  EXPECT_EQ("end", nested.events.back());
  EXPECT_NE(std::string::npos, Thrown([&] { fetch.get(nullptr, Client::Fetch::GET); }).find("without a handler"));
  EXPECT_NE(std::string::npos, Thrown([&] { fetch.get(&nested, 2); }).find("unsupported fetch method 2"));
}

TEST_F(BrillifyClient, AnAnswerBelongsToTheRequesterUntilItsNextRequest) {
  BrillServerJSON* first = Ask("fault:status=9");
  first->retain();
  EXPECT_EQ(2, first->referenceCount());
  BrillServerJSON* second = Ask("fault:status=8");
  // The requester dropped its reference to the first; the caller's remains.
  EXPECT_EQ(1, first->referenceCount());
  EXPECT_EQ(9, first->getStatus());
  EXPECT_EQ(8, second->getStatus());
  first->release();
}

TEST(BrillifyTimeouts, ComeFromTheEnvironmentWhenItHoldsAPositiveNumber) {
  ScopedEnv total("BRILLIFY_TIMEOUT_MS", nullptr), connect("BRILLIFY_CONNECT_TIMEOUT_MS", nullptr);
  EXPECT_EQ(Brillify::kDefaultConnectTimeoutMs, Brillify::CurrentTimeouts().connect_ms);
  EXPECT_EQ(Brillify::kDefaultTotalTimeoutMs, Brillify::CurrentTimeouts().total_ms);
  setenv("BRILLIFY_CONNECT_TIMEOUT_MS", "250", 1);
  for (const char* ignored : {"0", "-5", "12ms", "", "99999999999999999999"}) {
    setenv("BRILLIFY_TIMEOUT_MS", ignored, 1);
    EXPECT_EQ(Brillify::kDefaultTotalTimeoutMs, Brillify::CurrentTimeouts().total_ms) << ignored;
  }
  EXPECT_EQ(250, Brillify::CurrentTimeouts().connect_ms);
}

TEST(BrillifyProxy, HttpProxyCarriesHttpsUrlsWhenNoHttpsProxyIsNamed) {
  RawPeer proxy("");  // keeps the request, then hangs up
  ScopedEnv http("http_proxy", proxy.address().c_str()), https("https_proxy", nullptr),
      https_upper("HTTPS_PROXY", nullptr), no("no_proxy", nullptr), no_upper("NO_PROXY", nullptr);
  Client::Fetch fetch("https://speech.example/v1/audio/a.wav", nullptr);
  Recorder recorder;
  EXPECT_NE("", Thrown([&] { fetch.get(&recorder, Client::Fetch::GET); }));
  EXPECT_EQ(0u, proxy.request().find("CONNECT speech.example:443 HTTP/1.1\r\n")) << proxy.request();
}

}  // namespace
