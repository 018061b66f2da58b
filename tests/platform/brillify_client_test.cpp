// The SDK against the local speech service (and, where the service will not
// misbehave the right way, against a raw socket): URL answers fetched in
// pieces, what travels on the wire, failures as the handler's status or the
// SDK's thrown text, a fetch deleted from inside its own handler, and the
// proxy from the environment. Inline answers and the service's fault
// switches are tested through the plugin and in the soak.
#include <apr_base64.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "brillify/BrillCloudRequester.h"
#include "brillify/RequestSignature.h"
#include "speak_request.h"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

using corvex_test::TestSpeechService;

std::string Decode(const std::string& base64) {
  std::string bytes(static_cast<std::size_t>(apr_base64_decode_len(base64.c_str())), '\0');
  bytes.resize(static_cast<std::size_t>(apr_base64_decode(&bytes[0], base64.c_str())));
  return bytes;
}

// Records the handler calls the plugin cares about, and the body; can act at
// a chosen call.
class Recorder : public Client::FetchHandler {
 public:
  void handleStatusCode(unsigned code) override { Note("status " + std::to_string(code)); }
  void handleContent(unsigned long size, const void* data) override {
    body.append(static_cast<const char*>(data), size);
    Note("content");
  }
  void handleContentEnd() override { Note("end"); }

  bool Saw(const std::string& event) const { return std::find(events.begin(), events.end(), event) != events.end(); }

  std::vector<std::string> events;
  std::string body;
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

// HTTP exchanges on a raw loopback socket, for what the speech service will
// not do: one connection per reply, in turn; it keeps the requests it gets
// and answers each with fixed bytes ("" closes the connection without a word).
class RawPeer {
 public:
  explicit RawPeer(std::string reply) : RawPeer(std::vector<std::string>{std::move(reply)}) {}
  explicit RawPeer(std::vector<std::string> replies) : replies_(std::move(replies)) {
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
  // The requests as received, one after the other; call after the exchanges.
  const std::string& request() {
    Join();
    return request_;
  }

 private:
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  void Serve() {
    for (const std::string& reply : replies_) {
      pollfd ready{listen_fd_, POLLIN, 0};
      if (poll(&ready, 1, 10000) != 1) return;
      const int fd = accept(listen_fd_, nullptr, nullptr);
      char buffer[4096];
      std::string request;
      for (ssize_t n; !Whole(request) && (n = read(fd, buffer, sizeof(buffer))) > 0;) request.append(buffer, n);
      request_ += request;
      if (!reply.empty()) (void)!write(fd, reply.data(), reply.size());
      close(fd);
    }
  }
  // The headers and the Content-Length bytes after them have arrived.
  static bool Whole(const std::string& request) {
    const std::size_t end = request.find("\r\n\r\n"), length = request.find("Content-Length: ");
    return end != std::string::npos &&
           request.size() >= end + 4 + (length < end ? std::strtoul(request.c_str() + length + 16, nullptr, 10) : 0);
  }

  std::vector<std::string> replies_;
  std::string request_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

std::string HttpReply(const std::string& body, const std::string& status = "200 OK") {
  return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

class BrillifyClient : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Before any thread of the service exists.
    setenv("BRILLIFY_TIMEOUT_MS", "1500", 1);
    setenv("BRILLIFY_CONNECT_TIMEOUT_MS", "1000", 1);
  }

  void SetUp() override {
    service_ = std::make_unique<TestSpeechService>();
    ASSERT_TRUE(service_->ok()) << service_->error();
    requester_ = MakeRequester(TestSpeechService::kClientId, TestSpeechService::kClientKey, service_->text_url());
  }

  static std::unique_ptr<BrillCloudRequester> MakeRequester(const std::string& id, const std::string& key,
                                                            const std::string& url) {
    return std::make_unique<BrillCloudRequester>(id.c_str(), key.c_str(), "tester", url.c_str(), "", nullptr);
  }

  // One text request for `text` spoken with `voice`; the answer stays the
  // requester's.
  BrillServerJSON* Ask(const std::string& voice, bool as_url = false, const std::string& text = "Hello",
                       BrillCloudRequester* requester = nullptr) {
    std::unique_ptr<RequestInfoJSON, void (*)(RequestInfoJSON*)> info(
        corvex_test::SpeakRequestInfo(text, voice, as_url), [](RequestInfoJSON* i) { i->release(); });
    return (requester ? requester : requester_.get())->textRequest("speak_this", nullptr, info.get(), nullptr);
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

TEST_F(BrillifyClient, UrlAnswerIsFetchedInSeveralPiecesThenEnds) {
  // Ten pieces 300 ms apart: longer than the time-out, but never quiet for it.
  const std::string voice = "fault:tone=700,ms=600,piece=2000,piece-ms=300";
  const std::string inline_wave = Decode(Ask(voice)->elementOfAllResults(0)->getResponseAudioBytes());
  Client::Fetch fetch(AudioUrl(voice).c_str(), nullptr);
  Recorder recorder;
  fetch.get(&recorder, Client::Fetch::GET);
  // The same audio, whole, in more than one piece, and the end last.
  EXPECT_EQ(inline_wave, recorder.body);
  EXPECT_GE(std::count(recorder.events.begin(), recorder.events.end(), "content"), 2);
  EXPECT_EQ("end", recorder.events.back());
}

TEST_F(BrillifyClient, TheKeyNeverTravelsAndTheSignatureCoversTheRequest) {
  RawPeer peer(HttpReply(R"({"Status": 0, "AllResults": []})"));
  auto requester = MakeRequester("raw-client", "raw-secret-key", peer.url());
  EXPECT_EQ(0, Ask("Default", false, "Hello", requester.get())->getStatus());
  const std::string& request = peer.request();
  ASSERT_NE(std::string::npos, request.find("\r\n\r\n"));
  EXPECT_EQ(std::string::npos, request.find("raw-secret-key"));
  EXPECT_EQ(0u, request.find("POST /v1/text HTTP/1.1\r\n"));

  auto header = [&](const std::string& name) {
    const std::size_t at = request.find("\r\n" + name + ": "), begin = at + name.size() + 4;
    return at == std::string::npos ? std::string() : request.substr(begin, request.find("\r\n", begin) - begin);
  };
  const std::string body = request.substr(request.find("\r\n\r\n") + 4);
  EXPECT_EQ("raw-client", header(Brillify::kClientIdHeader));
  EXPECT_EQ("tester", header(Brillify::kUserIdHeader));
  const std::string timestamp = header(Brillify::kTimestampHeader);
  EXPECT_NEAR(static_cast<double>(std::time(nullptr)), std::atof(timestamp.c_str()), 60.0);
  EXPECT_EQ(Brillify::SignTextRequest("raw-secret-key", "raw-client", "tester", timestamp, body),
            header(Brillify::kSignatureHeader));
  EXPECT_NE(std::string::npos, body.find("\"PlainResponseText\":\"Hello\"")) << body;
}

TEST_F(BrillifyClient, FailuresReachTheFetchHandlerOrThrowTheSdkText) {
  // An audio answer with an error status reaches the handler, and ends.
  for (const char* code : {"404", "500"}) {
    Client::Fetch fetch(AudioUrl(std::string("fault:tone=500,ms=50,fetch-status=") + code).c_str(), nullptr);
    Recorder recorder;
    fetch.get(&recorder, Client::Fetch::GET);
    EXPECT_TRUE(recorder.Saw(std::string("status ") + code));
    EXPECT_EQ("end", recorder.events.back());
  }

  // A text request answered with something else than an object, with an
  // error status whatever the body, not at all, or by nobody (unparsable
  // JSON: through the plugin).
  RawPeer array_answer(HttpReply("[]")), silent("");
  RawPeer error_page(HttpReply(R"({"Status": 0, "AllResults": [{"ResponseAudioBytes": "UklGRg=="}]})", "500 Oops"));
  const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort());
  for (const auto& [url, thrown] : {std::pair{array_answer.url(), "Brillify: unparsable text request answer"},
                                    std::pair{error_page.url(), "Brillify: text request answered HTTP 500 ["},
                                    std::pair{silent.url(), "Brillify: text request failed ["},
                                    std::pair{closed + "/v1/text", "Brillify: text request failed ["}}) {
    auto requester = MakeRequester("id", "key", url);
    EXPECT_EQ(0u, Thrown([&] { Ask("Default", false, "Hello", requester.get()); }).find(thrown)) << url;
  }

  // A fetch cut short, stalled, refused or of an unknown scheme.
  const std::pair<std::string, const char*> cases[] = {
      {AudioUrl("fault:tone=500,ms=200,truncate=1000"), "Brillify: fetch failed ["},
      {AudioUrl("fault:tone=500,ms=200,truncate=0"), "Brillify: fetch failed ["},
      {AudioUrl("fault:tone=500,ms=50,fetch-delay=5000"), "Brillify: fetch timed out ["},
      {AudioUrl("fault:tone=500,ms=200,piece=1000,piece-ms=5000"), "Brillify: fetch timed out ["},
      {closed + "/a.wav", "Brillify: fetch failed ["},
      {"ftp://127.0.0.1/a.wav", "Brillify: fetch failed ["},
  };
  for (const auto& [url, thrown] : cases) {
    SCOPED_TRACE(url);
    Client::Fetch fetch(url.c_str(), nullptr);
    Recorder recorder;
    EXPECT_EQ(0u, Thrown([&] { fetch.get(&recorder, Client::Fetch::GET); }).find(thrown));
    EXPECT_FALSE(recorder.Saw("end"));
    EXPECT_LE(recorder.body.size(), 1000u);
  }
}

TEST_F(BrillifyClient, AFetchMayBeDeletedFromInsideItsHandler) {
  const std::string url = AudioUrl("fault:tone=500,ms=300");
  for (const char* at : {"content", "end"}) {
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
}

TEST(BrillifyProxy, HttpProxyCarriesEveryHopWhenNoHttpsProxyIsNamed) {
  // An https URL, and an http URL redirected to https: every hop, with the
  // proxy's credentials, through the proxy (which hangs up on a CONNECT).
  const std::string moved =
      "HTTP/1.1 302 Found\r\nLocation: https://cdn.example/b.wav\r\nContent-Length: 0\r\n"
      "Connection: close\r\n\r\n";
  const struct {
    const char* url;
    std::vector<std::string> replies, hops;
  } cases[] = {
      {"https://speech.example/a.wav", {""}, {"CONNECT speech.example:443 HTTP/1.1\r\n"}},
      {"http://speech.example/a.wav",
       {moved, ""},
       {"GET http://speech.example/a.wav HTTP/1.1\r\n", "CONNECT cdn.example:443 HTTP/1.1\r\n"}},
  };
  for (const auto& [url, replies, hops] : cases) {
    SCOPED_TRACE(url);
    RawPeer proxy(replies);
    const std::string address = "http://u:pw@" + proxy.address().substr(7);
    ScopedEnv http("http_proxy", address.c_str()), https("https_proxy", nullptr), https_upper("HTTPS_PROXY", nullptr),
        no("no_proxy", nullptr), no_upper("NO_PROXY", nullptr);
    Client::Fetch fetch(url, nullptr);
    Recorder recorder;
    EXPECT_NE("", Thrown([&] { fetch.get(&recorder, Client::Fetch::GET); }));
    const std::string& seen = proxy.request();
    for (const std::string& hop : hops) EXPECT_NE(std::string::npos, seen.find(hop)) << seen;
    std::size_t authorized = 0;
    for (std::size_t at = 0; (at = seen.find("Proxy-Authorization: Basic dTpwdw==", at)) != std::string::npos; ++at) {
      ++authorized;
    }
    EXPECT_EQ(hops.size(), authorized);
  }
}

}  // namespace
