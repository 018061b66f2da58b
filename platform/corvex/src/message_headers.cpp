// Header lines of messages in their text form: read, added, replaced.
#include "message_headers.h"

#include <strings.h>

#include <cstdlib>

#include "corvex/mrcp_text.h"

namespace corvex {

// "Name: value" lines of the message's headers, without Channel-Identifier
// and Content-Length (the channel's and the body's own); empty when the text
// form cannot carry the message.
std::vector<std::string> HeaderLines(const mrcp_message_t* message) {
  std::vector<std::string> lines;
  std::string text(mrcp_text_render(message, nullptr, 0) + 1, '\0');
  text.resize(mrcp_text_render(message, &text[0], text.size()));
  std::size_t pos = text.find("\r\n");
  while (pos != std::string::npos && pos + 2 < text.size()) {
    const std::size_t end = text.find("\r\n", pos + 2);
    if (end == std::string::npos || end == pos + 2) break;
    std::string line = text.substr(pos + 2, end - pos - 2);
    const std::string name = line.substr(0, line.find(':'));
    if (strcasecmp(name.c_str(), "Channel-Identifier") != 0 && strcasecmp(name.c_str(), "Content-Length") != 0) {
      lines.push_back(std::move(line));
    }
    pos = end;
  }
  return lines;
}

std::string HeaderName(const std::string& line) { return line.substr(0, line.find(':')); }

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// Headers of a request, never of a session: they describe one message.
bool IsSessionHeader(const std::string& name) {
  static const char* const kNot[] = {
      "Content-Type",           "Content-ID",    "Content-Base",     "Content-Encoding",  "Content-Location",
      "Active-Request-Id-List", "Proxy-Sync-Id", "Completion-Cause", "Completion-Reason", "Failed-URI",
      "Failed-URI-Cause",       "Speak-Restart", "Speak-Length",     "Jump-Size"};
  for (const char* other : kNot) {
    if (SameName(name, other)) return false;
  }
  return true;
}

// Parses the message's text with `lines` added to its headers, into pool.
// Null when the text form cannot carry it.
mrcp_message_t* WithHeaders(const mrcp_message_t* message, const std::vector<std::string>& lines, apr_pool_t* pool) {
  std::string text(mrcp_text_render(message, nullptr, 0) + 1, '\0');
  text.resize(mrcp_text_render(message, &text[0], text.size()));
  const std::size_t end = text.find("\r\n\r\n");
  if (text.empty() || end == std::string::npos) return nullptr;
  std::string added;
  for (const std::string& line : lines) added += line + "\r\n";
  text.insert(end + 2, added);
  // The length the text states changes with the headers: leave it out.
  const std::size_t first = text.find(' ');
  const std::size_t second = text.find(' ', first + 1);
  text.erase(first, second - first);
  return mrcp_text_parse(text.data(), text.size(), 0, pool, nullptr, nullptr);
}

std::string Render(const mrcp_message_t* message) {
  std::string text;
  if (apr_size_t length = mrcp_text_render(message, nullptr, 0)) {
    text.resize(length + 1);  // room for the terminating zero
    mrcp_text_render(message, &text[0], text.size());
    text.resize(length);
  }
  return text;
}

std::string IdList(const std::vector<mrcp_request_id>& ids) {
  std::string list;
  for (mrcp_request_id id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  return list;
}

// The ids of an Active-Request-Id-List ("1,2, 3"); what is no id is skipped.
std::vector<mrcp_request_id> ParseIdList(const apt_str_t& text) {
  std::vector<mrcp_request_id> ids;
  std::string value(text.buf ? text.buf : "", text.buf ? text.length : 0);
  std::size_t pos = 0;
  while (pos <= value.size()) {
    std::size_t comma = value.find(',', pos);
    if (comma == std::string::npos) comma = value.size();
    const std::string item = value.substr(pos, comma - pos);
    char* end = nullptr;
    const unsigned long long id = std::strtoull(item.c_str(), &end, 10);
    if (end != item.c_str() && id <= 0xFFFFFFFFull) ids.push_back(static_cast<mrcp_request_id>(id));
    pos = comma + 1;
  }
  return ids;
}

}  // namespace corvex
