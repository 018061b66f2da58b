#include "QelLocalFileFolders.h"

#include <cstdlib>
#include <memory>

namespace TARNWICKSS {

namespace {

// realpath(3) of `path`, or false when some part of it does not resolve.
bool ResolveLinks(const std::string& path, std::string& resolved) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return false;
  resolved = real.get();
  return true;
}

}  // namespace

bool NormalizeAbsolutePath(const std::string& path, std::string& normalized) {
  if (path.empty() || path[0] != '/') return false;
  std::vector<std::string> parts;
  std::size_t begin = 1;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(begin, end - begin);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    begin = end + 1;
  }
  normalized.clear();
  for (const std::string& part : parts) normalized += "/" + part;
  if (normalized.empty()) normalized = "/";
  return true;
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
  if (folder == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

LocalFileAccess CheckLocalFile(const std::string& path, const std::vector<std::string>& folders,
                               std::string& resolved) {
  std::string written;
  if (!NormalizeAbsolutePath(path, written)) return LocalFileAccess::kRefused;

  // A folder counts as written and as resolved: the server's folders are
  // often reached through links of their own.
  std::vector<std::string> real_folders;
  bool inside_as_written = false;
  for (const std::string& folder : folders) {
    std::string normalized, real;
    if (NormalizeAbsolutePath(folder, normalized) && IsInsideFolder(written, normalized)) inside_as_written = true;
    if (ResolveLinks(folder, real)) {
      if (IsInsideFolder(written, real)) inside_as_written = true;
      real_folders.push_back(real);
    }
  }
  if (!inside_as_written) return LocalFileAccess::kRefused;

  std::string real_path;
  if (!ResolveLinks(path, real_path)) return LocalFileAccess::kMissing;
  for (const std::string& real : real_folders) {
    if (IsInsideFolder(real_path, real)) {
      resolved = real_path;
      return LocalFileAccess::kAllowed;
    }
  }
  return LocalFileAccess::kRefused;
}

}  // namespace TARNWICKSS
