// Speak parameters and the segmentation of SPEAK bodies: content types,
// single segments, SSML (split and whole, namespaces, escaping) and URI lists.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QelContentCharset.h"
#include "QelSpeakParams.h"
#include "QelSynthContent.h"
#include "QelTarnwickssPlugin.h"
#include "log_capture.h"

using namespace TARNWICKSS;
using corvex_test::LogCapture;

namespace {

TEST(SpeakParamsTest, ContentTypeCutsParametersAndMatchesExactly) {
  const struct {
    const char* header;
    SynthContentType type;
    const char* cut;
  } kCases[] = {
      {"text/plain;charset=UTF-8", SYNTH_CONTENT_TEXT, "text/plain"},
      {"application/synthesis+ssml;a=b;c", SYNTH_CONTENT_SSML, "application/synthesis+ssml"},
      {"text/uri-list", SYNTH_CONTENT_URI_LIST, "text/uri-list"},
      {"Text/Plain", SYNTH_CONTENT_UNKNOWN, "Text/Plain"},
      {"text/plain ;charset=UTF-8", SYNTH_CONTENT_UNKNOWN, "text/plain "},
      {"", SYNTH_CONTENT_UNKNOWN, ""},
  };
  for (const auto& c : kCases) {
    SpeakParams params;
    params.content_type = SYNTH_CONTENT_URI_LIST;  // a stale type must not survive
    std::string value = c.header;
    EXPECT_TRUE(params.DetermineContentType(value));
    EXPECT_EQ(c.type, params.content_type) << c.header;
    EXPECT_EQ(c.cut, value) << c.header;
  }
}

TEST(ContentCharsetTest, CharsetParameterIsFoundWhateverItsSpelling) {
  const struct {
    const char* header;
    bool found;
    const char* charset;
  } kCases[] = {
      {"text/plain;charset=UTF-8", true, "UTF-8"},
      {"text/plain ; CharSet = \"ISO-8859-1\" ; format=flowed", true, "ISO-8859-1"},
      {"application/ssml+xml; a=\"q;charset=x\"; charset=windows-1252 ", true, "windows-1252"},
      {"text/plain; charset=\"a\\\"b\"; charset=second", true, "a\"b"},
      {"text/plain; charset=", true, ""},
      {"text/plain; charsets=x; x=\"unterminated", false, ""},
      {"text/plain", false, ""},
  };
  for (const auto& c : kCases) {
    std::string charset = "stale";
    EXPECT_EQ(c.found, FindCharsetParameter(c.header, charset)) << c.header;
    EXPECT_EQ(c.charset, charset) << c.header;
  }
}

// Two bytes per character, little-endian: enough for the ASCII rows below.
std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

TEST(ContentCharsetTest, TextBecomesUtf8OrIsRefused) {
  using R = TextConversion;
  const std::string latin1_doc = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><speak>\xE9</speak>";
  const struct {
    std::string body;
    const char* charset;  // null: none declared
    bool xml;
    R result;
    std::string text;  // what the cloud gets
    const char* source;
  } kCases[] = {
      {"caf\xE9", "ISO-8859-1", false, R::kConverted, "caf\xC3\xA9", "ISO-8859-1"},
      {"\x80 \x93x\x94", "windows-1252", false, R::kConverted, "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D", nullptr},
      {Utf16Le("hi"), "utf-16", false, R::kConverted, "hi", nullptr},
      {std::string("\0h\0i", 4), "UTF-16", false, R::kConverted, "hi", nullptr},  // no mark: big-endian
      {"\xEF\xBB\xBFhi", nullptr, false, R::kConverted, "hi", "UTF-8"},
      {"a\x81", "windows-1252", false, R::kInvalidText, "", nullptr},
      {std::string("\xD8\0\0h", 4), "UTF-16BE", false, R::kInvalidText, "", nullptr},  // a lone surrogate
      {"caf\xE9", nullptr, false, R::kInvalidText, "", "UTF-8"},
      {std::string("a\0b", 3), "UTF-8", false, R::kInvalidText, "", nullptr},
      {"\xED\xA0\x80", nullptr, false, R::kInvalidText, "", nullptr},  // a surrogate
      {"\xC0\xAF", nullptr, false, R::kInvalidText, "", nullptr},      // an overlong "/"
      {"hi", "klingon", false, R::kUnknownCharset, "", nullptr},
      {"hi", "UTF-8//IGNORE", false, R::kUnknownCharset, "", nullptr},
      {"hi", "", false, R::kUnknownCharset, "", nullptr},
      // An SSML body without a charset names its own; the declaration then says UTF-8.
      {latin1_doc, nullptr, true, R::kConverted, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><speak>\xC3\xA9</speak>",
       "ISO-8859-1"},
      {"<?xml version='1.0' encoding = 'ISO-8859-1'?><speak>\x80</speak>", "windows-1252", true, R::kConverted,
       "<?xml version='1.0' encoding = 'UTF-8'?><speak>\xE2\x82\xAC</speak>", nullptr},
      {Utf16Le("<?xml version='1.0' encoding='UTF-16'?><speak/>"), nullptr, true, R::kConverted,
       "<?xml version='1.0' encoding='UTF-8'?><speak/>", "UTF-16"},
      {latin1_doc, nullptr, false, R::kInvalidText, "", "UTF-8"},  // plain text is UTF-8
      {"<?xml version=\"1.0\" encoding=\"UTF-16\"?><speak/>", nullptr, true, R::kInvalidText, "", nullptr},
      {"<?xml version=\"1.0\" encoding=\"bogus\"?><speak/>", nullptr, true, R::kInvalidText, "", "bogus"},
  };
  for (const auto& c : kCases) {
    std::string text = c.body, source;
    EXPECT_EQ(c.result, ConvertTextToUtf8(text, c.charset, c.xml, source)) << c.body;
    EXPECT_EQ(c.result == R::kConverted ? c.text : c.body, text) << c.body;  // refused: unchanged
    if (c.source) {
      EXPECT_EQ(c.source, source) << c.body;
    }
  }
}

class SynthContentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apr_initialize();
    mrcp_plugin_log_source_set(def_log_source);
  }
  static void TearDownTestSuite() { apr_terminate(); }
  void SetUp() override {
    apr_pool_create(&pool_, nullptr);
    params_.language = "en-US";
    params_.voice_name = "Request";
    params_.voice_gender = VOICE_GENDER_NEUTRAL;
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  bool Ssml(const std::string& body, bool split) {
    params_.content = body;
    params_.content_type = SYNTH_CONTENT_SSML;
    return content_.ReadSsmlAndComposeContent(params_, split, pool_);
  }
  void UriList(const std::string& body) {
    params_.content = body;
    EXPECT_TRUE(content_.ComposeUriListSegments(params_));
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const SynthSegment& s : content_.segments) texts.push_back(s.text);
    return texts;
  }
  // Whether every segment is well-formed XML by the same parser.
  bool AllSegmentsParse() {
    for (const SynthSegment& s : content_.segments) {
      if (!SynthContent::ParseSsml(s.text.data(), s.text.size(), pool_)) return false;
    }
    return true;
  }

  LogCapture log_;
  apr_pool_t* pool_ = nullptr;
  SpeakParams params_;
  SynthContent content_;
};

TEST_F(SynthContentTest, SingleSegmentCarriesTheBodyUnparsed) {
  // What the channel does for text, and for SSML with bypass on: even
  // malformed XML goes out as it came.
  params_.content = "<speak><voice>unclosed";
  params_.content_type = SYNTH_CONTENT_SSML;
  EXPECT_TRUE(content_.ComposeSingleSegment(params_));
  ASSERT_EQ(1u, content_.segments.size());
  EXPECT_EQ(params_.content, content_.segments[0].text);
  EXPECT_EQ("Request", content_.segments[0].voice_name);
  EXPECT_EQ(0u, log_.Warnings());
}

TEST_F(SynthContentTest, SplitGivesOneDocumentPerTopLevelVoiceAndPerRunBetweenThem) {
  ASSERT_TRUE(
      Ssml("<speak version=\"1.0\" xml:lang=\"en-GB\" xmlns=\"http://www.w3.org/2001/10/synthesis\">"
           "Please listen. <voice name=\"Amy\" gender=\"female\">Hello <voice name=\"x\">deep</voice> there</voice>"
           " Tom &amp; Jerry <break time=\"1s\"/> then <Voice gender=\"male\" age=\"30\"><s>Bye</s></Voice>\n "
           "<voice>a</voice><p>end</p></speak>",
           true));
  EXPECT_EQ("en-GB", params_.language);
  const std::string head = "<speak version=\"1.0\" xml:lang=\"en-GB\">";
  EXPECT_EQ((std::vector<std::string>{head + "Please listen. </speak>",
                                      head + "Hello <voice name=\"x\">deep</voice> there</speak>",
                                      head + " Tom &amp; Jerry <break time=\"1s\"/> then </speak>",
                                      head + "<s>Bye</s></speak>", head + "a</speak>", head + "<p>end</p></speak>"}),
            Texts());
  std::vector<std::string> voices;
  for (const SynthSegment& s : content_.segments) {
    voices.push_back(s.voice_name + "/" + std::to_string(s.voice_gender));
    EXPECT_EQ(SYNTH_CONTENT_SSML, s.content_type);
  }
  EXPECT_EQ((std::vector<std::string>{"Request/2", "Amy/1", "Request/2", "Request/0", "Request/2", "Request/2"}),
            voices);
}

TEST_F(SynthContentTest, SplitWithoutVoiceWrapsTheRootContentWithoutNamespaces) {
  ASSERT_TRUE(
      Ssml("<s:speak version=\"1.1\" xmlns:s=\"urn:s\" xmlns:a=\"urn:a\" xmlns:b=\"urn:b\" a:x=\"1\">"
           "<s:p a:n=\"1\" b:n=\"2\" :c=\"0\" c=\"3\">Hi</s:p><b:break/></s:speak>",
           true));
  EXPECT_EQ("en-US", params_.language);  // no xml:lang: the request's stays
  ASSERT_EQ(1u, content_.segments.size());
  // Root attributes are gone; attributes that collide once unprefixed keep
  // the one written last.
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"en-US\"><p c=\"3\" n=\"2\">Hi</p><break/></speak>",
            content_.segments[0].text);
  EXPECT_EQ("Request", content_.segments[0].voice_name);
  EXPECT_TRUE(AllSegmentsParse());
}

TEST_F(SynthContentTest, ReservedCharactersAreEscapedInReserializedSegments) {
  ASSERT_TRUE(
      Ssml("<speak xml:lang=\"x&amp;&quot;y\"><voice name=\"A&amp;B\">a &lt; b &amp;&amp; c &gt; d "
           "<mark name=\"q&quot;&lt;\"/><![CDATA[1<2]]></voice></speak>",
           true));
  // The decoded value is what the cloud gets; the wrapper escapes it again.
  EXPECT_EQ("x&\"y", params_.language);
  ASSERT_EQ(1u, content_.segments.size());
  EXPECT_EQ(
      "<speak version=\"1.0\" xml:lang=\"x&amp;&quot;y\">a &lt; b &amp;&amp; c &gt; d "
      "<mark name=\"q&quot;&lt;\"/>1&lt;2</speak>",
      content_.segments[0].text);
  EXPECT_EQ("A&B", content_.segments[0].voice_name);

  content_.segments.clear();
  params_.language = "<\"head\ter\">";  // a tab would read back as a blank
  ASSERT_TRUE(Ssml("<speak>plain</speak>", true));
  EXPECT_EQ("<speak version=\"1.0\" xml:lang=\"&lt;&quot;head&#9;er&quot;&gt;\">plain</speak>", Texts().at(0));
  EXPECT_TRUE(AllSegmentsParse());
}

TEST_F(SynthContentTest, WithoutSplitTheBodyIsKeptAndTheFirstVoiceNamesIt) {
  const std::string body =
      "<?xml version=\"1.0\"?>\r\n<speak xml:lang=\"fr-FR\"><!-- c --><p>x</p>"
      "<VOICE NAME=\"Celine\" gender=\"Female\" variant=\"2\">a &amp; b</VOICE><voice name=\"Second\"/></speak>";
  ASSERT_TRUE(Ssml(body, false));
  EXPECT_EQ("fr-FR", params_.language);
  ASSERT_EQ(1u, content_.segments.size());
  const SynthSegment& s = content_.segments.front();
  EXPECT_EQ(body, s.text);
  EXPECT_EQ("Celine", s.voice_name);
  EXPECT_EQ(VOICE_GENDER_NEUTRAL, s.voice_gender);  // "Female" is not a gender value

  for (const char* xml : {"<voice gender=\"female\"/>", "<voice gender=\"\" name=\"\"/>"}) {
    ASSERT_TRUE(Ssml(std::string("<speak>") + xml + "</speak>", false));
  }
  EXPECT_EQ(VOICE_GENDER_FEMALE, content_.segments[1].voice_gender);
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, content_.segments[2].voice_gender);
  EXPECT_EQ("", content_.segments[2].voice_name);
}

TEST_F(SynthContentTest, UnparsableSsmlGivesNoSegmentAndOneWarning) {
  const struct {
    const char* body;
    const char* message;
  } kCases[] = {
      {"", "XML Content Emtpy"},
      {"<speak></voice>", "Failed to Feed XML Content to Parser"},
      {"<speak>open", "Failed to Terminate XML parsing"},
  };
  for (bool split : {false, true}) {
    for (const auto& c : kCases) {
      log_.Clear();
      params_.language = "en-US";
      EXPECT_FALSE(Ssml(c.body, split)) << c.body;
      EXPECT_EQ(1u, log_.Warnings()) << c.body << "\n" << log_.WarningText();
      EXPECT_EQ(1u, log_.Count(c.message, APT_PRIO_WARNING)) << c.body;
      EXPECT_EQ("en-US", params_.language);
    }
  }
  EXPECT_TRUE(content_.segments.empty());

  // APR accepts names that are not qualified names; only a split body, which
  // is written back without prefixes, refuses them, all segments or none.
  log_.Clear();
  EXPECT_FALSE(Ssml("<speak xmlns:a=\"urn:a\"><voice>ok</voice><voice><a:b:c/></voice></speak>", true));
  EXPECT_FALSE(Ssml("<speak xmlns:a=\"urn:a\"><voice><p a:.=\"1\"/></voice></speak>", true));
  EXPECT_EQ(2u, log_.Count("Failed to Compose SSML Segment", APT_PRIO_WARNING));
  EXPECT_TRUE(content_.segments.empty());
  EXPECT_TRUE(Ssml("<speak><voice>x<p :=\"2\"/></voice></speak>", false));
}

TEST_F(SynthContentTest, UriListLinesBecomeSegmentsAndUnsupportedOnesAreSkipped) {
  UriList("\r\n\n\r\r\n");
  EXPECT_TRUE(content_.segments.empty());
  EXPECT_TRUE(log_.Records().empty());

  UriList(
      "http://h/a.wav\r\nFILE:///tmp/b.wav\r\n  file://\t /tmp/c d.wav\rHTTPS://h/e\n\nfile://  \n"
      "# comment\r\n \t\r\nftp://h/x\r\nhttp:/h/y\r\nfile:/z\r\nhttp://h/f");
  EXPECT_EQ((std::vector<std::string>{"http://h/a.wav", "/tmp/b.wav", "/tmp/c d.wav", "HTTPS://h/e", "http://h/f"}),
            Texts());
  std::vector<SynthContentType> types;
  for (const SynthSegment& s : content_.segments) types.push_back(s.content_type);
  EXPECT_EQ(types,
            (std::vector<SynthContentType>{SYNTH_CONTENT_HTTP_URI, SYNTH_CONTENT_FILE_URI, SYNTH_CONTENT_FILE_URI,
                                           SYNTH_CONTENT_HTTPS_URI, SYNTH_CONTENT_HTTP_URI}));
  EXPECT_EQ(5u, log_.Count("Unsupported URI Form", APT_PRIO_WARNING));
  EXPECT_EQ(5u, log_.Warnings()) << log_.WarningText();
}

}  // namespace
