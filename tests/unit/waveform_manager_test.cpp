// The waveform manager on a real folder: file names, the WAVE header it
// writes, and the cache surviving a restart, with its index and without.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "QelCacheEntry.h"
#include "QelCacheIndex.h"
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
  EXPECT_EQ(cached.cache_records().begin()->first.checksum, 0u);  // no attribute file
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
  const auto hits = second.CacheRecordsOf(WaveformManager::CalculateChecksum("hello"));
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

// What a load registered of each entry, in eviction order.
std::vector<std::string> Registered(const WaveformManager& manager) {
  std::vector<std::string> out;
  for (const auto& item : manager.file_entries()) {
    const auto* e = dynamic_cast<const CacheEntry*>(item.second);
    if (!e) return {"not a cache entry"};
    out.push_back(e->name + " time " + std::to_string(e->time) + " usage " + std::to_string(e->usage) + " checksum " +
                  std::to_string(e->checksum) + " key " + std::to_string(e->match_key()) + " rate " +
                  std::to_string(e->sampling_rate) + " gender " + std::to_string(e->voice_gender));
  }
  return out;
}

// The index spares the start-up every attribute file it can vouch for, and
// the start-up registers exactly what reading every file would have.
TEST_F(WaveformManagerTest, AnIndexedStartRegistersWhatReadingEveryFileWould) {
  const std::string index = TARNWICKSS::CacheIndex::kFileName;
  {
    WaveformManager& first = Make(true);
    ASSERT_TRUE(first.LoadFileEntries());
    for (const char* text : {"kept", "used", "rewritten", "deleted"}) {
      ASSERT_TRUE(first.AddFileEntry(Cached(first, std::string("tarnwickss-") + text + ".wav", text)));
    }
    CacheEntry* used = first.CacheRecordsOf(WaveformManager::CalculateChecksum("used")).first->second;
    ASSERT_TRUE(first.LoadCacheFile(used, pool_));
    ASSERT_TRUE(first.UpdateFileEntryUsage(used, 3));
    ASSERT_TRUE(first.SaveCacheFile(used, pool_));
    used->ReleaseMemory();
    ASSERT_TRUE(first.SaveCacheIndex(pool_));

    // While the engine is down: one entry replaced by another file of the
    // same name, one removed, one added.
    delete Cached(first, "tarnwickss-new.wav", "rewritten with other words");
    fs::rename(dir_ + "tarnwickss-new.wav", dir_ + "tarnwickss-rewritten.wav");
    fs::rename(dir_ + "tarnwickss-new.cache", dir_ + "tarnwickss-rewritten.cache");
    fs::remove(dir_ + "tarnwickss-deleted.wav");
    delete Cached(first, "tarnwickss-added.wav", "added");
  }
  WaveformManager& indexed = Make(true);
  ASSERT_TRUE(indexed.LoadFileEntries());
  EXPECT_EQ(indexed.indexed_entries(), 2u);  // not the replaced one nor the added one
  EXPECT_FALSE(OnDisk(index));               // taken: this run changes what it told
  const std::vector<std::string> registered = Registered(indexed);
  ASSERT_EQ(registered.size(), 4u);
  EXPECT_NE(registered.back().find("tarnwickss-used.wav time"), std::string::npos);
  ASSERT_TRUE(indexed.SaveCacheIndex(pool_));

  // A damaged index is not used at all.
  WaveformManager& read = Make(true);
  Bytes bytes = Read(index);
  ASSERT_GT(bytes.size(), 100u);
  bytes[bytes.size() / 2] ^= 1;
  Write(index, bytes);
  ASSERT_TRUE(read.LoadFileEntries());
  EXPECT_EQ(read.indexed_entries(), 0u);
  EXPECT_EQ(log_.Count("Cache Index Not Usable " + dir_ + index, APT_PRIO_WARNING), 1u);
  EXPECT_EQ(Registered(read), registered);

  // Nor is anything but a regular file: a FIFO would hold the start-up, a
  // link would be read (or, beside the index, written) through.
  ASSERT_EQ(mkfifo((dir_ + index).c_str(), 0600), 0);
  fs::create_symlink("/etc/passwd", dir_ + index + ".new");
  ASSERT_TRUE(Make(true).LoadFileEntries());
  EXPECT_EQ(manager_->indexed_entries(), 0u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + index)));
  ASSERT_TRUE(manager_->SaveCacheIndex(pool_));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ + index)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ + index + ".new")));
}

// Only an index whose every byte is as written parses; so do only names
// that stay in the folder, each once.
TEST(CacheIndexTest, OnlyAWholeIndexParses) {
  using TARNWICKSS::CacheIndex;
  const std::vector<std::string> names{"tarnwickss-0.wav", "tarnwickss-1.wav", "tarnwickss-2.wav"};
  std::vector<CacheIndex::Record> records(3);
  for (std::size_t i = 0; i < records.size(); ++i) {
    records[i].name = names[i];
    records[i].inode = 100 + i;
    records[i].change_time = 1733700000000000 + static_cast<std::int64_t>(i);
    records[i].checksum = 294 * i;
    records[i].match_key = 0x1234567890ABCDEFull + i;
    records[i].usage = i;
    records[i].sampling_rate = 8000;
    records[i].voice_gender = static_cast<std::uint32_t>(i);
  }
  const std::string bytes = CacheIndex::Compose(records);
  CacheIndex::Records parsed;
  ASSERT_TRUE(CacheIndex::Parse(bytes, parsed));
  ASSERT_EQ(parsed.size(), 3u);
  ASSERT_TRUE(parsed.Find("tarnwickss-2.wav") && parsed.Find("tarnwickss-1.wav"));
  EXPECT_EQ(parsed.Find("tarnwickss-2.wav")->match_key, 0x1234567890ABCDF1ull);
  EXPECT_EQ(parsed.Find("tarnwickss-1.wav")->change_time, 1733700000000001);
  EXPECT_EQ(parsed.Find("tarnwickss-3.wav"), nullptr);
  {  // many: every name found, with its own values, and no other
    std::vector<std::string> many_names;
    for (int i = 0; i < 3000; ++i) many_names.push_back("tarnwickss-" + std::to_string(i) + ".wav");
    std::vector<CacheIndex::Record> many(many_names.size());
    for (std::size_t i = 0; i < many.size(); ++i) {
      many[i].name = many_names[i];
      many[i].inode = i;
    }
    CacheIndex::Records found;
    ASSERT_TRUE(CacheIndex::Parse(CacheIndex::Compose(many), found));
    // In file order (each the one after the last found) and backwards.
    for (std::size_t n = 0; n < 2 * many.size(); ++n) {
      const std::size_t i = n < many.size() ? n : 2 * many.size() - 1 - n;
      const CacheIndex::Record* record = found.Find(many_names[i]);
      ASSERT_TRUE(record && record->inode == i) << many_names[i];
      EXPECT_EQ(found.Find("x" + many_names[i]), nullptr);
    }
  }
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(CacheIndex::Parse(bytes.substr(0, n), parsed)) << n;
    std::string flipped = bytes;
    flipped[n] = static_cast<char>(flipped[n] ^ 0x10);
    EXPECT_FALSE(CacheIndex::Parse(flipped, parsed)) << n;
    EXPECT_TRUE(parsed.empty());
  }
  for (const std::vector<std::string>& odd_names : std::vector<std::vector<std::string>>{
           {"a.wav", "a.wav"}, {"a.wav", "b.wav", "a.wav"}, {"../a.wav"}, {""}, {".."}}) {
    std::vector<CacheIndex::Record> odd(odd_names.size());
    for (std::size_t i = 0; i < odd_names.size(); ++i) odd[i].name = odd_names[i];
    EXPECT_FALSE(CacheIndex::Parse(CacheIndex::Compose(odd), parsed)) << odd_names[0];
  }
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
