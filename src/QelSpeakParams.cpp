#include "QelSpeakParams.h"

namespace TARNWICKSS {

SpeakParams::SpeakParams()
    : voice_gender(VOICE_GENDER_UNKNOWN),
      content_type(SYNTH_CONTENT_UNKNOWN),
      deadline(0),
      reattempt(false),
      audio_as_url(false) {}

void SpeakParams::Reset() {
  language.clear();
  voice_gender = VOICE_GENDER_UNKNOWN;
  voice_name.clear();
  prosody.Reset();
  content.clear();
  content_type = SYNTH_CONTENT_UNKNOWN;
  deadline = 0;
  reattempt = false;
  service_uri.clear();
  credentials_file.clear();
  region.clear();
  audio_as_url = false;
}

bool SpeakParams::DetermineContentType(std::string& value) {
  const std::string::size_type semicolon = value.find(';');
  if (semicolon != std::string::npos) value.erase(semicolon);

  if (value == "text/plain") {
    content_type = SYNTH_CONTENT_TEXT;
  } else if (value == "application/ssml+xml" || value == "application/synthesis+ssml") {
    content_type = SYNTH_CONTENT_SSML;
  } else if (value == "text/uri-list") {
    content_type = SYNTH_CONTENT_URI_LIST;
  } else {
    content_type = SYNTH_CONTENT_UNKNOWN;
  }
  return true;
}

}  // namespace TARNWICKSS
