#include "QelFileNames.h"

namespace TARNWICKSS {

std::string CleanFileNamePart(const std::string& text) {
  std::string out = text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F || (c == '.' && i > 0 && out[i - 1] == '.')) out[i] = '_';
  }
  return out;
}

}  // namespace TARNWICKSS
