// Soak and chaos: the real plugin, hosted as the server hosts it, under
// sustained random load against the local speech service, which injects its
// faults into a share of the requests. Channels open and close all the time
// (up to SOAK_MAX_CHANNELS at once, both rates); each open channel gets a
// random mix of SPEAKs (text, SSML, URI lists of local files and waveform
// URIs, cache hits and misses, inline and by URL), STOP, BARGE-IN-OCCURRED,
// PAUSE, RESUME, SET-PARAMS and GET-PARAMS, some of them timed to race: right
// after a SPEAK, as a SPEAK's audio ends, right before a close.
//
// The host runtime's protocol checker (Host::Violations) holds every answer
// to the protocol: one response per request, a SPEAK ended once (error
// response, SPEAK-COMPLETE after IN-PROGRESS, or the STOP that ended it),
// nothing after that nor after a close's acknowledgement, every request
// answered before its channel's close is acknowledged, opens and closes
// acknowledged once. On top of it this test checks what the plugin promises:
// every SPEAK ends by the end of the run, with the outcome it was due, exact
// audio, status files and records that agree with what happened. The run
// prints a summary and fails on any violation.
//
// Settings (command line --name=value, or the environment SOAK_NAME):
//   seed         random seed (default: from the clock; printed, so a failing
//                run can be replayed with the same choices)
//   seconds      how long requests are sent (default 40)
//   channels     most channels open at once (default 32)
//   fault-share  share of SPEAKs that ask the service for a fault (0.2)
//   rss-period   seconds between resident-size samples (default 60)
//   rss-limit    largest allowed growth of the resident size, in MB per hour,
//                over the second half of a run of 10 minutes or more (8)
// A replay makes the same choices in the same order; what the threads do in
// between may differ, so a race found once may need a few replays.
#include <gtest/gtest.h>
#include <malloc.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio_capture.h"
#include "audio_samples.h"
#include "hosted_plugin.h"
#include "log_capture.h"
#include "speech_synthesizer.h"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

namespace fs = std::filesystem;
using corvex::Host;
using corvex::HostEvent;
using corvex_test::Bytes;
using corvex_test::TestSpeechService;
using corvex_test::ToBytes;
using Clock = std::chrono::steady_clock;

// The run's settings: each from the command line (--name=value), else from
// the environment (SOAK_NAME, upper case, '-' as '_'), else its default.
struct Settings {
  std::uint64_t seed = 0;
  long seconds = 40;
  std::size_t max_channels = 32;
  double fault_share = 0.2;
  long rss_period = 60;
  double rss_limit_mb_per_hour = 8;
};
Settings g_settings;

// Reads the settings (after gtest has taken its own flags). False, with a
// line on stderr, for an unknown flag or a value out of range.
bool ParseSettings(int argc, char** argv) {
  static const char* const kNames[] = {"seed", "seconds", "channels", "fault-share", "rss-period", "rss-limit"};
  std::string values[6];
  for (int k = 0; k < 6; ++k) {
    std::string env = std::string("SOAK_") + kNames[k];
    for (char& c : env) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (const char* value = std::getenv(env.c_str())) values[k] = value;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    int k = 0;
    while (k < 6 && arg.rfind(std::string("--") + kNames[k] + "=", 0) != 0) ++k;
    if (k == 6) {
      std::fprintf(stderr,
                   "unknown argument %s; use --seed= --seconds= --channels= --fault-share= "
                   "--rss-period= --rss-limit=\n",
                   argv[i]);
      return false;
    }
    values[k] = arg.substr(arg.find('=') + 1);
  }
  Settings& s = g_settings;
  s.seed = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007ULL;
  if (!values[0].empty()) s.seed = std::strtoull(values[0].c_str(), nullptr, 10);
  if (!values[1].empty()) s.seconds = std::atol(values[1].c_str());
  if (!values[2].empty()) s.max_channels = std::strtoul(values[2].c_str(), nullptr, 10);
  if (!values[3].empty()) s.fault_share = std::atof(values[3].c_str());
  if (!values[4].empty()) s.rss_period = std::atol(values[4].c_str());
  if (!values[5].empty()) s.rss_limit_mb_per_hour = std::atof(values[5].c_str());
  if (s.seconds < 1 || s.max_channels < 1 || s.max_channels > 90 || s.fault_share < 0 || s.fault_share > 1 ||
      s.rss_period < 1) {
    std::fprintf(stderr, "soak: a setting is out of range\n");
    return false;
  }
  return true;
}

constexpr int kTimeoutMs = 1000;                       // the SDK's request (and fetch stall) time-out here
constexpr int kLongDelayMs = 1500;                     // longer than it
constexpr int kShortDelayMs = 100;                     // well within it
constexpr std::size_t kMaxOutstanding = 3;             // unanswered requests per channel before it gets no more
constexpr auto kStallGrace = std::chrono::seconds(2);  // a media thread may be this late with a SPEAK's end
const char* const kBaseUri = "http://localhost/utterances";

// Resident set size of this process, in kB.
long ResidentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// Bytes malloc has handed out and not had back, in kB (the README's figure
// of what the process really holds, apart from freed memory malloc keeps).
long MallocInUseKb() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// Least-squares slope of kb over minutes, in MB per hour.
double SlopeMbPerHour(const std::vector<std::pair<double, long>>& samples) {
  if (samples.size() < 2) return 0;
  double mx = 0, my = 0;
  for (const auto& [x, y] : samples) mx += x, my += static_cast<double>(y);
  mx /= static_cast<double>(samples.size());
  my /= static_cast<double>(samples.size());
  double sxy = 0, sxx = 0;
  for (const auto& [x, y] : samples) sxy += (x - mx) * (static_cast<double>(y) - my), sxx += (x - mx) * (x - mx);
  return sxx > 0 ? sxy / sxx * 60.0 / 1024.0 : 0;
}

// What a SPEAK should end with when nothing (STOP, a newer SPEAK, a close)
// interrupts it.
enum class Outcome {
  kAny,    // a final answer of any kind (speech whose length is unknown, a truncated fetch)
  kExact,  // SPEAK-COMPLETE normal, with exactly `audio` played
  kError,  // an error response, no speech
  kCut,    // SPEAK-COMPLETE error, with exactly `audio` (what came before a failed segment) played
};

struct Request {
  int channel = -1;
  mrcp_request_id id = 0;
  mrcp_method_id method = 0;
  std::string kind;  // for the summary and messages
  int responses = 0;
  bool in_progress = false;
  bool final = false;
  // SPEAK only
  Outcome outcome = Outcome::kAny;
  Bytes audio;                 // kExact at 16000 Hz: these bytes; at 8000 Hz: this many bytes
  bool uri_list = false;       // local files, converted like the service's audio
  bool audio_checked = false;  // sent on a quiet channel: what it played is compared
  bool replaced = false;       // a newer SPEAK came after it on its channel
  long duration_ms = 0;        // of its audio, when known
  Clock::time_point in_progress_at;
  // STOP / BARGE-IN: the SPEAK it may end
  mrcp_request_id target = 0;
};

struct Channel {
  int index = -1;
  unsigned rate = 8000;
  std::string id;
  bool open = false;
  std::vector<mrcp_request_id> speaks;  // in order of sending
  std::set<mrcp_request_id> unanswered;
  bool paused_since_speak = false;  // a PAUSE was sent after the last SPEAK
};

class Soak {
 public:
  explicit Soak(const Settings& settings) : settings_(settings), random_(settings.seed) {}

  void Run();
  const std::vector<std::string>& violations() const { return violations_; }

 private:
  // set-up
  void PrepareRoot();
  // actions
  void OpenOne();
  void CloseOne(int index, bool with_request_before);
  mrcp_request_id SendSpeak(int index);
  mrcp_request_id SendSimple(int index, mrcp_method_id method);
  // Records the request as the channel's message and sends it.
  mrcp_request_id Submit(Request r, int channel, mrcp_message_t* message);
  void RandomAction();
  // checking
  void Drain();
  void Handle(const HostEvent& e);
  void HandleMessage(const HostEvent& e, Request& r);
  void CheckSpoken(Request& r);
  void CheckRecord(const Request& r, bool normal, const char* cause = "normal");
  void CheckStatusFiles();
  void Violation(const std::string& what);
  void Summary(double seconds);

  std::size_t Pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
  Request* Find(int channel, mrcp_request_id id) {
    auto it = requests_.find({channel, id});
    return it == requests_.end() ? nullptr : &it->second;
  }
  std::vector<int> OpenChannels() const {
    std::vector<int> open;
    for (const auto& [index, channel] : channels_)
      if (channel.open) open.push_back(index);
    return open;
  }
  const Bytes& ToneBytes(int hz, long ms) {
    auto& bytes = tones_[{hz, ms}];
    if (bytes.empty()) bytes = ToBytes(speech_service::Tone(hz, ms));
    return bytes;
  }
  std::string Describe(const Request& r) const {
    return "channel " + std::to_string(r.channel) + " (" + channels_.at(r.channel).id + ", " +
           std::to_string(channels_.at(r.channel).rate) + " Hz) request " + std::to_string(r.id) + " [" + r.kind + "]";
  }

  Settings settings_;
  std::mt19937_64 random_;
  TestSpeechService service_{TestSpeechService::Mode::kChildProcess};
  std::string root_;
  corvex_test::LogCapture log_{APT_PRIO_WARNING};  // outlives the host
  corvex_test::AudioCapture capture_;
  std::unique_ptr<Host> host_;

  std::map<int, Channel> channels_;
  std::map<std::pair<int, mrcp_request_id>, Request> requests_;
  std::map<std::pair<int, long>, Bytes> tones_;
  Bytes clip_a_, clip_b_;  // the local files' audio at 16000 Hz
  std::size_t max_open_ = 0;

  std::vector<std::string> violations_;
  std::uint64_t requests_sent_ = 0, faults_injected_ = 0;
  std::uint64_t opens_ = 0, audio_checks_ = 0, record_checks_ = 0, status_checks_ = 0;
  std::vector<std::pair<double, long>> rss_;   // (minutes, kB)
  std::vector<std::pair<double, long>> heap_;  // (minutes, kB malloc holds in use)
};

void Soak::Violation(const std::string& what) {
  if (violations_.size() < 200) std::fprintf(stderr, "VIOLATION: %s\n", what.c_str());
  violations_.push_back(what);
}

void Soak::PrepareRoot() {
  root_ = MakeTestRoot("soak");
  InstallSampleConfig(root_);
  WriteFile(root_ + "/data/credentials.json", service_.PluginCredentials());
  // The first status outputs are the usage-change-handler's.
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"caching=\"false\"", "caching=\"true\""},
           {"save-waveforms=\"false\"", "save-waveforms=\"true\""},
           {"save-records=\"false\"", "save-records=\"true\""},
           {"record-folder=\"\"", "record-folder=\"records\""},
           {"<update-usage enable=\"false\" status-file=\"\"",
            "<update-usage enable=\"true\" status-file=\"usage.txt\""},
           {"<dump-channels enable=\"false\" status-file=\"\"",
            "<dump-channels enable=\"true\" status-file=\"channels.txt\""}}) {
    if (!ReplaceInFile(root_ + "/conf/tarnwickss.xml", from, to)) Violation("the sample configuration has no " + from);
  }
  fs::create_directories(root_ + "/var/status");
  fs::create_directories(root_ + "/var/records");

  const auto a = speech_service::Tone(440, 100);
  const auto b = speech_service::Tone(880, 60);
  WriteFile(root_ + "/data/a.wav", speech_service::WaveBytes(a, 16000));
  WriteFile(root_ + "/var/clip.wav", speech_service::WaveBytes(b, 16000));
  clip_a_ = ToBytes(a);
  clip_b_ = ToBytes(b);
}

void Soak::OpenOne() {
  Channel channel;
  channel.rate = Chance(0.5) ? 8000 : 16000;
  channel.index = host_->CreateChannel(channel.rate);
  if (channel.index < 0) return Violation("a channel could not be created");
  channel.id = host_->channel(channel.index)->id;
  ++opens_;
  if (!host_->OpenChannel(channel.index))
    Violation("channel " + std::to_string(channel.index) + ": open not acknowledged");
  channel.open = true;
  channels_[channel.index] = channel;
  if (!host_->StartMedia(channel.index, &capture_, /*realtime=*/true))
    Violation("channel " + std::to_string(channel.index) + ": media did not start");
  max_open_ = std::max(max_open_, OpenChannels().size());
  for (const HostEvent& e : host_->TakeEvents()) Handle(e);
  CheckStatusFiles();
}

void Soak::CloseOne(int index, bool with_request_before) {
  if (with_request_before) {
    if (Chance(0.6))
      SendSpeak(index);
    else
      SendSimple(index, Chance(0.5) ? SYNTHESIZER_STOP : SYNTHESIZER_PAUSE);
  }
  Channel& channel = channels_[index];
  if (!host_->CloseChannel(index, std::chrono::seconds(30)))
    Violation("channel " + std::to_string(index) + ": close not acknowledged");
  channel.open = false;
  for (const HostEvent& e : host_->TakeEvents()) Handle(e);
  // A request without a response at the close is the checker's to report.
  for (mrcp_request_id id : channel.unanswered) Find(index, id)->final = true;
  channel.unanswered.clear();
  // A SPEAK may still be playing at a close, but one that a newer SPEAK
  // replaced (before the close, as requests are handled in order) had its
  // SPEAK-COMPLETE then.
  for (mrcp_request_id id : channel.speaks) {
    Request* r = Find(index, id);
    if (!r || r->final) continue;
    if (r->replaced) Violation(Describe(*r) + ": replaced by a newer SPEAK, but never completed");
    // A single segment whose audio is known and was never paused has been
    // played out by now, give or take a slow media thread: its end was read
    // before the close was posted, so its SPEAK-COMPLETE must have come
    // before the close's acknowledgement, however busy the engine was. A
    // SPEAK that stops playing and never completes is exactly what a close
    // would otherwise hide. (Segments of a URI list wait for the engine in
    // between, so their end has no such bound.)
    if (r->outcome == Outcome::kExact && !r->uri_list && r->in_progress && r->duration_ms > 0 &&
        !channel.paused_since_speak &&
        Clock::now() > r->in_progress_at + std::chrono::milliseconds(r->duration_ms) + kStallGrace) {
      Violation(Describe(*r) + ": still open at the close, long after its " + std::to_string(r->duration_ms) +
                " ms of audio");
    }
    r->final = true;
  }
  if (!host_->DestroyChannel(index)) Violation("channel " + std::to_string(index) + ": destroy failed");
  capture_.Take(index);
  // The channel's requests are done with; keep memory flat over long runs.
  for (auto it = requests_.lower_bound({index, 0}); it != requests_.end() && it->first.first == index;)
    it = requests_.erase(it);
  CheckStatusFiles();
  // Nothing of a destroyed channel is kept: the run opens thousands an hour.
  channels_.erase(index);
}

mrcp_request_id Soak::SendSimple(int index, mrcp_method_id method) {
  Channel& channel = channels_[index];
  mrcp_message_t* message = host_->CreateRequest(index, method);
  Request r;
  r.kind = mrcp_synth_method_name_get(method);
  if (method == SYNTHESIZER_SET_PARAMS) {
    mrcp_synth_header_t* synth = mrcp_resource_header_prepare(message);
    apt_string_assign(&synth->voice_param.name, "en", message->pool);
    mrcp_resource_header_property_add(message, SYNTHESIZER_HEADER_VOICE_NAME);
  }
  if (method == SYNTHESIZER_PAUSE) channel.paused_since_speak = true;
  if ((method == SYNTHESIZER_STOP || method == SYNTHESIZER_BARGE_IN_OCCURRED) && !channel.speaks.empty()) {
    const Request* last = Find(index, channel.speaks.back());
    if (last && !last->final) r.target = last->id;
  }
  return Submit(r, index, message);
}

mrcp_request_id Soak::Submit(Request r, int channel, mrcp_message_t* message) {
  r.channel = channel;
  r.id = message->start_line.request_id;
  r.method = message->start_line.method_id;
  ++requests_sent_;
  requests_[{r.channel, r.id}] = r;
  channels_[r.channel].unanswered.insert(r.id);
  if (!host_->SendRequest(r.channel, message)) Violation(Describe(r) + ": refused by process_request");
  return r.id;
}

mrcp_request_id Soak::SendSpeak(int index) {
  Channel& channel = channels_[index];
  Request r;
  corvex_test::Speak speak;
  speak.by_url = Chance(0.4);
  std::string &type = speak.type, &body = speak.body, &voice = speak.voice;
  bool& by_url = speak.by_url;
  static const int kHz[] = {300, 500, 1000, 2500};
  static const long kMs[] = {100, 200, 350, 600};

  const std::size_t shape = Pick(10);
  if (Chance(settings_.fault_share)) {
    // A tone with a fault switch.
    struct Fault {
      const char* name;
      std::string switches;
      bool url;  // only meaningful by URL
      Outcome outcome;
    };
    const std::string d = std::to_string(kShortDelayMs), D = std::to_string(kLongDelayMs);
    static const std::vector<Fault> kFaults = {
        {"status", "status=3", false, Outcome::kError},
        {"no-status", "no-status", false, Outcome::kError},
        {"empty-results", "empty-results", false, Outcome::kError},
        {"missing-results", "missing-results", false, Outcome::kError},
        {"missing-bytes", "missing-bytes", false, Outcome::kError},
        {"empty-bytes", "empty-bytes", false, Outcome::kError},
        {"malformed-json", "malformed-json", false, Outcome::kError},
        {"unknown-switch", "no-such-switch", false, Outcome::kError},
        {"missing-url", "missing-url", true, Outcome::kError},
        {"empty-url", "empty-url", true, Outcome::kError},
        {"fetch-status", "fetch-status=404", true, Outcome::kError},
        {"short-delay", "delay=" + d, false, Outcome::kExact},
        {"short-fetch-delay", "fetch-delay=" + d, true, Outcome::kExact},
        {"odd-pieces", "piece=37,piece-ms=0", true, Outcome::kExact},
        {"header-pieces", "piece=45,piece-ms=1", true, Outcome::kExact},
        {"tiny-pieces", "piece=7,piece-ms=0", true, Outcome::kExact},
        {"truncated", "truncate=3001", true, Outcome::kAny},
        {"truncated-in-header", "truncate=21", true, Outcome::kAny},
        {"reset", "reset", false, Outcome::kError},
        {"http-status", "http-status=500", false, Outcome::kError},
        {"trickle", "trickle=10", false, Outcome::kExact},
        {"redirect", "redirect", true, Outcome::kExact},
        {"chunked", "chunked", true, Outcome::kExact},
        {"extra-chunks", "extra-chunks", false, Outcome::kExact},
        {"extra-chunks-by-url", "extra-chunks,piece=7,piece-ms=0", true, Outcome::kExact},
        {"other-rate", "rate=22050", false, Outcome::kError},
        {"other-rate-by-url", "rate=8000", true, Outcome::kAny},
        {"long-delay", "delay=" + D, false, Outcome::kError},
        {"long-fetch-delay", "fetch-delay=" + D, true, Outcome::kError},
        {"hang", "no-answer", false, Outcome::kError},
    };
    // The slow ones hold the engine for a whole time-out: rarer.
    std::size_t pick = Pick(kFaults.size() + 12);
    if (pick >= kFaults.size()) pick = Pick(kFaults.size() - 3);
    const Fault& fault = kFaults[pick];
    const int hz = kHz[Pick(4)];
    const long ms = kMs[Pick(4)];
    by_url = fault.url;
    voice = "fault:tone=" + std::to_string(hz) + ",ms=" + std::to_string(ms) + "," + fault.switches;
    body = "fault " + std::to_string(requests_sent_);  // never a cache hit
    r.kind = std::string("SPEAK fault ") + fault.name;
    r.outcome = fault.outcome;
    r.duration_ms = ms;
    if (fault.outcome == Outcome::kExact) r.audio = ToneBytes(hz, ms);
    ++faults_injected_;
  } else if (shape < 5) {
    // A tone: from a small set, so the same SPEAK comes again and hits the cache.
    const int hz = kHz[Pick(4)];
    const long ms = kMs[Pick(4)];
    voice = "fault:tone=" + std::to_string(hz) + ",ms=" + std::to_string(ms);
    const bool repeat = Chance(0.6);
    body = repeat ? "tone" : "tone " + std::to_string(requests_sent_);
    r.kind = repeat ? "SPEAK tone (cacheable)" : "SPEAK tone";
    r.outcome = Outcome::kExact;
    r.audio = ToneBytes(hz, ms);
    r.duration_ms = ms;
  } else if (shape < 6) {
    body = Chance(0.5) ? "Good morning." : "Number " + std::to_string(Pick(1000)) + ".";
    r.kind = "SPEAK text";
  } else if (shape < 7) {
    type = "application/ssml+xml";
    body = "<speak version=\"1.0\" xml:lang=\"en-US\">Good <break time=\"50ms\"/> " +
           std::string(Chance(0.5) ? "evening" : "night & day") + ".</speak>";
    if (body.find('&') != std::string::npos) body.replace(body.find('&'), 1, "&amp;");
    r.kind = "SPEAK SSML";
  } else {
    // A URI list of local files and files of the waveform folder; now and
    // then an item outside the folder, which fails its segment.
    type = "text/uri-list";
    by_url = false;
    const std::string a = "file://" + root_ + "/data/a.wav", b = std::string(kBaseUri) + "/clip.wav";
    const std::size_t items = 1 + Pick(3);
    const std::size_t bad = Chance(0.15) ? Pick(items) : items;
    r.kind = bad == 0 ? "SPEAK uri-list refused" : bad < items ? "SPEAK uri-list cut" : "SPEAK uri-list";
    r.outcome = bad == 0 ? Outcome::kError : bad < items ? Outcome::kCut : Outcome::kExact;
    r.uri_list = true;
    for (std::size_t i = 0; i < items; ++i) {
      if (i == bad) {
        body += std::string(kBaseUri) + "/../a.wav\r\n";
        break;
      }
      const bool first = Chance(0.5);
      body += (first ? a : b) + "\r\n";
      const Bytes& clip = first ? clip_a_ : clip_b_;
      r.audio.insert(r.audio.end(), clip.begin(), clip.end());
      r.duration_ms += first ? 100 : 60;
    }
  }
  if (r.kind.rfind("SPEAK fault", 0) != 0 && type != "text/uri-list") r.kind += by_url ? " by URL" : " inline";

  // What it plays is compared only when nothing else is playing or still to
  // answer on the channel: then every audio frame from now on is its own.
  bool quiet = channel.unanswered.empty();
  for (mrcp_request_id id : channel.speaks) {
    Request* earlier = Find(index, id);
    if (earlier && !earlier->final) {
      earlier->replaced = true;
      quiet = false;
    }
  }
  if (quiet) capture_.Take(index);
  r.audio_checked = quiet && (r.outcome == Outcome::kExact || r.outcome == Outcome::kCut);
  channel.paused_since_speak = false;
  mrcp_message_t* message = corvex_test::SpeakRequest(*host_, index, speak);
  channel.speaks.push_back(message->start_line.request_id);
  if (channel.speaks.size() > 64) channel.speaks.erase(channel.speaks.begin());
  return Submit(r, index, message);
}

void Soak::RandomAction() {
  std::vector<int> open = OpenChannels();
  const std::size_t target = 1 + Pick(settings_.max_channels);
  if (open.size() < settings_.max_channels && (open.empty() || (open.size() < target && Chance(0.3)))) {
    OpenOne();
    return;
  }
  const int index = open[Pick(open.size())];
  Channel& channel = channels_[index];
  if (Chance(0.02)) return CloseOne(index, Chance(0.5));
  if (channel.unanswered.size() >= kMaxOutstanding) return;

  // Out of 100: a SPEAK, then the other requests by their share.
  static const std::pair<std::size_t, mrcp_method_id> kShares[] = {
      {40, SYNTHESIZER_SPEAK},     {48, SYNTHESIZER_STOP},   {52, SYNTHESIZER_BARGE_IN_OCCURRED},
      {57, SYNTHESIZER_PAUSE},     {65, SYNTHESIZER_RESUME}, {69, SYNTHESIZER_SET_PARAMS},
      {73, SYNTHESIZER_GET_PARAMS}};
  const std::size_t what = Pick(100);
  const auto share =
      std::find_if(std::begin(kShares), std::end(kShares), [what](const auto& s) { return what < s.first; });
  if (share == std::begin(kShares)) {
    SendSpeak(index);
  } else if (share != std::end(kShares)) {
    SendSimple(index, share->second);
  } else if (what < 83) {
    // Right after a SPEAK: it meets whatever is still starting.
    SendSpeak(index);
    static const mrcp_method_id kNext[] = {SYNTHESIZER_STOP, SYNTHESIZER_BARGE_IN_OCCURRED, SYNTHESIZER_PAUSE,
                                           SYNTHESIZER_SPEAK};
    const mrcp_method_id next = kNext[Pick(4)];
    if (next == SYNTHESIZER_SPEAK)
      SendSpeak(index);
    else
      SendSimple(index, next);
  } else if (what < 93) {
    // As a SPEAK's audio ends: aim a STOP or a newer SPEAK at its last frames.
    if (channel.speaks.empty()) return;
    Request* last = Find(index, channel.speaks.back());
    if (!last || last->final || !last->in_progress || last->duration_ms == 0) return;
    const auto end = last->in_progress_at + std::chrono::milliseconds(last->duration_ms) +
                     std::chrono::milliseconds(static_cast<long>(Pick(40)) - 20);
    if (end - Clock::now() > std::chrono::milliseconds(700)) return;
    std::this_thread::sleep_until(end);
    if (Chance(0.5))
      SendSimple(index, Chance(0.7) ? SYNTHESIZER_STOP : SYNTHESIZER_BARGE_IN_OCCURRED);
    else
      SendSpeak(index);
  } else {
    // Right before a close.
    CloseOne(index, true);
  }
}

void Soak::Handle(const HostEvent& e) {
  auto it = channels_.find(e.channel);
  if (e.kind == HostEvent::Kind::EngineOpened || e.kind == HostEvent::Kind::EngineClosed) return;
  if (it == channels_.end()) {
    return Violation("an event for channel " + std::to_string(e.channel) + ", which is not there");
  }
  if (e.kind == HostEvent::Kind::ChannelOpened && !e.status) {
    Violation("channel " + std::to_string(e.channel) + ": open acknowledged as failed");
  }
  if (e.kind != HostEvent::Kind::Message) return;
  // Unknown requests and anything after a final answer are the checker's.
  Request* r = Find(e.channel, e.request_id);
  if (r && !r->final) HandleMessage(e, *r);
}

void Soak::HandleMessage(const HostEvent& e, Request& r) {
  Channel& channel = channels_[r.channel];
  if (e.message_type == MRCP_MESSAGE_TYPE_RESPONSE) {
    if (++r.responses > 1) return;
    channel.unanswered.erase(r.id);
    const bool success = e.status_code == MRCP_STATUS_CODE_SUCCESS;
    if (r.method != SYNTHESIZER_SPEAK) {
      // The server answers PAUSE and RESUME with no SPEAK active itself: 402.
      const bool idle = e.from_host && e.status_code == MRCP_STATUS_CODE_METHOD_NOT_VALID &&
                        (r.method == SYNTHESIZER_PAUSE || r.method == SYNTHESIZER_RESUME);
      if (!success && !idle) Violation(Describe(r) + ": failed with status " + std::to_string(e.status_code));
      r.final = true;
      // A STOP that ended its SPEAK is that SPEAK's final answer.
      if (r.target) {
        Request* target = Find(r.channel, r.target);
        if (target && !target->final && target->responses > 0 && target->in_progress) {
          target->final = true;
          CheckRecord(*target, false);
        }
      }
      return;
    }
    if (success && e.request_state == MRCP_REQUEST_STATE_INPROGRESS) {
      r.in_progress = true;
      r.in_progress_at = Clock::now();
      return;
    }
    if ((r.outcome == Outcome::kExact || r.outcome == Outcome::kCut) && !r.replaced) {
      Violation(Describe(r) + ": failed with status " + std::to_string(e.status_code) + " where speech was due");
    }
    r.final = true;
    return;
  }
  // An event.
  if (r.method != SYNTHESIZER_SPEAK || e.method_id != SYNTHESIZER_SPEAK_COMPLETE) return;
  if (e.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_CANCELLED) {
    if (!r.replaced) Violation(Describe(r) + ": completed as cancelled, but no newer SPEAK came");
    r.final = true;
    return;
  }
  if (e.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_ERROR) {
    // Speech cut short after IN-PROGRESS: what came played, then the error.
    if (r.outcome == Outcome::kExact && !r.replaced)
      Violation(Describe(r) + ": completed in error where speech was due");
    r.final = true;
    if (r.outcome == Outcome::kCut) CheckSpoken(r);
    CheckRecord(r, true, "error");
    return;
  }
  if (e.completion_cause != SYNTHESIZER_COMPLETION_CAUSE_NORMAL) {
    Violation(Describe(r) + ": completed with cause " + std::to_string(e.completion_cause));
  }
  if ((r.outcome == Outcome::kError || r.outcome == Outcome::kCut) && !r.replaced)
    Violation(Describe(r) + ": completed normally where an error was due");
  r.final = true;
  CheckSpoken(r);
  CheckRecord(r, true);
}

// At 16000 Hz the service's bytes exactly; at 8000 Hz half as many samples.
void Soak::CheckSpoken(Request& r) {
  if (!r.audio_checked || r.replaced) return;
  // SPEAK-COMPLETE follows the read of the end marker, so every frame before
  // it has been handed to the sink already.
  const Bytes played = capture_.Take(r.channel);
  ++audio_checks_;
  const unsigned rate = channels_[r.channel].rate;
  if (rate == 16000) {
    if (played != r.audio) {
      Violation(Describe(r) + ": played " + std::to_string(played.size()) + " bytes, not the " +
                std::to_string(r.audio.size()) + " the service sent");
    }
  } else if (played.size() != r.audio.size() / 4 * 2) {
    Violation(Describe(r) + ": played " + std::to_string(played.size()) + " bytes at 8000 Hz for " +
              std::to_string(r.audio.size()) + " bytes at 16000 Hz");
  }
}

// A SPEAK that completed normally left a valid record saying so; a stopped one
// left none, or one that does not say normal.
void Soak::CheckRecord(const Request& r, bool normal, const char* cause) {
  const Channel& channel = channels_[r.channel];
  const std::string path = root_ + "/var/records/tarnwickss-" + channel.id + "-" + std::to_string(r.id) + ".json";
  ++record_checks_;
  if (!fs::exists(path)) {
    if (normal) Violation(Describe(r) + ": completed, but no record " + path);
    return;
  }
  rapidjson::Document doc;
  const std::string text = ReadFile(path);
  doc.Parse(text.c_str());
  if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("synth-details-record")) {
    return Violation(Describe(r) + ": record is not valid: " + text);
  }
  const auto& record = doc["synth-details-record"];
  const auto field = [&](const char* name) {
    return record.HasMember(name) && record[name].IsString() ? std::string(record[name].GetString()) : std::string("?");
  };
  if (!normal) {
    if (field("completion-cause") == "normal") Violation(Describe(r) + ": stopped, but its record says normal");
    return;
  }
  if (field("completion-cause") != cause) Violation(Describe(r) + ": record cause " + field("completion-cause"));
  if (field("sampling-rate") != std::to_string(channel.rate) + " Hz")
    Violation(Describe(r) + ": record rate " + field("sampling-rate"));
  if (r.audio_checked && !r.replaced && std::string(cause) == "normal") {
    const std::size_t bytes = channel.rate == 16000 ? r.audio.size() : r.audio.size() / 4 * 2;
    if (field("data-length") != std::to_string(bytes) + " bytes")
      Violation(Describe(r) + ": record data-length " + field("data-length") + ", expected " + std::to_string(bytes));
  }
}

// The usage and channel status files match the channels open now.
void Soak::CheckStatusFiles() {
  ++status_checks_;
  std::size_t open = 0;
  std::multiset<std::string> ids;
  for (const auto& [index, channel] : channels_)
    if (channel.open) ++open, ids.insert(channel.id);
  const std::string usage = ReadFile(root_ + "/var/status/usage.txt");
  const std::string expected = "in-use channels: " + std::to_string(open) +
                               "\nmax used channels: " + std::to_string(max_open_) +
                               "\ntotal channels: " + std::to_string(host_->config().max_channel_count) + "\n";
  if (usage != expected) Violation("usage status file: \"" + usage + "\", expected \"" + expected + "\"");
  std::multiset<std::string> listed;
  std::istringstream lines(ReadFile(root_ + "/var/status/channels.txt"));
  for (std::string line; std::getline(lines, line);) listed.insert(line);
  if (listed != ids)
    Violation("channels status file lists " + std::to_string(listed.size()) + " channels, " +
              std::to_string(ids.size()) + " are open");
}

// Lets every open SPEAK play out, then checks nothing went unanswered.
void Soak::Drain() {
  for (int index : OpenChannels()) SendSimple(index, SYNTHESIZER_RESUME);
  const auto give_up = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < give_up) {
    for (const HostEvent& e : host_->TakeEvents()) Handle(e);
    bool waiting = false;
    for (const auto& [key, r] : requests_) waiting |= !r.final && channels_[key.first].open;
    if (!waiting) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (auto& [key, r] : requests_) {
    if (r.final || !channels_[key.first].open) continue;
    Violation(Describe(r) + (r.responses == 0 ? ": no response" : ": no final answer") + " within 60 s of the end");
    r.final = true;
  }
  for (int index : OpenChannels()) CloseOne(index, false);
}

void Soak::Summary(double seconds) {
  std::printf("soak: seed %" PRIu64 ", %.0f s, up to %zu channels, fault share %.2f; channels: %" PRIu64
              " opened, %zu at most at once\n",
              settings_.seed, seconds, settings_.max_channels, settings_.fault_share, opens_, max_open_);
  std::printf("requests: %" PRIu64 ", %" PRIu64 " of them with a service fault; checks: %" PRIu64 " audio, %" PRIu64
              " records, %" PRIu64 " status files\n",
              requests_sent_, faults_injected_, audio_checks_, record_checks_, status_checks_);
  for (const auto& [title, samples] : {std::pair{"resident size", &rss_}, {"malloc in use", &heap_}}) {
    std::printf("%s (minute: MB):", title);
    for (const auto& [minute, kb] : *samples) std::printf(" %.0f: %.1f", minute, static_cast<double>(kb) / 1024);
    const std::vector<std::pair<double, long>> late(samples->begin() + static_cast<long>(samples->size() / 2),
                                                    samples->end());
    std::printf("; trend %+.2f MB/hour overall, %+.2f over the second half\n", SlopeMbPerHour(*samples),
                SlopeMbPerHour(late));
  }
  std::printf("violations: %zu\n", violations_.size());
  std::fflush(stdout);
}

void Soak::Run() {
  std::printf("soak: seed %" PRIu64 " (replay with --seed=%" PRIu64 " --seconds=%ld)\n", settings_.seed, settings_.seed,
              settings_.seconds);
  std::fflush(stdout);
  if (!service_.ok()) return Violation("the speech service did not start: " + service_.error());
  PrepareRoot();
  corvex::HostConfig config;
  config.root = root_;
  // Every SPEAK straight to the plugin: its own handling of a SPEAK that
  // replaces another is what this run races.
  config.queue_speaks = false;
  host_ = std::make_unique<Host>(config);
  if (!host_->LoadPlugin(TARNWICKSS_PLUGIN_PATH) || !host_->OpenEngine()) return Violation("the engine did not open");

  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(settings_.seconds);
  auto sample = [&] {
    const double minute = std::chrono::duration<double>(Clock::now() - start).count() / 60;
    rss_.emplace_back(minute, ResidentKb());
    heap_.emplace_back(minute, MallocInUseKb());
  };
  for (auto next_sample = start; Clock::now() < end;) {
    if (Clock::now() >= next_sample) {
      sample();
      next_sample += std::chrono::seconds(settings_.rss_period);
    }
    for (const HostEvent& e : host_->TakeEvents()) Handle(e);
    RandomAction();
    const std::size_t pause = Pick(16);
    if (pause > 2) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
  Drain();
  sample();
  host_->CloseEngine();
  for (const corvex::ProtocolViolation& v : host_->Violations()) {
    Violation("channel " + std::to_string(v.channel) + " request " + std::to_string(v.request_id) + ": " + v.rule +
              " (" + v.detail + ")");
  }
  host_.reset();
  std::printf("plugin warnings logged: %zu\n", log_.Warnings());
  Summary(std::chrono::duration<double>(Clock::now() - start).count());
  fs::remove_all(root_);

  // Memory stays flat over a long run.
  if (settings_.seconds >= 600 && rss_.size() >= 6) {
    const std::vector<std::pair<double, long>> late(rss_.begin() + static_cast<long>(rss_.size() / 2), rss_.end());
    const double slope = SlopeMbPerHour(late);
    if (slope > settings_.rss_limit_mb_per_hour)
      Violation("resident size grows " + std::to_string(slope) + " MB/hour over the second half");
  }
}

TEST(Soak, RandomLoadWithRandomFaultsKeepsEveryPromise) {
  setenv("BRILLIFY_CONNECT_TIMEOUT_MS", "500", 1);
  setenv("BRILLIFY_TIMEOUT_MS", std::to_string(kTimeoutMs).c_str(), 1);
  Soak soak(g_settings);
  soak.Run();
  EXPECT_TRUE(soak.violations().empty()) << soak.violations().size()
                                         << " violations, the first: " << soak.violations().front() << "\nseed "
                                         << g_settings.seed;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!ParseSettings(argc, argv)) return 2;
  return RUN_ALL_TESTS();
}
