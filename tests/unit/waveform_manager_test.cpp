// The waveform manager on a real folder: file names, the WAVE header it
// writes, and the cache surviving a restart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "QelCacheEntry.h"
#include "QelWaveformManager.h"
#include "apr_pool_test.h"
#include "log_capture.h"
#include "manual_timer_processor.h"
#include "test_root.h"
#include "wave_header.h"

namespace fs = std::filesystem;
using TARNWICKSS::WaveformManager;
using Bytes = std::vector<std::uint8_t>;
using CacheEntry = WaveformManager::CacheEntry;

namespace {

using corvex_test::ManualTimerProcessor;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A canonical 16000 Hz file whose header's data size says `declared`, then `audio`.
Bytes Canonical(std::uint32_t declared, const Bytes& audio) {
  Bytes out = ToBytes(WaveHeader(16000, declared));
  out.insert(out.end(), audio.begin(), audio.end());
  return out;
}

Bytes Ramp(std::size_t n, std::uint8_t start = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(start + i);
  return out;
}

class WaveformManagerTest : public corvex_test::AprPoolTest {
 protected:
  void SetUp() override {
    AprPoolTest::SetUp();
    dir_ = MakeRoot("waveforms", {"utterances"}) + "/utterances/";
    settings_.waveform_folder = dir_;
    settings_.file_prefix = "tarnwickss-";
    settings_.max_file_age = 0;  // no timers unless a test arms them
    ManualTimerProcessor::SetNow(apr_time_now());
  }
  void TearDown() override {
    manager_.reset();
    processor_.reset();
    AprPoolTest::TearDown();
  }

  WaveformManager& Make(bool caching, bool with_timers = false) {
    manager_.reset();
    manager_ = std::make_unique<WaveformManager>(settings_, caching);
    if (with_timers) manager_->SetTimerProcessor(processor_.get());
    return *manager_;
  }
  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(dir_ + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  Bytes Read(const std::string& name) {
    std::ifstream in(dir_ + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  bool OnDisk(const std::string& name) const { return fs::exists(dir_ + name); }

  // A cache entry for `text`, its waveform written and both files saved.
  CacheEntry* Cached(WaveformManager& manager, const std::string& name, const std::string& text) {
    Write(name, Canonical(4, Ramp(4)));
    auto* entry = new CacheEntry(name, apr_time_now());
    entry->checksum = WaveformManager::CalculateChecksum(text);
    entry->content = text;
    entry->sampling_rate = 8000;
    EXPECT_TRUE(manager.SaveCacheFile(entry, pool_));
    return entry;
  }

  corvex_test::LogCapture log_;
  std::string dir_;
  WaveformManager::Settings settings_;
  std::unique_ptr<ManualTimerProcessor> processor_ = std::make_unique<ManualTimerProcessor>();
  std::unique_ptr<WaveformManager> manager_;
};

// The first segment has no number; the tag only with use-logging-tag.
TEST_F(WaveformManagerTest, ComposeNameFromIdNumbersAndTag) {
  std::string name;
  for (bool tags : {false, true}) {
    settings_.use_logging_tag = tags;
    WaveformManager& manager = Make(false);
    ASSERT_TRUE(manager.ComposeName(name, "ab12", 7, 1, "x1", pool_));
    EXPECT_EQ(name, tags ? "tarnwickss-ab12-7-x1.wav" : "tarnwickss-ab12-7.wav");
    ASSERT_TRUE(manager.ComposeName(name, "ab12", 18446744073709551615ULL, 3, "", pool_));
    EXPECT_EQ(name, "tarnwickss-ab12-18446744073709551615-3.wav");
  }
  // A long tag is cut so that the attribute file's name fits too.
  std::string attributes;
  ASSERT_TRUE(Make(false).ComposeName(name, "ab12", 7, 3, std::string(300, 't'), pool_));
  WaveformManager::CacheEntry::ComposeFileName(name, attributes);
  EXPECT_TRUE(name.size() <= 255 && attributes.size() <= 255 && name.rfind(".wav") == name.size() - 4) << name;
}

TEST_F(WaveformManagerTest, WrittenHeaderFor8BitAnd16BitLayouts) {
  WaveformManager& manager = Make(false);
  WaveformManager::WaveFile wave;
  wave.name = "mulaw.wav";
  ASSERT_TRUE(manager.OpenWavefile(wave, 8000, TARNWICKSS::kWaveFormatMulaw, pool_));
  ASSERT_NE(wave.file, nullptr);
  const Bytes audio = Ramp(3200);
  apr_size_t written = 0;
  apr_file_write_full(wave.file, audio.data(), audio.size(), &written);
  wave.content_length = written;
  ASSERT_TRUE(manager.CloseWavefile(wave, 0));
  EXPECT_EQ(wave.file, nullptr);

  const Bytes bytes = Read("mulaw.wav");
  ASSERT_EQ(bytes.size(), 44u + 3200u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 44), ToBytes(WaveHeader(8000, 3200, 7, 8)));
  EXPECT_EQ(Bytes(bytes.begin() + 44, bytes.end()), audio);

  wave.name = "pcm.wav";
  ASSERT_TRUE(manager.OpenWavefile(wave, 16000, TARNWICKSS::kWaveFormatPcm, pool_));
  wave.content_length = 0;
  ASSERT_TRUE(manager.CloseWavefile(wave, 0));
  EXPECT_EQ(Read("pcm.wav"), ToBytes(WaveHeader(16000, 0)));

  EXPECT_FALSE(manager.CloseWavefile(wave, 0));  // nothing open any more
}

TEST_F(WaveformManagerTest, FolderEntriesAreCacheRecordsOnlyWithCaching) {
  Write("tarnwickss-a-1.wav", Canonical(0, {}));
  {
    WaveformManager& plain = Make(false);
    ASSERT_TRUE(plain.LoadFileEntries());
    ASSERT_EQ(plain.file_entries().size(), 1u);
    EXPECT_EQ(dynamic_cast<CacheEntry*>(plain.file_entries().begin()->second), nullptr);
    EXPECT_TRUE(plain.cache_records().empty());
  }
  WaveformManager& cached = Make(true);
  ASSERT_TRUE(cached.LoadFileEntries());
  ASSERT_EQ(cached.cache_records().size(), 1u);
  EXPECT_EQ(cached.cache_records().begin()->first, 0u);  // no attribute file
  EXPECT_EQ(log_.Count("Cannot Open Cache File for Reading " + dir_ + "tarnwickss-a-1.cache", APT_PRIO_WARNING), 1u);
  EXPECT_EQ(log_.Count("WVFM total file entries [1] timers [0]", APT_PRIO_NOTICE), 2u);
}

TEST_F(WaveformManagerTest, RestartReloadsTheCacheWithItsUseCounts) {
  settings_.max_file_count = 3;
  {
    WaveformManager& first = Make(true);
    ASSERT_TRUE(first.LoadFileEntries());
    CacheEntry* hello = Cached(first, "tarnwickss-c-1.wav", "hello");
    ASSERT_TRUE(first.AddFileEntry(hello));
    ASSERT_TRUE(first.AddFileEntry(Cached(first, "tarnwickss-c-2.wav", "world")));
    ASSERT_TRUE(first.AddFileEntry(Cached(first, "tarnwickss-c-3.wav", "again")));
    // A hit on "hello": count raised, attribute file saved again.
    ASSERT_TRUE(first.LoadCacheFile(hello, pool_));
    ASSERT_TRUE(first.UpdateFileEntryUsage(hello, hello->usage + 1));
    ASSERT_TRUE(first.SaveCacheFile(hello, pool_));
    hello->ReleaseMemory();
  }

  WaveformManager& second = Make(true);
  ASSERT_TRUE(second.LoadFileEntries());
  ASSERT_EQ(second.cache_records().size(), 3u);
  const auto hits = second.cache_records().equal_range(WaveformManager::CalculateChecksum("hello"));
  ASSERT_NE(hits.first, hits.second);
  CacheEntry* hello = hits.first->second;
  EXPECT_EQ(hello->usage, 1u);
  ASSERT_TRUE(second.LoadCacheFile(hello, pool_));
  EXPECT_EQ(hello->content, "hello");
  EXPECT_EQ(hello->sampling_rate, 8000);

  // The used one outlives the two unused ones.
  ASSERT_TRUE(second.AddFileEntry(Cached(second, "tarnwickss-c-4.wav", "fresh")));
  ASSERT_TRUE(second.AddFileEntry(Cached(second, "tarnwickss-c-5.wav", "newer")));
  EXPECT_TRUE(OnDisk("tarnwickss-c-1.wav"));
  EXPECT_TRUE(OnDisk("tarnwickss-c-1.cache"));
  for (const char* gone :
       {"tarnwickss-c-2.wav", "tarnwickss-c-2.cache", "tarnwickss-c-3.wav", "tarnwickss-c-3.cache"}) {
    EXPECT_FALSE(OnDisk(gone)) << gone;
  }
  EXPECT_EQ(second.cache_records().size(), 3u);
}

TEST_F(WaveformManagerTest, ExpiryRemovesBothFilesAndTheCacheRecord) {
  settings_.max_file_age = 1;
  WaveformManager& manager = Make(true, true);
  ASSERT_TRUE(manager.LoadFileEntries());
  CacheEntry* entry = Cached(manager, "tarnwickss-e-1.wav", "expiring");
  ASSERT_TRUE(manager.AddFileEntry(entry));
  ASSERT_EQ(manager.cache_records().size(), 1u);
  processor_->RunPending();
  processor_->AdvanceMs(60000);
  EXPECT_FALSE(OnDisk("tarnwickss-e-1.wav"));
  EXPECT_FALSE(OnDisk("tarnwickss-e-1.cache"));
  EXPECT_TRUE(manager.cache_records().empty());
  EXPECT_TRUE(manager.file_entries().empty());
  EXPECT_EQ(log_.Warnings(), 0u) << log_.WarningText();
}

}  // namespace
