// What a client sees of a channel: the answer to every synthesizer method,
// and the SPEAK error statuses with their Completion-Cause.
#include <gtest/gtest.h>

#include <string>

#include "hosted_plugin.h"

namespace {

using corvex::HostEvent;
using corvex_test::Speak;

class ChannelRequests : public corvex_test::HostedPlugin {
 protected:
  void SetUp() override {
    HostedPlugin::SetUp();
    ASSERT_TRUE(StartHost());
    channel_ = OpenChannel(8000);
  }

  // Sends the request; its one answer, which must be final.
  HostEvent Answer(mrcp_message_t* request) {
    const std::vector<HostEvent> answers = Final(channel_, Send(channel_, request));
    EXPECT_EQ(answers.size(), 1u);
    if (answers.empty()) return HostEvent{};
    EXPECT_EQ(answers[0].request_state, MRCP_REQUEST_STATE_COMPLETE);
    return answers[0];
  }

  void ExpectSpeakRefused(mrcp_message_t* request, mrcp_status_code_e status, const std::string& log_line) {
    log_.Clear();
    const HostEvent answer = Answer(request);
    EXPECT_EQ(answer.status_code, status);
    EXPECT_TRUE(answer.has_completion_cause);
    EXPECT_EQ(answer.completion_cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);
    const std::string suffix = " <" + std::string(host_->channel(channel_)->id) + "@tarnwickss>";
    EXPECT_EQ(log_.Count(log_line + suffix, APT_PRIO_WARNING), 1u) << log_.WarningText();
  }
  mrcp_message_t* SpeakOf(const std::string& type, const std::string& body) {
    return Request(channel_, Speak{body, "", false, type, ""});
  }

  int channel_ = -1;
};

TEST_F(ChannelRequests, MethodsWithoutWorkAreAnsweredAtOnceWithPlainSuccess) {
  for (mrcp_method_id method :
       {SYNTHESIZER_PAUSE, SYNTHESIZER_RESUME, SYNTHESIZER_SET_PARAMS, SYNTHESIZER_GET_PARAMS,
        SYNTHESIZER_DEFINE_LEXICON, SYNTHESIZER_CONTROL, SYNTHESIZER_STOP, SYNTHESIZER_BARGE_IN_OCCURRED}) {
    mrcp_message_t* request = host_->CreateRequest(channel_, method);
    if (method == SYNTHESIZER_SET_PARAMS) {
      mrcp_synth_header_t* header = mrcp_resource_header_prepare(request);
      apt_string_assign(&header->voice_param.name, "Kate", request->pool);
      mrcp_resource_header_property_add(request, SYNTHESIZER_HEADER_VOICE_NAME);
    }
    const HostEvent answer = Answer(request);
    EXPECT_EQ(answer.method_id, method);
    // With no SPEAK active the server answers PAUSE, RESUME and CONTROL itself.
    const bool invalid = method == SYNTHESIZER_PAUSE || method == SYNTHESIZER_RESUME || method == SYNTHESIZER_CONTROL;
    EXPECT_EQ(answer.status_code, invalid ? MRCP_STATUS_CODE_METHOD_NOT_VALID : MRCP_STATUS_CODE_SUCCESS) << method;
    EXPECT_FALSE(answer.has_completion_cause) << method;
  }
}

TEST_F(ChannelRequests, SpeakErrorsCarryTheirStatusAndCauseError) {
  mrcp_message_t* no_body = SpeakOf("text/plain", "");
  no_body->body.buf = nullptr;
  no_body->body.length = 0;
  ExpectSpeakRefused(no_body, MRCP_STATUS_CODE_MISSING_PARAM, "Failed to Determine Params");

  mrcp_message_t* no_synth_headers = SpeakOf("text/plain", "Hello");
  no_synth_headers->synth_header = nullptr;
  ExpectSpeakRefused(no_synth_headers, MRCP_STATUS_CODE_METHOD_FAILED, "Failed to Determine Params");

  mrcp_message_t* no_generic_headers = SpeakOf("text/plain", "Hello");
  no_generic_headers->generic_header = nullptr;
  ExpectSpeakRefused(no_generic_headers, MRCP_STATUS_CODE_MISSING_PARAM, "Missing Content-Type");

  // Well-formed SSML is still refused without its Content-Type.
  ExpectSpeakRefused(SpeakOf("", "<speak version=\"1.0\">Hi</speak>"), MRCP_STATUS_CODE_MISSING_PARAM,
                     "Missing Content-Type");

  ExpectSpeakRefused(SpeakOf("audio/x-wav; rate=8000", "RIFF"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE,
                     "Unsupported Content Type [audio/x-wav]");

  // Text reaches the cloud as UTF-8 or not at all.
  ExpectSpeakRefused(SpeakOf("text/plain; charset=\"klingon\"", "Hi"), MRCP_STATUS_CODE_UNSUPPORTED_PARAM_VALUE,
                     "Unsupported Charset [klingon]");
  ExpectSpeakRefused(SpeakOf("application/ssml+xml", "<speak>Caf\xE9</speak>"), MRCP_STATUS_CODE_UNRECOGNIZED_MESSAGE,
                     "Invalid Text for Charset [UTF-8]");
  ExpectSpeakRefused(Request(channel_, Speak{"Hi", "Ren\xE9"}), MRCP_STATUS_CODE_ILLEGAL_PARAM_VALUE,
                     "Invalid Text for Header [Voice-Name]");

  // A URI list whose lines name nothing playable yields no segment.
  ExpectSpeakRefused(SpeakOf("text/uri-list", "ftp://example.com/a.wav\r\n"), MRCP_STATUS_CODE_MISSING_PARAM,
                     "Failed to Compose Content");
}

TEST_F(ChannelRequests, SpeakThatCannotStartIsAnsweredOnceAndLeavesTheChannelIdle) {
  // Parameters with charset and vendor parameters are accepted; the SPEAK then
  // fails where its first segment cannot be started.
  mrcp_message_t* request = SpeakOf("text/plain;charset=UTF-8", "Hello there");
  mrcp_generic_header_t* generic = request->generic_header;
  generic->vendor_specific_params = apt_pair_array_create(2, request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "voice-name", "\"Kate\"", request->pool);
  apt_pair_array_append(generic->vendor_specific_params, "no-such-parameter", "1", request->pool);
  mrcp_generic_header_property_add(request, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS);
  const HostEvent answer = Answer(request);
  EXPECT_EQ(answer.status_code, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
  EXPECT_EQ(answer.completion_cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);

  // Idle again: a STOP is answered at once and nothing else arrives for the SPEAK.
  EXPECT_EQ(Answer(host_->CreateRequest(channel_, SYNTHESIZER_STOP)).status_code, MRCP_STATUS_CODE_SUCCESS);
  EXPECT_EQ(Final(channel_, request->start_line.request_id).size(), 1u);
}

}  // namespace
