// What a client sees of a channel: the answer to every synthesizer method,
// and the SPEAK error statuses with their Completion-Cause.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "corvex/host_runtime.hpp"
#include "log_capture.h"
#include "test_root.h"

namespace {

using corvex::Host;
using corvex::HostEvent;

class ChannelRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTestRoot("channel");
    InstallSampleConfig(root_);
    corvex::HostConfig config;
    config.root = root_;
    host_ = std::make_unique<Host>(config);
    ASSERT_TRUE(host_->LoadPlugin(TARNWICKSS_PLUGIN_PATH));
    ASSERT_TRUE(host_->OpenEngine());
    channel_ = host_->CreateChannel(8000);
    ASSERT_GE(channel_, 0);
    ASSERT_TRUE(host_->OpenChannel(channel_));
  }
  void TearDown() override {
    host_.reset();
    std::filesystem::remove_all(root_);
  }

  static void SetStr(apt_str_t& field, const std::string& value, apr_pool_t* pool) {
    apt_string_assign(&field, value.c_str(), pool);
  }

  // A SPEAK with a body and the given Content-Type (none when empty).
  mrcp_message_t* Speak(const std::string& content_type, const std::string& body) {
    mrcp_message_t* request = host_->CreateRequest(channel_, SYNTHESIZER_SPEAK);
    mrcp_resource_header_prepare(request);
    mrcp_generic_header_t* generic = mrcp_generic_header_prepare(request);
    if (!content_type.empty()) {
      SetStr(generic->content_type, content_type, request->pool);
      mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_TYPE);
    }
    SetStr(request->body, body, request->pool);
    return request;
  }

  // Sends the request and returns the one response it gets.
  HostEvent Answer(mrcp_message_t* request) {
    const mrcp_request_id id = request->start_line.request_id;
    EXPECT_TRUE(host_->SendRequest(channel_, request));
    const auto is_answer = [id](const HostEvent& e) {
      return e.kind == HostEvent::Kind::Message && e.request_id == id &&
             e.message_type == MRCP_MESSAGE_TYPE_RESPONSE;
    };
    EXPECT_TRUE(host_->WaitFor([&](const std::vector<HostEvent>& events) {
      return std::any_of(events.begin(), events.end(), is_answer);
    }));
    for (const HostEvent& e : host_->Events())
      if (is_answer(e)) return e;
    return HostEvent{};
  }

  void ExpectSpeakRefused(mrcp_message_t* request, mrcp_status_code_e status, const std::string& log_line) {
    corvex_test::LogCapture log;
    const HostEvent answer = Answer(request);
    EXPECT_EQ(answer.status_code, status);
    EXPECT_EQ(answer.request_state, MRCP_REQUEST_STATE_COMPLETE);
    EXPECT_TRUE(answer.has_completion_cause);
    EXPECT_EQ(answer.completion_cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    const std::string suffix = " <" + std::string(host_->channel(channel_)->id) + "@tarnwickss>";
    EXPECT_EQ(log.Count(log_line + suffix, APT_PRIO_WARNING), 1u) << log.WarningText();
  }

  std::string root_;
  std::unique_ptr<Host> host_;
  int channel_ = -1;
};

TEST_F(ChannelRequests, MethodsWithoutWorkAreAnsweredAtOnceWithPlainSuccess) {
  for (mrcp_method_id method : {SYNTHESIZER_PAUSE, SYNTHESIZER_RESUME, SYNTHESIZER_SET_PARAMS,
                                SYNTHESIZER_GET_PARAMS, SYNTHESIZER_DEFINE_LEXICON, SYNTHESIZER_CONTROL,
                                SYNTHESIZER_STOP, SYNTHESIZER_BARGE_IN_OCCURRED}) {
    mrcp_message_t* request = host_->CreateRequest(channel_, method);
    if (method == SYNTHESIZER_SET_PARAMS) {
      mrcp_synth_header_t* header = mrcp_resource_header_prepare(request);
      apt_string_assign(&header->voice_param.name, "Kate", request->pool);
      mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    }
    const HostEvent answer = Answer(request);
    EXPECT_EQ(answer.method_id, method);
    EXPECT_EQ(answer.status_code, MRCP_STATUS_CODE_SUCCESS) << method;
    EXPECT_EQ(answer.request_state, MRCP_REQUEST_STATE_COMPLETE) << method;
    EXPECT_FALSE(answer.has_completion_cause) << method;
  }
}

TEST_F(ChannelRequests, SpeakErrorsCarryTheirStatusAndCauseError) {
  mrcp_message_t* no_body = Speak("text/plain", "");
  no_body->body.buf = nullptr;
  no_body->body.length = 0;
  ExpectSpeakRefused(no_body, MRCP_STATUS_CODE_MISSING_PARAM, "Failed to Determine Params");

  mrcp_message_t* no_synth_headers = Speak("text/plain", "Hello");
  no_synth_headers->synth_header = nullptr;
  ExpectSpeakRefused(no_synth_headers, MRCP_STATUS_CODE_METHOD_FAILED, "Failed to Determine Params");

  mrcp_message_t* no_generic_headers = Speak("text/plain", "Hello");
  no_generic_headers->generic_header = nullptr;
  ExpectSpeakRefused(no_generic_headers, MRCP_STATUS_CODE_MISSING_PARAM, "Missing Content-Type");

  // Well-formed SSML is still refused without its Content-Type.
  ExpectSpeakRefused(Speak("", "<speak version=\"1.0\">Hi</speak>"), MRCP_STATUS_CODE_MISSING_PARAM,
                     "Missing Content-Type");

  ExpectSpeakRefused(Speak("audio/x-wav; rate=8000", "RIFF"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE,
                     "Unsupported Content Type [audio/x-wav]");

  // A URI list whose lines name nothing playable yields no segment.
  ExpectSpeakRefused(Speak("text/uri-list", "ftp://example.com/a.wav\r\n"), MRCP_STATUS_CODE_MISSING_PARAM,
                     "Failed to Compose Content");
}

TEST_F(ChannelRequests, SpeakThatCannotStartIsAnsweredOnceAndLeavesTheChannelIdle) {
  // Parameters with charset and vendor parameters are accepted; the SPEAK then
  // fails where its first segment cannot be started.
  mrcp_message_t* request = Speak("text/plain;charset=UTF-8", "Hello there");
  mrcp_generic_header_t* generic = request->generic_header;
  generic->vendor_specific_params = apt_pair_array_create(2, request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "voice-name", "\"Kate\"", request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "no-such-parameter", "1", request->pool);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
  const HostEvent answer = Answer(request);
  EXPECT_EQ(answer.status_code, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
  EXPECT_EQ(answer.completion_cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);

  // Idle again: a STOP is answered at once and nothing else arrives for the SPEAK.
  const HostEvent stop = Answer(host_->CreateRequest(channel_, SYNTHESIZER_STOP));
  EXPECT_EQ(stop.status_code, MRCP_STATUS_CODE_SUCCESS);
  int answers_to_speak = 0;
  for (const HostEvent& e : host_->Events())
    if (e.kind == HostEvent::Kind::Message && e.request_id == request->start_line.request_id) ++answers_to_speak;
  EXPECT_EQ(answers_to_speak, 1);
}

}  // namespace
