#include "QelContentCharset.h"

#include <errno.h>
#include <iconv.h>

#include <cstddef>
#include <string_view>

namespace TARNWICKSS {

namespace {

// UTF-8 takes at most four bytes for a character, and no charset spends less
// than a byte on one: a bound on what a conversion may write.
constexpr std::size_t kMaxGrowth = 4;
// The longest charset name registered with IANA has 40 characters.
constexpr std::size_t kMaxCharsetName = 40;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsXmlSpace(char c) { return IsBlank(c) || c == '\r' || c == '\n'; }
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != lower[i]) return false;
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool IsUtf8Name(std::string_view name) { return EqualsNoCase(name, "utf-8") || EqualsNoCase(name, "utf8"); }

// Letters, digits and the few signs charset names use. Nothing else reaches
// iconv, which would read "//IGNORE" or "//TRANSLIT" in a name as options.
bool IsCharsetName(std::string_view name) {
  if (name.empty() || name.size() > kMaxCharsetName) return false;
  for (char c : name) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && std::string_view("-_.:+()").find(c) == std::string_view::npos) return false;
  }
  return true;
}

// The value of the encoding in an XML declaration at the very start of
// `text`, read as ASCII: its offset and length.
bool FindXmlEncoding(std::string_view text, std::size_t& begin, std::size_t& length) {
  if (text.size() < 6 || !StartsWith(text, "<?xml") || !IsXmlSpace(text[5])) return false;
  const std::string_view declaration = text.substr(0, text.find("?>"));
  for (std::size_t at = declaration.find("encoding"); at != std::string_view::npos;
       at = declaration.find("encoding", at + 1)) {
    std::size_t p = at + 8;
    while (p < declaration.size() && IsXmlSpace(declaration[p])) ++p;
    if (!IsXmlSpace(declaration[at - 1]) || p == declaration.size() || declaration[p] != '=') continue;
    for (++p; p < declaration.size() && IsXmlSpace(declaration[p]);) ++p;
    if (p == declaration.size() || (declaration[p] != '"' && declaration[p] != '\'')) return false;
    const std::size_t close = declaration.find(declaration[p], p + 1);
    if (close == std::string_view::npos) return false;
    begin = p + 1;
    length = close - begin;
    return true;
  }
  return false;
}

// The charset an XML document names for itself: its byte order mark, else
// the encoding of its declaration, else UTF-8.
std::string XmlCharset(std::string_view text, bool& from_declaration) {
  from_declaration = false;
  if (StartsWith(text, "\xFF\xFE") || StartsWith(text, "\xFE\xFF")) return "UTF-16";
  std::size_t begin = 0, length = 0;
  if (!StartsWith(text, kByteOrderMark) && FindXmlEncoding(text, begin, length)) {
    from_declaration = true;
    return std::string(text.substr(begin, length));
  }
  return "UTF-8";
}

// Appends `in`, in charset `from`, to `out` as UTF-8, at most kMaxGrowth
// bytes for each byte of `in`.
TextConversion Convert(std::string from, std::string_view in, std::string& out) {
  if (!IsCharsetName(from)) return TextConversion::kUnknownCharset;
  // iconv takes the host's byte order where RFC 2781 says big-endian.
  if (EqualsNoCase(from, "utf-16")) {
    from = StartsWith(in, "\xFF\xFE") ? "UTF-16LE" : "UTF-16BE";
    if (StartsWith(in, "\xFF\xFE") || StartsWith(in, "\xFE\xFF")) in.remove_prefix(2);
  }
  iconv_t cd = iconv_open("UTF-8", from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return TextConversion::kUnknownCharset;

  const std::size_t limit = in.size() * kMaxGrowth;
  char* next_in = const_cast<char*>(in.data());  // iconv only reads it
  std::size_t left = in.size();
  TextConversion result = TextConversion::kConverted;
  for (bool done = false; !done && result == TextConversion::kConverted;) {
    char block[4096];
    char* next_out = block;
    std::size_t room = sizeof(block);
    // Once the input is used up, a call without input ends a shift state.
    const bool flush = left == 0;
    const std::size_t converted =
        flush ? iconv(cd, nullptr, nullptr, &next_out, &room) : iconv(cd, &next_in, &left, &next_out, &room);
    const int error = errno;
    out.append(block, next_out);
    if (out.size() > limit) {
      result = TextConversion::kInvalidText;
    } else if (converted == static_cast<std::size_t>(-1)) {
      if (error != E2BIG) result = TextConversion::kInvalidText;  // EILSEQ, or EINVAL: cut short
    } else {
      done = flush;
    }
  }
  iconv_close(cd);
  return result;
}

}  // namespace

bool IsUtf8Text(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c == 0) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // overlong
      if (c == 0xED) high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;   // overlong
      if (c == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < length || s[i + 1] < low || s[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

bool FindCharsetParameter(const std::string& content_type, std::string& charset) {
  charset.clear();
  const std::size_t n = content_type.size();
  for (std::size_t p = content_type.find(';'); p < n;) {
    ++p;  // past the ';'
    while (p < n && IsBlank(content_type[p])) ++p;
    const std::size_t name_begin = p;
    while (p < n && content_type[p] != '=' && content_type[p] != ';') ++p;
    std::size_t name_end = p;
    while (name_end > name_begin && IsBlank(content_type[name_end - 1])) --name_end;
    std::string value;
    if (p < n && content_type[p] == '=') {
      for (++p; p < n && IsBlank(content_type[p]);) ++p;
      if (p < n && content_type[p] == '"') {
        for (++p; p < n && content_type[p] != '"'; ++p) {
          if (content_type[p] == '\\' && p + 1 < n) ++p;
          value += content_type[p];
        }
      } else {
        while (p < n && content_type[p] != ';') value += content_type[p++];
        while (!value.empty() && IsBlank(value.back())) value.pop_back();
      }
      while (p < n && content_type[p] != ';') ++p;  // after a quoted value
    }
    if (EqualsNoCase(std::string_view(content_type).substr(name_begin, name_end - name_begin), "charset")) {
      charset = std::move(value);
      return true;
    }
  }
  return false;
}

TextConversion ConvertTextToUtf8(std::string& text, const char* declared, bool xml, std::string& source) {
  bool from_declaration = false;
  source = declared ? std::string(declared) : xml ? XmlCharset(text, from_declaration) : std::string("UTF-8");

  const bool convert = !IsUtf8Name(source);
  std::string converted;
  if (convert) {
    const TextConversion result = Convert(source, text, converted);
    if (result == TextConversion::kUnknownCharset && !declared) return TextConversion::kInvalidText;
    if (result != TextConversion::kConverted) return result;
    // A document whose declaration no longer reads the same was not in the
    // charset it names (a UTF-16 name on single bytes, say).
    if (from_declaration && !StartsWith(converted, "<?xml")) return TextConversion::kInvalidText;
  }
  if (!IsUtf8Text(convert ? converted : text)) return TextConversion::kInvalidText;
  if (convert) text.swap(converted);
  std::size_t marks = 0;
  while (text.compare(marks, kByteOrderMark.size(), kByteOrderMark) == 0) marks += kByteOrderMark.size();
  text.erase(0, marks);

  std::size_t begin = 0, length = 0;
  if (xml && FindXmlEncoding(text, begin, length) &&
      !EqualsNoCase(std::string_view(text).substr(begin, length), "utf-8")) {
    text.replace(begin, length, "UTF-8");
  }
  return TextConversion::kConverted;
}

}  // namespace TARNWICKSS
