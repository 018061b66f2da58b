// Capacity of one server process against a service that answers like a
// cloud (the speech service's "cloud" profile), for each number of cloud
// workers asked. With none, one engine thread makes every channel's cloud
// request in turn, so the k-th of N SPEAKs sent at the same moment waits
// about k x L for a service latency of L, and one process starts at most
// about 1000 / L SPEAKs per second; with W workers there are W such lanes.
//
//   capacity_bench [--quick] [--workers 0,8,32]
//                                  service latency; for each worker count:
//                                  bursts of N simultaneous SPEAKs, sustained
//                                  starts per second, STOP while the text
//                                  request is in flight, and one channel's
//                                  first audio while another's request hangs
//   capacity_bench --memory N [W]  resident size with N channels open, idle
//                                  and while each plays a 5 s SPEAK, with W
//                                  cloud workers (default 0)
//
// Prints lines for scripts/bench (times in ms):
//   capacity service MEAN P50 P99
//   capacity burst W N P50 P99 PREDICTED_P50 PREDICTED_P99
//   capacity sustained W STARTS_PER_S SPEAKS
//   capacity stop W P50 P99 STOPS
//   capacity isolation W FIRST_AUDIO_P50 HANG SPEAKS
//   memory N IDLE_KB SPEAKING_KB W
// The first-byte delay is CAPACITY_LATENCY_MS (default 250). Channels read
// their media in real time (a frame each 10 ms), so a first audio is seen up
// to 10 ms late. The hanging request ends by the SDK's time-out (30 s unless
// BRILLIFY_TIMEOUT_MS says otherwise).
#include <apr_general.h>
#include <apr_time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/BrillServerJSON.h"
#include "brillify/Module.h"
#include "brillify/RequestInfoJSON.h"
#include "corvex/host_runtime.hpp"
#include "hosted_plugin.h"
#include "speech_service.h"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

using corvex::HostEvent;
using corvex_test::TestSpeechService;

// The first audio frame of each channel since it was armed.
class FirstAudio : public corvex::FrameSink {
 public:
  explicit FirstAudio(std::size_t channels) : first_us_(channels), armed_(channels) {}
  void Arm(int channel) {
    first_us_[channel].store(0);
    armed_[channel].store(true);
  }
  apr_time_t first_us(int channel) const { return first_us_[channel].load(); }
  void OnFrame(int channel, const mpf_frame_t& frame) override {
    if ((frame.type & MEDIA_FRAME_TYPE_AUDIO) && armed_[channel].exchange(false))
      first_us_[channel].store(apr_time_now());
  }

 private:
  std::vector<std::atomic<apr_time_t>> first_us_;
  std::vector<std::atomic<bool>> armed_;
};

long ResidentKb() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class Server {
 public:
  Server(const std::string& text_url, std::size_t channels, int workers = 0) : sink_(channels) {
    root_ = MakeTestRoot("capacity-bench");
    InstallSampleConfig(root_);
    ReplaceInFile(root_ + "/conf/tarnwickss.xml", "cloud-workers=\"0\"",
                  "cloud-workers=\"" + std::to_string(workers) + "\"");
    std::ofstream(root_ + "/data/credentials.json")
        << "{\"client-id\": \"" << TestSpeechService::kClientId << "\", \"client-key\": \""
        << TestSpeechService::kClientKey << "\", \"text-request-url-base\": \"" << text_url << "\"}";
    corvex::HostConfig config;
    config.root = root_;
    config.max_channel_count = channels;
    host_ = std::make_unique<corvex::Host>(config);
    ok_ = host_->LoadPlugin(TARNWICKSS_PLUGIN_PATH) && host_->OpenEngine();
    for (std::size_t i = 0; ok_ && i < channels; ++i) {
      const int channel = host_->CreateChannel(8000);
      ok_ = channel >= 0 && host_->OpenChannel(channel) && host_->StartMedia(channel, &sink_, true);
    }
  }
  ~Server() {
    host_.reset();
    std::filesystem::remove_all(root_);
  }
  bool ok() const { return ok_; }

  // Sends channels 0..n-1 a SPEAK each, back to back, and waits for every
  // final answer. `sent`, `in_progress` and `first_audio` get each one's
  // times (apr_time_now; 0 when missing). False when one did not complete.
  bool Burst(int n, const std::string& voice, std::vector<apr_time_t>* sent, std::vector<apr_time_t>* in_progress,
             std::vector<apr_time_t>* first_audio) {
    host_->TakeEvents();
    std::vector<mrcp_request_id> ids(n);
    sent->assign(n, 0);
    for (int c = 0; c < n; ++c) {
      (*sent)[c] = apr_time_now();
      ids[c] = Speak(c, voice);
    }
    in_progress->assign(n, 0);
    std::vector<bool> done(n, false);
    int remaining = n;
    bool completed = true;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30 + n);
    while (remaining > 0 && std::chrono::steady_clock::now() < give_up) {
      host_->WaitFor([](const std::vector<HostEvent>& events) { return !events.empty(); },
                     std::chrono::milliseconds(200));
      for (const HostEvent& e : host_->TakeEvents()) {
        if (e.kind != HostEvent::Kind::Message || e.channel < 0 || e.channel >= n || e.request_id != ids[e.channel]) {
          continue;
        }
        if (e.request_state == MRCP_REQUEST_STATE_INPROGRESS) (*in_progress)[e.channel] = e.time_us;
        if (Final(e) && !done[e.channel]) {
          done[e.channel] = true;
          --remaining;
          completed = completed && e.message_type == MRCP_MESSAGE_TYPE_EVENT;
        }
      }
    }
    first_audio->assign(n, 0);
    for (int c = 0; c < n; ++c) (*first_audio)[c] = sink_.first_us(c);
    return completed && remaining == 0;
  }

  // Channels 0..n-1 each send a SPEAK, and the next as soon as the one before
  // has ended, for `seconds`; returns the SPEAKs started per second after
  // the first second (the line full), and their count in *starts.
  double Sustain(int n, const std::string& voice, double seconds, int* starts) {
    host_->TakeEvents();
    std::vector<mrcp_request_id> ids(n);
    for (int c = 0; c < n; ++c) ids[c] = Speak(c, voice);
    const apr_time_t from = apr_time_now() + apr_time_from_sec(1);
    const apr_time_t until = from + static_cast<apr_time_t>(seconds * 1e6);
    int open = n;
    *starts = 0;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60) +
                         std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (open > 0 && std::chrono::steady_clock::now() < give_up) {
      host_->WaitFor([](const std::vector<HostEvent>& events) { return !events.empty(); },
                     std::chrono::milliseconds(200));
      for (const HostEvent& e : host_->TakeEvents()) {
        if (e.kind != HostEvent::Kind::Message || e.channel < 0 || e.channel >= n || e.request_id != ids[e.channel]) {
          continue;
        }
        if (e.request_state == MRCP_REQUEST_STATE_INPROGRESS && e.time_us >= from && e.time_us < until) ++*starts;
        if (!Final(e)) continue;
        if (apr_time_now() < until) {
          ids[e.channel] = Speak(e.channel, voice);
        } else {
          --open;
        }
      }
    }
    return *starts / seconds;
  }

  // SPEAK on channel 0 whose text request the service answers after 2 s,
  // STOP 100 ms later: the STOP's response time in ms, or -1.
  double StopWhileRequesting() {
    host_->TakeEvents();
    const mrcp_request_id speak = Speak(0, "fault:instant,ms=500,delay=2000");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mrcp_message_t* stop = host_->CreateRequest(0, SYNTHESIZER_STOP);
    const mrcp_request_id stop_id = stop->start_line.request_id;
    const apr_time_t sent = apr_time_now();
    host_->SendRequest(0, stop);
    apr_time_t answered = 0;
    host_->WaitFor(
        [&](const std::vector<HostEvent>& events) {
          for (const HostEvent& e : events)
            if (e.kind == HostEvent::Kind::Message && e.channel == 0 && e.request_id == stop_id) answered = e.time_us;
          return answered != 0;
        },
        std::chrono::seconds(30));
    // The SPEAK's own answer, stopped or not, is over before the next one.
    WaitFinal(0, speak, std::chrono::seconds(30));
    return answered ? (answered - sent) / 1e3 : -1;
  }

  // Channel 0's request is never answered; 100 ms later channel 1 speaks,
  // `samples` SPEAKs one after another. Returns the median of channel 1's
  // times to first audio and the time channel 0 waited for its answer (its
  // time-out), in ms.
  std::pair<double, double> Isolation(const std::string& voice, int samples) {
    host_->TakeEvents();
    const apr_time_t hung_at = apr_time_now();
    const mrcp_request_id hung = Speak(0, "fault:no-answer");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<double> firsts;
    for (int i = 0; i < samples; ++i) {
      const apr_time_t sent = apr_time_now();
      const mrcp_request_id spoken = Speak(1, voice);
      WaitFinal(1, spoken, std::chrono::seconds(60));
      if (const apr_time_t first = sink_.first_us(1)) firsts.push_back((first - sent) / 1e3);
    }
    // With workers nothing waits for the hang: the STOP ends it.
    host_->SendRequest(0, host_->CreateRequest(0, SYNTHESIZER_STOP));
    const apr_time_t ended = WaitFinal(0, hung, std::chrono::seconds(60));
    return {firsts.empty() ? -1 : bench::Quantile(firsts, 0.5), ended ? (ended - hung_at) / 1e3 : -1};
  }

 private:
  static bool Final(const HostEvent& e) {
    return e.message_type == MRCP_MESSAGE_TYPE_EVENT || e.request_state == MRCP_REQUEST_STATE_COMPLETE ||
           !e.ended.empty();
  }
  // Sends a plain-text SPEAK spoken with `voice` on the channel, its audio
  // watched from now.
  mrcp_request_id Speak(int channel, const std::string& voice) {
    mrcp_message_t* request = host_->CreateRequest(channel, SYNTHESIZER_SPEAK);
    mrcp_synth_header_t* synth = mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
    apt_string_assign(&generic->content_type, "text/plain", request->pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    apt_string_assign(&synth->voice_param.name, voice.c_str(), request->pool);
    mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    apt_string_assign(&request->body, "Your call is important to us.", request->pool);
    sink_.Arm(channel);
    host_->SendRequest(channel, request);
    return request->start_line.request_id;
  }
  // When the request's final answer came (its own, or the STOP that ended
  // it), or 0 after `wait`.
  apr_time_t WaitFinal(int channel, mrcp_request_id id, std::chrono::milliseconds wait) {
    apr_time_t at = 0;
    host_->WaitFor(
        [&](const std::vector<HostEvent>& events) {
          for (const HostEvent& e : events) {
            if (e.kind != HostEvent::Kind::Message || e.channel != channel) continue;
            const bool ended = std::find(e.ended.begin(), e.ended.end(), id) != e.ended.end();
            if ((e.request_id == id && Final(e)) || ended) at = e.time_us;
          }
          return at != 0;
        },
        wait);
    return at;
  }

  FirstAudio sink_;
  std::string root_;
  std::unique_ptr<corvex::Host> host_;
  bool ok_ = false;
};

int Memory(int channels, int workers) {
  TestSpeechService service;  // the fast profile: memory, not latency, is measured
  Server server(service.text_url(), static_cast<std::size_t>(channels), workers);
  if (!service.ok() || !server.ok()) return 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long idle = ResidentKb();
  std::vector<apr_time_t> sent, in_progress, first;
  long speaking = 0;
  std::thread sampler([&] {
    // Half-way through the 5 s of audio, every channel is playing.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    speaking = ResidentKb();
  });
  const bool ok = server.Burst(channels, "fault:instant,ms=5000", &sent, &in_progress, &first);
  sampler.join();
  std::printf("memory %d %ld %ld %d\n", channels, idle, speaking, workers);
  return ok ? 0 : 1;
}

// The k-th of a burst waits for ceil(k / lanes) answers; the engine thread
// alone is one lane.
double Predicted(int k, int workers, double latency) {
  const int lanes = std::max(workers, 1);
  return static_cast<double>((k + lanes - 1) / lanes) * latency;
}

int Measure(const std::string& text_url, int workers, bool quick, double latency) {
  const std::string voice = "fault:instant,ms=500";
  Server server(text_url, 100, workers);
  if (!server.ok()) return 1;
  int status = 0;
  for (int n : {1, 8, 32, 100}) {
    const int runs = n == 1 ? 15 : n == 8 ? 4 : n == 32 && !quick ? 2 : 1;
    std::vector<double> waits, predicted, answered, played;
    std::vector<apr_time_t> sent, in_progress, first;
    for (int r = 0; r < runs; ++r) {
      if (!server.Burst(n, voice, &sent, &in_progress, &first)) status = 1;
      for (int c = 0; c < n; ++c) {
        if (first[c]) waits.push_back((first[c] - sent[c]) / 1e3);
        if (in_progress[c]) answered.push_back((in_progress[c] - sent[c]) / 1e3);
        if (first[c] && in_progress[c]) played.push_back((first[c] - in_progress[c]) / 1e3);
        predicted.push_back(Predicted(c + 1, workers, latency));
      }
    }
    // Where a burst's time goes: to the SPEAK's response, then to its first
    // audio (out/bench/capacity.err).
    std::fprintf(stderr,
                 "burst of %d, %d workers: IN-PROGRESS p50 %.1f ms, p99 %.1f ms; then first audio p50 %.1f ms, "
                 "p99 %.1f ms\n",
                 n, workers, bench::Quantile(answered, 0.5), bench::Quantile(answered, 0.99),
                 bench::Quantile(played, 0.5), bench::Quantile(played, 0.99));
    std::printf("capacity burst %d %d %.1f %.1f %.1f %.1f\n", workers, n, bench::Quantile(waits, 0.5),
                bench::Quantile(waits, 0.99), bench::Quantile(predicted, 0.5), bench::Quantile(predicted, 0.99));
    std::fflush(stdout);
  }
  // Sustained: three channels per lane keep every lane busy, with SPEAKs
  // short enough that each channel asks again at once.
  int starts = 0;
  const double rate =
      server.Sustain(std::min(100, 3 * std::max(workers, 1)), "fault:instant,ms=20", quick ? 4 : 8, &starts);
  std::printf("capacity sustained %d %.2f %d\n", workers, rate, starts);
  std::vector<double> stops;
  for (int i = 0; i < (workers > 0 ? (quick ? 20 : 50) : (quick ? 3 : 6)); ++i) {
    const double ms = server.StopWhileRequesting();
    if (ms >= 0) stops.push_back(ms);
  }
  std::printf("capacity stop %d %.1f %.1f %zu\n", workers, bench::Quantile(stops, 0.5), bench::Quantile(stops, 0.99),
              stops.size());
  // Without workers the first SPEAK waits out the hang and the rest would
  // not: one tells it. With workers each is one draw of the service's delay.
  const int isolated = workers > 0 ? 7 : 1;
  const auto [first_audio, hang] = server.Isolation(voice, isolated);
  std::printf("capacity isolation %d %.1f %.1f %d\n", workers, first_audio, hang, isolated);
  std::fflush(stdout);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  apr_initialize();
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--memory") == 0) {
    return Memory(std::atoi(argv[2]), argc == 4 ? std::atoi(argv[3]) : 0);
  }
  bool quick = false;
  std::vector<int> worker_counts = {0};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--workers") == 0 && i + 1 < argc) {
      worker_counts.clear();
      for (const char* p = argv[++i]; *p;) {
        char* end = nullptr;
        worker_counts.push_back(static_cast<int>(std::strtol(p, &end, 10)));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p) return 2;
      }
    } else {
      std::fprintf(stderr, "usage: capacity_bench [--quick] [--workers 0,8,32] | --memory N [WORKERS]\n");
      return 2;
    }
  }

  TestSpeechService credentials;  // writes the credentials file the cloud-like service reads
  speech_service::Options options;
  options.credentials_file = credentials.credentials_file();
  options.port = 0;
  options.profile.cloud = true;
  if (const char* ms = std::getenv("CAPACITY_LATENCY_MS")) options.profile.first_byte_ms = std::atol(ms);
  speech_service::SpeechService cloud(options);
  if (!credentials.ok() || !cloud.Start()) {
    std::fprintf(stderr, "capacity_bench: no speech service: %s\n", cloud.error().c_str());
    return 1;
  }

  // L: the service alone, one request at a time, through the SDK.
  init_o_integer_module();
  std::vector<double> service_ms;
  {
    BrillCloudRequester requester(TestSpeechService::kClientId, TestSpeechService::kClientKey, "qelbrill",
                                  (cloud.address() + "/v1/text").c_str(), "", nullptr);
    for (int i = 0; i < 40; ++i) {
      RequestInfoJSON* info = bench::SpeakRequestInfo("Your call is important to us.", "fault:instant,ms=500", false);
      const apr_time_t start = apr_time_now();
      try {
        BrillServerJSON* answer = requester.textRequest("speak_this", nullptr, info, nullptr);
        if (answer && answer->countOfAllResults() > 0) service_ms.push_back((apr_time_now() - start) / 1e3);
      } catch (const char*) {
      }
      info->release();
    }
  }
  double mean = 0;
  for (double ms : service_ms) mean += ms / static_cast<double>(service_ms.size());
  std::printf("capacity service %.1f %.1f %.1f\n", mean, bench::Quantile(service_ms, 0.5),
              bench::Quantile(service_ms, 0.99));
  std::fflush(stdout);

  int status = 0;
  for (int workers : worker_counts) status |= Measure(cloud.address() + "/v1/text", workers, quick, mean);
  cleanup_o_integer_module();
  return status;
}
