// What one SPEAK asks for: language, voice, prosody, the body with its
// content type, and the per-request options of the cloud synthesis.
//
// A plain value. Each channel's synthesis details hold one, reset at the
// start of every SPEAK; the channel fills it from the synthesis defaults, the
// request's headers and its vendor-specific parameters, and everything after
// that (segmentation, cloud request, cache, detail record) reads it on the
// engine thread.
#ifndef QEL_SPEAK_PARAMS_H
#define QEL_SPEAK_PARAMS_H

#include <cstdint>
#include <string>

#include "QelProsodyParams.h"
#include "corvex/mrcp_message.h"

namespace TARNWICKSS {

// The kind of a body (0 to 3) or of one segment (1, 2 and 4 to 6; the last
// three only come out of a URI list).
enum SynthContentType : std::int32_t {
  SYNTH_CONTENT_UNKNOWN = 0,
  SYNTH_CONTENT_TEXT = 1,       // "text/plain"
  SYNTH_CONTENT_SSML = 2,       // "application/ssml+xml", "application/synthesis+ssml"
  SYNTH_CONTENT_URI_LIST = 3,   // "text/uri-list"
  SYNTH_CONTENT_FILE_URI = 4,   // a local file path, from a "file://" line
  SYNTH_CONTENT_HTTP_URI = 5,   // an "http://" URI
  SYNTH_CONTENT_HTTPS_URI = 6,  // an "https://" URI
};

struct SpeakParams {
  // Strings empty, gender unknown, prosody unset, content type unknown,
  // deadline 0, flags false.
  SpeakParams();

  // Back to the state of a fresh record.
  void Reset();

  // Classifies a Content-Type header value into `content_type`. Parameters
  // are cut off the caller's string at the first ';' (nothing else is
  // trimmed); the rest must equal a known media type exactly, letter case
  // included, or the type is SYNTH_CONTENT_UNKNOWN. Always true: the channel
  // answers an unknown type itself.
  bool DetermineContentType(std::string& value);

  std::string language;  // may be replaced by the SSML root's xml:lang
  mrcp_voice_gender_e voice_gender;
  std::string voice_name;
  ProsodyParams prosody;
  std::string content;  // the body, byte for byte
  SynthContentType content_type;
  std::int64_t deadline;
  bool reattempt;
  std::string service_uri;       // carried, not applied
  std::string credentials_file;  // carried, not applied
  std::string region;            // carried, not applied
  bool audio_as_url;             // ask the cloud for a URL instead of inline audio
};

}  // namespace TARNWICKSS

#endif  // QEL_SPEAK_PARAMS_H
