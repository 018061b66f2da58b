// Header lines of messages in their text form: read, replaced, rendered.
#include "message_headers.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "corvex/mrcp_text.h"

namespace corvex {

namespace {

bool Named(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, name); });
}

}  // namespace

std::vector<std::string> HeaderLines(const mrcp_message_t* message) {
  std::vector<std::string> lines;
  const std::string text = Render(message);
  std::size_t pos = text.find("\r\n");
  while (pos != std::string::npos && pos + 2 < text.size()) {
    const std::size_t end = text.find("\r\n", pos + 2);
    if (end == std::string::npos || end == pos + 2) break;
    std::string line = text.substr(pos + 2, end - pos - 2);
    const std::string name = HeaderName(line);
    if (!SameName(name, "Channel-Identifier") && !SameName(name, "Content-Length")) lines.push_back(std::move(line));
    pos = end;
  }
  return lines;
}

std::string HeaderName(const std::string& line) { return line.substr(0, line.find(':')); }

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

mrcp_message_t* WithHeaders(const mrcp_message_t* message, const std::vector<std::string>& lines, apr_pool_t* pool,
                            const std::vector<std::string>& removed) {
  const std::string text = Render(message);
  const std::size_t head_end = text.find("\r\n\r\n");
  if (text.empty() || head_end == std::string::npos) return nullptr;
  std::vector<std::string> gone = removed;
  for (const std::string& line : lines) gone.push_back(HeaderName(line));
  // The start line without the length it states, which changes with the headers.
  std::size_t pos = text.find("\r\n");
  std::string start = text.substr(0, pos);
  const std::size_t first = start.find(' ');
  start.erase(first, start.find(' ', first + 1) - first);
  std::string out = start + "\r\n";
  while (pos < head_end) {
    const std::size_t end = text.find("\r\n", pos + 2);
    const std::string line = text.substr(pos + 2, end - pos - 2);
    if (!Named(gone, HeaderName(line))) out += line + "\r\n";
    pos = end;
  }
  for (const std::string& line : lines) out += line + "\r\n";
  out += text.substr(head_end + 2);
  return mrcp_text_parse(out.data(), out.size(), 0, pool, nullptr, nullptr);
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
