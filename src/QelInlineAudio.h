// The audio of an inline cloud answer: a WAVE file sent as standard base64
// text, read at any byte offset without decoding the whole of it first.
//
// A 5 s answer is 213 KB of text. Decoding it all into one buffer costs an
// allocation large enough to be mapped and unmapped by malloc for every
// segment (page faults on the engine thread) and a pass over memory that
// has left the cache by the time the converter reads it. Read decodes only
// the four-character groups that cover the bytes asked for, into the
// caller's buffer, so the audio goes from text to converter in small warm
// pieces.
//
// Read from the start on, it gives what apr_base64_decode_binary gives for
// the whole text: bytes up to the first character outside the base64
// alphabet (padding included), where Read delivers fewer bytes than asked
// for. size() assumes the text is valid, and a read that starts beyond such
// a character decodes the groups after it: readers stop at the first short
// read.
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

  // The decoded size of a valid text, in bytes.
  std::uint64_t size() const { return size_; }
  // Decodes bytes [offset, offset + count) into `out`; returns how many of
  // them it could (fewer at the end of the audio or at a character that
  // ends decoding).
  std::size_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t count) const;

 private:
  const std::string& text_;
  std::uint64_t size_ = 0;
};

}  // namespace TARNWICKSS

#endif  // QEL_INLINE_AUDIO_H
