// The SDK's JSON values: reference counts through containers, the request
// information as the channel builds it, reading the service's answers, and
// the URL-safe base64 of the request identifiers.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <limits>
#include <string>

#include "QelCloudRequestInfo.h"
#include "brillify/BrillServerJSON.h"
#include "brillify/Client/Base64.h"
#include "brillify/RequestInfoJSON.h"

namespace {

// A string value that counts its destructions.
class CountedString : public JSONStringValue {
 public:
  explicit CountedString(const char* text) : JSONStringValue(text) {}
  static int destroyed;

 protected:
  ~CountedString() override { ++destroyed; }
};
int CountedString::destroyed = 0;

rapidjson::Document Parse(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str(), text.size());
  EXPECT_FALSE(document.HasParseError()) << text;
  return document;
}

BrillServerJSON* Answer(const std::string& text) { return BrillServerJSON::parse(text.data(), text.size()); }

TEST(BrillifyJson, ContainersHoldTheirOwnReferencesAndDropThemOnce) {
  CountedString::destroyed = 0;
  auto* text = new CountedString("speak_this");
  auto* result = new JSONObjectValue();
  result->appendPair("Intent", text);
  auto* match = new ClientMatchJSON();
  match->setResult(result);
  // Setting the value a pair already holds must not free it on the way.
  match->setResult(match->getResult());
  EXPECT_EQ(2, result->referenceCount());
  auto* info = new RequestInfoJSON();
  info->appendClientMatch(match);

  // The creators let go; the tree keeps everything alive.
  text->release();
  result->release();
  match->release();
  EXPECT_EQ(0, CountedString::destroyed);
  EXPECT_EQ(text, info->elementOfClientMatches(0)->getResult()->findValue("Intent"));

  // Removing the matches frees the whole branch, exactly once.
  info->clearClientMatches();
  EXPECT_EQ(1, CountedString::destroyed);
  EXPECT_FALSE(info->hasClientMatches());

  // A value shared by two containers lives until both are gone.
  auto* shared = new CountedString("shared");
  auto* array = new JSONArrayValue();
  array->append(shared);
  info->appendPair("Extra", shared);
  shared->release();
  array->release();
  EXPECT_EQ(1, CountedString::destroyed);
  info->release();
  EXPECT_EQ(2, CountedString::destroyed);
}

TEST(BrillifyJson, RequestInfoRendersTheFieldsTheChannelSets) {
  RequestInfoJSON* info = TARNWICKSS::CreateRequestInfo("<speak>hi</speak>", true, "", "en-US", false);
  info->setLanguage("de-DE");  // set again: one member, the last value
  rapidjson::Document document = Parse(to_string(*info));
  EXPECT_EQ("de-DE", std::string(document["Language"].GetString()));
  EXPECT_EQ("Default", std::string(document["ResponseVoice"].GetString()));
  EXPECT_EQ(8u, document.MemberCount());  // every field once, the URL flag absent
  RequestInfoJSON* next = TARNWICKSS::CreateRequestInfo("hi", false, "Emma", "", false);
  EXPECT_NE(std::string(document["RequestID"].GetString()), Parse(to_string(*next))["RequestID"].GetString());
  next->release();
  const auto& match = document["ClientMatches"][0];
  EXPECT_EQ("speak_this", std::string(match["Result"]["Intent"].GetString()));
  EXPECT_EQ("", std::string(match["PlainResponseText"].GetString()));
  EXPECT_EQ("<speak>hi</speak>", std::string(match["SSMLResponseTextLong"].GetString()));
  info->setResponseAudioAsURL(true);
  EXPECT_TRUE(Parse(to_string(*info))["ResponseAudioAsURL"].GetBool());
  info->release();
}

TEST(BrillifyJson, StringsRoundTripThroughTheirJsonText) {
  const std::string text = std::string("quote \" backslash \\ newline \n tab \t bell \x07 nul ") + '\0' + " \xC3\xA9";
  auto* value = new JSONStringValue(text);
  auto* object = new JSONObjectValue();
  object->appendPair("we\"ird", value);
  value->release();
  auto* number =
      new JSONDoubleValue(std::numeric_limits<double>::infinity());  // JSON has no infinity: rendered as null
  object->appendPair("n", number);
  number->release();
  rapidjson::Document document = Parse(to_string(*object));
  ASSERT_TRUE(document.HasMember("we\"ird"));
  EXPECT_EQ(text, std::string(document["we\"ird"].GetString(), document["we\"ird"].GetStringLength()));
  EXPECT_TRUE(document["n"].IsNull());
  object->release();
}

TEST(BrillifyJson, AnswersAreReadAsTheServiceWroteThem) {
  BrillServerJSON* answer = Answer(
      R"({"Status": 0, "AllResults": [{"ResponseAudioURL": "http://x/a.wav", "ResponseAudioBytes": 5}, 7,
          {"ResponseAudioBytes": ""}], "AllResults": []})");
  ASSERT_NE(nullptr, answer);
  EXPECT_EQ(0, answer->getStatus());
  // Non-objects in the list are dropped; the first list of a repeated name counts.
  ASSERT_EQ(2u, answer->countOfAllResults());
  CommandResultJSON* first = answer->elementOfAllResults(0);
  EXPECT_EQ("http://x/a.wav", first->getResponseAudioURL());
  EXPECT_FALSE(first->hasResponseAudioBytes());  // a number is not audio
  EXPECT_TRUE(answer->elementOfAllResults(1)->hasResponseAudioBytes());
  answer->release();

  struct Case {
    const char* text;
    bool has_status;
    int status;
    bool has_results;
  } cases[] = {
      {R"({"Status": 3, "AllResults": 5})", true, 3, false},
      {R"({"Status": "0", "AllResults": {}})", false, -1, false},
      {R"({"Status": 4294967296})", false, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    BrillServerJSON* read = Answer(c.text);
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(c.has_status, read->hasStatus());
    EXPECT_EQ(c.status, read->getStatus());
    EXPECT_EQ(c.has_results, read->hasAllResults());
    EXPECT_EQ(0u, read->countOfAllResults());
    read->release();
  }

  const std::string deep = std::string(10000, '[') + std::string(10000, ']');
  for (const std::string& text : {std::string("[]"), std::string("{} x"), std::string(R"({"Status": 0)"),
                                  std::string(""), "{\"a\": " + deep + "}"}) {
    EXPECT_EQ(nullptr, Answer(text)) << text.substr(0, 40);
  }
}

TEST(BrillifyJson, Base64UrlEncodesThreeBytesAsFourSafeCharacters) {
  struct Case {
    unsigned char in[3];
    const char* out;
  } cases[] = {{{'M', 'a', 'n'}, "TWFu"},
               {{0, 0, 0}, "AAAA"},
               {{0xFB, 0xEF, 0xBE}, "----"},
               {{0xFF, 0xFF, 0xFF}, "____"},
               {{0x00, 0x10, 0x83}, "ABCD"}};
  for (const Case& c : cases) {
    char out[5] = {'.', '.', '.', '.', '#'};
    Client::base64url_encode_three(out, c.in);
    EXPECT_EQ(std::string(c.out), std::string(out, 4));
    EXPECT_EQ('#', out[4]) << "wrote past four characters";
  }
}

}  // namespace
