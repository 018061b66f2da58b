// The request info the plugin sends to the cloud for one segment, built the
// way the channel builds it (its two random identifiers aside), for tests
// that talk to the speech service without the plugin.
#ifndef TESTS_SUPPORT_SPEAK_REQUEST_H
#define TESTS_SUPPORT_SPEAK_REQUEST_H

#include <string>

#include "brillify/ClientMatchJSON.h"
#include "brillify/RequestInfoJSON.h"

namespace corvex_test {

// `text` as plain text or SSML, spoken by `voice` in `language` (none when
// empty), the audio inline or by URL. One reference for the caller.
inline RequestInfoJSON* SpeakRequestInfo(const std::string& text, const std::string& voice = "Default",
                                         bool by_url = false, const std::string& language = "en-US",
                                         bool ssml = false) {
  auto* info = new RequestInfoJSON();
  if (!language.empty()) info->setLanguage(language.c_str());
  info->setRequestID("test-request-identifier-of-forty-chars..");
  info->setSessionID("test-session-identifier-of-forty-chars..");
  info->setClientName("tarnwickss");
  info->setClientVersion(TARNWICKSS_VERSION);
  auto* match = new ClientMatchJSON();
  match->setExpression("speak_this");
  auto* result = new JSONObjectValue();
  auto* intent = new JSONStringValue("speak_this");
  result->appendPair("Intent", intent);
  match->setResult(result);
  match->setPlainResponseText(ssml ? "" : text.c_str());
  match->setPlainResponseTextLong(ssml ? "" : text.c_str());
  if (ssml) match->setSSMLResponseText(text.c_str());
  if (ssml) match->setSSMLResponseTextLong(text.c_str());
  match->setResponseText(text.c_str());
  match->setResponseTextLong(text.c_str());
  info->setClientMatchesPresent();
  info->appendClientMatch(match);
  info->setResponseVoice(voice.c_str());
  info->setResponseAudioShortOrLong(RequestInfoJSON::stringToResponseAudioShortOrLong("Short"));
  if (by_url) info->setResponseAudioAsURL(true);
  intent->release();
  result->release();
  match->release();
  return info;
}

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_SPEAK_REQUEST_H
