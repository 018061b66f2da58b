// libFuzzer target for the text of a SPEAK body on its way to UTF-8. The
// first byte chooses the declared charset (low bits) and whether the body is
// SSML (bit 7); the rest is the body, and also a Content-Type value for the
// charset parameter's reader. Besides the sanitizers it checks what the cloud
// request relies on: converted text is UTF-8 by glibc's own decoder, holds
// no NUL and no leading byte order mark, stays within four bytes per byte of
// the body, and converts again to itself; ISO-8859-1 converts back to the
// body byte for byte; a refused body is left as it came.
#include <iconv.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "QelContentCharset.h"

using namespace TARNWICKSS;

namespace {

// Converts `in` with glibc; false when it is not valid in `from`.
bool GlibcConvert(const char* to, const char* from, const std::string& in, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) abort();
  out.assign(in.size() * 4 + 4, '\0');
  char* next_in = const_cast<char*>(in.data());
  char* next_out = &out[0];
  std::size_t left = in.size(), room = out.size();
  const bool ok = iconv(cd, &next_in, &left, &next_out, &room) != static_cast<std::size_t>(-1) && left == 0;
  iconv_close(cd);
  out.resize(out.size() - room);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const kCharsets[] = {nullptr,  "UTF-8",    "ISO-8859-1", "windows-1252",
                                          "UTF-16", "UTF-16LE", "UTF-16BE",   "US-ASCII"};
  const char* declared = kCharsets[data[0] % 8];
  const bool xml = (data[0] & 0x80) != 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::string charset;
  if (!FindCharsetParameter(body, charset) && !charset.empty()) abort();

  std::string text = body, source;
  const TextConversion result = ConvertTextToUtf8(text, declared, xml, source);
  if (result != TextConversion::kConverted) {
    if (text != body) abort();
    return 0;
  }
  std::string utf32;
  if (!GlibcConvert("UTF-32LE", "UTF-8", text, utf32)) abort();
  for (std::size_t i = 0; i < utf32.size(); i += 4) {
    if (utf32.compare(i, 4, std::string(4, '\0')) == 0) abort();
  }
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0 || text.size() > body.size() * 4 + 8) abort();

  std::string again = text;
  if (ConvertTextToUtf8(again, "UTF-8", xml, source) != TextConversion::kConverted || again != text) abort();

  if (declared && std::string(declared) == "ISO-8859-1" && !xml) {
    std::string back;
    if (!GlibcConvert("ISO-8859-1", "UTF-8", text, back) || back != body) abort();
  }
  return 0;
}
