// libFuzzer target for SSML segmentation with "bypass-ssml" off. The first
// byte chooses "normalize-ssml" (odd: split per voice), the rest is the body.
// Besides the sanitizers it checks what the channel relies on: segments only
// when the body parsed; unsplit, the body itself; split, complete speak
// documents that parse again, in the request's language.
#include <apr_general.h>
#include <apr_xml.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "QelSynthContent.h"
#include "corvex/apt_log.h"

using namespace TARNWICKSS;

namespace {

const char kWrapperStart[] = "<speak version=\"1.0\" xml:lang=\"";
const char kWrapperEnd[] = "</speak>";

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

bool EndsWith(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

void CheckSplitSegment(const SynthSegment& segment, const SpeakParams& params, apr_pool_t* pool) {
  if (segment.content_type != SYNTH_CONTENT_SSML) abort();
  if (!StartsWith(segment.text, kWrapperStart) || !EndsWith(segment.text, kWrapperEnd)) abort();
  apr_xml_doc* doc = SynthContent::ParseSsml(segment.text.data(), segment.text.size(), pool);
  if (!doc) abort();  // every re-serialized segment is well-formed
  if (std::strcmp(doc->root->name, "speak") != 0 || !doc->root->lang) abort();
  // APR keeps the language escaped; it must name the request's language.
  if (std::strcmp(doc->root->lang, apr_xml_quote_string(pool, params.language.c_str(), 1)) != 0) abort();
}

// Whether a name could fail to be written back without its prefix. APR's
// name is the local part when a prefix was resolved (ns set) and the whole
// name otherwise. Suspicious: empty, a colon left in a local part or behind
// a prefix not starting with "xml", more than one colon, or a part that does not start with an ASCII letter or '_'
// (non-ASCII counts too, to keep this check simple).
bool StartsName(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }

bool SuspiciousName(const char* name, int ns) {
  if (!StartsName(*name)) return true;
  const char* colon = std::strchr(name, ':');
  if (!colon) return false;
  // Only prefixes beginning with "xml" (any case) are left in a name, and
  // they read back the same way.
  return ns != APR_XML_NS_NONE || strncasecmp(name, "xml", 3) != 0 || !StartsName(colon[1]) ||
         std::strchr(colon + 1, ':');
}

bool HasSuspiciousName(const apr_xml_elem* element) {
  if (SuspiciousName(element->name, element->ns)) return true;
  for (const apr_xml_attr* attr = element->attr; attr; attr = attr->next) {
    if (SuspiciousName(attr->name, attr->ns)) return true;
  }
  for (const apr_xml_elem* child = element->first_child; child; child = child->next) {
    if (HasSuspiciousName(child)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  apr_initialize();
  // Warnings are formatted and written, but nowhere to be seen.
  apt_log_instance_create(fopen("/dev/null", "w"), APT_PRIO_DEBUG);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool split = (data[0] & 1) != 0;

  SpeakParams params;
  params.language = "en-US";
  params.voice_name = "Request";
  params.voice_gender = VOICE_GENDER_NEUTRAL;
  params.content.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  params.content_type = SYNTH_CONTENT_SSML;

  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  SynthContent content;
  const bool parsed = content.ReadSsmlAndComposeContent(params, split, pool);
  if (parsed == content.segments.empty()) abort();
  if (!parsed && split) {
    // A body that parses may only fail for names that cannot be unprefixed.
    const apr_xml_doc* doc = SynthContent::ParseSsml(params.content.data(), params.content.size(), pool);
    if (doc && !HasSuspiciousName(doc->root)) abort();
  }
  if (parsed && !split) {
    if (content.segments.size() != 1 || content.segments[0].text != params.content) abort();
  }
  if (parsed && split) {
    for (const SynthSegment& segment : content.segments) CheckSplitSegment(segment, params, pool);
  }
  apr_pool_destroy(pool);
  return 0;
}
