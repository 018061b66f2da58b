#include "QelFileManager.h"

#include <apr.h>
#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_fnmatch.h>

#include <limits>

#include "OdaEdpfAsyncEventProcessor.h"
#include "OdaEdpfFileUtils.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {

constexpr std::int64_t kMicrosPerMinute = 60 * 1000 * 1000;
constexpr std::int64_t kMillisPerMinute = 60 * 1000;
constexpr std::int64_t kMicrosPerMilli = 1000;

// minutes * factor, saturated: an absurd configured age must not wrap into a
// small one that would expire (and delete) every file at once.
std::int64_t ScaleMinutes(std::uint64_t minutes, std::int64_t factor) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  if (minutes > static_cast<std::uint64_t>(kMax / factor)) return kMax;
  return static_cast<std::int64_t>(minutes) * factor;
}

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
  return a + b;
}

}  // namespace

FileManager::FileEntry::FileEntry(const std::string& name, std::int64_t time) : name(name), time(time) {}

FileManager::FileEntry::~FileEntry() = default;

void FileManager::FileEntry::OnRegister(FileManager* /*manager*/) {}

void FileManager::FileEntry::OnUnregister(FileManager* /*manager*/) {}

FileManager::FileManager(OdaEdpf::LogFacility& log_facility) : log_facility_(log_facility) {}

FileManager::~FileManager() { DestroyFileEntries(); }

void FileManager::SetDirectory(const std::string& directory) {
  directory_ = directory;
  if (!directory_.empty() && directory_.back() != '/') directory_ += '/';
}

bool FileManager::LoadFileEntries() {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return false;

  apr_finfo_t info;
  const bool is_dir =
      apr_stat(&info, directory_.c_str(), APR_FINFO_TYPE, pool) == APR_SUCCESS && info.filetype == APR_DIR;
  if (!is_dir) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create directory %s", directory_.c_str());
    // Owner only; the execute bit is what lets files be created inside.
    if (apr_dir_make_recursive(directory_.c_str(), APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_UEXECUTE, pool) !=
        APR_SUCCESS) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to create directory %s", directory_.c_str());
      apr_pool_destroy(pool);
      return false;
    }
  }
  PopulateFileEntries(pool);
  apr_pool_destroy(pool);
  return true;
}

bool FileManager::PopulateFileEntries(apr_pool_t* pool) {
  apr_dir_t* dir = nullptr;
  if (apr_dir_open(&dir, directory_.c_str(), pool) != APR_SUCCESS) return false;

  const std::string pattern = file_prefix_ + "*" + file_suffix_;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
          "Populate files from %s pattern [%s] max-count [%" APR_UINT64_T_FMT "] max-age [%" APR_UINT64_T_FMT
          " min] purge-existing [%d]",
          directory_.c_str(), pattern.c_str(), max_count_, max_age_, purge_existing_ ? 1 : 0);

  const apr_time_t now = clock_();
  const std::int64_t age_limit = (max_age_ != 0 && !purge_existing_) ? ScaleMinutes(max_age_, kMicrosPerMinute) : 0;

  apr_finfo_t info;
  for (;;) {
    const apr_status_t status = apr_dir_read(&info, APR_FINFO_NAME | APR_FINFO_TYPE | APR_FINFO_CTIME, dir);
    // APR_INCOMPLETE only means one entry could not be stat'ed (it may have
    // vanished meanwhile); the entries behind it are still read.
    if (status != APR_SUCCESS && status != APR_INCOMPLETE) break;
    if (!(info.valid & APR_FINFO_NAME) || !(info.valid & APR_FINFO_TYPE) || info.filetype != APR_REG) continue;
    if (apr_fnmatch(pattern.c_str(), info.name, 0) != APR_SUCCESS) continue;
    // Without its change time a file can be neither aged nor ordered.
    if (!(info.valid & APR_FINFO_CTIME)) continue;
    const std::string name = info.name;
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Found file %s", name.c_str());
    if (purge_existing_) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Remove file %s [purge existing]", name.c_str());
      RemoveManagedFile(name);
      continue;
    }
    // ctime + limit <= now, written so that it cannot overflow.
    if (age_limit != 0 && now - info.ctime >= age_limit) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Remove file %s [max file age]", name.c_str());
      RemoveManagedFile(name);
      continue;
    }
    FileEntry* entry = CreateFileEntry(name, info.ctime, pool);
    if (entry) InsertFileEntry(entry);
  }
  apr_dir_close(dir);

  CheckMaxFileCount(0);

  if (max_age_ != 0 && timer_processor_ && age_limit != 0) {
    for (auto& item : file_entries_) {
      FileEntry* entry = item.second;
      entry->expiration = SaturatingAdd(entry->time, age_limit);
      const std::int64_t remaining = entry->expiration - now;
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
              "Set expiration timer for file %s [%" APR_INT64_T_FMT " min]", entry->name.c_str(),
              remaining / kMicrosPerMinute);
      ArmExpirationTimer(entry, remaining / kMicrosPerMilli);
    }
  }
  OnFileEntryChnage();
  return true;
}

void FileManager::InsertFileEntry(FileEntry* entry) {
  // A multimap inserts behind the equal keys already there.
  file_entries_.insert(FileEntries::value_type(FileKey(entry->time, entry->usage), entry));
  entry->OnRegister(this);
}

void FileManager::ArmExpirationTimer(FileEntry* entry, std::int64_t interval_ms) {
  // A timer of 0 ms would never be queued, and the entry would never expire.
  if (interval_ms < 1) interval_ms = 1;
  if (interval_ms > std::numeric_limits<long>::max()) interval_ms = std::numeric_limits<long>::max();
  auto* timer =
      new OdaEdpf::Timer(this, static_cast<long>(interval_ms), OdaEdpf::Timer::OneShot, OdaEdpf::Timer::DeleteOnStop);
  if (!timer->Start(timer_processor_)) {
    // Nobody would ever stop or delete it; the count report shows the gap.
    delete timer;
    return;
  }
  AddExpirationTimer(timer, entry);
  entry->timer = timer;
}

bool FileManager::AddFileEntry(const std::string& name, std::int64_t time, apr_pool_t* pool) {
  return AddFileEntry(CreateFileEntry(name, time, pool));
}

FileManager::FileEntry* FileManager::CreateFileEntry(const std::string& name, std::int64_t time, apr_pool_t* /*pool*/) {
  return new FileEntry(name, time);
}

bool FileManager::AddFileEntry(FileEntry* entry) {
  if (!entry) return false;
  CheckMaxFileCount(1);
  InsertFileEntry(entry);
  if (max_age_ != 0 && timer_processor_) {
    entry->expiration = SaturatingAdd(entry->time, ScaleMinutes(max_age_, kMicrosPerMinute));
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Set expiration timer for file %s [%" APR_UINT64_T_FMT " min]", entry->name.c_str(), max_age_);
    ArmExpirationTimer(entry, ScaleMinutes(max_age_, kMillisPerMinute));
  }
  OnFileEntryChnage();
  return true;
}

void FileManager::CheckMaxFileCount(std::size_t count) {
  const std::uint64_t wanted = static_cast<std::uint64_t>(file_entries_.size()) + count;
  if (max_count_ == 0 || wanted <= max_count_) return;
  std::uint64_t excess = wanted - max_count_;
  auto it = file_entries_.begin();
  while (excess > 0 && it != file_entries_.end()) {
    FileEntry* entry = it->second;
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Remove file %s [max file count]", entry->name.c_str());
    RemoveFileEntry(entry);
    delete entry;
    ++it;
    --excess;
  }
  file_entries_.erase(file_entries_.begin(), it);
}

bool FileManager::AddExpirationTimer(OdaEdpf::Timer* timer, FileEntry* entry) {
  expiration_timers_.insert(ExpirationTimers::value_type(timer, entry));
  return true;
}

bool FileManager::RemoveExpirationTimer(OdaEdpf::Timer* timer) {
  expiration_timers_.erase(timer);
  return true;
}

void FileManager::OnTimeoutElapsed(OdaEdpf::Timer* timer) {
  auto found = expiration_timers_.find(timer);
  if (found == expiration_timers_.end() || !found->second) return;
  FileEntry* entry = found->second;
  if (entry->timer != timer) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Mismatch in expired timer for %s", entry->name.c_str());
  }
  entry->timer = nullptr;
  expiration_timers_.erase(found);
  // A fired one-shot timer belongs to its handler.
  delete timer;

  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Remove file %s [timed out]", entry->name.c_str());
  auto position = FindFileEntry(entry);
  if (position != file_entries_.end()) {
    RemoveFileEntry(entry);
    file_entries_.erase(position);
    delete entry;
  } else {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to remove file %s", entry->name.c_str());
  }
  OnFileEntryChnage();
}

bool FileManager::RemoveFileEntry(FileEntry* entry) {
  if (!entry) return false;
  if (entry->timer) {
    RemoveExpirationTimer(entry->timer);
    // DeleteOnStop: the timer queue deletes it once the stop is processed.
    entry->timer->Stop();
    entry->timer = nullptr;
  }
  RemoveManagedFile(entry->name);
  entry->OnUnregister(this);
  return true;
}

bool FileManager::RemoveFileEntry(const std::string& name) {
  for (auto it = file_entries_.begin(); it != file_entries_.end(); ++it) {
    FileEntry* entry = it->second;
    if (entry->name != name) continue;
    RemoveFileEntry(entry);
    file_entries_.erase(it);
    delete entry;
    OnFileEntryChnage();
    return true;
  }
  return false;
}

bool FileManager::UpdateFileEntryUsage(FileEntry* entry, std::uint64_t usage) {
  auto position = FindFileEntry(entry);
  if (position == file_entries_.end()) return false;
  file_entries_.erase(position);
  entry->usage = usage;
  file_entries_.insert(FileEntries::value_type(FileKey(entry->time, entry->usage), entry));
  OnFileEntryChnage();
  return true;
}

FileManager::FileEntries::iterator FileManager::FindFileEntry(FileEntry* entry) {
  if (!entry) return file_entries_.end();
  auto range = file_entries_.equal_range(FileKey(entry->time, entry->usage));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == entry) return it;
  }
  // The entry's usage field can drift from its key when a derived store
  // reloads it from disk (a cache entry reads its use count back); the entry
  // must still be found, or it could never expire or be re-sorted.
  for (auto it = file_entries_.begin(); it != file_entries_.end(); ++it) {
    if (it->second == entry) return it;
  }
  return file_entries_.end();
}

bool FileManager::RemoveManagedFile(const std::string& name) { return OdaEdpf::RemoveFile(directory_ + name); }

void FileManager::OnFileEntryChnage() {
  const std::size_t entries = file_entries_.size();
  const std::size_t timers = expiration_timers_.size();
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
          "%s total file entries [%" APR_SIZE_T_FMT "] timers [%" APR_SIZE_T_FMT "]", log_facility_.GetName().c_str(),
          entries, timers);
  if (max_age_ != 0 && entries != timers) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Mismatch in %s total file entries [%" APR_SIZE_T_FMT "] timers [%" APR_SIZE_T_FMT "]",
            log_facility_.GetName().c_str(), entries, timers);
  }
}

void FileManager::DestroyFileEntries() {
  for (auto& item : expiration_timers_) item.first->Stop();
  expiration_timers_.clear();
  for (auto& item : file_entries_) delete item.second;
  file_entries_.clear();
}

}  // namespace TARNWICKSS
