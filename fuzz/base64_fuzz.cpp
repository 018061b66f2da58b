// libFuzzer target for the base64 text of inline cloud audio (InlineAudio).
// The input is taken as text: a text the reader accepts decodes, in pieces
// of any size, to what APR's decoder gives for it without its white space,
// and one it refuses decodes to nothing. The input is also taken as bytes:
// their encoding, broken into lines as RFC 2045 does, decodes back to them.
#include <apr_base64.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "QelInlineAudio.h"

using TARNWICKSS::InlineAudio;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes ReadAll(InlineAudio& audio, std::size_t piece) {
  Bytes out;
  Bytes buffer(piece);
  for (;;) {
    const std::size_t got = audio.Read(buffer.data(), piece);
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < piece) return out;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  InlineAudio audio(text);
  InlineAudio again(text);
  const Bytes whole = ReadAll(audio, 4096);
  if (ReadAll(again, 3) != whole) abort();
  if (!audio.valid()) {
    if (!whole.empty() || audio.problem().empty()) abort();
  } else {
    if (whole.size() != audio.size()) abort();
    std::string bare;
    for (char c : text)
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') bare += c;
    Bytes reference(static_cast<std::size_t>(apr_base64_decode_len(bare.c_str())) + 3);
    reference.resize(static_cast<std::size_t>(apr_base64_decode_binary(reference.data(), bare.c_str())));
    if (reference != whole) abort();
  }

  std::string encoded(static_cast<std::size_t>(apr_base64_encode_len(static_cast<int>(size))), '\0');
  encoded.resize(static_cast<std::size_t>(apr_base64_encode_binary(&encoded[0], data, static_cast<int>(size)) - 1));
  for (std::size_t at = 76; at < encoded.size(); at += 78) encoded.insert(at, "\r\n");
  InlineAudio lines(encoded);
  if (!lines.valid() || ReadAll(lines, 1000) != Bytes(data, data + size)) abort();
  return 0;
}
