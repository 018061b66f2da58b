// Synthesis detail records written by real SPEAKs: one record per accepted
// SPEAK, of what was played; and a client's Logging-Tag, however long, never
// puts a record or a waveform outside its folder or keeps it from being
// written. The record's format is the record's own test.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "audio_capture.h"
#include "hosted_plugin.h"
#include "test_speech_service.h"

namespace {

namespace fs = std::filesystem;
using corvex::HostEvent;

class DetailRecords : public corvex_test::HostedPlugin {
 protected:
  void SetUp() override {
    HostedPlugin::SetUp();
    ASSERT_TRUE(service_.ok()) << service_.error();
    WriteFile(root_ + "/data/credentials.json", service_.PluginCredentials());
    Configure("save-records=\"false\"", "save-records=\"true\"");
    Configure("record-folder=\"\"", "record-folder=\"records\"");
    Configure("save-waveforms=\"false\"", "save-waveforms=\"true\"");
    Configure("waveform-folder=\"\"", "waveform-folder=\"waves\"");
    for (int i = 0; i < 2; ++i) Configure("use-logging-tag=\"false\"", "use-logging-tag=\"true\"");
    fs::create_directories(root_ + "/var/records");
    ASSERT_TRUE(StartHost());
  }

  // A SPEAK whose speech is a tone of `ms` milliseconds at 16000 Hz. With
  // `cut` the audio comes by URL and its body stops after `cut` bytes.
  mrcp_request_id SpeakTone(int channel, int ms, const std::string& logging_tag = "", int cut = -1) {
    const std::string voice =
        "fault:tone=1000,ms=" + std::to_string(ms) + (cut < 0 ? "" : ",truncate=" + std::to_string(cut));
    return Send(channel, corvex_test::Speak{"A tone, please.", voice, cut >= 0, "text/plain", logging_tag});
  }
  std::vector<fs::path> Records() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(root_ + "/var/records")) files.push_back(entry.path());
    return files;
  }
  static rapidjson::Document Parse(const fs::path& path) {
    rapidjson::Document doc;
    doc.Parse(ReadFile(path).c_str());
    EXPECT_TRUE(doc.IsObject() && doc.HasMember("synth-details-record")) << ReadFile(path);
    return doc;
  }

  corvex_test::TestSpeechService service_;
  corvex_test::AudioCapture capture_;  // outlives the host's media threads
};

// The host writes every frame it was handed; 505 ms end inside a frame, whose
// audio plays too.
TEST_F(DetailRecords, EachCompletedSpeakLeavesOneRecordOfWhatWasPlayed) {
  const int narrow = OpenChannel(8000, true, false, &capture_);
  const int wide = OpenChannel(16000, true, false, &capture_);
  const mrcp_request_id a = SpeakTone(narrow, 505);
  const mrcp_request_id b = SpeakTone(wide, 505);
  ASSERT_EQ(Final(narrow, a).size(), 2u);
  ASSERT_EQ(Final(wide, b).size(), 2u);
  ASSERT_EQ(Records().size(), 2u);
  for (const auto& [channel, id, rate, bytes] :
       {std::tuple{narrow, a, "8000 Hz", 8160u}, std::tuple{wide, b, "16000 Hz", 16320u}}) {
    const rapidjson::Document doc =
        Parse(root_ + "/var/records/tarnwickss-" + host_->channel(channel)->id + "-" + std::to_string(id) + ".json");
    const auto& record = doc["synth-details-record"];
    EXPECT_STREQ(record["sampling-rate"].GetString(), rate);
    EXPECT_EQ(capture_.Take(channel).size(), bytes);
    EXPECT_EQ(record["data-length"].GetString(), std::to_string(bytes) + " bytes");
    EXPECT_STREQ(record["completion-cause"].GetString(), "normal");
    EXPECT_LE(std::stol(record["start-of-streaming-ts"].GetString()), std::stol(record["completion-ts"].GetString()));
  }
}

TEST_F(DetailRecords, LoggingTagsNeverPutAFileOutsideItsFolder) {
  const int channel = OpenChannel(8000, true);
  std::set<fs::path> before;
  for (const auto& entry : fs::recursive_directory_iterator(root_)) before.insert(entry.path());
  const std::string tags[] = {
      "/../../x", "../../y", "..\\..\\z", "..", "/tmp/w", std::string(260, 'a') + "1", std::string(260, 'a') + "2"};
  for (const std::string& tag : tags) ASSERT_EQ(Final(channel, SpeakTone(channel, 20, tag)).size(), 2u) << tag;
  std::size_t records = 0, waves = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    if (!entry.is_regular_file() || before.count(entry.path())) continue;
    const std::string folder = entry.path().parent_path().filename();
    EXPECT_TRUE(folder == "records" || folder == "waves") << entry.path();
    (folder == "records" ? records : waves) += 1;
  }
  EXPECT_EQ(records, std::size(tags));
  EXPECT_EQ(waves, std::size(tags));
}

TEST_F(DetailRecords, AStoppedSpeakAndOneCutShortLeaveRecordsSayingSo) {
  const int channel = OpenChannel(8000, true, true);
  SpeakTone(channel, 5000);
  ASSERT_TRUE(host_->WaitForMessage(channel, MRCP_MESSAGE_TYPE_RESPONSE, SYNTHESIZER_SPEAK));
  ASSERT_EQ(Final(channel, Send(channel, SYNTHESIZER_STOP)).size(), 1u);
  // A later SPEAK whose audio is cut short plays what came, then ends in error.
  SpeakTone(channel, 1000, "", 4000);
  ASSERT_TRUE(host_->WaitForMessage(channel, MRCP_MESSAGE_TYPE_EVENT, SYNTHESIZER_SPEAK_COMPLETE));
  for (const HostEvent& e : host_->Events()) {
    EXPECT_TRUE(e.message_type != MRCP_MESSAGE_TYPE_EVENT || e.completion_cause == SYNTHESIZER_COMPLETION_CAUSE_ERROR);
  }
  const auto files = Records();
  ASSERT_EQ(files.size(), 2u);
  std::set<std::string> causes;
  for (const auto& file : files) causes.insert(Parse(file)["synth-details-record"]["completion-cause"].GetString());
  EXPECT_EQ(causes, (std::set<std::string>{"cancelled", "error"}));
}

}  // namespace
