// Synthesis detail records written by real SPEAKs: one valid JSON record per
// completed SPEAK, with what was played; none for a stopped SPEAK; and a
// client's Logging-Tag never puts a record or a waveform outside its folder.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <algorithm>
#include <string>
#include <vector>

#include "corvex/host_runtime.hpp"
#include "test_root.h"
#include "test_speech_service.h"

namespace {

namespace fs = std::filesystem;
using corvex::Host;
using corvex::HostEvent;
using corvex_test::TestSpeechService;

class DetailRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.ok()) << service_.error();
    root_ = MakeTestRoot("records");
    InstallSampleConfig(root_);
    std::ofstream(root_ + "/data/credentials.json") << service_.PluginCredentials();
    const std::string conf = root_ + "/conf/tarnwickss.xml";
    ASSERT_TRUE(ReplaceInFile(conf, "save-records=\"false\"", "save-records=\"true\""));
    ASSERT_TRUE(ReplaceInFile(conf, "record-folder=\"\"", "record-folder=\"records\""));
    ASSERT_TRUE(ReplaceInFile(conf, "save-waveforms=\"false\"", "save-waveforms=\"true\""));
    ASSERT_TRUE(ReplaceInFile(conf, "waveform-folder=\"\"", "waveform-folder=\"waves\""));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(ReplaceInFile(conf, "use-logging-tag=\"false\"", "use-logging-tag=\"true\""));
    fs::create_directories(root_ + "/var/records");
    corvex::HostConfig config;
    config.root = root_;
    host_ = std::make_unique<Host>(config);
    ASSERT_TRUE(host_->LoadPlugin(TARNWICKSS_PLUGIN_PATH));
    ASSERT_TRUE(host_->OpenEngine());
  }
  void TearDown() override {
    host_.reset();
    fs::remove_all(root_);
  }

  int Channel(unsigned rate, bool realtime) {
    const int channel = host_->CreateChannel(rate);
    EXPECT_TRUE(host_->OpenChannel(channel));
    EXPECT_TRUE(host_->StartMedia(channel, nullptr, realtime));
    return channel;
  }
  // A SPEAK whose speech is a tone of `ms` milliseconds at 16000 Hz.
  // With `cut` the audio comes by URL and its body stops after `cut` bytes.
  mrcp_request_id SpeakTone(int channel, int ms, const char* logging_tag = nullptr, int cut = -1) {
    mrcp_message_t* request = host_->CreateRequest(channel, SYNTHESIZER_SPEAK);
    mrcp_synth_header_t* synth = mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
    if (logging_tag) {
      apt_string_assign(&generic->logging_tag, logging_tag, request->pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_LOGGING_TAG);
    }
    apt_string_assign(&generic->content_type, "text/plain", request->pool);
    mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    apt_string_assign(&request->body, "A tone, please.", request->pool);
    const std::string voice =
        "fault:tone=1000,ms=" + std::to_string(ms) + (cut < 0 ? "" : ",truncate=" + std::to_string(cut));
    if (cut >= 0) {
      generic->vendor_specific_params = apt_pair_array_create(1, request->pool);
      apt_pair_array_append(generic->vendor_specific_params, "audio-as-url", "true", request->pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
    }
    apt_string_assign(&synth->voice_param.name, voice.c_str(), request->pool);
    mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    EXPECT_TRUE(host_->SendRequest(channel, request));
    return request->start_line.request_id;
  }
  std::vector<fs::path> Records() const {
    std::vector<fs::path> files;
    if (fs::exists(root_ + "/var/records"))
      for (const auto& entry : fs::directory_iterator(root_ + "/var/records")) files.push_back(entry.path());
    return files;
  }

  TestSpeechService service_;
  std::string root_;
  std::unique_ptr<Host> host_;
};

TEST_F(DetailRecords, EachCompletedSpeakLeavesOneValidRecordOfWhatWasPlayed) {
  const int narrow = Channel(8000, false);
  const int wide = Channel(16000, false);
  const mrcp_request_id a = SpeakTone(narrow, 500);
  const mrcp_request_id b = SpeakTone(wide, 500);
  ASSERT_TRUE(host_->WaitForMessage(narrow, MRCP_MESSAGE_TYPE_EVENT, SYNTHESIZER_SPEAK_COMPLETE));
  ASSERT_TRUE(host_->WaitForMessage(wide, MRCP_MESSAGE_TYPE_EVENT, SYNTHESIZER_SPEAK_COMPLETE));

  const auto files = Records();
  ASSERT_EQ(files.size(), 2u);
  const struct {
    int channel;
    mrcp_request_id id;
    const char* rate;
    const char* bytes;
  } expected[] = {{narrow, a, "8000 Hz", "8000 bytes"}, {wide, b, "16000 Hz", "16000 bytes"}};
  for (const auto& e : expected) {
    const fs::path path = fs::path(root_) / "var" / "records" /
                          ("tarnwickss-" + std::string(host_->channel(e.channel)->id) + "-" + std::to_string(e.id) +
                           ".json");
    ASSERT_TRUE(fs::exists(path)) << path;
    rapidjson::Document doc;
    doc.Parse(ReadFile(path.string()).c_str());
    ASSERT_FALSE(doc.HasParseError()) << ReadFile(path.string());
    const auto& record = doc["synth-details-record"];
    EXPECT_STREQ(record["sampling-rate"].GetString(), e.rate);
    EXPECT_STREQ(record["codec"].GetString(), "LPCM");
    EXPECT_STREQ(record["data-length"].GetString(), e.bytes);  // 500 ms of audio at the channel's rate
    EXPECT_STREQ(record["language"].GetString(), "en-US");
    EXPECT_STREQ(record["completion-cause"].GetString(), "normal");
    const long streaming = std::stol(record["start-of-streaming-ts"].GetString());
    const long completion = std::stol(record["completion-ts"].GetString());
    EXPECT_LE(streaming, completion);
    EXPECT_LT(completion, 10000);
    EXPECT_EQ(std::string(record["datetime"].GetString()).size(), 19u);
  }
}

TEST_F(DetailRecords, LoggingTagsNeverPutAFileOutsideItsFolder) {
  const int channel = Channel(8000, false);
  std::set<fs::path> before;
  for (const auto& entry : fs::recursive_directory_iterator(root_)) before.insert(entry.path());
  const char* tags[] = {"/../../x", "../../y", "..\\..\\z", "..", "/tmp/w"};
  for (std::size_t i = 0; i < std::size(tags); ++i) {
    SpeakTone(channel, 20, tags[i]);
    ASSERT_TRUE(host_->WaitFor([&](const std::vector<HostEvent>& events) {
      return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [](const HostEvent& e) {
               return e.method_id == SYNTHESIZER_SPEAK_COMPLETE && e.message_type == MRCP_MESSAGE_TYPE_EVENT;
             })) > i;
    }));
  }
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

TEST_F(DetailRecords, AStoppedSpeakLeavesNoRecordAndOneCutShortSaysError) {
  const int channel = Channel(8000, true);
  SpeakTone(channel, 5000);
  ASSERT_TRUE(host_->WaitForMessage(channel, MRCP_MESSAGE_TYPE_RESPONSE, SYNTHESIZER_SPEAK));
  mrcp_message_t* stop = host_->CreateRequest(channel, SYNTHESIZER_STOP);
  ASSERT_TRUE(host_->SendRequest(channel, stop));
  ASSERT_TRUE(host_->WaitForMessage(channel, MRCP_MESSAGE_TYPE_RESPONSE, SYNTHESIZER_STOP));
  // A later SPEAK whose audio is cut short plays what came, then ends in error.
  SpeakTone(channel, 1000, nullptr, 4000);
  ASSERT_TRUE(host_->WaitForMessage(channel, MRCP_MESSAGE_TYPE_EVENT, SYNTHESIZER_SPEAK_COMPLETE));
  for (const HostEvent& e : host_->Events()) {
    if (e.message_type == MRCP_MESSAGE_TYPE_EVENT) {
      EXPECT_EQ(e.completion_cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    }
  }
  const auto files = Records();
  ASSERT_EQ(files.size(), 1u);
  rapidjson::Document doc;
  doc.Parse(ReadFile(files[0].string()).c_str());
  ASSERT_FALSE(doc.HasParseError());
  EXPECT_STREQ(doc["synth-details-record"]["completion-cause"].GetString(), "error");
}

}  // namespace
