// Inline audio read in pieces at any offset gives exactly what decoding the
// whole base64 text at once gives, padded or not, and stops where the whole
// decode stops.
#include <apr_base64.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "QelInlineAudio.h"

namespace {

using TARNWICKSS::InlineAudio;
using Bytes = std::vector<std::uint8_t>;

std::string Encode(const Bytes& bytes) {
  std::string text(static_cast<std::size_t>(apr_base64_encode_len(static_cast<int>(bytes.size()))), '\0');
  const int n = apr_base64_encode_binary(text.data(), bytes.data(), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(n > 0 ? n - 1 : 0));  // the length counts the NUL
  return text;
}

// What decoding the whole text at once gives.
Bytes DecodeWhole(const std::string& text) {
  Bytes out(static_cast<std::size_t>(apr_base64_decode_len(text.c_str())) + 3);
  out.resize(static_cast<std::size_t>(apr_base64_decode_binary(out.data(), text.c_str())));
  return out;
}

// Everything Read gives from the start, in pieces of `piece` bytes.
Bytes ReadAll(const InlineAudio& audio, std::size_t piece) {
  Bytes out;
  Bytes buffer(piece);
  for (;;) {
    const std::size_t got = audio.Read(out.size(), buffer.data(), piece);
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < piece) return out;
  }
}

TEST(InlineAudio, PiecesAndOffsetsMatchTheWholeDecode) {
  std::mt19937 random(7);
  for (std::size_t length : {0, 1, 2, 3, 4, 5, 44, 45, 46, 3071, 3072, 3073, 9001}) {
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::string padded = Encode(bytes);
    std::string unpadded = padded;
    while (!unpadded.empty() && unpadded.back() == '=') unpadded.pop_back();
    for (const std::string* text : {&padded, static_cast<const std::string*>(&unpadded)}) {
      SCOPED_TRACE(std::to_string(length) + (text == &padded ? " padded" : " unpadded"));
      const InlineAudio audio(*text);
      ASSERT_EQ(audio.size(), length);
      for (std::size_t piece : {1, 2, 3, 7, 3072, 6400, 20000}) EXPECT_EQ(ReadAll(audio, piece), bytes) << piece;
      for (std::size_t offset : {0, 1, 2, 43, 44, 3070}) {
        if (offset >= length) continue;
        Bytes out(5000);
        const std::size_t got = audio.Read(offset, out.data(), out.size());
        ASSERT_EQ(got, std::min<std::size_t>(out.size(), length - offset));
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got),
                               bytes.begin() + static_cast<std::ptrdiff_t>(offset)));
      }
      Bytes none(4);
      EXPECT_EQ(audio.Read(length, none.data(), none.size()), 0u);
    }
  }
}

TEST(InlineAudio, DecodingStopsWhereTheWholeDecodeStops) {
  Bytes bytes(10000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31);
  const std::string valid = Encode(bytes);
  for (std::size_t at : {0, 1, 2, 3, 4, 4097, 5462, 13332}) {
    for (char bad : {'!', '\n', '='}) {
      std::string text = valid;
      text[at] = bad;
      SCOPED_TRACE(std::to_string(at) + " " + std::to_string(bad));
      const Bytes whole = DecodeWhole(text);
      const InlineAudio audio(text);
      for (std::size_t piece : {1, 3072}) EXPECT_EQ(ReadAll(audio, piece), whole) << piece;
    }
  }
}

}  // namespace
