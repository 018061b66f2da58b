#include "speech_service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "brillify/RequestSignature.h"
#include "speech_synthesizer.h"

#if defined(__SANITIZE_THREAD__)
// The packaged HTTP server library is not built for ThreadSanitizer: its
// worker threads hand data over through code the sanitizer cannot see, which
// it then reports as races inside that library. Only those are silenced.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }
#endif

namespace speech_service {

namespace {

constexpr std::size_t kMaxStoredAudio = 256;
constexpr auto kAudioLifetime = std::chrono::minutes(10);
// An unanswered request gives its thread back after this, even if the
// service keeps running.
constexpr auto kNoAnswerLimit = std::chrono::seconds(60);
constexpr std::size_t kMaxRequestBytes = 1u << 20;
// A thread per request, and an unanswered one holds its thread for up to
// kNoAnswerLimit: enough threads that a run of injected hangs (a soak asks for
// several a minute) cannot leave the requests behind them waiting for one.
constexpr std::size_t kServerThreads = 64;
// A cloud answers every caller at once: a server process with many cloud
// workers has more than a hundred requests waiting for their first byte,
// beside the connections its workers keep open between requests.
constexpr std::size_t kCloudServerThreads = 192;

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

bool IsLoopback(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::string Base64(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(std::max(length, 0)));
  return text;
}

std::string RandomId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return std::string();
  static const char kDigits[] = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id.push_back(kDigits[b >> 4]);
    id.push_back(kDigits[b & 0x0F]);
  }
  return id;
}

std::string FailureJson(int status, const std::string& message) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key("Status");
  writer.Int(status);
  writer.Key("ErrorMessage");
  writer.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
  writer.EndObject();
  return buffer.GetString();
}

// The first member of that name, or null.
const rapidjson::Value* Member(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  const auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

bool IsString(const rapidjson::Value* value) { return value && value->IsString(); }

std::string StringOf(const rapidjson::Value* value) {
  return IsString(value) ? std::string(value->GetString(), value->GetStringLength()) : std::string();
}

// The WAVE `wave` (the 44-byte header first) shaped as the switches ask:
// another header, chunks before or after the "data", or no WAVE at all.
std::string ShapeWave(std::string wave, const FaultSwitches& faults) {
  if (!faults.ShapesWave()) return wave;
  if (faults.not_wave) return "<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head></html>\n";
  auto le = [](std::uint32_t v, int n) {
    std::string bytes;
    for (int i = 0; i < n; ++i) bytes += static_cast<char>(v >> (8 * i));
    return bytes;
  };
  // Odd-sized chunks get their pad byte, so a reader must skip it too.
  auto chunk = [&le](const char* id, const std::string& content, std::uint32_t size) {
    return id + le(size, 4) + content + (content.size() % 2 != 0 ? std::string(1, '\0') : std::string());
  };
  const std::string samples = wave.substr(44);
  const auto rate = static_cast<std::uint32_t>(faults.wave_rate);
  const auto block = static_cast<std::uint32_t>(faults.wave_channels * faults.wave_bits / 8);
  std::string format = le(faults.extensible ? 0xFFFE : faults.wave_format, 2) + le(faults.wave_channels, 2) +
                       le(rate, 4) + le(rate * block, 4) + le(block, 2) + le(faults.wave_bits, 2);
  if (faults.extensible) {
    format += le(22, 2) + le(faults.wave_bits, 2) + le(4, 4) + le(faults.wave_format, 2) +
              std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
  }
  std::string body = "WAVE" + chunk("fmt ", format, static_cast<std::uint32_t>(format.size()));
  if (faults.extra_chunks) {
    const std::string list = "INFOISFTtarnwickss speech service";
    body += chunk("LIST", list, static_cast<std::uint32_t>(list.size()));
  }
  const auto data_size = static_cast<std::uint32_t>(faults.data_size >= 0 ? faults.data_size : samples.size());
  body += chunk("data", samples, data_size);
  if (faults.trailing_chunk) body += chunk("junk", std::string(64, '\x7F'), 64);
  return "RIFF" + le(static_cast<std::uint32_t>(body.size()), 4) + body;
}

// The base64 text of an inline answer, damaged as the switches ask.
std::string DamageBase64(std::string text, const std::string& how) {
  const std::size_t middle = text.size() / 8 * 4;
  if (how == "lines") {
    for (std::size_t at = 76; at < text.size(); at += 78) text.insert(at, "\r\n");
  } else if (how == "junk") {
    text[middle] = '!';
  } else if (how == "padding") {
    text.insert(middle, "==");
  } else if (how == "length") {
    while (!text.empty() && text.back() == '=') text.pop_back();
    while (text.size() % 4 != 1) text.pop_back();
  }
  return text;
}

bool LooksLikeSsml(const std::string& text) {
  const std::size_t start = text.find_first_not_of(" \t\r\n");
  return start != std::string::npos && text.compare(start, 1, "<") == 0;
}

// What the client match asks to be said: `speech` gets the text and whether
// it is SSML. False when the match has no response text at all.
bool ChooseText(const rapidjson::Value& match, bool long_form, SpeechRequest* speech) {
  const char* ssml = long_form ? "SSMLResponseTextLong" : "SSMLResponseText";
  const char* plain = long_form ? "PlainResponseTextLong" : "PlainResponseText";
  const char* common = long_form ? "ResponseTextLong" : "ResponseText";
  const std::string ssml_text = StringOf(Member(match, ssml));
  const std::string plain_text = StringOf(Member(match, plain));
  if (!ssml_text.empty()) {
    speech->text = ssml_text;
    speech->ssml = true;
  } else if (!plain_text.empty()) {
    speech->text = plain_text;
  } else {
    speech->text = StringOf(Member(match, common));
    speech->ssml = LooksLikeSsml(speech->text);
  }
  return IsString(Member(match, ssml)) || IsString(Member(match, plain)) || IsString(Member(match, common));
}

}  // namespace

SpeechService::SpeechService(Options options) : options_(std::move(options)) {}

SpeechService::~SpeechService() { Stop(); }

bool SpeechService::Bind() {
  if (!IsLoopback(options_.host)) {
    error_ = "refusing to listen on " + options_.host + ": not a loopback address";
    return false;
  }
  if (!credentials_.Load(options_.credentials_file, &error_)) return false;

  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGPIPE, SIG_IGN);

  server_ = std::make_unique<httplib::Server>();
  // Unanswered and delayed requests hold their thread.
  const std::size_t threads = options_.profile.cloud ? kCloudServerThreads : kServerThreads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  // Stop waits for idle kept connections this long.
  server_->set_keep_alive_timeout(1);
  server_->set_read_timeout(5);
  server_->set_write_timeout(5);
  server_->set_payload_max_length(kMaxRequestBytes);
  // Answers go out as they are written: with Nagle's algorithm the end of
  // an answer waits for the client's delayed acknowledgement (some 40 ms) on
  // a kept connection, which would stand for the service's own time.
  server_->set_tcp_nodelay(true);
  // Address reuse only: the library's default (port reuse) would let a
  // second service share a busy port and take half of its requests.
  server_->set_socket_options([this](int socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    listening_socket_ = socket;
  });
  server_->Post("/v1/text", [this](const httplib::Request& request, httplib::Response& response) {
    OnTextRequest(request, response);
  });
  server_->Get(R"(/v1/audio/([0-9a-f]+)\.wav)", [this](const httplib::Request& request, httplib::Response& response) {
    OnAudioRequest(request, response);
  });

  int port = options_.port;
  if (port == 0) {
    port = server_->bind_to_any_port(options_.host);
  } else if (!server_->bind_to_port(options_.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    error_ = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
    server_.reset();
    return false;
  }
  // The library listens with a backlog of 5: a burst of new connections
  // (say 32 workers after their kept ones timed out) overflowed it, and the
  // dropped ones came back a second later, when TCP tried again. A cloud
  // takes them all; a second listen() only raises the backlog.
  if (listening_socket_ >= 0) ::listen(listening_socket_, SOMAXCONN);
  port_ = port;
  const bool v6 = options_.host.find(':') != std::string::npos;
  address_ = "http://" + (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port_);
  return true;
}

bool SpeechService::Start() {
  if (!Bind()) return false;
  httplib::Server* server = server_.get();
  thread_ = std::thread([server] { server->listen_after_bind(); });
  // stop() is ignored until the server runs, so Start returns only then.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server->is_running() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server->is_running()) {
    error_ = "the server did not start";
    return false;
  }
  return true;
}

void SpeechService::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopping_changed_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool SpeechService::Wait(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopping_changed_.wait_for(lock, duration, [this] { return stopping_; });
}

void SpeechService::Log(const std::string& line) const {
  if (options_.verbose) std::fprintf(stderr, "%s\n", line.c_str());
}

std::string SpeechService::StoreAudio(std::shared_ptr<const std::string> wave, const FetchFaults& faults) {
  const std::string id = RandomId();
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = audio_.begin(); it != audio_.end();) {
    it = now - it->second.created > kAudioLifetime ? audio_.erase(it) : std::next(it);
  }
  while (audio_.size() >= kMaxStoredAudio) {
    audio_.erase(std::min_element(audio_.begin(), audio_.end(),
                                  [](const auto& a, const auto& b) { return a.second.created < b.second.created; }));
  }
  audio_[id] = StoredAudio{std::move(wave), faults, now};
  return id;
}

std::chrono::steady_clock::time_point SpeechService::AnswerDue(std::chrono::steady_clock::time_point arrival) const {
  const Profile& profile = options_.profile;
  if (!profile.cloud || profile.first_byte_ms <= 0) return arrival;
  thread_local std::mt19937 random{std::random_device{}()};
  std::normal_distribution<double> normal(0.0, profile.spread);
  // Bounded, so one draw cannot stand for a hung service.
  const double ms = static_cast<double>(profile.first_byte_ms) * std::exp(std::clamp(normal(random), -3.0, 3.0));
  return arrival + std::chrono::microseconds(static_cast<long long>(ms * 1000));
}

void SpeechService::Reply(httplib::Response& response, int http_status, std::string json, const FaultSwitches& faults,
                          std::chrono::steady_clock::time_point due) {
  const auto wait = due - std::chrono::steady_clock::now();
  if (wait > wait.zero() &&
      !Wait(std::chrono::duration_cast<std::chrono::milliseconds>(wait) + std::chrono::milliseconds(1))) {
    response.status = 503;
    return;
  }
  response.status = faults.http_status != 0 ? faults.http_status : http_status;
  if (!faults.reset && faults.trickle_ms == 0) {
    response.set_content(std::move(json), "application/json");
    return;
  }
  constexpr std::size_t kTricklePieces = 32;
  auto body = std::make_shared<const std::string>(std::move(json));
  const std::size_t piece =
      faults.reset ? body->size() / 2 : std::max<std::size_t>(1, body->size() / kTricklePieces + 1);
  const bool reset = faults.reset;
  const auto pause = std::chrono::milliseconds(faults.trickle_ms);
  // The whole length is declared; returning false closes the connection.
  response.set_content_provider(
      body->size(), "application/json",
      [this, body, piece, reset, pause](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (reset && offset > 0) return false;
        const std::size_t count = std::min(piece, length);
        if (!sink.write(body->data() + offset, count)) return false;
        if (pause.count() > 0 && offset + count < body->size()) return Wait(pause);
        return true;
      });
}

void SpeechService::OnTextRequest(const httplib::Request& request, httplib::Response& response) {
  const auto arrival = std::chrono::steady_clock::now();
  FaultSwitches faults;
  auto answer = [&](int http_status, const std::string& json) {
    Reply(response, http_status, json, faults, faults.delay_given ? arrival : AnswerDue(arrival));
  };

  std::string why;
  if (!credentials_.Verify(
          request.get_header_value(Brillify::kClientIdHeader), request.get_header_value(Brillify::kUserIdHeader),
          request.get_header_value(Brillify::kTimestampHeader), request.get_header_value(Brillify::kSignatureHeader),
          request.body, std::time(nullptr), &why)) {
    Log("text request refused: " + why);
    answer(401, FailureJson(kUnauthorized, why));
    return;
  }

  rapidjson::Document document;
  document.Parse(request.body.c_str(), request.body.size());
  const rapidjson::Value* info = document.HasParseError() ? nullptr : Member(document, "RequestInfo");
  if (!info || !info->IsObject()) {
    answer(400, FailureJson(kBadRequest, "the request is not a JSON object with a RequestInfo object"));
    return;
  }
  const std::string query = StringOf(Member(document, "Query"));
  const std::string request_id = StringOf(Member(*info, "RequestID"));

  if (!ParseFaultSwitches(StringOf(Member(*info, "ResponseVoice")), &faults, &why)) {
    faults = FaultSwitches();
    answer(400, FailureJson(kBadRequest, why));
    return;
  }
  if (faults.no_answer) {
    Log("text request [" + request_id + "] left unanswered");
    Wait(kNoAnswerLimit);
    response.status = 503;
    return;
  }
  if (faults.delay_ms > 0 && !Wait(std::chrono::milliseconds(faults.delay_ms))) {
    response.status = 503;
    return;
  }
  if (faults.malformed_json) return answer(200, R"({"Status": 0, "AllResults": [{"ResponseAudioBytes": "UklGR)");
  if (faults.status_given) return answer(200, FailureJson(faults.status, "status fault"));
  if (faults.no_status) return answer(200, R"({"AllResults": []})");
  if (faults.missing_results) return answer(200, R"({"Status": 0})");
  if (faults.empty_results) return answer(200, R"({"Status": 0, "AllResults": []})");

  const rapidjson::Value* matches = Member(*info, "ClientMatches");
  const rapidjson::Value* match = nullptr;
  if (matches && matches->IsArray()) {
    for (const auto& candidate : matches->GetArray()) {
      if (candidate.IsObject() && IsString(Member(candidate, "Expression")) &&
          StringOf(Member(candidate, "Expression")) == query) {
        match = &candidate;
        break;
      }
    }
  }
  if (!match) return answer(200, FailureJson(kBadRequest, "no client match for the query [" + query + "]"));

  SpeechRequest speech;
  const bool long_form = StringOf(Member(*info, "ResponseAudioShortOrLong")) == "Long";
  if (!ChooseText(*match, long_form, &speech)) {
    return answer(200, FailureJson(kBadRequest, "the client match has no response text"));
  }
  const rapidjson::Value* as_url = Member(*info, "ResponseAudioAsURL");
  const bool by_url = as_url && as_url->IsBool() && as_url->GetBool();
  if (faults.instant) {
    return AnswerInstantly(query, faults, by_url, faults.delay_given ? arrival : AnswerDue(arrival), response);
  }

  speech.language = StringOf(Member(*info, "Language"));
  speech.voice = faults.voice == "Default" ? std::string() : faults.voice;
  std::vector<std::int16_t> samples;
  std::string speaker = "tone";
  if (faults.tone_hz > 0) {
    samples = Tone(faults.tone_hz, faults.tone_ms);
  } else if (!Synthesize(speech, &samples, &speaker, &why)) {
    return answer(200, FailureJson(kSynthesisFailed, why));
  }
  auto wave = std::make_shared<const std::string>(ShapeWave(WaveBytes(samples, kOutputRate), faults));
  Log("text request [" + request_id + "] answered: " + std::to_string(wave->size()) + " bytes of audio " +
      (by_url ? "by URL" : "inline"));
  answer(200, SuccessJson(query, speaker, wave, faults, by_url));
}

std::string SpeechService::SuccessJson(const std::string& query, const std::string& speaker,
                                       const std::shared_ptr<const std::string>& wave, const FaultSwitches& faults,
                                       bool by_url) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key("Status");
  writer.Int(kSuccess);
  writer.Key("AllResults");
  writer.StartArray();
  writer.StartObject();
  writer.Key("Expression");
  writer.String(query.c_str(), static_cast<rapidjson::SizeType>(query.size()));
  writer.Key("Voice");
  writer.String(speaker.c_str(), static_cast<rapidjson::SizeType>(speaker.size()));
  if (by_url) {
    const std::string url = address_ + "/v1/audio/" + StoreAudio(wave, faults.fetch) + ".wav";
    if (!faults.missing_url) {
      writer.Key("ResponseAudioURL");
      writer.String(faults.empty_url ? "" : url.c_str());
    }
  } else if (!faults.missing_bytes) {
    const std::string text = faults.empty_bytes ? std::string() : DamageBase64(Base64(*wave), faults.base64);
    writer.Key("ResponseAudioBytes");
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  }
  writer.EndObject();
  writer.EndArray();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void SpeechService::AnswerInstantly(const std::string& query, const FaultSwitches& faults, bool by_url,
                                    std::chrono::steady_clock::time_point due, httplib::Response& response) {
  constexpr int kDefaultHz = 440;
  constexpr std::size_t kMaxPremade = 64;  // distinct lengths and queries a measurement uses; more are made anew
  const int hz = faults.tone_hz > 0 ? faults.tone_hz : kDefaultHz;
  const std::pair<int, long> key(hz, faults.tone_ms);
  // The answer depends on the switches that shape it, and inline on the query.
  const bool shaped = faults.ShapesWave();
  const bool plain = !faults.missing_bytes && !faults.empty_bytes && !shaped && faults.base64.empty();
  const std::string answer_key = std::to_string(hz) + "/" + std::to_string(faults.tone_ms) + "/" + query;
  std::shared_ptr<const std::string> wave;
  std::shared_ptr<const std::string> body;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = premade_waves_.find(key);
    if (found != premade_waves_.end()) wave = found->second;
    if (!by_url && plain) {
      const auto made = premade_answers_.find(answer_key);
      if (made != premade_answers_.end()) body = made->second;
    }
  }
  if (!wave) {
    wave = std::make_shared<const std::string>(WaveBytes(Tone(hz, faults.tone_ms), kOutputRate));
    std::lock_guard<std::mutex> lock(mutex_);
    if (premade_waves_.size() >= kMaxPremade) premade_waves_.clear();
    premade_waves_.emplace(key, wave);
  }
  if (shaped) wave = std::make_shared<const std::string>(ShapeWave(*wave, faults));
  if (!body) {
    body = std::make_shared<const std::string>(SuccessJson(query, "tone", wave, faults, by_url));
    if (!by_url && plain) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (premade_answers_.size() >= kMaxPremade) premade_answers_.clear();
      premade_answers_.emplace(answer_key, body);
    }
  }
  // The body is copied once into the response; the JSON is not made again.
  Reply(response, 200, *body, faults, due);
}

void SpeechService::OnAudioRequest(const httplib::Request& request, httplib::Response& response) {
  StoredAudio audio;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = audio_.find(request.matches[1].str());
    if (it != audio_.end()) audio = it->second;
  }
  if (!audio.wave) {
    response.status = 404;
    response.set_content("no such audio\n", "text/plain");
    return;
  }
  const FetchFaults faults = audio.faults;
  if (faults.delay_ms > 0 && !Wait(std::chrono::milliseconds(faults.delay_ms))) {
    response.status = 503;
    return;
  }
  if (faults.status != 200) {
    response.status = faults.status;
    response.set_content("audio fault\n", "text/plain");
    return;
  }
  if (faults.redirect && !request.has_param("moved")) {
    response.status = 302;
    response.set_header("Location", address_ + request.path + "?moved=1");
    return;
  }
  std::shared_ptr<const std::string> wave = audio.wave;
  const std::size_t sent = faults.truncate_bytes < 0
                               ? wave->size()
                               : std::min(wave->size(), static_cast<std::size_t>(faults.truncate_bytes));
  // The cloud profile streams 100 ms pieces (3200 bytes at 16000 Hz) at a
  // multiple of real time: a piece goes out when the audio before it would
  // have been made.
  const Profile& profile = options_.profile;
  const bool streamed = profile.cloud && !faults.paced && profile.speed > 0;
  const std::size_t piece = streamed ? 3200 : static_cast<std::size_t>(faults.piece_bytes);
  const auto pause = std::chrono::milliseconds(streamed ? 0 : faults.piece_ms);
  const double bytes_per_ms = streamed ? kOutputRate * 2 / 1000.0 * profile.speed : 0;
  const auto start = std::chrono::steady_clock::now();
  // Writes the piece at `offset`; false ends the body (and a truncated one
  // closes the connection).
  auto write = [this, wave, sent, piece, pause, bytes_per_ms, start](std::size_t offset, std::size_t length,
                                                                     httplib::DataSink& sink) {
    if (offset >= sent) return false;
    if (bytes_per_ms > 0) {
      const auto due = start + std::chrono::microseconds(static_cast<long long>(offset / bytes_per_ms * 1000));
      const auto wait = due - std::chrono::steady_clock::now();
      if (wait > wait.zero() && !Wait(std::chrono::duration_cast<std::chrono::milliseconds>(wait))) return false;
    }
    const std::size_t count = std::min({piece, length, sent - offset});
    if (!sink.write(wave->data() + offset, count)) return false;
    if (pause.count() > 0 && offset + count < wave->size()) return Wait(pause);
    return true;
  };
  if (faults.chunked) {
    response.set_chunked_content_provider("audio/wav",
                                          [wave, sent, write](std::size_t offset, httplib::DataSink& sink) {
                                            if (offset >= wave->size()) {
                                              sink.done();
                                              return true;
                                            }
                                            return offset < sent && write(offset, wave->size() - offset, sink);
                                          });
    return;
  }
  // Otherwise the whole length is declared, and a truncated body just stops.
  response.set_content_provider(wave->size(), "audio/wav", write);
}

}  // namespace speech_service
