// The one rule for text a request puts into a file name (the Logging-Tag in
// waveform and record names): the cleaned text is a harmless part of one
// name, so the file lands in its own folder and matches its store's pattern,
// and it is short enough for the whole name to fit the file system.
//
// Threads: pure functions; any thread.
#ifndef QEL_FILE_NAMES_H
#define QEL_FILE_NAMES_H

#include <cstddef>
#include <string>

namespace TARNWICKSS {

// The longest file name, in bytes, that the usual file systems take.
constexpr std::size_t kMaxFileNameBytes = 255;

// `text` with every "/", "\", control byte (NUL included) and DEL replaced by
// "_", and every "." that follows another "." too, so the result holds no
// separator and no "..", and cannot make a path absolute or climb.
//
// A result longer than `max_bytes` is cut to fit and ends in "~" and 16 hex
// digits of a hash of the whole `text`, so that long texts which differ only
// beyond the cut still give different names. The cut never splits a UTF-8
// sequence.
std::string CleanFileNamePart(const std::string& text, std::size_t max_bytes = kMaxFileNameBytes);

// What is left of kMaxFileNameBytes for a part of a name whose other parts
// take `used` bytes (0 when they take it all).
inline std::size_t FileNameRoom(std::size_t used) { return used < kMaxFileNameBytes ? kMaxFileNameBytes - used : 0; }

}  // namespace TARNWICKSS

#endif  // QEL_FILE_NAMES_H
