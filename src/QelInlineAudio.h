// The audio of an inline cloud answer: a WAVE file sent as standard base64
// text, decoded in order, piece by piece, as the converter reads it.
//
// A 5 s answer is 213 KB of text. Decoding it all into one buffer costs an
// allocation large enough to be mapped and unmapped by malloc for every
// segment (page faults on the engine thread) and a pass over memory that
// has left the cache by the time the converter reads it. Read decodes only
// the bytes asked for, into the caller's buffer, so the audio goes from
// text to converter in small warm pieces.
//
// The text is checked whole when the reader is made, before a byte is
// decoded, so that damaged audio fails its segment instead of playing a
// fragment: white space (the line breaks of RFC 2045, spaces, tabs) is
// skipped; any other character outside the alphabet, padding anywhere but
// at the end, and a length no base64 text has (one character over whole
// groups) make it invalid. The final padding may be left out.
//
// Keeps a reference to the text, which must outlive the reader. Not
// thread-safe; used on the engine thread only.
#ifndef QEL_INLINE_AUDIO_H
#define QEL_INLINE_AUDIO_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace TARNWICKSS {

class InlineAudio {
 public:
  explicit InlineAudio(const std::string& text);

  bool valid() const { return problem_.empty(); }
  // Why the text is invalid, for a log line: "character 0x21 at 120",
  // "padding", "length".
  const std::string& problem() const { return problem_; }
  // The decoded size of a valid text, in bytes.
  std::uint64_t size() const { return size_; }
  // Decodes the next `count` bytes into `out`; returns how many (fewer at
  // the end of the audio; none from an invalid text).
  std::size_t Read(std::uint8_t* out, std::size_t count);

 private:
  const std::string& text_;
  std::string problem_;
  std::uint64_t size_ = 0;
  std::uint64_t done_ = 0;      // bytes handed out
  std::size_t next_ = 0;        // the next character to decode
  std::uint8_t held_[3] = {};   // the decoded group a read ended inside
  std::size_t held_begin_ = 0;  // [held_begin_, held_end_) not yet handed out
  std::size_t held_end_ = 0;
};

}  // namespace TARNWICKSS

#endif  // QEL_INLINE_AUDIO_H
