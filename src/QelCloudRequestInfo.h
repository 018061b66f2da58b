// The request info of one text segment's cloud request: what the channel
// sends, and what the tests and benchmarks that talk to the speech service
// without a channel send, so both are built by the same code.
//
// Plain functions of their arguments; callable from any thread.
#ifndef QEL_CLOUD_REQUEST_INFO_H
#define QEL_CLOUD_REQUEST_INFO_H

#include <string>

class RequestInfoJSON;

namespace TARNWICKSS {

// The service answers a text request whose query matches a client match's
// expression with that match's response text, spoken.
constexpr const char* kQuery = "speak_this";

// `text` as plain text or, with `ssml`, an SSML document, spoken by
// `voice_name` ("Default" when empty) in `language` (none when empty), the
// audio inline or, with `audio_as_url`, by URL; the request and session
// identifiers are fresh random ones. The caller owns the one reference. May
// throw the SDK's text.
RequestInfoJSON* CreateRequestInfo(const std::string& text, bool ssml, const std::string& voice_name,
                                   const std::string& language, bool audio_as_url);

}  // namespace TARNWICKSS

#endif  // QEL_CLOUD_REQUEST_INFO_H
