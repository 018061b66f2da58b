#include "QelFileNames.h"

#include <cstdint>
#include <cstdio>

#include "QelHash.h"

namespace TARNWICKSS {

std::string CleanFileNamePart(const std::string& text, std::size_t max_bytes) {
  std::string out = text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F || (c == '.' && i > 0 && out[i - 1] == '.')) out[i] = '_';
  }
  if (out.size() <= max_bytes) return out;
  char mark[18];
  std::snprintf(mark, sizeof(mark), "~%016llx", static_cast<unsigned long long>(Fnv1a64(text)));
  const std::string suffix(mark);
  if (max_bytes <= suffix.size()) return suffix.substr(0, max_bytes);
  std::size_t keep = max_bytes - suffix.size();
  // Back to the start of a UTF-8 sequence: its continuation bytes are 10xxxxxx.
  while (keep > 0 && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
  out.resize(keep);
  return out + suffix;
}

}  // namespace TARNWICKSS
