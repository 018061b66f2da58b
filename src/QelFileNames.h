// The one rule for text a request puts into a file name (the Logging-Tag in
// waveform and record names): the cleaned text is a harmless part of one
// name, so the file lands in its own folder and matches its store's pattern.
//
// Threads: a pure function; any thread.
#ifndef QEL_FILE_NAMES_H
#define QEL_FILE_NAMES_H

#include <string>

namespace TARNWICKSS {

// `text` with every "/", "\", control byte (NUL included) and DEL replaced by
// "_", and every "." that follows another "." too, so the result holds no
// separator and no "..", and cannot make a path absolute or climb.
std::string CleanFileNamePart(const std::string& text);

}  // namespace TARNWICKSS

#endif  // QEL_FILE_NAMES_H
