// What every benchmark program here shares: a reporter that prints Google
// Benchmark's console output and then the benchmark's own summary lines (the
// ones scripts/bench reads), the program's main, and the text request the
// plugin sends for a plain-text SPEAK, for timing the speech service alone.
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include <apr_general.h>
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "brillify/RequestInfoJSON.h"
#include "speak_request.h"

namespace bench {

// Console output, then the lines Summarize adds, after everything else.
// OnRun sees every run; the medians of repeated runs are also kept, in
// seconds, by function name and arguments.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0;  // seconds
    double cpu = 0;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        const double scale = benchmark::GetTimeUnitMultiplier(run.time_unit);
        medians_[run.run_name.function_name][run.run_name.args] = {run.GetAdjustedRealTime() / scale,
                                                                   run.GetAdjustedCPUTime() / scale};
      }
      OnRun(run);
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    Summarize();
    std::printf("\n");
    for (const std::string& line : lines_) std::printf("%s\n", line.c_str());
  }

 protected:
  virtual void OnRun(const Run& /*run*/) {}
  virtual void Summarize() {}

  static bool IsMedian(const Run& run) { return run.run_type == Run::RT_Aggregate && run.aggregate_name == "median"; }
  // A counter's value, or -1 when the run has none.
  static double Counter(const Run& run, const char* name) {
    const auto it = run.counters.find(name);
    return it == run.counters.end() ? -1.0 : it->second.value;
  }
  // Median times of `function` by arguments.
  const std::map<std::string, Times>& Medians(const std::string& function) { return medians_[function]; }

  __attribute__((format(printf, 2, 3))) void Line(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    lines_.emplace_back(text);
  }

 private:
  std::map<std::string, std::map<std::string, Times>> medians_;
  std::vector<std::string> lines_;
};

// The whole main of a benchmark program: APR around the runs, `done` after
// them (to release what the benchmarks kept) and before the shutdown.
inline int RunBenchmarks(int argc, char** argv, SummaryReporter& reporter, const std::function<void()>& done = {}) {
  apr_initialize();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (done) done();
  benchmark::Shutdown();
  apr_terminate();
  return 0;
}

// The request info the plugin sends for a plain-text SPEAK of `text` in
// `voice` ("Default" when empty), its two random identifiers aside, asking
// for the audio by URL when `by_url`. One reference for the caller.
inline RequestInfoJSON* SpeakRequestInfo(const char* text, const std::string& voice, bool by_url) {
  return corvex_test::SpeakRequestInfo(text, voice.empty() ? "Default" : voice, by_url);
}

}  // namespace bench

#endif  // BENCH_BENCH_SUPPORT_H
