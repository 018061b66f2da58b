// Synthesis detail records: their names, their exact bytes, that any JSON
// reader accepts them, and the record folder's count limit.
#include <apr_general.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "QelSdrManager.h"
#include "log_capture.h"
#include "test_root.h"

namespace {

namespace fs = std::filesystem;
using TARNWICKSS::SdrManager;

class SdrManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
    root_ = MakeTestRoot("sdr");
    settings_.record_folder = root_;
    settings_.file_prefix = "tarnwickss-";
    settings_.max_file_age = 0;
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    apr_terminate();
    fs::remove_all(root_);
  }

  static SdrManager::SynthesisDetails NormalRecord() {
    SdrManager::SynthesisDetails details;
    details.enabled = true;
    details.mrcp_version = MRCP_VERSION_2;
    details.sampling_rate = 8000;
    details.codec = "LPCM";
    details.speak_params.language = "en-US";
    details.data_length = 48000;
    details.request_time = 1'700'000'000'000'000;
    details.stream_start_time = details.request_time + 412'345;
    details.completion_time = details.request_time + 3'530'999;
    details.completion_cause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
    return details;
  }

  apr_pool_t* pool_ = nullptr;
  std::string root_;
  corvex_test::LogCapture log_;
  SdrManager::Settings settings_;
};

TEST_F(SdrManagerTest, NamesCarryTheLoggingTagOnlyWhenAskedAndNeverASeparator) {
  SdrManager plain(settings_);
  std::string name;
  ASSERT_TRUE(plain.ComposeName(name, "4fa1c0de", 7, "abc", pool_));
  EXPECT_EQ(name, "tarnwickss-4fa1c0de-7.json");

  settings_.use_logging_tag = true;
  SdrManager tagged(settings_);
  ASSERT_TRUE(tagged.ComposeName(name, "4fa1c0de", 7, "abc", pool_));
  EXPECT_EQ(name, "tarnwickss-4fa1c0de-7-abc.json");
  ASSERT_TRUE(tagged.ComposeName(name, "4fa1c0de", 8, "", pool_));
  EXPECT_EQ(name, "tarnwickss-4fa1c0de-8.json");
  // A client's tag cannot lead the record out of its folder.
  for (const std::string& tag : {std::string("../../etc/x"), std::string("/x"), std::string("..\\..\\x"),
                                 std::string("....."), std::string("a\0/b", 4)}) {
    ASSERT_TRUE(tagged.ComposeName(name, "4fa1c0de", 9, tag, pool_));
    EXPECT_EQ(name.find_first_of(std::string("/\\\0", 3)), std::string::npos) << name;
    EXPECT_EQ(name.substr(0, name.size() - 5).find(".."), std::string::npos) << name;
  }
  // Long tags fit, cut outside any character, and stay apart.
  std::set<std::string> names;
  std::string accents;
  for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";
  for (const std::string& tag : {std::string(300, 'a') + "1", std::string(300, 'a') + "2", "x" + accents}) {
    ASSERT_TRUE(tagged.ComposeName(name, "4fa1c0de", 9, tag, pool_));
    EXPECT_TRUE(name.size() <= 255 && name.find("\xC3~") == std::string::npos && names.insert(name).second) << name;
  }
}

TEST_F(SdrManagerTest, RecordHasTheTwelveLinesExactly) {
  SdrManager::SynthesisDetails details = NormalRecord();
  const fs::path path = fs::path(root_) / "r.json";
  ASSERT_TRUE(details.Save(path.string()));
  std::string datetime;
  SdrManager::SynthesisDetails::GetTimestampStr(static_cast<long>(details.request_time), datetime);
  EXPECT_EQ(ReadFile(path),
            "{\"synth-details-record\": {\n"
            "   \"datetime\": \"" +
                datetime +
                "\",\n"
                "   \"language\": \"en-US\",\n"
                "   \"voice-name\": \"\",\n"
                "   \"voice-gender\": \"\",\n"
                "   \"sampling-rate\": \"8000 Hz\",\n"
                "   \"codec\": \"LPCM\",\n"
                "   \"data-length\": \"48000 bytes\",\n"
                "   \"start-of-streaming-ts\": \"412 ms\",\n"
                "   \"completion-ts\": \"3530 ms\",\n"
                "   \"completion-cause\": \"normal\"\n"
                "}}\n");
  EXPECT_EQ(datetime.size(), 19u);
  EXPECT_EQ(log_.Count("Save SDR " + path.string(), APT_PRIO_DEBUG), 1u);
}

TEST_F(SdrManagerTest, EveryRecordIsValidJson) {
  SdrManager::SynthesisDetails details = NormalRecord();
  details.speak_params.voice_name = "Kate \"the\" \\voice\\\n\x01 caf\xC3\xA9";
  details.speak_params.language = "en\tUS\xE9\xC0\xAF";  // not UTF-8
  details.speak_params.voice_gender = VOICE_GENDER_FEMALE;
  details.stream_start_time = 0;                               // streaming never began
  details.completion_time = details.request_time - 2'000'000;  // the clock was stepped back
  details.completion_cause = SYNTHESIZER_COMPLETION_CAUSE_CANCELLED;
  const fs::path path = fs::path(root_) / "r.json";
  ASSERT_TRUE(details.Save(path.string()));
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(ReadFile(path).c_str());
  ASSERT_FALSE(doc.HasParseError()) << ReadFile(path);
  const auto& record = doc["synth-details-record"];
  EXPECT_EQ(std::string(record["voice-name"].GetString()), details.speak_params.voice_name);
  EXPECT_STREQ(record["language"].GetString(), "en\tUS\uFFFD\uFFFD\uFFFD");
  EXPECT_STREQ(record["voice-gender"].GetString(), "female");
  EXPECT_STREQ(record["start-of-streaming-ts"].GetString(), "");
  EXPECT_STREQ(record["completion-ts"].GetString(), "0 ms");
  EXPECT_STREQ(record["completion-cause"].GetString(), "cancelled");
}

TEST_F(SdrManagerTest, UnwritablePathIsReported) {
  SdrManager::SynthesisDetails details = NormalRecord();
  EXPECT_FALSE(details.Save(root_ + "/no-such-folder/r.json"));
  EXPECT_EQ(log_.Count("Failed to Open SDR File " + root_ + "/no-such-folder/r.json", APT_PRIO_WARNING), 1u);
}

TEST_F(SdrManagerTest, FolderKeepsTheNewestRecordsByCompletionTime) {
  settings_.max_file_count = 2;
  SdrManager manager(settings_);
  ASSERT_TRUE(manager.LoadFileEntries());
  const std::int64_t now = apr_time_now();
  for (int i = 1; i <= 3; ++i) {
    const std::string name = "tarnwickss-c-" + std::to_string(i) + ".json";
    std::ofstream(fs::path(root_) / name) << "{}";
    ASSERT_TRUE(manager.AddFileEntry(name, now + i));
  }
  EXPECT_FALSE(fs::exists(fs::path(root_) / "tarnwickss-c-1.json"));
  EXPECT_TRUE(fs::exists(fs::path(root_) / "tarnwickss-c-2.json"));
  EXPECT_TRUE(fs::exists(fs::path(root_) / "tarnwickss-c-3.json"));
  EXPECT_EQ(manager.file_entries().size(), 2u);
}

}  // namespace
