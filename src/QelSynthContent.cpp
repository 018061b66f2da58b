#include "QelSynthContent.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "QelTarnwickssPlugin.h"
#include "QelTarnwickssSettings.h"
#include "corvex/apt.h"
#include "corvex/apt_log.h"

namespace TARNWICKSS {

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsVoiceElement(const apr_xml_elem* element) { return NameIs(element->name, "voice"); }

// Whether [begin, end) starts with `lower` (given in lower case), any case.
bool StartsWithNoCase(const char* begin, const char* end, const char* lower) {
  const std::size_t n = std::strlen(lower);
  if (static_cast<std::size_t>(end - begin) < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (LowerAscii(begin[i]) != lower[i]) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool OnlyWhiteSpace(const apr_text_header& text) {
  for (const apr_text* t = text.first; t; t = t->next) {
    for (const char* c = t->text; *c; ++c) {
      if (!IsBlank(*c) && *c != '\r' && *c != '\n') return false;
    }
  }
  return true;
}

// APR keeps an element's xml:lang in escaped form (unlike every other
// value); undo exactly the four escapes it applies.
std::string UnquoteLang(const char* quoted) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}};
  std::string out;
  for (const char* p = quoted; *p;) {
    bool replaced = false;
    if (*p == '&') {
      for (const auto& e : kEntities) {
        const std::size_t n = std::strlen(e.entity);
        if (std::strncmp(p, e.entity, n) == 0) {
          out += e.c;
          p += n;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += *p++;
  }
  return out;
}

// `value` escaped for an attribute, so that it reads back unchanged: the
// characters APR escapes, and the white space that attribute-value
// normalization would otherwise turn into blanks.
std::string QuoteAttribute(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Drops all but the first attribute of each name from APR's list, which runs
// in reverse document order, so the one written last in the document stays.
void DropDuplicateAttributes(apr_xml_elem* element) {
  std::unordered_set<std::string_view> seen;
  apr_xml_attr* prev = nullptr;
  for (apr_xml_attr* attr = element->attr; attr; attr = attr->next) {
    if (seen.insert(attr->name).second) {
      prev = attr;
    } else if (prev) {  // never the head: the first name is always new
      prev->next = attr->next;
    }
  }
}

// Whether `text` parses as a document, quietly. APR accepts some names that
// are not qualified names ("p:", "p:a:b", "p:.") and writes them back
// stripped to something that is not a name; asking the parser itself is the
// only complete check.
bool ParsesAgain(const std::string& text, apr_pool_t* pool) {
  apr_xml_parser* parser = apr_xml_parser_create(pool);
  apr_xml_doc* doc = nullptr;
  return parser && apr_xml_parser_feed(parser, text.data(), text.size()) == APR_SUCCESS &&
         apr_xml_parser_done(parser, &doc) == APR_SUCCESS && doc && doc->root;
}

// One line of a URI list, without its terminator.
void ComposeUriLine(const char* begin, const char* end, const SpeakParams& params, std::deque<SynthSegment>& segments) {
  if (begin == end) return;  // empty lines are mere spacing
  const char* p = begin;
  while (p < end && IsBlank(*p)) ++p;

  if (StartsWithNoCase(p, end, "file://")) {
    p += 7;
    while (p < end && IsBlank(*p)) ++p;
    if (p == end) return;
    segments.emplace_back(params.voice_name, params.voice_gender, std::string(p, end), SYNTH_CONTENT_FILE_URI);
  } else if (StartsWithNoCase(p, end, "http://")) {
    segments.emplace_back(params.voice_name, params.voice_gender, std::string(p, end), SYNTH_CONTENT_HTTP_URI);
  } else if (StartsWithNoCase(p, end, "https://")) {
    segments.emplace_back(params.voice_name, params.voice_gender, std::string(p, end), SYNTH_CONTENT_HTTPS_URI);
  } else {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unsupported URI Form");
  }
}

}  // namespace

SynthSegment::SynthSegment() : voice_gender(VOICE_GENDER_UNKNOWN), content_type(SYNTH_CONTENT_UNKNOWN) {}

SynthSegment::SynthSegment(const std::string& voice_name, mrcp_voice_gender_e voice_gender, const std::string& text,
                           SynthContentType content_type)
    : voice_name(voice_name), voice_gender(voice_gender), text(text), content_type(content_type) {}

bool SynthSegment::SetVoiceParams(const apr_xml_elem* element) {
  if (!element) return true;
  for (const apr_xml_attr* attr : AttributesInDocumentOrder(element)) {
    const char* value = attr->value ? attr->value : "";
    if (NameIs(attr->name, "name")) {
      voice_name = value;
    } else if (NameIs(attr->name, "gender")) {
      SynthSettings::ParseVoiceGender(value, voice_gender);
    }
  }
  return true;
}

bool SynthContent::ComposeSingleSegment(const SpeakParams& params) {
  segments.emplace_back(params.voice_name, params.voice_gender, params.content, params.content_type);
  return true;
}

apr_xml_doc* SynthContent::ParseSsml(const char* text, std::size_t length, apr_pool_t* pool) {
  if (!text || length == 0) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "XML Content Emtpy");
    return nullptr;
  }
  // On failure the parser is released with the pool.
  apr_xml_parser* parser = apr_xml_parser_create(pool);
  if (!parser || apr_xml_parser_feed(parser, text, length) != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Feed XML Content to Parser");
    return nullptr;
  }
  apr_xml_doc* doc = nullptr;
  if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Terminate XML parsing");
    return nullptr;
  }
  if (!doc || !doc->root) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "No XML Root Element");
    return nullptr;
  }
  return doc;
}

// Recursive: APR's parser refuses documents nested deeper than 256 elements.
void SynthContent::StripNamespace(apr_xml_elem* element) {
  if (!element) return;
  element->ns = APR_XML_NS_NONE;
  for (apr_xml_attr* attr = element->attr; attr; attr = attr->next) attr->ns = APR_XML_NS_NONE;
  // "a:n" and "b:n" both become "n"; so do ":n" and "n", which APR accepts.
  if (element->attr && element->attr->next) DropDuplicateAttributes(element);
  for (apr_xml_elem* child = element->first_child; child; child = child->next) {
    StripNamespace(child);
  }
}

bool SynthContent::ComposeSsmlSegment(apr_xml_doc* doc, apr_xml_elem* element, bool take_voice,
                                      const SpeakParams& params, apr_pool_t* pool) {
  if (!doc || !element) return false;
  StripNamespace(element);

  SynthSegment segment(params.voice_name, params.voice_gender, std::string(), SYNTH_CONTENT_SSML);
  // Before the quoting below rewrites the attribute values.
  if (take_voice) segment.SetVoiceParams(element);

  // APR writes text and attribute values as the parser decoded them; escape
  // them first so that "&lt;" in the body does not come out as markup.
  apr_xml_quote_elem(pool, element);
  const char* inner = nullptr;
  apr_size_t inner_size = 0;
  apr_xml_to_text(pool, element, APR_XML_X2T_INNER, doc->namespaces, nullptr, &inner, &inner_size);
  // The size APR reports counts the terminating NUL.
  if (inner_size > 0 && inner[inner_size - 1] == '\0') --inner_size;

  const std::string lang = QuoteAttribute(params.language);
  segment.text.reserve(inner_size + lang.size() + 48);
  segment.text += "<speak version=\"1.0\" xml:lang=\"";
  segment.text += lang;
  segment.text += "\">";
  if (inner) segment.text.append(inner, inner_size);
  segment.text += "</speak>";

  if (!ParsesAgain(segment.text, pool)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Compose SSML Segment");
    return false;
  }
  segments.push_back(std::move(segment));
  return true;
}

bool SynthContent::ReadSsmlAndComposeContent(SpeakParams& params, bool split, apr_pool_t* pool) {
  // The tree is dropped when this call ends; a pool of its own keeps the
  // channel's pool from growing with every SPEAK.
  apr_pool_t* scratch = nullptr;
  if (apr_pool_create(&scratch, pool) != APR_SUCCESS) scratch = nullptr;
  apr_pool_t* work = scratch ? scratch : pool;

  bool parsed = false;
  if (apr_xml_doc* doc = ParseSsml(params.content.data(), params.content.size(), work)) {
    parsed = true;
    apr_xml_elem* root = doc->root;
    if (root->lang) params.language = UnquoteLang(root->lang);

    if (!split) {
      SynthSegment segment(params.voice_name, params.voice_gender, params.content, SYNTH_CONTENT_SSML);
      for (const apr_xml_elem* child = root->first_child; child; child = child->next) {
        if (IsVoiceElement(child)) {
          segment.SetVoiceParams(child);
          break;
        }
      }
      segments.push_back(std::move(segment));
    } else {
      // All of the body's segments or none.
      const std::size_t before = segments.size();
      std::vector<apr_xml_elem*> children;
      for (apr_xml_elem* child = root->first_child; child; child = child->next) children.push_back(child);
      if (std::none_of(children.begin(), children.end(), IsVoiceElement)) {
        parsed = ComposeSsmlSegment(doc, root, false, params, work);
      } else {
        // What lies between two top-level voice elements (text, breaks, any
        // other element) is spoken too, as a segment of its own in the
        // request's voice; a run of white space only is not. A run is
        // composed as the content of a stand-in element, cut off the tree.
        apr_xml_elem run{};
        run.name = "speak";
        run.first_cdata = root->first_cdata;
        auto compose_run = [&] {
          bool ok = true;
          if (run.first_child || !OnlyWhiteSpace(run.first_cdata)) {
            if (run.last_child) run.last_child->next = nullptr;
            ok = ComposeSsmlSegment(doc, &run, false, params, work);
          }
          run.first_child = run.last_child = nullptr;
          return ok;
        };
        for (apr_xml_elem* child : children) {
          if (!parsed) break;
          if (!IsVoiceElement(child)) {
            if (!run.first_child) run.first_child = child;
            run.last_child = child;
            continue;
          }
          parsed = compose_run();
          // The text after a voice element opens the next run; taken off the
          // element, so that it is escaped once, with that run.
          run.first_cdata = child->following_cdata;
          child->following_cdata = apr_text_header{};
          parsed = parsed && ComposeSsmlSegment(doc, child, true, params, work);
        }
        parsed = parsed && compose_run();
      }
      if (!parsed) segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(before), segments.end());
    }
  }

  if (scratch) apr_pool_destroy(scratch);
  return parsed;
}

bool SynthContent::ComposeUriListSegments(const SpeakParams& params) {
  if (params.content.empty()) return true;
  apt_text_stream_t stream;
  // The host's readers never write into the text.
  apt_text_stream_init(&stream, const_cast<char*>(params.content.data()), params.content.size());
  apt_str_t line;
  while (apt_text_line_read(&stream, &line)) {
    // The host ends lines at LF and CR LF; a lone CR ends a URI line as well.
    const char* p = line.buf;
    const char* const end = line.buf + line.length;
    while (p < end) {
      const void* cr = std::memchr(p, '\r', static_cast<std::size_t>(end - p));
      const char* stop = cr ? static_cast<const char*>(cr) : end;
      ComposeUriLine(p, stop, params, segments);
      p = cr ? stop + 1 : end;
    }
  }
  return true;
}

}  // namespace TARNWICKSS
