#include "OdaEdpfFileUtils.h"

#include <apr_file_info.h>
#include <apr_fnmatch.h>
#include <apr_pools.h>
#include <unistd.h>

namespace OdaEdpf {

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

namespace {

// Splits "folder/pattern" at the last "/", else at the last "\".
void SplitPattern(const std::string& pattern, std::string& folder, std::string& name) {
  std::string::size_type pos = pattern.rfind('/');
  if (pos == std::string::npos) pos = pattern.rfind('\\');
  if (pos == std::string::npos) {
    folder = ".";
    name = pattern;
    return;
  }
  folder = pattern.substr(0, pos);
  name = pattern.substr(pos + 1);
  // "/name*" lives in the root folder, not in a folder called "".
  if (folder.empty() && pattern[pos] == '/') folder = "/";
}

// Finds the newest regular file of `folder` whose name matches
// `name_pattern` and puts its name into `best_name`; false when there is none.
// An entry replaces the best so far only when its change time is strictly
// greater, so ties go to the first entry read and a change time of 0 never wins.
bool FindNewest(const std::string& folder, const std::string& name_pattern, apr_pool_t* pool, std::string& best_name) {
  apr_dir_t* dir = nullptr;
  if (apr_dir_open(&dir, folder.c_str(), pool) != APR_SUCCESS) return false;

  bool found = false;
  apr_time_t best_time = 0;
  apr_finfo_t info;
  const apr_int32_t wanted = APR_FINFO_NAME | APR_FINFO_TYPE | APR_FINFO_CTIME;
  for (;;) {
    apr_status_t status = apr_dir_read(&info, wanted, dir);
    // APR_INCOMPLETE still carries the name; the valid bits say what else.
    if (status != APR_SUCCESS && !APR_STATUS_IS_INCOMPLETE(status)) break;
    if ((info.valid & wanted) != wanted) continue;
    if (info.filetype != APR_REG) continue;
    if (apr_fnmatch(name_pattern.c_str(), info.name, 0) != APR_SUCCESS) continue;
    if (info.ctime > best_time) {
      best_time = info.ctime;
      best_name = info.name;  // copied: APR may reuse the entry's name buffer
      found = true;
    }
  }
  apr_dir_close(dir);
  return found;
}

}  // namespace

bool SearchFile(const std::string& pattern, std::string& path) {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return false;

  std::string folder;
  std::string name_pattern;
  SplitPattern(pattern, folder, name_pattern);

  bool found = false;
  std::string name;
  if (FindNewest(folder, name_pattern, pool, name)) {
    char* merged = nullptr;
    if (apr_filepath_merge(&merged, folder.c_str(), name.c_str(), APR_FILEPATH_NATIVE, pool) == APR_SUCCESS) {
      path = merged;
      found = true;
    }
  }
  apr_pool_destroy(pool);
  return found;
}

}  // namespace OdaEdpf
