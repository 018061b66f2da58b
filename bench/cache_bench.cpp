// The waveform cache with 10,000 entries in its folder: a cache hit (SPEAK
// delivered to its IN-PROGRESS response, the audio read from the folder)
// against a cache miss on the same engine with the speech service answering
// at once with pre-made audio (fault switch "instant"), and the engine's
// start-up (open to its acknowledgement) loading that folder, against the
// start-up on an empty folder.
//
// The folder is made once: one SPEAK through the plugin leaves a real entry
// (waveform and attribute file); its attributes are then written again for
// 10,000 other sentences, each with a copy of the same waveform (not a hard
// link: links share one change time, which the store keys its entries by,
// and no real folder has thousands of entries of one time). The
// sentences are random runs of everyday words, so their checksums (sums of
// their bytes) collide as real prompts' do: a lookup passes over every
// entry with the sentence's checksum.
//
// With more than 10,000 entries (CACHE_BENCH_ENTRIES), a folder of 10,000
// (the same first sentences) is made too, and the hits are timed on both in
// one stretch: rounds that open an engine on one folder, time its hits and
// close it, alternating between the two. Runs of the whole program minutes
// apart differ by more than a lookup costs; alternating rounds put any drift
// of the machine on both sides.
//
// Prints the medians and, last, one line per figure:
//   cache hit|miss MS            median SPEAK to IN-PROGRESS
//   cache hit-pair BASE_ENTRIES BASE_MS ENTRIES MS   median hit of each
//                                folder over the alternating rounds
//   cache start-up ENTRIES MS    median start-up after a clean close (the
//                                engine's cache index is there)
//   cache start-up ENTRIES no-index MS   the same without the index
//   cache close ENTRIES MS       median close of the engine, which writes the
//                                index
//   cache memory per entry BYTES malloc's memory the engine holds after
//                                start-up, less the empty folder's, per entry
#include <apr_general.h>
#include <apr_pools.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "QelCacheEntry.h"
#include "QelCacheIndex.h"
#include "QelWaveformManager.h"
#include "bench_support.h"
#include "hosted_plugin.h"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

namespace fs = std::filesystem;
using corvex_test::TestSpeechService;
using TARNWICKSS::WaveformManager;

// Entries in the full folder: CACHE_BENCH_ENTRIES, default 10,000.
int Entries() {
  static const int entries = [] {
    const char* text = std::getenv("CACHE_BENCH_ENTRIES");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 10000;
  }();
  return entries;
}
constexpr unsigned kRate = 8000;
// One second of pre-made audio, spoken at once.
constexpr const char* kVoice = "fault:instant,ms=1000";

// A sentence of 6 to 14 everyday words; the same index gives the same one.
std::string Sentence(std::mt19937& random) {
  static const char* const kWords[] = {
      "your",    "account", "balance", "is",      "the",     "next",     "available",   "agent",    "will",
      "be",      "with",    "you",     "shortly", "please",  "hold",     "while",       "we",       "connect",
      "call",    "press",   "one",     "two",     "for",     "billing",  "support",     "sales",    "thank",
      "calling", "our",     "office",  "hours",   "are",     "monday",   "through",     "friday",   "from",
      "nine",    "until",   "five",    "order",   "has",     "been",     "shipped",     "and",      "should",
      "arrive",  "within",  "three",   "days",    "payment", "received", "to",          "hear",     "these",
      "options", "again",   "say",     "repeat",  "main",    "menu",     "appointment", "tomorrow", "morning"};
  std::uniform_int_distribution<int> length(6, 14);
  std::uniform_int_distribution<std::size_t> word(0, sizeof(kWords) / sizeof(kWords[0]) - 1);
  std::string text;
  for (int n = length(random); n > 0; --n) {
    if (!text.empty()) text += ' ';
    text += kWords[word(random)];
  }
  text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text + ".";
}

// The sample configuration with the cache on and room for every entry.
void WriteConfig(const std::string& root) {
  InstallSampleConfig(root);
  std::ifstream in(root + "/conf/tarnwickss.xml");
  std::stringstream text;
  text << in.rdbuf();
  std::string xml = text.str();
  xml = std::regex_replace(xml, std::regex("caching=\"false\""), "caching=\"true\"");
  // Twice the entries: the hits' own misses add entries of their own.
  xml = std::regex_replace(xml, std::regex("max-file-count=\"100\""),
                           "max-file-count=\"" + std::to_string(2 * Entries()) + "\"");
  std::ofstream(root + "/conf/tarnwickss.xml") << xml;
}

// The cache folder (the var directory) and the sentences in it.
struct CacheFolder {
  TestSpeechService service;
  std::string root;
  std::string empty_root;  // the same configuration, no entries
  std::vector<std::string> sentences;
  std::string error;

  // `entries` sentences; the first n of a larger folder are a folder of n.
  CacheFolder(int entries, const std::string& name) {
    root = MakeTestRoot(name);
    empty_root = MakeTestRoot(name + "-empty");
    for (const std::string& r : {root, empty_root}) {
      WriteConfig(r);
      bench::PointAtService(r, service);
    }
    if (!service.ok()) {
      error = "the speech service did not start: " + service.error();
      return;
    }
    // A real entry first.
    {
      bench::HostedPlugin plugin(root, kRate);
      if (!plugin.ok() || !plugin.Speak("The sentence the others copy.", kVoice).completed) {
        error = "the priming SPEAK did not complete";
        return;
      }
    }
    fs::path seed;
    for (const auto& item : fs::directory_iterator(root + "/var")) {
      if (item.path().extension() == ".cache") seed = item.path();
    }
    if (seed.empty()) {
      error = "the priming SPEAK left no cache entry";
      return;
    }
    fs::path wave = seed;
    wave.replace_extension(".wav");

    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    WaveformManager::CacheEntry entry(seed.filename().string(), 0);
    entry.Load(seed.string(), pool);
    std::mt19937 random(42);
    std::set<std::string> seen;
    while (static_cast<int>(sentences.size()) < entries) {
      std::string text = Sentence(random);
      if (!seen.insert(text).second) continue;
      const std::string stem = root + "/var/tarnwickss-cached-" + std::to_string(sentences.size());
      entry.content = text;
      entry.checksum = WaveformManager::CalculateChecksum(text);
      entry.Save(stem + ".cache", pool);
      fs::copy_file(wave, stem + ".wav");
      sentences.push_back(std::move(text));
    }
    apr_pool_destroy(pool);
    // Written out before anything is timed: a hit rewrites its attribute
    // file, which would otherwise wait behind the kernel's writeback of the
    // whole folder just made (at 100,000 entries, 1.6 GB).
    ::sync();
  }
  ~CacheFolder() {
    fs::remove_all(root);
    fs::remove_all(empty_root);
  }
};

constexpr int kBaseEntries = 10000;

CacheFolder& Folder() {
  static CacheFolder folder(Entries(), "cache-bench");
  return folder;
}

// The folder of kBaseEntries beside a larger one.
CacheFolder& BaseFolder() {
  static CacheFolder folder(kBaseEntries, "cache-bench-base");
  return folder;
}

// The engine the SPEAKs go to; closed before the run ends.
std::unique_ptr<bench::HostedPlugin> g_plugin;

// Engine start-up: open to acknowledgement, on the empty folder (argument 0),
// on the full one after a clean close (1: the cache index is there), and on
// the full one without the index (2: as after a crash).
void BM_EngineStartUp(benchmark::State& state) {
  CacheFolder& folder = Folder();
  if (!folder.error.empty()) {
    state.SkipWithError(folder.error.c_str());
    return;
  }
  const std::string& root = state.range(0) ? folder.root : folder.empty_root;
  const std::string index = root + "/var/" + TARNWICKSS::CacheIndex::kFileName;
  double heap = 0;      // malloc's bytes in use after the open less before it
  double close_ms = 0;  // the engine's close, the index written
  for (auto _ : state) {
    if (state.range(0) == 2) fs::remove(index);
    corvex::HostConfig config;
    config.root = root;
    auto host = std::make_unique<corvex::Host>(config);
    if (!host->LoadPlugin(TARNWICKSS_PLUGIN_PATH)) {
      state.SkipWithError("the plugin did not load");
      break;
    }
    const std::size_t heap_before = mallinfo2().uordblks;
    const apr_time_t start = apr_time_now();
    const bool opened = host->OpenEngine();
    const apr_time_t end = apr_time_now();
    heap += static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heap_before);
    if (!opened) {
      state.SkipWithError("the engine did not open");
      break;
    }
    state.SetIterationTime(static_cast<double>(end - start) / 1e6);
    state.PauseTiming();
    const apr_time_t close_start = apr_time_now();
    host.reset();
    close_ms += static_cast<double>(apr_time_now() - close_start) / 1e3;
    state.ResumeTiming();
    if (state.range(0) == 1 && !fs::exists(index)) {
      state.SkipWithError("the engine's close left no cache index");
      break;
    }
  }
  state.counters["heap_bytes"] = benchmark::Counter(heap, benchmark::Counter::kAvgIterations);
  state.counters["close_ms"] = benchmark::Counter(close_ms, benchmark::Counter::kAvgIterations);
}

// SPEAK to IN-PROGRESS for a cached sentence (argument 1) or a new one (0),
// on one engine that keeps running.
void BM_SpeakToInProgress(benchmark::State& state) {
  CacheFolder& folder = Folder();
  if (!folder.error.empty()) {
    state.SkipWithError(folder.error.c_str());
    return;
  }
  if (!g_plugin) g_plugin = std::make_unique<bench::HostedPlugin>(folder.root, kRate);
  if (!g_plugin->ok()) {
    state.SkipWithError("the hosted plugin did not start");
    return;
  }
  const bool hit = state.range(0) != 0;
  static std::mt19937 random(7);
  static int misses = 0;
  std::uniform_int_distribution<std::size_t> pick(0, folder.sentences.size() - 1);
  for (auto _ : state) {
    const std::string text = hit ? folder.sentences[pick(random)]
                                 : "A sentence never spoken before, number " + std::to_string(++misses) + ".";
    const bench::HostedPlugin::Times times = g_plugin->Speak(text, kVoice);
    if (times.in_progress < 0 || !times.completed) {
      state.SkipWithError("a SPEAK did not complete");
      break;
    }
    state.SetIterationTime(times.in_progress);
  }
}

// Cache hits on the base folder and on the full one, in alternating rounds
// of one engine each: kRounds rounds per folder, kHitsPerRound hits per round.
constexpr int kRounds = 10;
constexpr int kHitsPerRound = 20;
void BM_HitPair(benchmark::State& state) {
  g_plugin.reset();  // one engine at a time, the base folder's priming SPEAK included
  CacheFolder* folders[2] = {&BaseFolder(), &Folder()};
  for (CacheFolder* folder : folders) {
    if (!folder->error.empty()) {
      state.SkipWithError(folder->error.c_str());
      return;
    }
  }
  std::vector<double> hit_ms[2];
  std::mt19937 random(11);
  for (auto _ : state) {
    for (int round = 0; round < 2 * kRounds; ++round) {
      const int side = (round + round / 2) % 2;  // base, full, full, base, base, full, ...
      CacheFolder& folder = *folders[side];
      bench::HostedPlugin plugin(folder.root, kRate);
      if (!plugin.ok()) {
        state.SkipWithError("the hosted plugin did not start");
        return;
      }
      std::uniform_int_distribution<std::size_t> pick(0, folder.sentences.size() - 1);
      for (int n = 0; n < kHitsPerRound; ++n) {
        const bench::HostedPlugin::Times times = plugin.Speak(folder.sentences[pick(random)], kVoice);
        if (times.in_progress < 0 || !times.completed) {
          state.SkipWithError("a SPEAK did not complete");
          return;
        }
        hit_ms[side].push_back(times.in_progress * 1e3);
      }
    }
  }
  state.counters["base_ms"] = bench::Quantile(hit_ms[0], 0.5);
  state.counters["full_ms"] = bench::Quantile(hit_ms[1], 0.5);
}

BENCHMARK(BM_EngineStartUp)
    ->Arg(0)
    ->Arg(2)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SpeakToInProgress)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

class CacheReporter : public bench::SummaryReporter {
  double empty_heap_ = 0;
  void OnRun(const Run& run) override {
    if (run.run_name.function_name == "BM_HitPair") {
      if (!run.error_occurred) {
        Line("cache hit-pair %d %.3f %d %.3f", kBaseEntries, Counter(run, "base_ms"), Entries(), Counter(run, "full_ms"));
      }
      return;
    }
    if (!IsMedian(run)) return;
    const double ms = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e3;
    if (run.run_name.function_name == "BM_EngineStartUp") {
      const bool full = run.run_name.args != "0";
      const bool indexed = run.run_name.args == "1";
      Line("cache start-up %d%s %.3f", full ? Entries() : 0, full && !indexed ? " no-index" : "", ms);
      // The empty folder's run comes first: what the engine holds anyway.
      if (!full) empty_heap_ = Counter(run, "heap_bytes");
      if (indexed) {
        Line("cache memory per entry %.0f", (Counter(run, "heap_bytes") - empty_heap_) / Entries());
        Line("cache close %d %.3f", Entries(), Counter(run, "close_ms"));
      }
    } else {
      Line("cache %s %.3f", run.run_name.args == "1" ? "hit" : "miss", ms);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (Entries() > kBaseEntries) {
    benchmark::RegisterBenchmark("BM_HitPair", BM_HitPair)->Iterations(1)->Unit(benchmark::kMillisecond);
  }
  CacheReporter reporter;
  return bench::RunBenchmarks(argc, argv, reporter, [] { g_plugin.reset(); });
}
