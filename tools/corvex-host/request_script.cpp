// Request files and command-line SPEAKs turned into a script.
//
// A file is read line by line. Outside a request only blank lines, comments,
// directives, "---" and start lines may appear. A request's extent is found
// before it is parsed: its headers run to the first empty line (or "---", or
// the end); a Content-Length body is taken by count, so it may hold "---"
// lines; any other body runs to the next "---". The text form parser then
// reads that extent, and its line numbers are shifted to the file's.
#include "request_script.h"

#include <apr_pools.h>
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

#include "corvex/mrcp_text.h"

namespace corvex_host {

namespace {

constexpr long kMaxDelayMs = 3600 * 1000;

struct Line {
  std::size_t begin = 0;  // first byte
  std::size_t end = 0;    // end of the content, before CR LF or LF
  std::size_t next = 0;   // first byte of the next line
  std::size_t number = 0;
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    line.number = lines.size() + 1;
    std::size_t lf = text.find('\n', pos);
    line.next = lf == std::string::npos ? text.size() : lf + 1;
    line.end = lf == std::string::npos ? text.size() : lf;
    if (lf != std::string::npos && line.end > line.begin && text[line.end - 1] == '\r') --line.end;
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::vector<std::string> Words(std::string_view s) {
  std::vector<std::string> words;
  std::istringstream in{std::string(s)};
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

bool Is(const std::string& word, const char* keyword) { return strcasecmp(word.c_str(), keyword) == 0; }

bool ParseCount(const std::string& word, long max, long* out) {
  if (word.empty() || word.size() > 9) return false;
  long value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

std::string At(const std::string& name, std::size_t line, const std::string& reason) {
  return name + ":" + std::to_string(line) + ": " + reason;
}

// Directives gathered for the next request.
struct Pending {
  std::size_t first_line = 0;  // 0: none
  bool has_trigger = false;
  Trigger trigger;
  std::vector<Expectation> expectations;
  bool raw = false;
};

bool ParseEvent(const std::string& word, Trigger::After* after) {
  if (Is(word, "IN-PROGRESS")) {
    *after = Trigger::After::kInProgress;
  } else if (Is(word, "SPEECH-MARKER")) {
    *after = Trigger::After::kSpeechMarker;
  } else if (Is(word, "SPEAK-COMPLETE")) {
    *after = Trigger::After::kSpeakComplete;
  } else if (Is(word, "COMPLETE")) {
    *after = Trigger::After::kFinalAnswer;
  } else {
    return false;
  }
  return true;
}

bool ParseSend(const std::vector<std::string>& w, Trigger* trigger, std::string* reason) {
  long delay = 0;
  bool ok = false;
  if (w.size() == 4 && Is(w[1], "after") && Is(w[3], "ms") && ParseCount(w[2], kMaxDelayMs, &delay)) {
    trigger->after = Trigger::After::kSent;
    ok = true;
  } else if (w.size() == 3 && Is(w[1], "after")) {
    ok = ParseEvent(w[2], &trigger->after);
  } else if (w.size() == 5 && Is(w[2], "ms") && Is(w[3], "after") && ParseCount(w[1], kMaxDelayMs, &delay)) {
    ok = ParseEvent(w[4], &trigger->after);
  }
  if (!ok) {
    *reason =
        "@send takes \"after N ms\", \"after EVENT\" or \"N ms after EVENT\" (EVENT: IN-PROGRESS, "
        "SPEECH-MARKER, SPEAK-COMPLETE, COMPLETE; N up to 3600000)";
    return false;
  }
  trigger->delay = std::chrono::milliseconds(delay);
  return true;
}

bool ParseExpect(const std::vector<std::string>& w, Expectation* expectation, std::string* reason) {
  long value = 0;
  if (w.size() == 3 && Is(w[1], "status") && w[2].size() == 3 && ParseCount(w[2], 999, &value) && value >= 100) {
    expectation->kind = Expectation::Kind::kStatus;
  } else if ((w.size() == 3 || w.size() == 4) && Is(w[1], "Completion-Cause") && w[2].size() == 3 &&
             ParseCount(w[2], SYNTHESIZER_COMPLETION_CAUSE_COUNT - 1, &value)) {
    const char* name =
        mrcp_synth_completion_cause_get(static_cast<mrcp_synth_completion_cause_e>(value), MRCP_VERSION_2);
    if (w.size() == 4 && !Is(w[3], name)) {
      *reason = "Completion-Cause " + w[2] + " is \"" + name + "\", not \"" + w[3] + "\"";
      return false;
    }
    expectation->kind = Expectation::Kind::kCompletionCause;
  } else if (w.size() == 2 && Is(w[1], "stopped")) {
    expectation->kind = Expectation::Kind::kStopped;
  } else if (w.size() == 2 && Is(w[1], "any")) {
    expectation->kind = Expectation::Kind::kAny;
  } else {
    *reason = "@expect takes \"status NNN\", \"Completion-Cause NNN [name]\" (000 to 007), \"stopped\" or \"any\"";
    return false;
  }
  expectation->value = static_cast<int>(value);
  return true;
}

bool SendDirective(const std::vector<std::string>& w, Pending* pending, std::string* reason) {
  if (pending->has_trigger) {
    *reason = "a second @send for the same request";
    return false;
  }
  pending->has_trigger = true;
  return ParseSend(w, &pending->trigger, reason);
}

bool ExpectDirective(const std::vector<std::string>& w, Pending* pending, std::string* reason) {
  Expectation expectation;
  if (!ParseExpect(w, &expectation, reason)) return false;
  pending->expectations.push_back(expectation);
  return true;
}

bool RawDirective(const std::vector<std::string>& w, Pending* pending, std::string* reason) {
  if (w.size() != 1) {
    *reason = "@raw takes nothing after it";
    return false;
  }
  pending->raw = true;
  return true;
}

// The directives: "@name words..." before a request.
struct Directive {
  const char* name;
  bool (*parse)(const std::vector<std::string>& words, Pending* pending, std::string* reason);
};
const Directive kDirectives[] = {{"send", SendDirective}, {"expect", ExpectDirective}, {"raw", RawDirective}};

std::string DirectiveNames() {
  std::string names;
  for (const Directive& d : kDirectives) names += std::string(names.empty() ? "@" : ", @") + d.name;
  return names;
}

// Whether the line starts with a known directive ("@send ...").
bool IsDirective(std::string_view line) {
  if (line.empty() || line[0] != '@') return false;
  const std::vector<std::string> w = Words(line.substr(1));
  for (const Directive& d : kDirectives) {
    if (!w.empty() && Is(w[0], d.name)) return true;
  }
  return false;
}

bool ParseDirective(std::string_view line, Pending* pending, std::string* reason) {
  std::vector<std::string> w = Words(line.substr(1));
  if (w.empty()) {
    *reason = "empty directive: " + DirectiveNames();
    return false;
  }
  for (const Directive& d : kDirectives) {
    if (Is(w[0], d.name)) return d.parse(w, pending, reason);
  }
  *reason = "unknown directive @" + w[0] + " (" + DirectiveNames() + ")";
  return false;
}

// Parses text[begin, end) as one request; on failure *reason holds the text
// form's reason and *line its 1-based line within the extent.
mrcp_message_t* ParseExtent(const std::string& text, std::size_t begin, std::size_t end, unsigned flags,
                            apr_pool_t* pool, apr_size_t* consumed, std::size_t* line, std::string* reason) {
  mrcp_text_error_t error;
  mrcp_message_t* message = mrcp_text_parse(text.data() + begin, end - begin, flags, pool, consumed, &error);
  if (!message) {
    *line = error.line;
    *reason = error.reason;
  }
  return message;
}

class FileReader {
 public:
  FileReader(const std::string& text, const std::string& name) : text_(text), name_(name), lines_(SplitLines(text)) {
    apr_pool_create(&pool_, nullptr);
  }
  ~FileReader() { apr_pool_destroy(pool_); }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  bool Read(std::vector<ScriptRequest>* out, std::string* error);

 private:
  std::string_view Content(std::size_t i) const {
    return std::string_view(text_).substr(lines_[i].begin, lines_[i].end - lines_[i].begin);
  }
  bool IsSeparator(std::size_t i) const { return Trim(Content(i)) == "---"; }
  bool LooksLikeNextRequest(std::size_t i) const {
    std::string_view line = Trim(Content(i));
    return line.substr(0, 5) == "MRCP/" || IsDirective(line);
  }
  // Reads the request whose start line is line s; *i gets the line after it.
  bool ReadRequest(std::size_t s, Pending* pending, std::vector<ScriptRequest>* out, std::size_t* i,
                   std::string* error);

  const std::string& text_;
  const std::string& name_;
  std::vector<Line> lines_;
  apr_pool_t* pool_ = nullptr;
};

bool FileReader::Read(std::vector<ScriptRequest>* out, std::string* error) {
  std::vector<ScriptRequest> requests;
  Pending pending;
  std::size_t i = 0;
  while (i < lines_.size()) {
    std::string_view line = Trim(Content(i));
    const std::size_t number = lines_[i].number;
    if (line.empty() || line[0] == '#') {
      ++i;
    } else if (IsSeparator(i)) {
      if (pending.first_line) {
        *error = At(name_, pending.first_line, "directives before a \"---\" belong to no request");
        return false;
      }
      ++i;
    } else if (line[0] == '@') {
      std::string reason;
      if (!ParseDirective(line, &pending, &reason)) {
        *error = At(name_, number, reason);
        return false;
      }
      if (!pending.first_line) pending.first_line = number;
      ++i;
    } else if (line.substr(0, 5) == "MRCP/") {
      if (!ReadRequest(i, &pending, &requests, &i, error)) return false;
      pending = Pending();
    } else {
      *error = At(name_, number, "expected a comment (#), a directive (@), a start line (MRCP/2.0 ...) or ---");
      return false;
    }
  }
  if (pending.first_line) {
    *error = At(name_, pending.first_line, "directives at the end of the file belong to no request");
    return false;
  }
  out->insert(out->end(), requests.begin(), requests.end());
  return true;
}

bool FileReader::ReadRequest(std::size_t s, Pending* pending, std::vector<ScriptRequest>* out, std::size_t* i,
                             std::string* error) {
  const std::size_t begin = lines_[s].begin;
  const std::size_t start_number = lines_[s].number;
  auto fail = [&](std::size_t line, std::string reason) {
    const std::size_t number = line ? start_number + line - 1 : start_number;
    if (number - 1 < lines_.size() && number > start_number && LooksLikeNextRequest(number - 1)) {
      reason += "; requests are separated by a --- line";
    }
    *error = At(name_, number, reason);
    return false;
  };
  std::size_t j = s + 1;
  while (j < lines_.size() && lines_[j].end > lines_[j].begin && !IsSeparator(j)) ++j;

  mrcp_message_t* message = nullptr;
  std::size_t end = 0;
  std::size_t k = j;  // becomes the line after the request
  std::size_t line = 0;
  std::string reason;
  apr_size_t consumed = 0;
  if (j == lines_.size() || IsSeparator(j)) {
    // Headers only: no empty line before the "---" or the end.
    end = j < lines_.size() ? lines_[j].begin : text_.size();
    message = ParseExtent(text_, begin, end, 0, pool_, &consumed, &line, &reason);
  } else {
    // Read up to the end of the file first: a Content-Length body is taken by count.
    message = ParseExtent(text_, begin, text_.size(), 0, pool_, &consumed, &line, &reason);
    if (!message) return fail(line, reason);
    if (mrcp_generic_header_property_check(message, GENERIC_HEADER_CONTENT_LENGTH)) {
      end = begin + consumed;
      const std::string after = "text after the " + std::to_string(message->generic_header->content_length) +
                                "-byte body that Content-Length gives";
      k = 0;
      while (k < lines_.size() && lines_[k].next <= end) ++k;
      if (k < lines_.size() && lines_[k].begin < end) {
        // The body ended inside line k: the rest of it must be blank.
        if (lines_[k].end > end && !Trim(std::string_view(text_).substr(end, lines_[k].end - end)).empty()) {
          return fail(lines_[k].number - start_number + 1, after);
        }
        ++k;
      }
      for (; k < lines_.size() && !IsSeparator(k); ++k) {
        if (!Trim(Content(k)).empty()) return fail(lines_[k].number - start_number + 1, after);
      }
    } else {
      for (k = j + 1; k < lines_.size() && !IsSeparator(k); ++k) {
        // A forgotten "---" would silently make the next request part of this body.
        if (LooksLikeNextRequest(k)) {
          return fail(lines_[k].number - start_number + 1, "a start line or directive inside the body");
        }
      }
      end = k < lines_.size() ? lines_[k].begin : text_.size();
      // The last line end (before the "---" or at the end of the file) ends
      // the line, not the body.
      if (end > lines_[j].next) {
        if (text_[end - 1] == '\n') --end;
        if (end > lines_[j].next && text_[end - 1] == '\r') --end;
      }
      message = ParseExtent(text_, begin, end, MRCP_TEXT_BODY_TO_END, pool_, &consumed, &line, &reason);
    }
  }
  if (!message) return fail(line, reason);
  if (message->start_line.message_type != MRCP_MESSAGE_TYPE_REQUEST) {
    return fail(1, "a request file holds requests; this is a response or an event");
  }
  ScriptRequest request;
  request.origin = name_ + ":" + std::to_string(start_number);
  request.text = text_.substr(begin, end - begin);
  request.method = message->start_line.method_id;
  request.id = message->start_line.request_id;
  if (pending->has_trigger) request.trigger = pending->trigger;
  request.expectations = pending->expectations;
  request.raw = pending->raw;
  for (const Expectation& e : request.expectations) {
    if ((e.kind == Expectation::Kind::kCompletionCause || e.kind == Expectation::Kind::kStopped) &&
        request.method != SYNTHESIZER_SPEAK) {
      return fail(1, std::string("@expect ") +
                         (e.kind == Expectation::Kind::kStopped ? "stopped" : "Completion-Cause") +
                         " is for a SPEAK, not a " + mrcp_synth_method_name_get(request.method));
    }
  }
  out->push_back(request);
  *i = k;
  return true;
}

bool NeedsSpeakBefore(Trigger::After after) {
  return after == Trigger::After::kInProgress || after == Trigger::After::kSpeechMarker ||
         after == Trigger::After::kSpeakComplete;
}

const char* EventName(Trigger::After after) {
  switch (after) {
    case Trigger::After::kInProgress:
      return "IN-PROGRESS";
    case Trigger::After::kSpeechMarker:
      return "SPEECH-MARKER";
    case Trigger::After::kSpeakComplete:
      return "SPEAK-COMPLETE";
    case Trigger::After::kFinalAnswer:
      return "the final answer";
    case Trigger::After::kSent:
      return "the sending";
  }
  return "";
}

}  // namespace

bool ReadRequestText(const std::string& text, const std::string& name, std::vector<ScriptRequest>* script,
                     std::string* error) {
  return FileReader(text, name).Read(script, error);
}

bool ReadRequestFile(const std::string& path, std::vector<ScriptRequest>* script, std::string* error) {
  std::error_code code;
  if (!std::filesystem::is_regular_file(path, code)) {
    *error = path + ": no such file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    *error = path + ": cannot read the file";
    return false;
  }
  return ReadRequestText(text, path, script, error);
}

bool AddSpeak(const std::string& origin, const std::string& content_type, const std::string& body,
              const std::vector<std::string>& headers, std::vector<ScriptRequest>* script, std::string* error) {
  std::string text = "MRCP/2.0 SPEAK\r\n";
  bool has_type = false;
  for (const std::string& header : headers) {
    std::string_view name = std::string_view(header).substr(0, header.find(':'));
    if (header.find_first_of("\r\n") != std::string::npos) {
      *error = "--header '" + header + "': a header is one line";
      return false;
    }
    if (strncasecmp(name.data(), "Content-Length", name.size()) == 0 && name.size() == 14) {
      *error = "--header '" + header + "': Content-Length is the body's own length; leave it out";
      return false;
    }
    if (strncasecmp(name.data(), "Content-Type", name.size()) == 0 && name.size() == 12) has_type = true;
    text += header + "\r\n";
  }
  if (!has_type) text += "Content-Type: " + content_type + "\r\n";
  text += "\r\n" + body;

  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  mrcp_text_error_t failure;
  mrcp_message_t* message = mrcp_text_parse(text.data(), text.size(), MRCP_TEXT_BODY_TO_END, pool, nullptr, &failure);
  apr_pool_destroy(pool);
  if (!message) {
    const std::size_t index = failure.line >= 2 ? failure.line - 2 : headers.size();
    *error = index < headers.size() ? "--header '" + headers[index] + "': " + failure.reason
                                    : origin + ": " + failure.reason;
    return false;
  }
  ScriptRequest request;
  request.origin = origin;
  request.text = text;
  request.method = SYNTHESIZER_SPEAK;
  script->push_back(request);
  return true;
}

bool Number(std::vector<ScriptRequest>* script, std::string* error) {
  std::uint64_t next = 1;
  for (std::size_t k = 0; k < script->size(); ++k) {
    ScriptRequest& request = (*script)[k];
    if (request.raw && request.id != 0) {
      // Sent as written, to see the server's answer; the others count on.
    } else if (request.id != 0) {
      if (request.id < next) {
        *error = request.origin + ": request id " + std::to_string(request.id) +
                 " does not rise above the one before (" + std::to_string(next - 1) + ")";
        return false;
      }
      next = std::uint64_t{request.id} + 1;
    } else if (next > 0xFFFFFFFFull) {
      *error = request.origin + ": no request id is left after 4294967295";
      return false;
    } else {
      request.id = static_cast<mrcp_request_id>(next++);
    }
    if (NeedsSpeakBefore(request.trigger.after)) {
      const char* event = EventName(request.trigger.after);
      if (k == 0) {
        *error = request.origin + ": waits for " + event + " of the request before, but there is none";
        return false;
      }
      if ((*script)[k - 1].method != SYNTHESIZER_SPEAK) {
        *error = request.origin + ": waits for " + event + ", which only a SPEAK gets, but the request before is a " +
                 mrcp_synth_method_name_get((*script)[k - 1].method);
        return false;
      }
    }
  }
  return true;
}

std::string Describe(const Trigger& trigger, bool first) {
  const std::string delay = std::to_string(trigger.delay.count()) + " ms after ";
  if (first) return (trigger.delay.count() ? delay : std::string("as soon as ")) + "the channel is open";
  switch (trigger.after) {
    case Trigger::After::kSent:
      return delay + "the previous request was sent";
    case Trigger::After::kFinalAnswer:
      return (trigger.delay.count() ? delay : std::string("after ")) + "the previous request's final answer";
    default:
      return (trigger.delay.count() ? delay : std::string("after ")) + EventName(trigger.after) +
             " of the previous request";
  }
}

std::string Describe(const std::vector<Expectation>& expectations, mrcp_method_id method) {
  if (expectations.empty()) {
    return method == SYNTHESIZER_SPEAK ? "SPEAK-COMPLETE with Completion-Cause 000" : "a final answer";
  }
  std::string text;
  for (const Expectation& e : expectations) {
    if (!text.empty()) text += " and ";
    char code[8];
    std::snprintf(code, sizeof(code), "%03d", e.value);
    switch (e.kind) {
      case Expectation::Kind::kStatus:
        text += std::string("status ") + code;
        break;
      case Expectation::Kind::kCompletionCause:
        text += std::string("Completion-Cause ") + code;
        break;
      case Expectation::Kind::kStopped:
        text += "stopped";
        break;
      case Expectation::Kind::kAny:
        text += "any final answer";
        break;
    }
  }
  return text;
}

}  // namespace corvex_host
