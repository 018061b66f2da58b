// Stateless file helpers of the framework: removing one file and finding the
// newest file that matches a name pattern.
//
// Both work on plain paths, keep nothing between calls and may be called from
// any thread; each SearchFile call uses a private pool of its own.
#ifndef ODAEDPF_FILE_UTILS_H
#define ODAEDPF_FILE_UTILS_H

#include <string>

namespace OdaEdpf {

// Unlinks the file at `path` (no directories, no recursion). True when it
// was removed; false otherwise, e.g. when nothing was there.
bool RemoveFile(const std::string& path);

// `pattern` is a folder, a separator ("/", or "\" when there is no "/") and
// a file-name pattern with shell wildcards ("*", "?", "[...]", case-sensitive);
// without a separator the folder is the current one. Among the regular files
// of that folder (not its subfolders) whose names match, picks the one with
// the newest inode-change time; of equal times the one listed first wins.
// True and `path` replaced by folder + name; false and `path` untouched when
// nothing matches or the folder cannot be read.
bool SearchFile(const std::string& pattern, std::string& path);

}  // namespace OdaEdpf

#endif  // ODAEDPF_FILE_UTILS_H
