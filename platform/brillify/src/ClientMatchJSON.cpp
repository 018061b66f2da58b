#include "brillify/ClientMatchJSON.h"

namespace {
constexpr const char* kExpression = "Expression";
constexpr const char* kResult = "Result";
constexpr const char* kPlain = "PlainResponseText";
constexpr const char* kPlainLong = "PlainResponseTextLong";
constexpr const char* kCommon = "ResponseText";
constexpr const char* kCommonLong = "ResponseTextLong";
constexpr const char* kSsml = "SSMLResponseText";
constexpr const char* kSsmlLong = "SSMLResponseTextLong";
}  // namespace

void ClientMatchJSON::setExpression(const char* expression) { replaceString(kExpression, expression); }
bool ClientMatchJSON::hasExpression() const { return findString(kExpression) != nullptr; }
const std::string& ClientMatchJSON::getExpression() const { return stringOrEmpty(kExpression); }

void ClientMatchJSON::setResult(JSONObjectValue* result) { replacePair(kResult, result); }
bool ClientMatchJSON::hasResult() const { return findObject(kResult) != nullptr; }
JSONObjectValue* ClientMatchJSON::getResult() const { return findObject(kResult); }

void ClientMatchJSON::setPlainResponseText(const char* text) { replaceString(kPlain, text); }
void ClientMatchJSON::setPlainResponseTextLong(const char* text) { replaceString(kPlainLong, text); }
void ClientMatchJSON::setResponseText(const char* text) { replaceString(kCommon, text); }
void ClientMatchJSON::setResponseTextLong(const char* text) { replaceString(kCommonLong, text); }
void ClientMatchJSON::setSSMLResponseText(const char* text) { replaceString(kSsml, text); }
void ClientMatchJSON::setSSMLResponseTextLong(const char* text) { replaceString(kSsmlLong, text); }
bool ClientMatchJSON::hasSSMLResponseText() const { return findString(kSsml) != nullptr; }
const std::string& ClientMatchJSON::getPlainResponseText() const { return stringOrEmpty(kPlain); }
const std::string& ClientMatchJSON::getPlainResponseTextLong() const { return stringOrEmpty(kPlainLong); }
const std::string& ClientMatchJSON::getResponseText() const { return stringOrEmpty(kCommon); }
const std::string& ClientMatchJSON::getResponseTextLong() const { return stringOrEmpty(kCommonLong); }
const std::string& ClientMatchJSON::getSSMLResponseText() const { return stringOrEmpty(kSsml); }
const std::string& ClientMatchJSON::getSSMLResponseTextLong() const { return stringOrEmpty(kSsmlLong); }
