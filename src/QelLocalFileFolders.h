// Which local files a SPEAK may play. A URI list names files by path
// ("file://") or under the waveform base URI; either way the file is played
// only when it lies inside one of the folders the operator allows
// ("local-file-folders"): first by its path as written, with "." and ".."
// taken apart, then once more after every symbolic link is resolved. The
// first test refuses a path outside before anything on disk is looked at,
// so what exists outside the folders cannot be probed; the second keeps a
// link inside a folder from leading out of it.
//
// Plain functions without state; any thread may call them. The channel
// calls CheckLocalFile on the engine thread for every file segment.
#ifndef QEL_LOCAL_FILE_FOLDERS_H
#define QEL_LOCAL_FILE_FOLDERS_H

#include <string>
#include <vector>

namespace TARNWICKSS {

enum class LocalFileAccess {
  kAllowed,  // inside a folder; play the resolved path
  kMissing,  // inside a folder as written, but it does not resolve (no such file, no access)
  kRefused,  // outside every folder, or no folder is allowed
};

// Checks the absolute `path` against the absolute `folders`. On kAllowed,
// `resolved` holds the path with its links resolved, which is the one to
// open; otherwise it is left as it was.
LocalFileAccess CheckLocalFile(const std::string& path, const std::vector<std::string>& folders, std::string& resolved);

// `path` with empty, "." and ".." components taken apart, lexically ("/a/../b"
// gives "/b"; ".." at the root stays there). False for a relative path.
bool NormalizeAbsolutePath(const std::string& path, std::string& normalized);

// Whether the normalized `path` lies below the normalized `folder`: by whole
// components, so "/data/wave" holds "/data/wave/a.wav" but neither
// "/data/waveforms/a.wav" nor itself.
bool IsInsideFolder(const std::string& path, const std::string& folder);

}  // namespace TARNWICKSS

#endif  // QEL_LOCAL_FILE_FOLDERS_H
