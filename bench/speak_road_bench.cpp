// The plugin's own time on the road of a SPEAK: from the SPEAK handed to the
// real plugin (hosted as the server hosts it) to its 200 IN-PROGRESS
// response, for 5 s of inline audio (a 1 kHz tone from the local speech
// service) on an 8000 Hz and on a 16000 Hz channel, less the time of the
// same text request sent straight to the service through the SDK, which is
// what the service (and the SDK's transfer) take. The difference is what the
// plugin adds: the request info, decoding, resampling at 8000 Hz, queuing,
// the response. The same road with 0.1 s of audio is the baseline: what the
// plugin adds whatever the length of the audio.
//
// Prints, per rate and length, the medians over the repetitions of the
// SPEAK's time, the service's and the difference.
#include <apr_general.h>
#include <apr_time.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/ClientMatchJSON.h"
#include "brillify/Module.h"
#include "brillify/RequestInfoJSON.h"
#include "corvex/host_runtime.hpp"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

using corvex::HostEvent;
using corvex_test::TestSpeechService;

constexpr const char* kText = "Some tone.";

// The voice that makes the service answer with `ms` of a 1 kHz tone.
std::string Voice(int ms) { return "fault:tone=1000,ms=" + std::to_string(ms); }

// One service, one hosted plugin with a channel per rate, and an SDK
// requester of the bench's own, for the whole run.
struct Road {
  Road() {
    root = MakeTestRoot("speak-road-bench");
    InstallSampleConfig(root);
    std::ofstream(root + "/data/credentials.json")
        << "{\"client-id\": \"" << TestSpeechService::kClientId << "\", \"client-key\": \""
        << TestSpeechService::kClientKey << "\", \"text-request-url-base\": \"" << service.text_url() << "\"}";
    corvex::HostConfig config;
    config.root = root;
    host = std::make_unique<corvex::Host>(config);
    ok = service.ok() && host->LoadPlugin(TARNWICKSS_PLUGIN_PATH) && host->OpenEngine();
    for (unsigned rate : {8000u, 16000u}) {
      const int channel = ok ? host->CreateChannel(rate) : -1;
      ok = ok && channel >= 0 && host->OpenChannel(channel) && host->StartMedia(channel, nullptr, false);
      channels[rate] = channel;
    }
    init_o_integer_module();
    requester = std::make_unique<BrillCloudRequester>(TestSpeechService::kClientId, TestSpeechService::kClientKey,
                                                      "qelbrill", service.text_url().c_str(), "", nullptr);
  }
  ~Road() {
    for (auto& [ms, info] : infos) info->release();
    requester.reset();
    cleanup_o_integer_module();
    host.reset();
    std::filesystem::remove_all(root);
  }

  // The time of the text request straight to the service, in seconds;
  // negative when it failed.
  double ServiceAlone(int ms) {
    RequestInfoJSON*& info = infos[ms];
    if (!info) info = bench::SpeakRequestInfo(kText, Voice(ms), false);
    const apr_time_t start = apr_time_now();
    try {
      benchmark::DoNotOptimize(requester->textRequest("speak_this", nullptr, info, nullptr));
    } catch (const char*) {
      return -1;
    }
    return static_cast<double>(apr_time_now() - start) / 1e6;
  }

  // The time from the SPEAK's delivery to its IN-PROGRESS response, in
  // seconds; negative when it did not come. Waits for SPEAK-COMPLETE too.
  double Speak(unsigned rate, int ms) {
    const int channel = channels[rate];
    mrcp_message_t* request = host->CreateRequest(channel, SYNTHESIZER_SPEAK);
    mrcp_synth_header_t* synth = mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
    apt_string_assign(&generic->content_type, "text/plain", request->pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    apt_string_assign(&synth->voice_param.name, Voice(ms).c_str(), request->pool);
    mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    apt_string_assign(&request->body, kText, request->pool);
    const mrcp_request_id id = request->start_line.request_id;
    const apr_time_t sent = apr_time_now();
    host->SendRequest(channel, request);
    apr_time_t in_progress = 0;
    // In order of arrival, and to the end: a short SPEAK's IN-PROGRESS and
    // SPEAK-COMPLETE may both be there by the first look.
    const bool completed = host->WaitFor([&](const std::vector<HostEvent>& events) {
      bool complete = false;
      for (const HostEvent& event : events) {
        if (event.kind != HostEvent::Kind::Message || event.channel != channel || event.request_id != id) continue;
        if (event.request_state == MRCP_REQUEST_STATE_INPROGRESS) in_progress = event.time_us;
        if (event.message_type == MRCP_MESSAGE_TYPE_EVENT) complete = true;
      }
      return complete;
    });
    return completed && in_progress ? static_cast<double>(in_progress - sent) / 1e6 : -1;
  }

  TestSpeechService service;
  std::string root;
  std::unique_ptr<corvex::Host> host;
  std::map<unsigned, int> channels;
  std::unique_ptr<BrillCloudRequester> requester;
  std::map<int, RequestInfoJSON*> infos;  // by audio length, one reference each
  bool ok = false;
};

Road& TheRoad() {
  static Road road;
  return road;
}

// Each iteration sends the same text request straight to the service, then
// the SPEAK, so that a change in the service's pace shows in both. The time
// is the SPEAK's; counters give the service's and the difference (per
// iteration, in ms).
void BM_SpeakRoad(benchmark::State& state) {
  Road& road = TheRoad();
  if (!road.ok) {
    state.SkipWithError("the hosted plugin or the speech service did not start");
    return;
  }
  const auto rate = static_cast<unsigned>(state.range(0));
  const auto ms = static_cast<int>(state.range(1));
  double service_ms = 0, own_ms = 0;
  for (auto _ : state) {
    const double service = road.ServiceAlone(ms);
    const double speak = road.Speak(rate, ms);
    if (service < 0 || speak < 0) {
      state.SkipWithError("a request did not complete");
      return;
    }
    state.SetIterationTime(speak);
    service_ms += service * 1e3;
    own_ms += (speak - service) * 1e3;
  }
  state.counters["service_ms"] = benchmark::Counter(service_ms, benchmark::Counter::kAvgIterations);
  state.counters["own_ms"] = benchmark::Counter(own_ms, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_SpeakRoad)
    ->ArgsProduct({{8000, 16000}, {5000, 100}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true);

// At the end, each rate's and length's median SPEAK time, service time and
// their difference.
class OwnTimeReporter : public bench::SummaryReporter {
  void OnRun(const Run& run) override {
    if (!IsMedian(run) || Counter(run, "service_ms") < 0 || Counter(run, "own_ms") < 0) return;
    const std::string& args = run.run_name.args;  // "8000/5000"
    const std::size_t slash = args.find('/');
    Line("plugin's own time at %s Hz, %s ms of audio: %.3f ms (SPEAK to IN-PROGRESS %.3f ms, service alone %.3f ms)",
         args.substr(0, slash).c_str(), args.substr(slash + 1).c_str(), Counter(run, "own_ms"),
         run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e3, Counter(run, "service_ms"));
  }
};

}  // namespace

int main(int argc, char** argv) {
  setenv("BRILLIFY_TIMEOUT_MS", "10000", 1);
  OwnTimeReporter reporter;
  return bench::RunBenchmarks(argc, argv, reporter);
}
