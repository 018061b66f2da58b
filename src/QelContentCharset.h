// The text of a SPEAK body in UTF-8, the only encoding a cloud request
// carries: the charset parameter of a Content-Type value, the conversion of
// a body from its charset (iconv) and the check of what comes out.
//
// Plain functions without shared state (an iconv descriptor lives for one
// call); any thread. The channel calls them on the engine thread while it
// settles a SPEAK's parameters.
#ifndef QEL_CONTENT_CHARSET_H
#define QEL_CONTENT_CHARSET_H

#include <string>
#include <string_view>

namespace TARNWICKSS {

// Finds the charset parameter of a Content-Type value ("text/plain;
// Charset = \"ISO-8859-1\""). Parameters follow the media type, separated
// by ';' outside quoted strings; names match without regard to case, blanks
// around names and values are skipped, a quoted value loses its quotes and
// backslash escapes. The first charset parameter counts. False, with
// `charset` emptied, when there is none.
bool FindCharsetParameter(const std::string& content_type, std::string& charset);

// Whether `text` is UTF-8 as RFC 3629 has it (no overlong forms, no
// surrogates, nothing above U+10FFFF) and holds no NUL, which would cut it
// short on its way to the cloud.
bool IsUtf8Text(std::string_view text);

enum class TextConversion {
  kConverted,       // the text is valid UTF-8 now
  kUnknownCharset,  // the declared charset names no converter
  kInvalidText,     // not valid in its charset, holds a NUL character, or grows beyond bounds
};

// Converts `text` in place from its charset to UTF-8, without leading byte
// order marks. The charset is `declared` (the Content-Type's; null when
// none was given). Without one, plain text is UTF-8; an XML document (`xml`)
// names its own as XML does: a byte order mark, else the encoding of its XML
// declaration, else UTF-8. The XML declaration of a converted document is
// rewritten to name UTF-8, so that the text says what it is. `source` gets
// the charset the text was read in, for the log. The result is at most four
// bytes for every byte of the body. On failure `text` is unchanged.
TextConversion ConvertTextToUtf8(std::string& text, const char* declared, bool xml, std::string& source);

}  // namespace TARNWICKSS

#endif  // QEL_CONTENT_CHARSET_H
