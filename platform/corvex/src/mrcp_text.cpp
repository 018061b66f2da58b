// MRCPv2 text form: parser and writer of synthesizer messages.
//
// The parser walks the text once, line by line, and builds the message in
// the caller's pool as it goes; on the first fault it stops and reports the
// line. The writer builds the text in a std::string and copies it out, so
// the message length (which counts its own digits) is computed once the rest
// is known. Both sides share one header table, so every header the parser
// reads the writer can write back, and the other way round.
//
// No exception leaves this file: allocation failures end in a refusal.
#include "corvex/mrcp_text.h"

#include <apr_strings.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "corvex_internal.h"

namespace {

constexpr std::string_view kVersion = "MRCP/2.0";
constexpr std::uint64_t kMaxNumber = 0xFFFFFFFFull;

enum class Kind { kString, kNumber, kBool, kGender, kCause, kRate, kVolume, kVendor };

struct HeaderInfo {
  const char* name;
  bool generic;  // generic header block, else synthesizer block
  int id;        // mrcp_generic_header_id or mrcp_synthesizer_header_id
  Kind kind;
};

// In the order of the ids: the writer walks this table.
const HeaderInfo kHeaders[] = {
    {"Active-Request-Id-List", true, GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST, Kind::kString},
    {"Proxy-Sync-Id", true, GENERIC_HEADER_PROXY_SYNC_ID, Kind::kString},
    {"Accept-Charset", true, GENERIC_HEADER_ACCEPT_CHARSET, Kind::kString},
    {"Content-Type", true, GENERIC_HEADER_CONTENT_TYPE, Kind::kString},
    {"Content-ID", true, GENERIC_HEADER_CONTENT_ID, Kind::kString},
    {"Content-Base", true, GENERIC_HEADER_CONTENT_BASE, Kind::kString},
    {"Content-Encoding", true, GENERIC_HEADER_CONTENT_ENCODING, Kind::kString},
    {"Content-Location", true, GENERIC_HEADER_CONTENT_LOCATION, Kind::kString},
    {"Content-Length", true, GENERIC_HEADER_CONTENT_LENGTH, Kind::kNumber},
    {"Cache-Control", true, GENERIC_HEADER_CACHE_CONTROL, Kind::kString},
    {"Logging-Tag", true, GENERIC_HEADER_LOGGING_TAG, Kind::kString},
    {"Vendor-Specific-Parameters", true, GENERIC_HEADER_VENDOR_SPECIFIC_PARAMS, Kind::kVendor},
    {"Accept", true, GENERIC_HEADER_ACCEPT, Kind::kString},
    {"Fetch-Timeout", true, GENERIC_HEADER_FETCH_TIMEOUT, Kind::kNumber},
    {"Set-Cookie", true, GENERIC_HEADER_SET_COOKIE, Kind::kString},
    {"Set-Cookie2", true, GENERIC_HEADER_SET_COOKIE2, Kind::kString},
    {"Jump-Size", false, SYNTHESIZER_HEADER_JUMP_SIZE, Kind::kString},
    {"Kill-On-Barge-In", false, SYNTHESIZER_HEADER_KILL_ON_BARGE_IN, Kind::kBool},
    {"Speaker-Profile", false, SYNTHESIZER_HEADER_SPEAKER_PROFILE, Kind::kString},
    {"Completion-Cause", false, SYNTHESIZER_HEADER_COMPLETION_CAUSE, Kind::kCause},
    {"Completion-Reason", false, SYNTHESIZER_HEADER_COMPLETION_REASON, Kind::kString},
    {"Voice-Gender", false, SYNTHESIZER_HEADER_VOICE_GENDER, Kind::kGender},
    {"Voice-Age", false, SYNTHESIZER_HEADER_VOICE_AGE, Kind::kNumber},
    {"Voice-Variant", false, SYNTHESIZER_HEADER_VOICE_VARIANT, Kind::kNumber},
    {"Voice-Name", false, SYNTHESIZER_HEADER_VOICE_NAME, Kind::kString},
    {"Prosody-Volume", false, SYNTHESIZER_HEADER_PROSODY_VOLUME, Kind::kVolume},
    {"Prosody-Rate", false, SYNTHESIZER_HEADER_PROSODY_RATE, Kind::kRate},
    {"Speech-Marker", false, SYNTHESIZER_HEADER_SPEECH_MARKER, Kind::kString},
    {"Speech-Language", false, SYNTHESIZER_HEADER_SPEECH_LANGUAGE, Kind::kString},
    {"Fetch-Hint", false, SYNTHESIZER_HEADER_FETCH_HINT, Kind::kString},
    {"Audio-Fetch-Hint", false, SYNTHESIZER_HEADER_AUDIO_FETCH_HINT, Kind::kString},
    {"Failed-URI", false, SYNTHESIZER_HEADER_FAILED_URI, Kind::kString},
    {"Failed-URI-Cause", false, SYNTHESIZER_HEADER_FAILED_URI_CAUSE, Kind::kString},
    {"Speak-Restart", false, SYNTHESIZER_HEADER_SPEAK_RESTART, Kind::kBool},
    {"Speak-Length", false, SYNTHESIZER_HEADER_SPEAK_LENGTH, Kind::kString},
    {"Load-Lexicon", false, SYNTHESIZER_HEADER_LOAD_LEXICON, Kind::kBool},
    {"Lexicon-Search-Order", false, SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER, Kind::kString},
};

constexpr const char* kChannelIdentifier = "Channel-Identifier";

const char* const kRateLabels[] = {"x-slow", "slow", "medium", "fast", "x-fast", "default"};
const char* const kVolumeLabels[] = {"silent", "x-soft", "soft", "medium", "loud", "x-loud", "default"};
const char* const kGenders[] = {"male", "female", "neutral"};

// ---------------------------------------------------------------- fields of the record

apt_str_t* StringField(mrcp_generic_header_t* g, int id) {
  switch (id) {
    case GENERIC_HEADER_ACTIVE_REQUEST_ID_LIST:
      return &g->active_request_id_list;
    case GENERIC_HEADER_PROXY_SYNC_ID:
      return &g->proxy_sync_id;
    case GENERIC_HEADER_ACCEPT_CHARSET:
      return &g->accept_charset;
    case GENERIC_HEADER_CONTENT_TYPE:
      return &g->content_type;
    case GENERIC_HEADER_CONTENT_ID:
      return &g->content_id;
    case GENERIC_HEADER_CONTENT_BASE:
      return &g->content_base;
    case GENERIC_HEADER_CONTENT_ENCODING:
      return &g->content_encoding;
    case GENERIC_HEADER_CONTENT_LOCATION:
      return &g->content_location;
    case GENERIC_HEADER_CACHE_CONTROL:
      return &g->cache_control;
    case GENERIC_HEADER_LOGGING_TAG:
      return &g->logging_tag;
    case GENERIC_HEADER_ACCEPT:
      return &g->accept;
    case GENERIC_HEADER_SET_COOKIE:
      return &g->set_cookie;
    case GENERIC_HEADER_SET_COOKIE2:
      return &g->set_cookie2;
    default:
      return nullptr;
  }
}

apt_str_t* StringField(mrcp_synth_header_t* s, int id) {
  switch (id) {
    case SYNTHESIZER_HEADER_JUMP_SIZE:
      return &s->jump_size;
    case SYNTHESIZER_HEADER_SPEAKER_PROFILE:
      return &s->speaker_profile;
    case SYNTHESIZER_HEADER_COMPLETION_REASON:
      return &s->completion_reason;
    case SYNTHESIZER_HEADER_VOICE_NAME:
      return &s->voice_param.name;
    case SYNTHESIZER_HEADER_SPEECH_MARKER:
      return &s->speech_marker;
    case SYNTHESIZER_HEADER_SPEECH_LANGUAGE:
      return &s->speech_language;
    case SYNTHESIZER_HEADER_FETCH_HINT:
      return &s->fetch_hint;
    case SYNTHESIZER_HEADER_AUDIO_FETCH_HINT:
      return &s->audio_fetch_hint;
    case SYNTHESIZER_HEADER_FAILED_URI:
      return &s->failed_uri;
    case SYNTHESIZER_HEADER_FAILED_URI_CAUSE:
      return &s->failed_uri_cause;
    case SYNTHESIZER_HEADER_SPEAK_LENGTH:
      return &s->speak_length;
    case SYNTHESIZER_HEADER_LEXICON_SEARCH_ORDER:
      return &s->lexicon_search_order;
    default:
      return nullptr;
  }
}

apr_size_t* NumberField(mrcp_message_t* m, const HeaderInfo& h) {
  if (h.generic) {
    if (h.id == GENERIC_HEADER_CONTENT_LENGTH) return &m->generic_header->content_length;
    if (h.id == GENERIC_HEADER_FETCH_TIMEOUT) return &m->generic_header->fetch_timeout;
    return nullptr;
  }
  if (h.id == SYNTHESIZER_HEADER_VOICE_AGE) return &m->synth_header->voice_param.age;
  if (h.id == SYNTHESIZER_HEADER_VOICE_VARIANT) return &m->synth_header->voice_param.variant;
  return nullptr;
}

apt_bool_t* BoolField(mrcp_synth_header_t* s, int id) {
  switch (id) {
    case SYNTHESIZER_HEADER_KILL_ON_BARGE_IN:
      return &s->kill_on_barge_in;
    case SYNTHESIZER_HEADER_SPEAK_RESTART:
      return &s->speak_restart;
    case SYNTHESIZER_HEADER_LOAD_LEXICON:
      return &s->load_lexicon;
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------- small text helpers

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
// Bytes a header or start line may not hold: they would end or garble the line.
bool IsControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7f;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!IsDigit(c)) return false;
  return true;
}

bool ParseNumber(std::string_view s, std::uint64_t* out) {
  if (!AllDigits(s) || s.size() > 10) return false;
  std::uint64_t value = 0;
  for (char c : s) value = value * 10 + static_cast<unsigned>(c - '0');
  if (value > kMaxNumber) return false;
  *out = value;
  return true;
}

bool EqualsNoCase(std::string_view a, const char* b) {
  std::size_t n = strlen(b);
  return a.size() == n && strncasecmp(a.data(), b, n) == 0;
}

// Keywords are literals of the grammar, and those match in any letter case.
int FindWord(std::string_view word, const char* const* words, int count) {
  for (int i = 0; i < count; ++i)
    if (EqualsNoCase(word, words[i])) return i;
  return -1;
}

// A decimal number: optional sign, digits with an optional fraction, an
// optional exponent. Nothing else (no "inf", "nan" or hex) gets to strtof.
bool IsDecimal(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i >= s.size() || !IsDigit(s[i])) return false;
    while (i < s.size() && IsDigit(s[i])) ++i;
  }
  return i == s.size();
}

// Reads a decimal number into a finite double; false for anything else.
bool ParseDecimal(std::string_view s, double* out) {
  if (!IsDecimal(s) || s.size() > 64) return false;
  char buf[65];
  memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  double value = strtod(buf, nullptr);
  if (!isfinite(value) || !isfinite(static_cast<float>(value))) return false;
  *out = value;
  return true;
}

// The end of the vendor parameter value that starts at s[0]: a quoted
// string runs to its closing quote (a backslash escapes the next byte),
// anything else to the next ';'. Returns npos for an unterminated quote.
std::size_t VendorValueEnd(std::string_view s) {
  if (s.empty() || s[0] != '"') {
    std::size_t semi = s.find(';');
    return semi == std::string_view::npos ? s.size() : semi;
  }
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

bool IsVendorName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name)
    if (IsBlank(c) || IsControl(c) || c == '=' || c == ';' || c == '"') return false;
  return true;
}

// ---------------------------------------------------------------- parser

class Parser {
 public:
  Parser(const char* text, apr_size_t length, unsigned flags, apr_pool_t* pool, mrcp_text_error_t* error)
      : text_(text, length), flags_(flags), pool_(pool), error_(error) {}

  mrcp_message_t* Run(apr_size_t* consumed);

 private:
  bool Fail(std::size_t line, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // The next line without its line end; false at the end of the text.
  bool NextLine(std::string_view* line);
  bool ParseStartLine(std::string_view line);
  bool ParseHeader(std::string_view line);
  bool SetValue(const HeaderInfo& header, std::string_view value);
  bool SetVendorParams(std::string_view value);
  bool SetRate(std::string_view value, mrcp_prosody_rate_t* rate);
  bool SetVolume(std::string_view value, mrcp_prosody_volume_t* volume);
  char* Copy(std::string_view s) { return apr_pstrmemdup(pool_, s.data(), s.size()); }

  std::string_view text_;
  unsigned flags_;
  apr_pool_t* pool_;
  mrcp_text_error_t* error_;
  std::size_t pos_ = 0;
  std::size_t line_no_ = 0;
  mrcp_message_t* message_ = nullptr;
  bool length_given_ = false;
  std::uint64_t length_ = 0;
  bool channel_id_seen_ = false;
};

bool Parser::Fail(std::size_t line, const char* format, ...) {
  if (error_) {
    error_->line = line;
    va_list args;
    va_start(args, format);
    vsnprintf(error_->reason, sizeof(error_->reason), format, args);
    va_end(args);
  }
  return false;
}

bool Parser::NextLine(std::string_view* line) {
  if (pos_ >= text_.size()) return false;
  std::size_t end = text_.find('\n', pos_);
  std::size_t next = end == std::string_view::npos ? text_.size() : end + 1;
  if (end == std::string_view::npos) end = text_.size();
  std::size_t stop = end;
  if (end < text_.size() && stop > pos_ && text_[stop - 1] == '\r') --stop;
  *line = text_.substr(pos_, stop - pos_);
  pos_ = next;
  ++line_no_;
  return true;
}

// Splits a start line into its blank-separated words.
std::size_t Words(std::string_view line, std::string_view* words, std::size_t max) {
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (count == max) return max + 1;
    words[count++] = line.substr(start, i - start);
  }
  return count;
}

bool Parser::ParseStartLine(std::string_view line) {
  for (char c : line)
    if (IsControl(c)) return Fail(line_no_, "start line holds a control character");
  std::string_view words[6];
  std::size_t n = Words(line, words, 5);
  if (n == 0) return Fail(line_no_, "empty start line");
  if (words[0] != kVersion) {
    return Fail(line_no_, "start line must begin with %s, not \"%.*s\"", kVersion.data(),
                static_cast<int>(words[0].size() > 40 ? 40 : words[0].size()), words[0].data());
  }
  std::string_view* w = words + 1;
  --n;
  // The length leads when the next word is a name, or when four words follow
  // (only a response with its length has four numbers-and-state words).
  if (n >= 2 && AllDigits(w[0]) && (!AllDigits(w[1]) || n == 4)) {
    if (!ParseNumber(w[0], &length_))
      return Fail(line_no_, "message length \"%.*s\" is too large",
                  static_cast<int>(w[0].size() > 20 ? 20 : w[0].size()), w[0].data());
    length_given_ = true;
    ++w;
    --n;
  }
  if (n == 0 || n > 3) {
    return Fail(line_no_,
                "start line must be \"%s [length] METHOD [request-id]\", \"%s [length] "
                "request-id status state\" or \"%s [length] EVENT request-id state\"",
                kVersion.data(), kVersion.data(), kVersion.data());
  }
  std::string first(w[0]);
  mrcp_method_id id = 0;
  std::uint64_t request_id = 0;
  if (mrcp_synth_method_id_find(first.c_str(), &id)) {
    if (n > 2) return Fail(line_no_, "a %s request line ends with its request id", first.c_str());
    if (n == 2 && !ParseNumber(w[1], &request_id)) {
      return Fail(line_no_, "request id \"%.*s\" is not a number up to 4294967295",
                  static_cast<int>(w[1].size() > 20 ? 20 : w[1].size()), w[1].data());
    }
    message_ = mrcp_request_create(MRCP_VERSION_2, id, static_cast<mrcp_request_id>(request_id), pool_);
    return message_ != nullptr || Fail(line_no_, "cannot create the request");
  }

  // Responses and events: request id and state are required.
  if (n != 3) {
    return Fail(line_no_,
                "\"%s\" is no synthesizer method; a response needs \"request-id status state\", "
                "an event \"EVENT request-id state\"",
                first.c_str());
  }
  std::string_view id_word = AllDigits(w[0]) ? w[0] : w[1];
  if (!ParseNumber(id_word, &request_id)) {
    return Fail(line_no_, "request id \"%.*s\" is not a number up to 4294967295",
                static_cast<int>(id_word.size() > 20 ? 20 : id_word.size()), id_word.data());
  }
  int state = -1;
  for (int s = 0; s < MRCP_REQUEST_STATE_COUNT; ++s) {
    if (w[2] == mrcp_request_state_name_get(static_cast<mrcp_request_state_e>(s))) state = s;
  }
  if (state < 0) {
    return Fail(line_no_, "request state \"%.*s\" is not COMPLETE, IN-PROGRESS or PENDING",
                static_cast<int>(w[2].size() > 20 ? 20 : w[2].size()), w[2].data());
  }
  // The response or event is made from a request that carries its id.
  mrcp_message_t* request =
      mrcp_request_create(MRCP_VERSION_2, SYNTHESIZER_SET_PARAMS, static_cast<mrcp_request_id>(request_id), pool_);
  if (!request) return Fail(line_no_, "cannot create the message");
  if (AllDigits(w[0])) {
    std::uint64_t status = 0;
    if (!ParseNumber(w[1], &status) || w[1].size() != 3) {
      return Fail(line_no_, "status \"%.*s\" is not a three-digit code",
                  static_cast<int>(w[1].size() > 20 ? 20 : w[1].size()), w[1].data());
    }
    if (!corvex_status_code_known(static_cast<unsigned>(status))) {
      return Fail(line_no_, "status %03u is not an MRCP status code", static_cast<unsigned>(status));
    }
    message_ = mrcp_response_create(request, pool_);
    if (!message_) return Fail(line_no_, "cannot create the response");
    // The text of a response does not name its method.
    message_->start_line.method_id = SYNTHESIZER_METHOD_COUNT;
    apt_string_assign(&message_->start_line.method_name, "", pool_);
    message_->start_line.status_code = static_cast<mrcp_status_code_e>(status);
  } else {
    mrcp_method_id event = SYNTHESIZER_EVENT_COUNT;
    for (mrcp_method_id e = 0; e < SYNTHESIZER_EVENT_COUNT; ++e) {
      if (w[0] == mrcp_synth_event_name_get(e)) event = e;
    }
    if (event == SYNTHESIZER_EVENT_COUNT) {
      return Fail(line_no_, "\"%s\" is neither a synthesizer method nor a synthesizer event", first.c_str());
    }
    message_ = mrcp_event_create(request, event, pool_);
    if (!message_) return Fail(line_no_, "cannot create the event");
  }
  message_->start_line.request_state = static_cast<mrcp_request_state_e>(state);
  return true;
}

bool Parser::ParseHeader(std::string_view line) {
  if (IsBlank(line[0])) return Fail(line_no_, "header lines may not start with a blank (no continuation lines)");
  for (char c : line)
    if (IsControl(c)) return Fail(line_no_, "header line holds a control character");
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    return Fail(line_no_, "a header line is \"Name: value\"; an empty line ends the headers");
  }
  std::string_view name = line.substr(0, colon);
  if (IsBlank(name.back())) return Fail(line_no_, "blank between the header name and its colon");
  std::string_view value = Trim(line.substr(colon + 1));
  if (EqualsNoCase(name, kChannelIdentifier)) {
    if (channel_id_seen_) return Fail(line_no_, "%s given twice", kChannelIdentifier);
    channel_id_seen_ = true;
    message_->channel_id.buf = Copy(value);
    message_->channel_id.length = value.size();
    return true;
  }
  for (const char c : name) {
    if (IsBlank(c)) return Fail(line_no_, "a header name holds no blank");
  }
  for (const HeaderInfo& header : kHeaders) {
    if (!EqualsNoCase(name, header.name)) continue;
    // An empty value of a typed header has nothing to store: it is kept as
    // written, as GET-PARAMS names the headers it asks for. The body's
    // length is never a question.
    const bool body_length = header.generic && header.id == GENERIC_HEADER_CONTENT_LENGTH;
    if (!value.empty() || header.kind == Kind::kString || body_length) return SetValue(header, value);
    break;
  }
  // Headers the record has no field for are kept and passed on.
  if (!message_->other_headers) message_->other_headers = apt_pair_array_create(2, pool_);
  if (!message_->other_headers) return Fail(line_no_, "cannot keep the header");
  apt_pair_t* pair = static_cast<apt_pair_t*>(apr_array_push(message_->other_headers));
  pair->name.buf = Copy(name);
  pair->name.length = name.size();
  pair->value.buf = Copy(value);
  pair->value.length = value.size();
  return true;
}

bool Parser::SetValue(const HeaderInfo& header, std::string_view value) {
  const bool present =
      header.generic
          ? mrcp_generic_header_property_check(message_, static_cast<mrcp_generic_header_id>(header.id))
          : mrcp_resource_header_property_check(message_, static_cast<mrcp_synthesizer_header_id>(header.id));
  if (present && header.kind != Kind::kVendor) return Fail(line_no_, "%s given twice", header.name);
  mrcp_generic_header_t* generic = message_->generic_header;
  mrcp_synth_header_t* synth = message_->synth_header;

  switch (header.kind) {
    case Kind::kString: {
      apt_str_t* field = header.generic ? StringField(generic, header.id) : StringField(synth, header.id);
      field->buf = Copy(value);
      field->length = value.size();
      break;
    }
    case Kind::kNumber: {
      std::uint64_t number = 0;
      if (!ParseNumber(value, &number)) {
        return Fail(line_no_, "%s takes a number up to 4294967295, not \"%.*s\"", header.name,
                    static_cast<int>(value.size() > 40 ? 40 : value.size()), value.data());
      }
      *NumberField(message_, header) = static_cast<apr_size_t>(number);
      break;
    }
    case Kind::kBool: {
      apt_bool_t* field = BoolField(synth, header.id);
      if (EqualsNoCase(value, "true")) {
        *field = TRUE;
      } else if (EqualsNoCase(value, "false")) {
        *field = FALSE;
      } else {
        return Fail(line_no_, "%s takes \"true\" or \"false\"", header.name);
      }
      break;
    }
    case Kind::kGender: {
      int gender = FindWord(value, kGenders, 3);
      if (gender < 0) return Fail(line_no_, "%s takes \"male\", \"female\" or \"neutral\"", header.name);
      synth->voice_param.gender = static_cast<mrcp_voice_gender_e>(gender);
      break;
    }
    case Kind::kCause: {
      std::uint64_t cause = 0;
      std::string_view code = value.substr(0, 3);
      std::string_view text = Trim(value.substr(code.size()));
      if (code.size() != 3 || !ParseNumber(code, &cause) || cause >= SYNTHESIZER_COMPLETION_CAUSE_COUNT ||
          (value.size() > 3 && !IsBlank(value[3]))) {
        return Fail(line_no_, "%s takes a code from 000 to 007, optionally followed by its name", header.name);
      }
      const char* name =
          mrcp_synth_completion_cause_get(static_cast<mrcp_synth_completion_cause_e>(cause), MRCP_VERSION_2);
      if (!text.empty() && !EqualsNoCase(text, name)) {
        return Fail(line_no_, "%s %03u is \"%s\", not \"%.*s\"", header.name, static_cast<unsigned>(cause), name,
                    static_cast<int>(text.size() > 40 ? 40 : text.size()), text.data());
      }
      synth->completion_cause = static_cast<mrcp_synth_completion_cause_e>(cause);
      break;
    }
    case Kind::kRate:
      if (!SetRate(value, &synth->prosody_param.rate)) return false;
      break;
    case Kind::kVolume:
      if (!SetVolume(value, &synth->prosody_param.volume)) return false;
      break;
    case Kind::kVendor:
      if (!SetVendorParams(value)) return false;
      break;
  }
  if (header.generic) return mrcp_generic_header_property_add(message_, static_cast<mrcp_generic_header_id>(header.id));
  return mrcp_resource_header_property_add(message_, static_cast<mrcp_synthesizer_header_id>(header.id));
}

bool Parser::SetRate(std::string_view value, mrcp_prosody_rate_t* rate) {
  int label = FindWord(value, kRateLabels, 6);
  if (label >= 0) {
    rate->type = PROSODY_RATE_TYPE_LABEL;
    rate->value.label = static_cast<mrcp_prosody_rate_label_e>(label);
    return true;
  }
  const bool percent = !value.empty() && value.back() == '%';
  std::string_view number = percent ? value.substr(0, value.size() - 1) : value;
  double relative = 0;
  if (number.empty() || number[0] == '+' || number[0] == '-' || !ParseDecimal(number, &relative)) {
    return Fail(line_no_,
                "Prosody-Rate takes a label (x-slow, slow, medium, fast, x-fast, default), "
                "a multiplier such as 1.5 or a percentage such as 150%%");
  }
  rate->type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
  rate->value.relative = percent ? static_cast<float>(relative / 100.0) : static_cast<float>(relative);
  return true;
}

bool Parser::SetVolume(std::string_view value, mrcp_prosody_volume_t* volume) {
  int label = FindWord(value, kVolumeLabels, 7);
  if (label >= 0) {
    volume->type = PROSODY_VOLUME_TYPE_LABEL;
    volume->value.label = static_cast<mrcp_prosody_volume_label_e>(label);
    return true;
  }
  const bool signed_value = !value.empty() && (value[0] == '+' || value[0] == '-');
  const bool percent = !value.empty() && value.back() == '%';
  std::string_view number = percent ? value.substr(0, value.size() - 1) : value;
  double level = 0;
  if ((percent && !signed_value) || !ParseDecimal(number, &level)) {
    return Fail(line_no_,
                "Prosody-Volume takes a label (silent, x-soft, soft, medium, loud, x-loud, "
                "default), a level such as 80 or a signed change such as +10%% or -5.5%%");
  }
  if (signed_value) {
    volume->type = PROSODY_VOLUME_TYPE_RELATIVE_CHANGE;
    volume->value.relative = static_cast<float>(level);
  } else {
    volume->type = PROSODY_VOLUME_TYPE_NUMERIC;
    volume->value.numeric = static_cast<float>(level);
  }
  return true;
}

bool Parser::SetVendorParams(std::string_view value) {
  mrcp_generic_header_t* generic = message_->generic_header;
  if (!generic->vendor_specific_params) generic->vendor_specific_params = apt_pair_array_create(4, pool_);
  if (!generic->vendor_specific_params) return Fail(line_no_, "cannot create the parameter list");
  std::size_t i = 0;
  while (i < value.size()) {
    std::size_t end = value.find_first_of("=;", i);
    if (end == std::string_view::npos) end = value.size();
    std::string_view name = Trim(value.substr(i, end - i));
    if (!IsVendorName(name)) {
      return Fail(line_no_,
                  "Vendor-Specific-Parameters: \"name=value\" pairs separated by ';' need a name "
                  "without blanks or quotes");
    }
    std::string_view param;
    i = end;
    if (i < value.size() && value[i] == '=') {
      ++i;
      while (i < value.size() && IsBlank(value[i])) ++i;
      std::size_t stop = VendorValueEnd(value.substr(i));
      if (stop == std::string_view::npos) {
        return Fail(line_no_, "Vendor-Specific-Parameters: the value of %.*s has no closing quote",
                    static_cast<int>(name.size() > 40 ? 40 : name.size()), name.data());
      }
      param = Trim(value.substr(i, stop));
      i += stop;
      while (i < value.size() && IsBlank(value[i])) ++i;
      if (i < value.size() && value[i] != ';') {
        return Fail(line_no_, "Vendor-Specific-Parameters: text after the quoted value of %.*s",
                    static_cast<int>(name.size() > 40 ? 40 : name.size()), name.data());
      }
    }
    apt_pair_t* pair = static_cast<apt_pair_t*>(apr_array_push(generic->vendor_specific_params));
    pair->name.buf = Copy(name);
    pair->name.length = name.size();
    pair->value.buf = Copy(param);
    pair->value.length = param.size();
    if (i < value.size()) {
      ++i;  // the ';'
      if (Trim(value.substr(i)).empty()) {
        return Fail(line_no_, "Vendor-Specific-Parameters ends with ';' (no pair after it)");
      }
    }
  }
  return true;
}

mrcp_message_t* Parser::Run(apr_size_t* consumed) {
  if (error_) {
    error_->line = 0;
    error_->reason[0] = '\0';
  }
  if (!pool_ || (!text_.data() && !text_.empty())) {
    Fail(0, "null %s", pool_ ? "text" : "pool");
    return nullptr;
  }
  std::string_view line;
  if (!NextLine(&line)) {
    Fail(1, "empty text: no start line");
    return nullptr;
  }
  if (!ParseStartLine(line)) return nullptr;
  // A message off the wire has both header blocks, present headers or not,
  // and plugins rely on that.
  if (!mrcp_generic_header_prepare(message_) || !mrcp_resource_header_prepare(message_)) {
    Fail(1, "cannot create the header blocks");
    return nullptr;
  }
  bool ended = false;  // an empty line ended the headers
  while (NextLine(&line)) {
    if (line.empty()) {
      ended = true;
      break;
    }
    if (!ParseHeader(line)) return nullptr;
  }
  const std::size_t body_line = line_no_ + 1;
  const bool has_length = mrcp_generic_header_property_check(message_, GENERIC_HEADER_CONTENT_LENGTH);
  std::size_t end = pos_;
  if (has_length) {
    apr_size_t length = message_->generic_header->content_length;
    std::size_t available = text_.size() - pos_;
    if (length > available || (length > 0 && !ended)) {
      Fail(body_line, "the body has %lu bytes, Content-Length says %lu",
           static_cast<unsigned long>(ended ? available : 0), static_cast<unsigned long>(length));
      return nullptr;
    }
    message_->body.buf = Copy(text_.substr(pos_, length));
    message_->body.length = length;
    end = pos_ + length;
  } else if ((flags_ & MRCP_TEXT_BODY_TO_END) && pos_ < text_.size()) {
    std::string_view body = text_.substr(pos_);
    message_->body.buf = Copy(body);
    message_->body.length = body.size();
    message_->generic_header->content_length = body.size();
    mrcp_generic_header_property_add(message_, GENERIC_HEADER_CONTENT_LENGTH);
    end = text_.size();
  }
  if (length_given_ && length_ != end) {
    Fail(1, "message length %lu differs from the %lu bytes of the message", static_cast<unsigned long>(length_),
         static_cast<unsigned long>(end));
    return nullptr;
  }
  if (consumed) *consumed = end;
  return message_;
}

// ---------------------------------------------------------------- writer

// The shortest decimal text that reads back as exactly this float: plain
// digits where they stay short ("10", "1.5"), an exponent beyond that.
bool FloatText(float value, std::string* out) {
  if (!isfinite(value)) return false;
  char buf[64];
  const double wide = static_cast<double>(value);
  if (fabs(wide) < 1e7) {
    for (int decimals = 0; decimals <= 9; ++decimals) {
      snprintf(buf, sizeof(buf), "%.*f", decimals, wide);
      float back = strtof(buf, nullptr);
      if (memcmp(&back, &value, sizeof(float)) == 0) {
        *out = buf;
        return true;
      }
    }
  }
  for (int precision = 1; precision <= 9; ++precision) {
    snprintf(buf, sizeof(buf), "%.*g", precision, wide);
    float back = strtof(buf, nullptr);
    if (memcmp(&back, &value, sizeof(float)) == 0) break;
  }
  *out = buf;
  return true;
}

bool Clean(const char* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (IsControl(s[i])) return false;
  return true;
}

bool Clean(const apt_str_t& s) { return !s.buf || Clean(s.buf, s.length); }

std::string_view View(const apt_str_t& s) { return s.buf ? std::string_view(s.buf, s.length) : std::string_view(); }

bool WriteVendorParams(const apr_array_header_t* params, std::string* out) {
  if (!params) return true;
  if (params->elt_size != static_cast<int>(sizeof(apt_pair_t))) return false;
  const auto* pairs = reinterpret_cast<const apt_pair_t*>(params->elts);
  for (int i = 0; i < params->nelts; ++i) {
    std::string_view name = View(pairs[i].name);
    std::string_view value = View(pairs[i].value);
    // Only what reads back as the same pair: a value must end where the
    // reader would end it.
    if (!IsVendorName(name) || !Clean(pairs[i].value) || value != Trim(value) ||
        (!value.empty() && VendorValueEnd(value) != value.size())) {
      return false;
    }
    if (i > 0) *out += ';';
    out->append(name);
    if (!value.empty()) {
      *out += '=';
      out->append(value);
    }
  }
  return true;
}

// Appends the value of one present header; false when the text form cannot carry it.
bool WriteValue(const mrcp_message_t* m, const HeaderInfo& h, std::string* out) {
  mrcp_generic_header_t* g = m->generic_header;
  mrcp_synth_header_t* s = m->synth_header;
  switch (h.kind) {
    case Kind::kString: {
      const apt_str_t* field = h.generic ? StringField(g, h.id) : StringField(s, h.id);
      if (!Clean(*field)) return false;
      out->append(View(*field));
      return true;
    }
    case Kind::kNumber: {
      if (h.generic && h.id == GENERIC_HEADER_CONTENT_LENGTH) {
        *out += std::to_string(m->body.buf ? m->body.length : 0);
        return true;
      }
      apr_size_t number = *NumberField(const_cast<mrcp_message_t*>(m), h);
      if (number > kMaxNumber) return false;
      *out += std::to_string(number);
      return true;
    }
    case Kind::kBool:
      *out += *BoolField(s, h.id) ? "true" : "false";
      return true;
    case Kind::kGender: {
      unsigned gender = static_cast<unsigned>(s->voice_param.gender);
      if (gender >= 3) return false;
      *out += kGenders[gender];
      return true;
    }
    case Kind::kCause: {
      const char* name = mrcp_synth_completion_cause_get(s->completion_cause, MRCP_VERSION_2);
      if (!name) return false;
      char code[8];
      snprintf(code, sizeof(code), "%03u ", static_cast<unsigned>(s->completion_cause));
      *out += code;
      *out += name;
      return true;
    }
    case Kind::kRate: {
      const mrcp_prosody_rate_t& rate = s->prosody_param.rate;
      if (rate.type == PROSODY_RATE_TYPE_LABEL) {
        unsigned label = static_cast<unsigned>(rate.value.label);
        if (label >= 6) return false;
        *out += kRateLabels[label];
        return true;
      }
      std::string number;
      if (rate.type != PROSODY_RATE_TYPE_RELATIVE_CHANGE || signbit(rate.value.relative) ||
          !FloatText(rate.value.relative, &number)) {
        return false;
      }
      *out += number;
      return true;
    }
    case Kind::kVolume: {
      const mrcp_prosody_volume_t& volume = s->prosody_param.volume;
      std::string number;
      switch (volume.type) {
        case PROSODY_VOLUME_TYPE_LABEL: {
          unsigned label = static_cast<unsigned>(volume.value.label);
          if (label >= 7) return false;
          *out += kVolumeLabels[label];
          return true;
        }
        case PROSODY_VOLUME_TYPE_NUMERIC:
          if (signbit(volume.value.numeric) || !FloatText(volume.value.numeric, &number)) return false;
          *out += number;
          return true;
        case PROSODY_VOLUME_TYPE_RELATIVE_CHANGE:
          if (!FloatText(fabsf(volume.value.relative), &number)) return false;
          *out += signbit(volume.value.relative) ? '-' : '+';
          *out += number;
          *out += '%';
          return true;
        default:
          return false;
      }
    }
    case Kind::kVendor:
      return WriteVendorParams(g->vendor_specific_params, out);
  }
  return false;
}

bool Render(const mrcp_message_t* m, std::string* text) {
  const mrcp_start_line_t& start = m->start_line;
  if (start.version != MRCP_VERSION_2) return false;
  // Everything of the start line after the length.
  std::string rest;
  const std::string id = std::to_string(start.request_id);
  switch (start.message_type) {
    case MRCP_MESSAGE_TYPE_REQUEST: {
      const char* method = mrcp_synth_method_name_get(start.method_id);
      if (!method) return false;
      rest = std::string(" ") + method + " " + id;
      break;
    }
    case MRCP_MESSAGE_TYPE_RESPONSE: {
      const char* state = mrcp_request_state_name_get(start.request_state);
      unsigned status = static_cast<unsigned>(start.status_code);
      if (!state || status < 100 || status > 999) return false;
      rest = " " + id + " " + std::to_string(status) + " " + state;
      break;
    }
    case MRCP_MESSAGE_TYPE_EVENT: {
      const char* event = mrcp_synth_event_name_get(start.method_id);
      const char* state = mrcp_request_state_name_get(start.request_state);
      if (!event || !state) return false;
      rest = std::string(" ") + event + " " + id + " " + state;
      break;
    }
    default:
      return false;
  }
  rest += "\r\n";
  if (m->channel_id.buf && m->channel_id.length > 0) {
    if (!Clean(m->channel_id)) return false;
    rest += kChannelIdentifier;
    rest += ": ";
    rest.append(m->channel_id.buf, m->channel_id.length);
    rest += "\r\n";
  }
  const bool has_body = m->body.buf && m->body.length > 0;
  for (const HeaderInfo& h : kHeaders) {
    bool present;
    if (h.generic) {
      present = m->generic_header && (m->generic_properties & (1u << h.id));
      if (h.id == GENERIC_HEADER_CONTENT_LENGTH && has_body) {
        if (!m->generic_header) {
          rest += "Content-Length: " + std::to_string(m->body.length) + "\r\n";
          continue;
        }
        present = true;
      }
    } else {
      present = m->synth_header && (m->synth_properties & (1u << h.id));
    }
    if (!present) continue;
    std::string value;
    if (!WriteValue(m, h, &value)) return false;
    rest += h.name;
    rest += value.empty() ? ":" : ": ";
    rest += value;
    rest += "\r\n";
  }
  if (m->other_headers) {
    if (m->other_headers->elt_size != static_cast<int>(sizeof(apt_pair_t))) return false;
    const auto* pairs = reinterpret_cast<const apt_pair_t*>(m->other_headers->elts);
    for (int i = 0; i < m->other_headers->nelts; ++i) {
      std::string_view name = View(pairs[i].name);
      if (name.empty() || name.find_first_of(": \t") != std::string_view::npos || !Clean(pairs[i].name) ||
          !Clean(pairs[i].value)) {
        return false;
      }
      rest.append(name);
      rest += pairs[i].value.length ? ": " : ":";
      rest.append(View(pairs[i].value));
      rest += "\r\n";
    }
  }
  rest += "\r\n";
  if (has_body) rest.append(m->body.buf, m->body.length);

  // The length counts its own digits: grow the digit count until it holds.
  const std::size_t base = kVersion.size() + 1 + rest.size();
  std::size_t digits = 1;
  while (std::to_string(base + digits).size() != digits) ++digits;
  *text = std::string(kVersion) + " " + std::to_string(base + digits) + rest;
  return true;
}

}  // namespace

extern "C" mrcp_message_t* mrcp_text_parse(const char* text, apr_size_t length, unsigned flags, apr_pool_t* pool,
                                           apr_size_t* consumed, mrcp_text_error_t* error) {
  try {
    return Parser(text, length, flags, pool, error).Run(consumed);
  } catch (...) {
    if (error) {
      error->line = 0;
      snprintf(error->reason, sizeof(error->reason), "out of memory");
    }
    return nullptr;
  }
}

extern "C" apr_size_t mrcp_text_render(const mrcp_message_t* message, char* buf, apr_size_t size) {
  if (!message) return 0;
  std::string text;
  try {
    if (!Render(message, &text)) return 0;
  } catch (...) {
    return 0;
  }
  if (buf && size > 0) {
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  return text.size();
}
