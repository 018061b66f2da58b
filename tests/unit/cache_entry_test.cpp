// Cache entries and their attribute files: the exact bytes written, the round
// trip, damaged files (which must neither allocate wildly nor ever match),
// and the cache records kept by registration.
#include <gtest/gtest.h>

#include <cstring>
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
#include "test_root.h"
#include "wave_header.h"

namespace fs = std::filesystem;
using TARNWICKSS::WaveformManager;
using CacheEntry = WaveformManager::CacheEntry;

namespace {

const auto Rec = AttributeRecord;

class CacheEntryTest : public corvex_test::AprPoolTest {
 protected:
  void SetUp() override {
    AprPoolTest::SetUp();
    dir_ = MakeRoot("cacheentry") + "/";
    WaveformManager::Settings settings;
    settings.waveform_folder = dir_;
    settings.file_prefix = "tarnwickss-";
    manager_ = std::make_unique<WaveformManager>(settings, true);
  }
  void TearDown() override {
    manager_.reset();
    AprPoolTest::TearDown();
  }

  std::string Saved(const CacheEntry& entry) {
    EXPECT_TRUE(entry.Save(dir_ + "e.cache", pool_));
    std::ifstream in(dir_ + "e.cache", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Loads `bytes` as the attribute file of a fresh entry named e.wav.
  std::unique_ptr<CacheEntry> Loaded(const std::string& bytes, bool* load_result = nullptr) {
    std::ofstream(dir_ + "e.cache", std::ios::binary) << bytes;
    auto entry = std::make_unique<CacheEntry>("e.wav", 1);
    const bool result = manager_->LoadCacheFile(entry.get(), pool_);
    if (load_result) *load_result = result;
    return entry;
  }

  corvex_test::LogCapture log_;
  std::string dir_;
  std::unique_ptr<WaveformManager> manager_;
};

TEST_F(CacheEntryTest, WritesEveryRecordInItsOrder) {
  CacheEntry entry("e.wav", 1);
  entry.checksum = 18446744073709551468ULL;
  entry.language = "en-US";
  entry.sampling_rate = 8000;
  entry.voice_name = "Anna";
  entry.voice_gender = VOICE_GENDER_FEMALE;
  entry.prosody.rate.type = PROSODY_RATE_TYPE_LABEL;
  entry.prosody.rate.value.label = PROSODY_RATE_FAST;
  entry.prosody.volume.type = PROSODY_VOLUME_TYPE_RELATIVE_CHANGE;
  entry.prosody.volume.value.relative = 1234567.0f;  // floats in six significant digits
  entry.prosody.pitch = "high";
  entry.prosody.contour = "(0%,+20Hz)";
  entry.prosody.range = "low";
  entry.prosody.duration = "2s";
  entry.usage = 5;
  entry.content = "Hello";
  EXPECT_EQ(Saved(entry), Rec("checksum", "18446744073709551468") + Rec("language", "en-US") +
                              Rec("sampling-rate", "8000") + Rec("voice-name", "Anna") + Rec("voice-gender", "1") +
                              Rec("prosody-rate", "0 3") + Rec("prosody-volume", "2 1.23457e+06") +
                              Rec("prosody-pitch", "high") + Rec("prosody-contour", "(0%,+20Hz)") +
                              Rec("prosody-range", "low") + Rec("prosody-duration", "2s") + Rec("use-count", "5") +
                              Rec("content", "Hello"));
  // Use counts keep their low 32 bits; records that carry nothing (empty
  // texts, unknown gender, no use) are left out.
  entry.usage = 0x100000007ULL;
  EXPECT_NE(Saved(entry).find(Rec("use-count", "7")), std::string::npos);
  EXPECT_EQ(Saved(CacheEntry("e.wav", 1)), Rec("checksum", "0"));
}

TEST_F(CacheEntryTest, RoundTripRestoresEveryAttribute) {
  CacheEntry saved("e.wav", 1);
  saved.checksum = 4242;
  saved.language = "de-DE";
  saved.sampling_rate = 16000;
  saved.voice_name = "Hans";
  saved.voice_gender = VOICE_GENDER_MALE;
  saved.prosody.rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
  saved.prosody.rate.value.relative = 1.5f;
  saved.prosody.volume.type = PROSODY_VOLUME_TYPE_LABEL;
  saved.prosody.volume.value.label = PROSODY_VOLUME_LOUD;
  saved.prosody.pitch = "x-high";
  saved.usage = 3;
  saved.content = std::string("bin\0ary \xC3\xA9", 11);
  ASSERT_TRUE(manager_->SaveCacheFile(&saved, pool_));

  CacheEntry loaded("e.wav", 99);
  ASSERT_TRUE(manager_->LoadCacheFile(&loaded, pool_));
  EXPECT_FALSE(loaded.damaged());
  EXPECT_EQ(loaded.checksum, 4242u);
  EXPECT_EQ(loaded.language, "de-DE");
  EXPECT_EQ(loaded.sampling_rate, 16000);
  EXPECT_EQ(loaded.voice_name, "Hans");
  EXPECT_EQ(loaded.voice_gender, VOICE_GENDER_MALE);
  EXPECT_EQ(loaded.usage, 3u);
  EXPECT_EQ(loaded.content, saved.content);
  EXPECT_TRUE(saved.prosody.Compare(loaded.prosody));
  EXPECT_TRUE(loaded.prosody.Compare(saved.prosody));
  EXPECT_EQ(loaded.time, 99);  // not an attribute
}

TEST_F(CacheEntryTest, UnknownRecordsAndOddNumbersAreTolerated) {
  bool ok = false;
  auto entry =
      Loaded(Rec("checksum", "12") + Rec("future-token", "whatever") + Rec("language", "en") +
                 Rec("sampling-rate", "abc") + Rec("use-count", "  7x") + Rec("content", "hi") + Rec("language", "fr"),
             &ok);
  EXPECT_TRUE(ok);
  EXPECT_FALSE(entry->damaged());
  EXPECT_EQ(entry->checksum, 12u);
  EXPECT_EQ(entry->language, "fr");  // the last one counts
  EXPECT_EQ(entry->sampling_rate, 0);
  EXPECT_EQ(entry->usage, 7u);
  EXPECT_EQ(entry->content, "hi");

  // An empty file is a whole file with nothing in it.
  entry = Loaded("", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(entry->checksum, 0u);
}

TEST_F(CacheEntryTest, DamagedFilesNeverMatch) {
  const std::string head = Rec("checksum", "294") + Rec("language", "en");
  const struct {
    const char* what;
    std::string bytes;
  } kCases[] = {
      {"value length of 4 GiB", head + LeBytes(8) + "voice-na" + LeBytes(0xFFFFFFF0u) + "x"},
      {"token length of 2 MiB", head + LeBytes(2u << 20) + "content"},
      {"value bytes past the end", head + Rec("content", "hello").substr(0, 17)},
      {"cut right after a token", head + LeBytes(7) + "content"},
      {"cut inside a length", head + std::string("\x03\x00", 2)},
      {"voice gender out of range", head + Rec("voice-gender", "9") + Rec("content", "abc")},
      {"rate kind out of range", head + Rec("prosody-rate", "7 1") + Rec("content", "abc")},
      {"rate label out of range", head + Rec("prosody-rate", "0 99") + Rec("content", "abc")},
      {"volume label out of range", head + Rec("prosody-volume", "0 4000000000") + Rec("content", "abc")},
  };
  for (const auto& c : kCases) {
    // The entry reads as far as the file goes; the manager refuses it.
    bool ok = true;
    auto entry = Loaded(c.bytes, &ok);
    EXPECT_FALSE(ok) << c.what;
    EXPECT_TRUE(entry->damaged()) << c.what;
    EXPECT_TRUE(entry->content.empty()) << c.what;
    EXPECT_TRUE(entry->language.empty()) << c.what;
    EXPECT_EQ(entry->checksum, 294u) << c.what;  // read before the damage, still filed under it
  }
}

TEST_F(CacheEntryTest, RegistrationKeepsTheRecordsInStep) {
  auto make = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir_ + name) << "wave";
    auto* entry = new CacheEntry(name, apr_time_now());
    entry->checksum = WaveformManager::CalculateChecksum(text);
    entry->content = text;
    EXPECT_TRUE(manager_->SaveCacheFile(entry, pool_));
    return entry;
  };
  // Same bytes, another order: one checksum, two records, each alone under
  // its full key.
  CacheEntry* ab = make("tarnwickss-1.wav", "ab");
  CacheEntry* ba = make("tarnwickss-2.wav", "ba");
  ASSERT_TRUE(manager_->AddFileEntry(ab));
  ASSERT_TRUE(manager_->AddFileEntry(ba));
  EXPECT_TRUE(ab->content.empty());  // released once registered
  auto range = manager_->CacheRecordsOf(195);
  ASSERT_EQ(std::distance(range.first, range.second), 2);
  range = manager_->CacheRecordsOf(195, ab->match_key());
  ASSERT_EQ(std::distance(range.first, range.second), 1);
  EXPECT_EQ(range.first->second, ab);
  EXPECT_EQ(log_.Count("Added Cache Record [tarnwickss-2.wav] checksum [195] total count [2]", APT_PRIO_DEBUG), 1u);

  // Another entry rewrote ab's attribute file; a reload must not cost ab its
  // record, nor its place in the store.
  CacheEntry other("tarnwickss-1.wav", 0);
  other.checksum = 777;
  other.usage = 9;
  ASSERT_TRUE(manager_->SaveCacheFile(&other, pool_));
  ASSERT_TRUE(manager_->LoadCacheFile(ab, pool_));
  EXPECT_EQ(ab->checksum, 777u);
  ASSERT_TRUE(manager_->UpdateFileEntryUsage(ab, 10));
  ASSERT_TRUE(manager_->RemoveFileEntry(std::string("tarnwickss-1.wav")));
  EXPECT_FALSE(fs::exists(dir_ + "tarnwickss-1.wav"));
  EXPECT_FALSE(fs::exists(dir_ + "tarnwickss-1.cache"));
  ASSERT_EQ(manager_->cache_records().size(), 1u);
  EXPECT_EQ(manager_->cache_records().begin()->second, ba);
  EXPECT_EQ(log_.Count("No Cache Record Found"), 0u);
}

}  // namespace
