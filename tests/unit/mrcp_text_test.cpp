// The MRCPv2 text form: what the parser makes of each header the plugin
// reads, the message length, bodies, the writer's exact output, and the
// line every refusal names.
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "corvex/mrcp_text.h"
#include "log_capture.h"

namespace {

std::string Str(const apt_str_t& s) { return std::string(s.buf ? s.buf : "", s.length); }

class MrcpTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    apr_terminate();
  }

  mrcp_message_t* Parse(const std::string& text, unsigned flags = 0, apr_size_t* consumed = nullptr) {
    error_ = mrcp_text_error_t{};
    return mrcp_text_parse(text.data(), text.size(), flags, pool_, consumed, &error_);
  }
  mrcp_message_t* ParseOk(const std::string& text, unsigned flags = 0) {
    mrcp_message_t* message = Parse(text, flags);
    EXPECT_NE(message, nullptr) << "line " << error_.line << ": " << error_.reason << "\n" << text;
    return message;
  }
  static std::string Render(const mrcp_message_t* message) {
    std::string text(mrcp_text_render(message, nullptr, 0) + 1, '\0');
    text.resize(mrcp_text_render(message, &text[0], text.size()));
    return text;
  }
  // Parses a SPEAK carrying one header line and returns it.
  mrcp_message_t* WithHeader(const std::string& header) { return ParseOk("MRCP/2.0 SPEAK\r\n" + header + "\r\n\r\n"); }

  apr_pool_t* pool_ = nullptr;
  mrcp_text_error_t error_{};
};

TEST_F(MrcpTextTest, SpeakWithEveryHeaderThePluginReadsRoundTrips) {
  const std::string text =
      "MRCP/2.0 SPEAK 14\n"
      "channel-identifier: 32AECB23433801@speechsynth\n"
      "Content-Type: text/plain; charset=UTF-8\n"
      "Logging-Tag:   call-0001  \n"
      "Cache-Control: max-age=60, min-fresh=5\n"
      "Vendor-Specific-Parameters: voice-name=\"Kate\";audio-as-url=true\n"
      "VOICE-GENDER: female\n"
      "Voice-Name: Alice\n"
      "Speech-Language: en-GB\n"
      "Prosody-Rate: fast\n"
      "Prosody-Volume: +10%\n"
      "Completion-Cause: 000 normal\n"
      "Content-Length: 12\n"
      "\n"
      "Hello there.";
  mrcp_message_t* m = ParseOk(text);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->start_line.message_type, MRCP_MESSAGE_TYPE_REQUEST);
  EXPECT_EQ(m->start_line.method_id, static_cast<mrcp_method_id>(SYNTHESIZER_SPEAK));
  EXPECT_EQ(m->start_line.request_id, 14u);
  EXPECT_EQ(Str(m->channel_id), "32AECB23433801@speechsynth");
  EXPECT_EQ(Str(m->generic_header->content_type), "text/plain; charset=UTF-8");
  EXPECT_EQ(Str(m->generic_header->logging_tag), "call-0001");
  EXPECT_EQ(Str(m->generic_header->cache_control), "max-age=60, min-fresh=5");
  EXPECT_EQ(m->generic_header->content_length, 12u);
  EXPECT_EQ(Str(m->body), "Hello there.");
  const apr_array_header_t* params = m->generic_header->vendor_specific_params;
  ASSERT_EQ(params->nelts, 2);
  const auto* pairs = reinterpret_cast<const apt_pair_t*>(params->elts);
  // The plugin strips the quotes itself and reads the strings zero-terminated.
  EXPECT_STREQ(pairs[0].name.buf, "voice-name");
  EXPECT_STREQ(pairs[0].value.buf, "\"Kate\"");
  EXPECT_STREQ(pairs[1].value.buf, "true");
  const mrcp_synth_header_t* s = m->synth_header;
  EXPECT_EQ(s->voice_param.gender, VOICE_GENDER_FEMALE);
  EXPECT_EQ(Str(s->voice_param.name), "Alice");
  EXPECT_EQ(Str(s->speech_language), "en-GB");
  EXPECT_EQ(s->prosody_param.rate.type, PROSODY_RATE_TYPE_LABEL);
  EXPECT_EQ(s->prosody_param.rate.value.label, PROSODY_RATE_FAST);
  EXPECT_EQ(s->prosody_param.volume.type, PROSODY_VOLUME_TYPE_RELATIVE_CHANGE);
  EXPECT_EQ(s->prosody_param.volume.value.relative, 10.0f);
  EXPECT_EQ(s->completion_cause, SYNTHESIZER_COMPLETION_CAUSE_NORMAL);
  for (mrcp_generic_header_id id : {GENERIC_HEADER_CONTENT_TYPE, GENERIC_HEADER_LOGGING_TAG, GENERIC_HEADER_CACHE_CONTROL,
                                    GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS, GENERIC_HEADER_CONTENT_LENGTH}) {
    EXPECT_TRUE(mrcp_generic_header_property_check(m, id)) << id;
  }
  EXPECT_FALSE(mrcp_generic_header_property_check(m, GENERIC_HEADER_ACCEPT));
  EXPECT_FALSE(mrcp_resource_header_property_check(m, SYNTHESIZER_HEADER_VOICE_AGE));

  // Written back in canonical form; that text reads back to the same text.
  const std::string written = Render(m);
  const std::string expected_rest =
      " SPEAK 14\r\n"
      "Channel-Identifier: 32AECB23433801@speechsynth\r\n"
      "Content-Type: text/plain; charset=UTF-8\r\n"
      "Content-Length: 12\r\n"
      "Cache-Control: max-age=60, min-fresh=5\r\n"
      "Logging-Tag: call-0001\r\n"
      "Vendor-Specific-Parameters: voice-name=\"Kate\";audio-as-url=true\r\n"
      "Completion-Cause: 000 normal\r\n"
      "Voice-Gender: female\r\n"
      "Voice-Name: Alice\r\n"
      "Prosody-Volume: +10%\r\n"
      "Prosody-Rate: fast\r\n"
      "Speech-Language: en-GB\r\n"
      "\r\n"
      "Hello there.";
  const std::string total = std::to_string(9 + 3 + expected_rest.size());
  EXPECT_EQ(written, "MRCP/2.0 " + total + expected_rest);
  mrcp_message_t* again = ParseOk(written);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Render(again), written);
}

TEST_F(MrcpTextTest, ProsodyValuesMapOntoTheHostTypes) {
  struct Rate {
    const char* text;
    mrcp_prosody_rate_type_e type;
    float relative;  // or the label's number
    const char* written;
  };
  for (const Rate& c : std::vector<Rate>{{"x-slow", PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_XSLOW, "x-slow"},
                                         {"default", PROSODY_RATE_TYPE_LABEL, PROSODY_RATE_DEFAULT, "default"},
                                         {"1.5", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 1.5f, "1.5"},
                                         {"150%", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 1.5f, "1.5"},
                                         {"0.3", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 0.3f, "0.3"},
                                         {"2e1", PROSODY_RATE_TYPE_RELATIVE_CHANGE, 20.0f, "20"}}) {
    mrcp_message_t* m = WithHeader(std::string("Prosody-Rate: ") + c.text);
    ASSERT_NE(m, nullptr) << c.text;
    const mrcp_prosody_rate_t& rate = m->synth_header->prosody_param.rate;
    EXPECT_EQ(rate.type, c.type) << c.text;
    if (c.type == PROSODY_RATE_TYPE_LABEL) {
      EXPECT_EQ(static_cast<float>(rate.value.label), c.relative) << c.text;
    } else {
      EXPECT_EQ(rate.value.relative, c.relative) << c.text;
    }
    EXPECT_NE(Render(m).find(std::string("\r\nProsody-Rate: ") + c.written + "\r\n"), std::string::npos) << c.text;
  }
  struct Volume {
    const char* text;
    mrcp_prosody_volume_type_e type;
    float value;
    const char* written;
  };
  for (const Volume& c : std::vector<Volume>{{"silent", PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_SILENT, "silent"},
                                             {"x-loud", PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_XLOUD, "x-loud"},
                                             {"80", PROSODY_VOLUME_TYPE_NUMERIC, 80.0f, "80"},
                                             {"0.5", PROSODY_VOLUME_TYPE_NUMERIC, 0.5f, "0.5"},
                                             {"1e-10", PROSODY_VOLUME_TYPE_NUMERIC, 1e-10f, "1e-10"},
                                             {"+10", PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, 10.0f, "+10%"},
                                             {"-5.5%", PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, -5.5f, "-5.5%"}}) {
    mrcp_message_t* m = WithHeader(std::string("Prosody-Volume: ") + c.text);
    ASSERT_NE(m, nullptr) << c.text;
    const mrcp_prosody_volume_t& volume = m->synth_header->prosody_param.volume;
    EXPECT_EQ(volume.type, c.type) << c.text;
    const float value = c.type == PROSODY_VOLUME_TYPE_LABEL ? static_cast<float>(volume.value.label)
                                                            : volume.value.numeric;
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_NE(Render(m).find(std::string("\r\nProsody-Volume: ") + c.written + "\r\n"), std::string::npos) << c.text;
  }
  for (const char* bad : {"Prosody-Rate: +10%", "Prosody-Rate: -1", "Prosody-Rate: quick", "Prosody-Rate: 1e39",
                          "Prosody-Rate: nan", "Prosody-Volume: 50%", "Prosody-Volume: 0x10"}) {
    EXPECT_EQ(Parse(std::string("MRCP/2.0 SPEAK\r\n") + bad + "\r\n\r\n"), nullptr) << bad;
    EXPECT_EQ(error_.line, 2u) << bad;
  }
}

TEST_F(MrcpTextTest, VendorParametersSplitOnSemicolonsOutsideQuotes) {
  mrcp_message_t* m = ParseOk(
      "MRCP/2.0 SET-PARAMS\r\n"
      "Vendor-Specific-Parameters:  a = 1 ; b=\"x;y\\\"z\" ;flag; c=d=e\r\n"
      "Vendor-Specific-Parameters: a=2\r\n\r\n");
  ASSERT_NE(m, nullptr);
  const apr_array_header_t* params = m->generic_header->vendor_specific_params;
  ASSERT_EQ(params->nelts, 5);
  const auto* p = reinterpret_cast<const apt_pair_t*>(params->elts);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "1"}, {"b", "\"x;y\\\"z\""}, {"flag", ""}, {"c", "d=e"}, {"a", "2"}};
  for (int i = 0; i < params->nelts; ++i) {
    EXPECT_EQ(Str(p[i].name), expected[i].first);
    EXPECT_EQ(Str(p[i].value), expected[i].second);
  }
  EXPECT_NE(Render(m).find("Vendor-Specific-Parameters: a=1;b=\"x;y\\\"z\";flag;c=d=e;a=2\r\n"), std::string::npos);

  for (const char* bad : {"a=\"open", "a=1;", "a=\"x\" y", "=1", "a b=1", ";a=1"}) {
    EXPECT_EQ(Parse(std::string("MRCP/2.0 SPEAK\r\nContent-Type: text/plain\r\nVendor-Specific-Parameters: ") + bad +
                    "\r\n\r\n"),
              nullptr)
        << bad;
    EXPECT_EQ(error_.line, 3u) << bad;
  }
}

TEST_F(MrcpTextTest, StartLinesOfRequestsResponsesAndEvents) {
  mrcp_message_t* bare = ParseOk("MRCP/2.0 STOP\r\n\r\n");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->start_line.method_id, static_cast<mrcp_method_id>(SYNTHESIZER_STOP));
  EXPECT_EQ(bare->start_line.request_id, 0u);
  // Both header blocks, as the server's messages have them; no header present.
  ASSERT_NE(bare->generic_header, nullptr);
  ASSERT_NE(bare->synth_header, nullptr);
  EXPECT_EQ(bare->generic_properties, 0u);
  EXPECT_EQ(bare->synth_properties, 0u);
  EXPECT_EQ(bare->synth_header->completion_cause, SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN);
  EXPECT_EQ(bare->body.buf, nullptr);

  mrcp_message_t* response = ParseOk("MRCP/2.0 7 401 COMPLETE\r\nCompletion-Cause: 004\r\n\r\n");
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->start_line.message_type, MRCP_MESSAGE_TYPE_RESPONSE);
  EXPECT_EQ(response->start_line.request_id, 7u);
  EXPECT_EQ(response->start_line.status_code, MRCP_STATUS_CODE_METHOD_NOT_ALLOWED);
  EXPECT_EQ(response->start_line.request_state, MRCP_REQUEST_STATE_COMPLETE);
  EXPECT_EQ(response->synth_header->completion_cause, SYNTHESIZER_COMPLETION_CAUSE_ERROR);

  mrcp_message_t* event = ParseOk("MRCP/2.0 SPEAK-COMPLETE 4294967295 COMPLETE\r\n\r\n");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->start_line.message_type, MRCP_MESSAGE_TYPE_EVENT);
  EXPECT_EQ(event->start_line.method_id, static_cast<mrcp_method_id>(SYNTHESIZER_SPEAK_COMPLETE));
  EXPECT_EQ(event->start_line.request_id, 4294967295u);

  // With their lengths as the writer gives them, all three read back.
  for (mrcp_message_t* m : {bare, response, event}) {
    const std::string text = Render(m);
    apr_size_t consumed = 0;
    ASSERT_NE(Parse(text, 0, &consumed), nullptr) << text << error_.reason;
    EXPECT_EQ(consumed, text.size());
  }
}

TEST_F(MrcpTextTest, MessageLengthCountsItsOwnDigits) {
  // Bodies from 0 to 1000 bytes carry the length across 2, 3 and 4 digits.
  for (std::size_t body = 0; body <= 1000; ++body) {
    mrcp_message_t* m = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SPEAK, 1, pool_);
    m->body.buf = static_cast<char*>(apr_pcalloc(pool_, body + 1));
    std::memset(m->body.buf, 'x', body);
    m->body.length = body;
    const std::string text = Render(m);
    const std::size_t space = text.find(' ', 9);
    ASSERT_EQ(text.substr(9, space - 9), std::to_string(text.size())) << "body " << body;
  }

  const std::string right = "MRCP/2.0 22 STOP 1\r\n\r\n";
  ASSERT_EQ(right.size(), 22u);
  EXPECT_NE(ParseOk(right), nullptr);
  for (const char* wrong : {"MRCP/2.0 21 STOP 1\r\n\r\n", "MRCP/2.0 23 STOP 1\r\n\r\n"}) {
    EXPECT_EQ(Parse(wrong), nullptr);
    EXPECT_EQ(error_.line, 1u);
    EXPECT_NE(std::string(error_.reason).find("differs"), std::string::npos) << error_.reason;
  }
}

TEST_F(MrcpTextTest, BodyIsContentLengthBytesOrTheRestOfTheText) {
  // Two messages in one text: the first ends after its Content-Length bytes.
  const std::string two = "MRCP/2.0 SPEAK 1\r\nContent-Length: 7\r\n\r\nHi\r\nyouMRCP/2.0 STOP 2\r\n\r\n";
  apr_size_t consumed = 0;
  mrcp_message_t* first = Parse(two, MRCP_TEXT_BODY_TO_END, &consumed);
  ASSERT_NE(first, nullptr) << error_.reason;
  EXPECT_EQ(Str(first->body), "Hi\r\nyou");
  mrcp_message_t* second = Parse(two.substr(consumed), 0, &consumed);
  ASSERT_NE(second, nullptr) << error_.reason;
  EXPECT_EQ(second->start_line.request_id, 2u);

  // Without Content-Length: no body, unless the rest is asked for (then the header is added).
  const std::string speak = "MRCP/2.0 SPEAK\nContent-Type: text/plain\n\nLine one\nLine two\n";
  mrcp_message_t* headers_only = Parse(speak, 0, &consumed);
  ASSERT_NE(headers_only, nullptr);
  EXPECT_EQ(headers_only->body.buf, nullptr);
  EXPECT_EQ(consumed, speak.find("Line"));
  mrcp_message_t* whole = ParseOk(speak, MRCP_TEXT_BODY_TO_END);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(Str(whole->body), "Line one\nLine two\n");
  EXPECT_TRUE(mrcp_generic_header_property_check(whole, GENERIC_HEADER_CONTENT_LENGTH));
  EXPECT_EQ(whole->generic_header->content_length, 18u);

  // A body shorter than its Content-Length is refused at the body's line.
  EXPECT_EQ(Parse("MRCP/2.0 SPEAK\r\nContent-Length: 10\r\n\r\nshort", MRCP_TEXT_BODY_TO_END), nullptr);
  EXPECT_EQ(error_.line, 4u);
  // So is a Content-Length with no empty line before the end.
  EXPECT_EQ(Parse("MRCP/2.0 SPEAK\r\nContent-Length: 1\r\n"), nullptr);
}

TEST_F(MrcpTextTest, RefusalsNameTheirLine) {
  struct Case {
    std::string text;
    std::size_t line;
    const char* reason;
  };
  const std::string speak = "MRCP/2.0 SPEAK\r\nContent-Type: text/plain\r\n";
  const std::vector<Case> cases = {
      {"", 1, "empty text"},
      {"\r\n", 1, "empty start line"},
      {"MRCP/1.0 SPEAK\r\n\r\n", 1, "must begin with MRCP/2.0"},
      {"MRCP/2.0 SPEEK 1\r\n\r\n", 1, "\"SPEEK\""},
      {"MRCP/2.0 SPEAK one\r\n\r\n", 1, "request id \"one\""},
      {"MRCP/2.0 SPEAK 4294967296\r\n\r\n", 1, "request id"},
      {"MRCP/2.0 1 299 COMPLETE\r\n\r\n", 1, "status 299"},
      {"MRCP/2.0 1 200 DONE\r\n\r\n", 1, "request state \"DONE\""},
      {"MRCP/2.0 SPEAK-COMPLETE 1\r\n\r\n", 1, "response needs"},
      {"MRCP/2.0 SPEAK\x01 1\r\n\r\n", 1, "control character"},
      {speak + "content-type: text/html\r\n\r\n", 3, "Content-Type given twice"},
      {speak + "Voice-Name Kate\r\n\r\n", 3, "\"Name: value\""},
      {speak + "Voice-Name : Kate\r\n\r\n", 3, "blank between"},
      {speak + " folded\r\n\r\n", 3, "continuation"},
      {speak + "Voice-Name: Ka\x7fte\r\n\r\n", 3, "control character"},
      {speak + "Content-Length: -1\r\n\r\n", 3, "Content-Length takes a number"},
      {speak + "Voice-Age: 4294967296\r\n\r\n", 3, "Voice-Age takes a number"},
      {speak + "Kill-On-Barge-In: yes\r\n\r\n", 3, "\"true\" or \"false\""},
      {speak + "Voice-Gender: woman\r\n\r\n", 3, "\"male\", \"female\""},
      {speak + "X Custom: 1\r\n\r\n", 3, "a header name holds no blank"},
      {speak + "Completion-Cause: 008\r\n\r\n", 3, "000 to 007"},
      {speak + "Completion-Cause: 0\r\n\r\n", 3, "000 to 007"},
      {speak + "Completion-Cause: 001 normal\r\n\r\n", 3, "is \"barge-in\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.text), nullptr) << c.text;
    EXPECT_EQ(error_.line, c.line) << c.text << " -> " << error_.reason;
    EXPECT_NE(std::string(error_.reason).find(c.reason), std::string::npos) << c.text << " -> " << error_.reason;
  }
  // Header names match in any case, and so do keywords; other values keep
  // theirs. Unknown headers and empty typed values are kept as written.
  mrcp_message_t* m = ParseOk(
      "MRCP/2.0 SPEAK\r\nSPEECH-language: EN-us\r\nkill-on-barge-in: FALSE\r\nVoice-Gender: Female\r\n"
      "Prosody-Rate: X-Fast\r\nX-Custom: 1\r\nVoice-age:\r\nX-Custom: 2\r\n\r\n");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(Str(m->synth_header->speech_language), "EN-us");
  EXPECT_FALSE(m->synth_header->kill_on_barge_in);
  EXPECT_EQ(m->synth_header->voice_param.gender, VOICE_GENDER_FEMALE);
  EXPECT_EQ(m->synth_header->prosody_param.rate.value.label, PROSODY_RATE_XFAST);
  EXPECT_FALSE(mrcp_resource_header_property_check(m, SYNTHESIZER_HEADER_VOICE_AGE));
  ASSERT_NE(m->other_headers, nullptr);
  ASSERT_EQ(m->other_headers->nelts, 3);
  char text[512];
  ASSERT_GT(mrcp_text_render(m, text, sizeof(text)), 0u);
  EXPECT_NE(std::string(text).find("Prosody-Rate: x-fast\r\n"), std::string::npos) << text;
  EXPECT_NE(std::string(text).find("\r\nX-Custom: 1\r\nVoice-age:\r\nX-Custom: 2\r\n\r\n"),
            std::string::npos)
      << text;
}

TEST_F(MrcpTextTest, WriterGivesThePluginsAnswersExactlyAndRefusesWhatTextCannotCarry) {
  mrcp_message_t* request = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SPEAK, 5, pool_);
  apt_string_assign(&request->channel_id, "0a1b@speechsynth", pool_);
  mrcp_message_t* response = mrcp_response_create(request, pool_);
  response->start_line.status_code = MRCP_STATUS_CODE_METHOD_NOT_ALLOWED;
  mrcp_resource_header_prepare(response)->completion_cause = SYNTHESIZER_COMPLETION_CAUSE_ERROR;
  mrcp_resource_header_property_add(response, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  EXPECT_EQ(Render(response),
            "MRCP/2.0 97 5 401 COMPLETE\r\nChannel-Identifier: 0a1b@speechsynth\r\nCompletion-Cause: 004 error\r\n\r\n");

  mrcp_message_t* event = mrcp_event_create(request, SYNTHESIZER_SPEAK_COMPLETE, pool_);
  event->start_line.request_state = MRCP_REQUEST_STATE_COMPLETE;
  const std::string complete = "MRCP/2.0 79 SPEAK-COMPLETE 5 COMPLETE\r\nChannel-Identifier: 0a1b@speechsynth\r\n\r\n";
  EXPECT_EQ(Render(event), complete);

  // snprintf-like: a short buffer gets a terminated prefix, the full length is returned.
  char small[10];
  EXPECT_EQ(mrcp_text_render(event, small, sizeof(small)), complete.size());
  EXPECT_STREQ(small, complete.substr(0, 9).c_str());

  // Content-Length states the body as it is, whatever the header block says.
  apt_string_assign(&request->body, "four", pool_);
  EXPECT_NE(Render(request).find("\r\nContent-Length: 4\r\n\r\nfour"), std::string::npos);
  mrcp_generic_header_prepare(request)->content_length = 99;
  mrcp_generic_header_property_add(request, GENERIC_HEADER_CONTENT_LENGTH);
  EXPECT_NE(Render(request).find("\r\nContent-Length: 4\r\n\r\nfour"), std::string::npos);

  corvex_test::LogCapture log;  // refusals of the message API below log; keep them out of the output
  mrcp_message_t* broken = mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SPEAK, 6, pool_);
  apt_string_assign(&mrcp_resource_header_prepare(broken)->voice_param.name, "Kate\r\nX-Injected: 1", pool_);
  mrcp_resource_header_property_add(broken, SYNTHESIZER_HEADER_VOICE_NAME);
  EXPECT_EQ(mrcp_text_render(broken, nullptr, 0), 0u);

  mrcp_message_t* no_cause = mrcp_response_create(request, pool_);
  mrcp_resource_header_prepare(no_cause);  // the cause starts unknown
  mrcp_resource_header_property_add(no_cause, SYNTHESIZER_HEADER_COMPLETION_CAUSE);
  EXPECT_EQ(mrcp_text_render(no_cause, nullptr, 0), 0u);

  mrcp_message_t* version1 = mrcp_request_create(MRCP_VERSION_1, SYNTHESIZER_STOP, 1, pool_);
  EXPECT_EQ(mrcp_text_render(version1, nullptr, 0), 0u);
  EXPECT_EQ(mrcp_text_render(nullptr, nullptr, 0), 0u);
}

}  // namespace
