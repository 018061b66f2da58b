// Time to first audio through the local speech service (real speech from
// espeak-ng) for a ten-word sentence on an 8000 Hz channel: from the SPEAK
// handed to the hosted plugin to the first frame with audio the media
// thread reads, with the audio inline in the answer and by URL. Against the
// service's own time for the same request, sent straight to it through the
// SDK: the answer (inline), or the answer and the first piece of the fetched
// body (by URL).
//
// The service sends a fetched body in 4 KiB pieces, 2 ms apart (its default
// pacing, as a service that streams speech while it makes it). Argument 2
// fetches by URL with the pacing off (fault switch "piece-ms=0"), which shows
// what of the plugin's share is waiting for audio.
//
// Each iteration sends the request straight to the service, then the SPEAK,
// so that a change in the service's pace shows in both; p50 and p99 are taken
// over every iteration. The plugin's share is the median of the per-iteration
// differences (SPEAK less service alone): the service's time spreads over a
// few milliseconds from one request to the next, so the difference of two
// p50s of 300 samples each moves by more than the share itself, while the
// paired difference cancels what the two requests of one iteration share.
//
// Prints the usual output and, last, one line per delivery:
//   first-audio inline|url|url-unpaced P50_MS P99_MS SERVICE_P50_MS SERVICE_P99_MS SHARE_P50_MS
#include <apr_general.h>
#include <apr_time.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "brillify/BrillCloudRequester.h"
#include "brillify/BrillServerJSON.h"
#include "brillify/Client/Fetch.h"
#include "brillify/ClientMatchJSON.h"
#include "brillify/CommandResultJSON.h"
#include "brillify/Module.h"
#include "brillify/RequestInfoJSON.h"
#include "hosted_plugin.h"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

using corvex_test::TestSpeechService;

constexpr const char* kSentence = "Please hold while we connect you to the next agent.";
constexpr int kSamples = 300;

// Notes when the first piece of the body arrives.
class FirstPiece : public Client::FetchHandler {
 public:
  apr_time_t first_us = 0;
  void handleContent(unsigned long size, const void*) override {
    if (size > 0 && !first_us) first_us = apr_time_now();
  }
};

struct Road {
  Road() : service(TestSpeechService::Mode::kChildProcess) {
    root = MakeTestRoot("first-audio-bench");
    InstallSampleConfig(root);
    bench::PointAtService(root, service);
    ok = service.ok();
    if (ok) plugin = std::make_unique<bench::HostedPlugin>(root, 8000);
    ok = ok && plugin->ok();
    init_o_integer_module();
    requester = std::make_unique<BrillCloudRequester>(TestSpeechService::kClientId, TestSpeechService::kClientKey,
                                                      "qelbrill", service.text_url().c_str(), "", nullptr);
  }
  ~Road() {
    requester.reset();
    cleanup_o_integer_module();
    plugin.reset();
    std::filesystem::remove_all(root);
  }

  // The service's time to the audio, in seconds; negative on failure.
  double ServiceAlone(bool by_url, const std::string& voice) {
    RequestInfoJSON* info = bench::SpeakRequestInfo(kSentence, voice, by_url);
    double seconds = -1;
    const apr_time_t start = apr_time_now();
    try {
      BrillServerJSON* answer = requester->textRequest("speak_this", nullptr, info, nullptr);
      const CommandResultJSON* first =
          answer && answer->countOfAllResults() > 0 ? answer->elementOfAllResults(0) : nullptr;
      if (first && !by_url && !first->getResponseAudioBytes().empty()) {
        seconds = static_cast<double>(apr_time_now() - start) / 1e6;
      } else if (first && by_url && first->hasResponseAudioURL()) {
        FirstPiece handler;
        Client::Fetch fetch(first->getResponseAudioURL().c_str(), nullptr);
        fetch.get(&handler, Client::Fetch::GET);
        if (handler.first_us) seconds = static_cast<double>(handler.first_us - start) / 1e6;
      }
    } catch (const char*) {
    }
    info->release();
    return seconds;
  }

  TestSpeechService service;
  std::string root;
  std::unique_ptr<bench::HostedPlugin> plugin;
  std::unique_ptr<BrillCloudRequester> requester;
  bool ok = false;
};

std::unique_ptr<Road> g_road;

void BM_FirstAudio(benchmark::State& state) {
  if (!g_road) g_road = std::make_unique<Road>();
  if (!g_road->ok) {
    state.SkipWithError("the hosted plugin or the speech service did not start");
    return;
  }
  const bool by_url = state.range(0) != 0;
  // The plugin asks for the voice the SPEAK names, "Default" for none.
  const std::string voice = state.range(0) == 2 ? "fault:piece-ms=0" : "";
  std::vector<std::pair<std::string, std::string>> vendor;
  if (by_url) vendor.emplace_back("audio-as-url", "true");
  std::vector<double> plugin_ms, service_ms, share_ms;
  for (auto _ : state) {
    const double service = g_road->ServiceAlone(by_url, voice);
    const bench::HostedPlugin::Times times = g_road->plugin->Speak(kSentence, voice, vendor);
    if (service < 0 || times.first_audio < 0 || !times.completed) {
      state.SkipWithError("a request did not complete");
      return;
    }
    state.SetIterationTime(times.first_audio);
    plugin_ms.push_back(times.first_audio * 1e3);
    service_ms.push_back(service * 1e3);
    share_ms.push_back((times.first_audio - service) * 1e3);
  }
  state.counters["p50"] = bench::Quantile(plugin_ms, 0.5);
  state.counters["p99"] = bench::Quantile(plugin_ms, 0.99);
  state.counters["service_p50"] = bench::Quantile(service_ms, 0.5);
  state.counters["service_p99"] = bench::Quantile(service_ms, 0.99);
  state.counters["share_p50"] = bench::Quantile(share_ms, 0.5);
}

BENCHMARK(BM_FirstAudio)->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(kSamples);

class FirstAudioReporter : public bench::SummaryReporter {
  void OnRun(const Run& run) override {
    if (run.error_occurred || Counter(run, "p50") < 0) return;
    const char* how = run.run_name.args == "2" ? "url-unpaced" : run.run_name.args == "1" ? "url" : "inline";
    Line("first-audio %s %.3f %.3f %.3f %.3f %.3f", how, Counter(run, "p50"), Counter(run, "p99"),
         Counter(run, "service_p50"), Counter(run, "service_p99"), Counter(run, "share_p50"));
  }
};

}  // namespace

int main(int argc, char** argv) {
  setenv("BRILLIFY_TIMEOUT_MS", "10000", 1);
  FirstAudioReporter reporter;
  return bench::RunBenchmarks(argc, argv, reporter, [] { g_road.reset(); });
}
