// Inline audio: base64 text decoded in pieces of any size gives exactly the
// encoded bytes, line breaks or not; any other damage makes the whole text
// invalid before a byte is decoded.
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

// Everything Read gives, in pieces of `piece` bytes.
Bytes ReadAll(InlineAudio& audio, std::size_t piece) {
  Bytes out;
  Bytes buffer(piece);
  for (;;) {
    const std::size_t got = audio.Read(buffer.data(), piece);
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < piece) return out;
  }
}

TEST(InlineAudio, ValidTextsDecodeWholeInAnyPiecesAndDamagedOnesNotAtAll) {
  std::mt19937 random(7);
  for (std::size_t length : {0, 1, 2, 3, 44, 3071, 9001}) {
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::string padded = Encode(bytes);
    std::string unpadded = padded, lines = padded;
    while (!unpadded.empty() && unpadded.back() == '=') unpadded.pop_back();
    for (std::size_t at = 76; at < lines.size(); at += 78) lines.insert(at, "\r\n");
    for (const std::string& text : {padded, unpadded, lines, " \t" + padded + "\n"}) {
      SCOPED_TRACE(std::to_string(length) + " " + text.substr(0, 90));
      for (std::size_t piece : {1, 2, 3, 7, 3072, 20000}) {
        InlineAudio audio(text);
        ASSERT_TRUE(audio.valid()) << audio.problem();
        EXPECT_EQ(audio.size(), length);
        EXPECT_EQ(ReadAll(audio, piece), bytes) << piece;
      }
    }
  }
  const std::string valid = Encode(Bytes(100, 0x55));  // 136 characters, no padding
  const struct {
    std::string text;
    const char* problem;
  } kDamaged[] = {
      {valid.substr(0, 60) + "!" + valid.substr(61), "character 0x21 at 60"},
      {valid.substr(0, 60) + "\xC3\xA9" + valid.substr(60), "character 0xC3 at 60"},
      {valid.substr(0, 60) + "==" + valid.substr(60), "padding"},
      {valid + "=", "padding"},
      {valid.substr(0, 134) + "===", "padding"},
      {valid.substr(0, 133), "length"},
  };
  for (const auto& d : kDamaged) {
    InlineAudio audio(d.text);
    EXPECT_FALSE(audio.valid()) << d.text;
    EXPECT_EQ(audio.problem(), d.problem) << d.text;
    std::uint8_t byte = 0;
    EXPECT_EQ(audio.Read(&byte, 1), 0u);
  }
}

}  // namespace
