#include "brillify/RequestInfoJSON.h"

#include <cstring>

#include "Error.h"

namespace {
constexpr const char* kLanguage = "Language";
constexpr const char* kRequestId = "RequestID";
constexpr const char* kSessionId = "SessionID";
constexpr const char* kClientName = "ClientName";
constexpr const char* kClientVersion = "ClientVersion";
constexpr const char* kClientMatches = "ClientMatches";
constexpr const char* kResponseVoice = "ResponseVoice";
constexpr const char* kShortOrLong = "ResponseAudioShortOrLong";
constexpr const char* kAsUrl = "ResponseAudioAsURL";
}  // namespace

RequestInfoJSON::ResponseAudioShortOrLong RequestInfoJSON::stringToResponseAudioShortOrLong(const char* word) {
  if (word && std::strcmp(word, "Short") == 0) return ResponseAudioShort;
  if (word && std::strcmp(word, "Long") == 0) return ResponseAudioLong;
  Brillify::ThrowText(std::string("unknown ResponseAudioShortOrLong [") + (word ? word : "") + "]");
}

const char* RequestInfoJSON::responseAudioShortOrLongToString(ResponseAudioShortOrLong value) {
  return value == ResponseAudioLong ? "Long" : "Short";
}

void RequestInfoJSON::setLanguage(const char* language) { replaceString(kLanguage, language); }
bool RequestInfoJSON::hasLanguage() const { return findString(kLanguage) != nullptr; }
const std::string& RequestInfoJSON::getLanguage() const { return stringOrEmpty(kLanguage); }

void RequestInfoJSON::setRequestID(const char* id) { replaceString(kRequestId, id); }
void RequestInfoJSON::setSessionID(const char* id) { replaceString(kSessionId, id); }
const std::string& RequestInfoJSON::getRequestID() const { return stringOrEmpty(kRequestId); }
const std::string& RequestInfoJSON::getSessionID() const { return stringOrEmpty(kSessionId); }

void RequestInfoJSON::setClientName(const char* name) { replaceString(kClientName, name); }
void RequestInfoJSON::setClientVersion(const char* version) { replaceString(kClientVersion, version); }
const std::string& RequestInfoJSON::getClientName() const { return stringOrEmpty(kClientName); }
const std::string& RequestInfoJSON::getClientVersion() const { return stringOrEmpty(kClientVersion); }

void RequestInfoJSON::clearClientMatches() { removePairs(kClientMatches); }

void RequestInfoJSON::setClientMatchesPresent() {
  if (findArray(kClientMatches)) return;
  auto* list = new JSONArrayValue();
  replacePair(kClientMatches, list);
  list->release();
}

void RequestInfoJSON::appendClientMatch(ClientMatchJSON* match) {
  setClientMatchesPresent();
  findArray(kClientMatches)->append(match);
}

bool RequestInfoJSON::hasClientMatches() const { return findArray(kClientMatches) != nullptr; }

std::size_t RequestInfoJSON::countOfClientMatches() const {
  const JSONArrayValue* list = findArray(kClientMatches);
  return list ? list->size() : 0;
}

ClientMatchJSON* RequestInfoJSON::elementOfClientMatches(std::size_t index) const {
  const JSONArrayValue* list = findArray(kClientMatches);
  return list ? dynamic_cast<ClientMatchJSON*>(list->at(index)) : nullptr;
}

void RequestInfoJSON::setResponseVoice(const char* voice) { replaceString(kResponseVoice, voice); }
bool RequestInfoJSON::hasResponseVoice() const { return findString(kResponseVoice) != nullptr; }
const std::string& RequestInfoJSON::getResponseVoice() const { return stringOrEmpty(kResponseVoice); }

void RequestInfoJSON::setResponseAudioShortOrLong(ResponseAudioShortOrLong value) {
  replaceString(kShortOrLong, responseAudioShortOrLongToString(value));
}
bool RequestInfoJSON::hasResponseAudioShortOrLong() const { return findString(kShortOrLong) != nullptr; }
RequestInfoJSON::ResponseAudioShortOrLong RequestInfoJSON::getResponseAudioShortOrLong() const {
  return stringOrEmpty(kShortOrLong) == "Long" ? ResponseAudioLong : ResponseAudioShort;
}

void RequestInfoJSON::setResponseAudioAsURL(bool as_url) { replaceBoolean(kAsUrl, as_url); }
bool RequestInfoJSON::hasResponseAudioAsURL() const { return findBoolean(kAsUrl) != nullptr; }
bool RequestInfoJSON::getResponseAudioAsURL() const {
  const JSONBooleanValue* value = findBoolean(kAsUrl);
  return value && value->value();
}
