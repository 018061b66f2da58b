// The content of a SPEAK as an ordered list of segments, each one piece of
// work for the channel: a text or SSML document for the cloud, or a file or
// URI of stored audio to play.
//
// The channel composes the list right after the request's parameters are
// known, then works through it front to back, removing each segment when it
// is done. Owned by the channel's synthesis details and used only on the
// engine thread.
//
// SSML segments that are re-serialized from a parsed document are always
// well-formed: text and attribute values are escaped again on the way out
// (the parser hands them out decoded), attributes that would share a name
// once namespaces are stripped are reduced to one, and a segment that still
// would not parse (APR lets some broken names through) is refused. A body
// without reserved characters or such names comes out exactly as APR writes
// it.
#ifndef QEL_SYNTH_CONTENT_H
#define QEL_SYNTH_CONTENT_H

#include <apr_pools.h>
#include <apr_xml.h>

#include <cstddef>
#include <deque>
#include <string>

#include "QelSpeakParams.h"
#include "corvex/mrcp_message.h"

namespace TARNWICKSS {

struct SynthSegment {
  // Empty name and text, gender unknown, content type unknown.
  SynthSegment();
  SynthSegment(const std::string& voice_name, mrcp_voice_gender_e voice_gender, const std::string& text,
               SynthContentType content_type);

  // Takes the voice from the attributes of `element` (a `voice` element), in
  // document order: "name" (any letter case) sets the name; "gender" is
  // converted exactly as the synthesis defaults convert it and leaves the
  // gender alone when it is not one of their values. Other attributes are
  // ignored. Always true; a null element changes nothing.
  bool SetVoiceParams(const apr_xml_elem* element);

  std::string voice_name;
  mrcp_voice_gender_e voice_gender;
  std::string text;  // text, SSML document, file path or URI
  SynthContentType content_type;
};

struct SynthContent {
  // Appends one segment holding the whole body with the request's voice.
  // Always true.
  bool ComposeSingleSegment(const SpeakParams& params);

  // Parses the SSML body and appends its segments. The root's xml:lang, when
  // present, replaces `params.language`. Without `split` the one segment is
  // the body as received, with the voice of the first top-level `voice`
  // element. With `split` every top-level `voice` element becomes a segment
  // of its own, and so does each run of other content between them (text
  // and other elements, in the request's voice; white space alone gives
  // none), in document order; without any, the root's content becomes the
  // one segment. The parsed tree lives in a pool of its own under `pool` (a
  // root pool when null), destroyed before returning. False, with nothing
  // appended, when the body does not parse or, with `split`, one of its
  // segments cannot be composed.
  bool ReadSsmlAndComposeContent(SpeakParams& params, bool split, apr_pool_t* pool);

  // Appends the content of `element` re-wrapped as a complete speak document
  // in the language of `params`, with the voice of `params` or, when
  // `take_voice`, of the element's attributes. Strips the namespaces of the
  // element's tree and escapes its text and attribute values in place, so
  // each element of a document is composed at most once. Allocates from
  // `pool`. False, with nothing appended, for a null document or element and
  // when the result would not parse again (logged): APR accepts some names
  // that are not qualified names, which cannot be written without a prefix.
  bool ComposeSsmlSegment(apr_xml_doc* doc, apr_xml_elem* element, bool take_voice, const SpeakParams& params,
                          apr_pool_t* pool);

  // Appends one segment per accepted line of a URI list: "file://" lines give
  // the path behind the scheme, "http://" and "https://" lines the whole URI.
  // Empty lines are skipped quietly, any other line with a warning. Always
  // true, also when nothing was appended.
  bool ComposeUriListSegments(const SpeakParams& params);

  // The parsed document, allocated from `pool` (which must not be null), or
  // null after one warning when the text is empty or not well-formed.
  static apr_xml_doc* ParseSsml(const char* text, std::size_t length, apr_pool_t* pool);

  // Takes every element and attribute of the tree out of its namespace, so
  // that nothing is written with a prefix or a namespace declaration. Where
  // two attributes of one element end up with the same name, only the one
  // written last in the document is kept.
  static void StripNamespace(apr_xml_elem* element);

  std::deque<SynthSegment> segments;  // in composition order; consumed from the front
};

}  // namespace TARNWICKSS

#endif  // QEL_SYNTH_CONTENT_H
