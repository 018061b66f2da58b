#include "QelLogUrls.h"

#include <cstring>

namespace TARNWICKSS {

namespace {

bool EndsAuthority(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x20 || byte == 0x7F || std::strchr("/?#\"'<>\\", c) != nullptr;
}

}  // namespace

std::string MaskUrlUserInfo(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t done = 0;   // text before this is in `out`
  std::size_t begin = 0;  // where the authority being looked at begins
  for (;;) {
    std::size_t end = begin;
    while (end < text.size() && !EndsAuthority(text[end])) ++end;
    const std::size_t at = text.find_last_of('@', end == begin ? std::string::npos : end - 1);
    if (end > begin && at != std::string::npos && at >= begin) {
      const std::size_t colon = text.find(':', begin);
      out.append(text, done, begin - done);
      if (colon < at) out.append(text, begin, colon - begin + 1);
      out += "***";
      done = at;
    }
    // "://" begins inside the run before it (its ":" ends no authority).
    const std::size_t mark = text.find("://", begin);
    if (mark == std::string::npos) break;
    begin = mark + 3;
  }
  out.append(text, done, std::string::npos);
  return out;
}

}  // namespace TARNWICKSS
