// Capacity of one server process against a service that answers like a
// cloud (the speech service's "cloud" profile): one engine thread makes every
// channel's cloud request in turn, so the k-th of N SPEAKs sent at the same
// moment waits about k x L for a service latency of L, and one process
// starts at most about 1000 / L SPEAKs per second.
//
//   capacity_bench [--quick]       service latency, bursts of N simultaneous
//                                  SPEAKs, sustained starts per second
//   capacity_bench --memory N      resident size with N channels open, idle
//                                  and while each plays a 5 s SPEAK
//
// Prints lines for scripts/bench (times in ms):
//   capacity service MEAN P50 P99
//   capacity burst N P50 P99 PREDICTED_P50 PREDICTED_P99
//   capacity sustained STARTS_PER_S SPEAKS
//   memory N IDLE_KB SPEAKING_KB
// The first-byte delay is CAPACITY_LATENCY_MS (default 250). Channels read
// their media in real time (a frame each 10 ms), so a first audio is seen up
// to 10 ms late.
#include <apr_general.h>
#include <apr_time.h>
#include <unistd.h>

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
  Server(const std::string& text_url, std::size_t channels) : sink_(channels) {
    root_ = MakeTestRoot("capacity-bench");
    InstallSampleConfig(root_);
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
      mrcp_message_t* request = host_->CreateRequest(c, SYNTHESIZER_SPEAK);
      mrcp_synth_header_t* synth = mrcp_resource_header_prepare(request);
      mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
      apt_string_assign(&generic->content_type, "text/plain", request->pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
      apt_string_assign(&synth->voice_param.name, voice.c_str(), request->pool);
      mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
      apt_string_assign(&request->body, "Your call is important to us.", request->pool);
      ids[c] = request->start_line.request_id;
      sink_.Arm(c);
      (*sent)[c] = apr_time_now();
      host_->SendRequest(c, request);
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
        if ((e.message_type == MRCP_MESSAGE_TYPE_EVENT || e.request_state == MRCP_REQUEST_STATE_COMPLETE) &&
            !done[e.channel]) {
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

 private:
  FirstAudio sink_;
  std::string root_;
  std::unique_ptr<corvex::Host> host_;
  bool ok_ = false;
};

int Memory(int channels) {
  TestSpeechService service;  // the fast profile: memory, not latency, is measured
  Server server(service.text_url(), static_cast<std::size_t>(channels));
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
  std::printf("memory %d %ld %ld\n", channels, idle, speaking);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  apr_initialize();
  if (argc == 3 && std::strcmp(argv[1], "--memory") == 0) return Memory(std::atoi(argv[2]));
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;

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
  const std::string voice = "fault:instant,ms=500";

  // L: the service alone, one request at a time, through the SDK.
  init_o_integer_module();
  std::vector<double> service_ms;
  {
    BrillCloudRequester requester(TestSpeechService::kClientId, TestSpeechService::kClientKey, "qelbrill",
                                  (cloud.address() + "/v1/text").c_str(), "", nullptr);
    for (int i = 0; i < (quick ? 12 : 30); ++i) {
      RequestInfoJSON* info = bench::SpeakRequestInfo("Your call is important to us.", voice, false);
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

  Server server(cloud.address() + "/v1/text", 100);
  if (!server.ok()) return 1;
  int status = 0;
  for (int n : {1, 8, 32, 100}) {
    const int runs = n == 1 ? (quick ? 5 : 15) : n == 8 ? (quick ? 2 : 4) : n == 32 && !quick ? 2 : 1;
    std::vector<double> waits, predicted;
    std::vector<apr_time_t> sent, in_progress, first;
    for (int r = 0; r < runs; ++r) {
      if (!server.Burst(n, voice, &sent, &in_progress, &first)) status = 1;
      for (int c = 0; c < n; ++c) {
        if (first[c]) waits.push_back((first[c] - sent[c]) / 1e3);
        predicted.push_back((c + 1) * mean);  // the k-th in line waits for k answers
      }
      if (n == 100) {
        // Sustained: while the line is full, one start per service answer.
        apr_time_t low = 0, high = 0;
        int starts = 0;
        for (apr_time_t t : in_progress) {
          if (!t) continue;
          low = low && low < t ? low : t;
          high = high > t ? high : t;
          ++starts;
        }
        if (starts > 1 && high > low) {
          std::printf("capacity sustained %.2f %d\n", (starts - 1) * 1e6 / static_cast<double>(high - low), starts);
        }
      }
    }
    std::printf("capacity burst %d %.1f %.1f %.1f %.1f\n", n, bench::Quantile(waits, 0.5), bench::Quantile(waits, 0.99),
                bench::Quantile(predicted, 0.5), bench::Quantile(predicted, 0.99));
    std::fflush(stdout);
  }
  cleanup_o_integer_module();
  return status;
}
