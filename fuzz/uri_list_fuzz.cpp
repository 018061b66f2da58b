// libFuzzer target for URI-list segmentation. Besides the sanitizers it
// checks that every segment is a piece of one line of the body, of a kind
// that matches its start, and that there are no more segments than lines.
#include <apr_general.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

#include "QelSynthContent.h"
#include "corvex/apt_log.h"

using namespace TARNWICKSS;

namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  for (std::size_t i = 0; prefix[i]; ++i) {
    if (i >= s.size() || std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  }
  return true;
}

void CheckSegment(const SynthSegment& segment, const SpeakParams& params) {
  const std::string& text = segment.text;
  if (text.empty() || text.find_first_of("\r\n") != std::string::npos) abort();
  if (params.content.find(text) == std::string::npos) abort();
  if (segment.voice_name != params.voice_name || segment.voice_gender != params.voice_gender) abort();
  switch (segment.content_type) {
    case SYNTH_CONTENT_FILE_URI:
      if (text[0] == ' ' || text[0] == '\t') abort();
      break;
    case SYNTH_CONTENT_HTTP_URI:
      if (!StartsWithNoCase(text, "http://")) abort();
      break;
    case SYNTH_CONTENT_HTTPS_URI:
      if (!StartsWithNoCase(text, "https://")) abort();
      break;
    default:
      abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  apr_initialize();
  apt_log_instance_create(fopen("/dev/null", "w"), APT_PRIO_DEBUG);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SpeakParams params;
  params.voice_name = "Request";
  params.voice_gender = VOICE_GENDER_FEMALE;
  params.content.assign(reinterpret_cast<const char*>(data), size);
  params.content_type = SYNTH_CONTENT_URI_LIST;

  SynthContent content;
  if (!content.ComposeUriListSegments(params)) abort();
  const std::size_t lines =
      1 + static_cast<std::size_t>(std::count(params.content.begin(), params.content.end(), '\n') +
                                   std::count(params.content.begin(), params.content.end(), '\r'));
  if (content.segments.size() > lines) abort();
  for (const SynthSegment& segment : content.segments) CheckSegment(segment, params);
  return 0;
}
