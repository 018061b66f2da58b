// The request info the plugin sends to the cloud for one segment, built by
// the plugin's own builder, for tests that talk to the speech service
// without a channel.
#ifndef TESTS_SUPPORT_SPEAK_REQUEST_H
#define TESTS_SUPPORT_SPEAK_REQUEST_H

#include <string>

#include "QelCloudRequestInfo.h"
#include "brillify/RequestInfoJSON.h"

namespace corvex_test {

// `text` as plain text or SSML, spoken by `voice` in `language` (none when
// empty), the audio inline or by URL. One reference for the caller.
inline RequestInfoJSON* SpeakRequestInfo(const std::string& text, const std::string& voice = "Default",
                                         bool by_url = false, const std::string& language = "en-US",
                                         bool ssml = false) {
  return TARNWICKSS::CreateRequestInfo(text, ssml, voice, language, by_url);
}

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_SPEAK_REQUEST_H
