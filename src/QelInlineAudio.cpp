#include "QelInlineAudio.h"

#include <array>
#include <cstdio>

namespace TARNWICKSS {

namespace {

constexpr std::uint8_t kPad = 64;
constexpr std::uint8_t kSpace = 65;
constexpr std::uint8_t kInvalid = 66;

// The value of every byte: 0..63 in the alphabet, else one of the above.
constexpr std::array<std::uint8_t, 256> kValues = [] {
  std::array<std::uint8_t, 256> values{};
  for (auto& v : values) v = kInvalid;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = i;
  values['='] = kPad;
  for (unsigned char c : {' ', '\t', '\r', '\n'}) values[c] = kSpace;
  return values;
}();

}  // namespace

InlineAudio::InlineAudio(const std::string& text) : text_(text) {
  std::uint64_t chars = 0;
  unsigned pads = 0;
  for (std::size_t i = 0; i < text.size() && problem_.empty(); ++i) {
    const std::uint8_t value = kValues[static_cast<unsigned char>(text[i])];
    if (value < kPad && pads == 0) {
      ++chars;
      continue;
    }
    if (value == kSpace) continue;
    if (value == kPad) {
      if (++pads > 2) problem_ = "padding";
    } else if (value == kInvalid) {
      char where[48];
      std::snprintf(where, sizeof(where), "character 0x%02X at %zu", static_cast<unsigned char>(text[i]), i);
      problem_ = where;
    } else if (pads > 0) {
      problem_ = "padding";  // a character after the padding
    } else {
      ++chars;
    }
  }
  const unsigned rest = static_cast<unsigned>(chars % 4);
  if (problem_.empty() && pads > 0 && pads != 4 - rest) problem_ = "padding";
  if (problem_.empty() && rest == 1) problem_ = "length";
  // Each whole group gives three bytes, a last group of 2 or 3 characters
  // one or two.
  if (problem_.empty()) size_ = chars / 4 * 3 + (rest > 1 ? rest - 1 : 0);
}

std::size_t InlineAudio::Read(std::uint8_t* out, std::size_t count) {
  std::size_t n = 0;
  while (n < count && held_begin_ < held_end_) out[n++] = held_[held_begin_++];
  const auto* text = reinterpret_cast<const unsigned char*>(text_.data());
  while (n < count && done_ + n < size_) {
    // Whole groups of four alphabet characters, the bulk of any text.
    while (n + 3 <= count && next_ + 4 <= text_.size()) {
      const std::uint32_t a = kValues[text[next_]], b = kValues[text[next_ + 1]], c = kValues[text[next_ + 2]],
                          d = kValues[text[next_ + 3]];
      if ((a | b | c | d) >= kPad) break;
      const std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
      out[n] = static_cast<std::uint8_t>(group >> 16);
      out[n + 1] = static_cast<std::uint8_t>(group >> 8);
      out[n + 2] = static_cast<std::uint8_t>(group);
      n += 3;
      next_ += 4;
    }
    if (n == count || done_ + n >= size_) break;
    // One group with white space, padding, or split by the end of the read.
    std::uint32_t group = 0;
    unsigned chars = 0;
    while (chars < 4 && next_ < text_.size()) {
      const std::uint8_t value = kValues[static_cast<unsigned char>(text_[next_++])];
      if (value == kSpace) continue;
      if (value == kPad) break;
      group = group << 6 | value;
      ++chars;
    }
    if (chars < 2) break;  // cannot happen in a valid text
    group <<= 6 * (4 - chars);
    const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(group >> 16), static_cast<std::uint8_t>(group >> 8),
                                   static_cast<std::uint8_t>(group)};
    const std::size_t produced = chars - 1;
    std::size_t i = 0;
    for (; i < produced && n < count; ++i) out[n++] = bytes[i];
    held_begin_ = held_end_ = 0;
    for (; i < produced; ++i) held_[held_end_++] = bytes[i];
  }
  done_ += n;
  return n;
}

}  // namespace TARNWICKSS
