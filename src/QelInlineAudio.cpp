#include "QelInlineAudio.h"

#include <apr_base64.h>

#include <algorithm>
#include <cstring>

namespace TARNWICKSS {

namespace {
// Groups decoded per call of the decoder: 4 KB of text, 3 KB of audio, on
// the stack.
constexpr std::size_t kGroupsPerStep = 1024;
}  // namespace

InlineAudio::InlineAudio(const std::string& text) : text_(text) {
  std::size_t chars = text.size();
  for (int pad = 0; pad < 2 && chars > 0 && text[chars - 1] == '='; ++pad) --chars;
  // Each whole group gives three bytes; a last group of 2 or 3 characters
  // gives one or two (a lone character gives none).
  const std::size_t rest = chars % 4;
  size_ = static_cast<std::uint64_t>(chars / 4) * 3 + (rest >= 2 ? rest - 1 : 0);
}

std::size_t InlineAudio::Read(std::uint64_t offset, std::uint8_t* out, std::size_t count) const {
  if (offset >= size_ || count == 0) return 0;
  count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
  char text[kGroupsPerStep * 4 + 1];
  std::uint8_t bytes[kGroupsPerStep * 3];
  std::size_t done = 0;
  while (done < count) {
    const std::uint64_t at = offset + done;
    const std::uint64_t group = at / 3;
    const auto skip = static_cast<std::size_t>(at - group * 3);
    const std::size_t groups = std::min(kGroupsPerStep, (skip + count - done + 2) / 3);
    const auto first_char = static_cast<std::size_t>(group * 4);
    const std::size_t chars = std::min(groups * 4, text_.size() - first_char);
    // The decoder reads up to a NUL or the first character outside the
    // alphabet; a copy bounds it to these groups.
    std::memcpy(text, text_.data() + first_char, chars);
    text[chars] = '\0';
    const int decoded = apr_base64_decode_binary(bytes, text);
    const std::size_t usable = decoded > static_cast<int>(skip) ? static_cast<std::size_t>(decoded) - skip : 0;
    const std::size_t take = std::min(usable, count - done);
    std::memcpy(out + done, bytes + skip, take);
    done += take;
    // Short of the groups' full worth with more to read: decoding stopped
    // inside them.
    if (done < count && static_cast<std::size_t>(decoded) < groups * 3) break;
  }
  return done;
}

}  // namespace TARNWICKSS
