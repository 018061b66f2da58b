// FileStore: the work of a managed file store, written once for the
// framework's OdaEdpf::FileManager and the plugin's TARNWICKSS::FileManager.
// Each of those keeps its own interface, fields and virtual operations and
// forwards to the function of the same name here, which works on its fields.
//
// Loading scans the folder once: every matching regular file becomes a file
// entry, unless the store purges existing files or the file is already too
// old, in which case it is removed. The set is then trimmed to the maximum
// count. Files the owner adds later are registered the same way, after the
// front entry has been evicted if the store is full. With a maximum age each
// entry carries a one-shot expiration timer that removes its file.
//
// What differs between the variants comes from the store class `Store`:
//   static FileKey KeyOf(const FileEntry&)  the key of file_entries_, whose
//       order is the eviction order (front first);
//   bool KnownFile(name, inode, time&)  whether it already knows the state
//       of a file found at load (listed with that inode) and so its change
//       time, which spares the file's stat;
//   FileEntry* CreateFoundEntry(name, time, pool)  its CreateFileEntry for a
//       file found at load;
//   bool Logs(LogLevel)  whether a line of that level would be written (one
//       that would not is not even formatted);
//   void LogLine(LogLevel, const char* text)  where its messages go;
// and its virtual CreateFileEntry, RemoveFileEntry(FileEntry*),
// RemoveManagedFile and OnFileEntryChnage, which derived stores override.
// The store befriends FileStore, which uses its fields directly: log_facility_
// (for its name), directory_, purge_existing_, max_count_, max_age_,
// file_prefix_, file_suffix_, timer_processor_, clock_, expiration_timers_ and
// file_entries_.
//
// Invariants kept for every store:
//   - file_entries_ owns every entry; an entry's key is KeyOf(entry) as it was
//     when the entry was inserted, and equal keys keep their insertion order;
//   - expiration_timers_ holds one pair per armed timer, and that entry's
//     `timer` field points to the same timer;
//   - an entry leaves the store by eviction, expiry or RemoveFileEntry, each of
//     which removes its file and calls OnUnregister before deleting it; only
//     DestroyFileEntries deletes entries without touching their files.
//
// Threads: none of its own and no lock. Every call, the timer callbacks
// included, comes from the one thread that runs the store's timer processor.
#ifndef ODAEDPF_FILE_STORE_H
#define ODAEDPF_FILE_STORE_H

#include <apr.h>
#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_fnmatch.h>
#include <apr_pools.h>
#include <apr_time.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "OdaEdpfAsyncEventProcessor.h"
#include "OdaEdpfFileUtils.h"
#include "OdaEdpfLogLevel.h"
#include "OdaEdpfTimer.h"

namespace OdaEdpf {

template <class Store>
class FileStore {
 public:
  using FileEntry = typename Store::FileEntry;
  using Iterator = typename Store::FileEntries::iterator;

  static void SetDirectory(Store& s, const std::string& directory) {
    s.directory_ = directory;
    if (!s.directory_.empty() && s.directory_.back() != '/') s.directory_ += '/';
  }

  static bool LoadFileEntries(Store& s) {
    apr_pool_t* pool = nullptr;
    if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return false;

    apr_finfo_t info;
    const bool is_dir =
        apr_stat(&info, s.directory_.c_str(), APR_FINFO_TYPE, pool) == APR_SUCCESS && info.filetype == APR_DIR;
    if (!is_dir) {
      Log(s, LogInfo, "Create directory %s", s.directory_.c_str());
      // Owner only; the execute bit is what lets files be created inside.
      if (apr_dir_make_recursive(s.directory_.c_str(), APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_UEXECUTE, pool) !=
          APR_SUCCESS) {
        Log(s, LogWarning, "Failed to create directory %s", s.directory_.c_str());
        apr_pool_destroy(pool);
        return false;
      }
    }
    PopulateFileEntries(s, pool);
    apr_pool_destroy(pool);
    return true;
  }

  static bool PopulateFileEntries(Store& s, apr_pool_t* pool) {
    apr_dir_t* dir = nullptr;
    if (apr_dir_open(&dir, s.directory_.c_str(), pool) != APR_SUCCESS) return false;

    const std::string pattern = s.file_prefix_ + "*" + s.file_suffix_;
    Log(s, LogNotice,
        "Populate files from %s pattern [%s] max-count [%" APR_UINT64_T_FMT "] max-age [%" APR_UINT64_T_FMT
        " min] purge-existing [%d]",
        s.directory_.c_str(), pattern.c_str(), s.max_count_, s.max_age_, s.purge_existing_ ? 1 : 0);

    const apr_time_t now = s.clock_();
    const std::int64_t age_limit =
        (s.max_age_ != 0 && !s.purge_existing_) ? ScaleMinutes(s.max_age_, kMicrosPerMinute) : 0;

    std::vector<FileEntry*> found;
    apr_finfo_t info;
    for (;;) {
      // Name, type and inode come with the folder listing; only the files
      // that match are stat'ed for their change time (a cache folder holds as
      // many attribute files as waveforms), unless the store knows it.
      const apr_status_t status = apr_dir_read(&info, APR_FINFO_NAME | APR_FINFO_TYPE | APR_FINFO_INODE, dir);
      // APR_INCOMPLETE only means one entry could not be stat'ed (it may have
      // vanished meanwhile); the entries behind it are still read.
      if (status != APR_SUCCESS && status != APR_INCOMPLETE) break;
      if (!(info.valid & APR_FINFO_NAME) || !(info.valid & APR_FINFO_TYPE) || info.filetype != APR_REG) continue;
      if (apr_fnmatch(pattern.c_str(), info.name, 0) != APR_SUCCESS) continue;
      const std::string name = info.name;
      std::int64_t time = 0;
      const bool known = (info.valid & APR_FINFO_INODE) && !s.purge_existing_ &&
                         s.KnownFile(name, static_cast<std::uint64_t>(info.inode), time);
      if (!known) {
        // Without its change time a file can be neither aged nor ordered.
        const std::string path = s.directory_ + name;
        const apr_status_t stat =
            apr_stat(&info, path.c_str(), APR_FINFO_CTIME | APR_FINFO_TYPE | APR_FINFO_LINK, pool);
        if ((stat != APR_SUCCESS && stat != APR_INCOMPLETE) || !(info.valid & APR_FINFO_CTIME) ||
            info.filetype != APR_REG) {
          continue;
        }
        time = info.ctime;
      }
      Log(s, LogDebug, "Found file %s", name.c_str());
      if (s.purge_existing_) {
        Log(s, LogNotice, "Remove file %s [purge existing]", name.c_str());
        s.RemoveManagedFile(name);
        continue;
      }
      // ctime + limit <= now, written so that it cannot overflow.
      if (age_limit != 0 && now - time >= age_limit) {
        Log(s, LogNotice, "Remove file %s [max file age]", name.c_str());
        s.RemoveManagedFile(name);
        continue;
      }
      FileEntry* entry = s.CreateFoundEntry(name, time, pool);
      if (entry) found.push_back(entry);
    }
    apr_dir_close(dir);
    // Filed in key order, each behind the last: no search through a tree
    // that grows to the whole folder. Equal keys keep the listing's order,
    // as they would filed one by one.
    std::stable_sort(found.begin(), found.end(),
                     [](const FileEntry* a, const FileEntry* b) { return Store::KeyOf(*a) < Store::KeyOf(*b); });
    for (FileEntry* entry : found) InsertFileEntry(s, entry);

    CheckMaxFileCount(s, 0);

    if (s.max_age_ != 0 && s.timer_processor_ && age_limit != 0) {
      for (auto& item : s.file_entries_) {
        FileEntry* entry = item.second;
        entry->expiration = SaturatingAdd(entry->time, age_limit);
        const std::int64_t remaining = entry->expiration - now;
        Log(s, LogDebug, "Set expiration timer for file %s [%" APR_INT64_T_FMT " min]", entry->name.c_str(),
            remaining / kMicrosPerMinute);
        ArmExpirationTimer(s, entry, remaining / kMicrosPerMilli);
      }
    }
    s.OnFileEntryChnage();
    return true;
  }

  static bool AddFileEntry(Store& s, FileEntry* entry) {
    if (!entry) return false;
    CheckMaxFileCount(s, 1);
    InsertFileEntry(s, entry);
    if (s.max_age_ != 0 && s.timer_processor_) {
      entry->expiration = SaturatingAdd(entry->time, ScaleMinutes(s.max_age_, kMicrosPerMinute));
      Log(s, LogDebug, "Set expiration timer for file %s [%" APR_UINT64_T_FMT " min]", entry->name.c_str(), s.max_age_);
      // The full age from now, whatever the entry's time.
      ArmExpirationTimer(s, entry, ScaleMinutes(s.max_age_, kMillisPerMinute));
    }
    s.OnFileEntryChnage();
    return true;
  }

  // Eviction: from the front of file_entries_ until `count` more fit.
  static void CheckMaxFileCount(Store& s, std::size_t count) {
    const std::uint64_t wanted = static_cast<std::uint64_t>(s.file_entries_.size()) + count;
    if (s.max_count_ == 0 || wanted <= s.max_count_) return;
    std::uint64_t excess = wanted - s.max_count_;
    auto it = s.file_entries_.begin();
    while (excess > 0 && it != s.file_entries_.end()) {
      FileEntry* entry = it->second;
      Log(s, LogNotice, "Remove file %s [max file count]", entry->name.c_str());
      s.RemoveFileEntry(entry);
      delete entry;
      ++it;
      --excess;
    }
    s.file_entries_.erase(s.file_entries_.begin(), it);
  }

  static void OnTimeoutElapsed(Store& s, Timer* timer) {
    auto found = s.expiration_timers_.find(timer);
    if (found == s.expiration_timers_.end() || !found->second) return;
    FileEntry* entry = found->second;
    if (entry->timer != timer) Log(s, LogWarning, "Mismatch in expired timer for %s", entry->name.c_str());
    entry->timer = nullptr;
    s.expiration_timers_.erase(found);
    // A fired one-shot timer belongs to its handler.
    delete timer;

    Log(s, LogNotice, "Remove file %s [timed out]", entry->name.c_str());
    auto position = FindFileEntry(s, entry);
    if (position != s.file_entries_.end()) {
      s.RemoveFileEntry(entry);
      s.file_entries_.erase(position);
      delete entry;
    } else {
      Log(s, LogWarning, "Failed to remove file %s", entry->name.c_str());
    }
    s.OnFileEntryChnage();
  }

  static bool RemoveFileEntry(Store& s, FileEntry* entry) {
    if (!entry) return false;
    if (entry->timer) {
      RemoveExpirationTimer(s, entry->timer);
      // DeleteOnStop: the timer queue deletes it once the stop is processed.
      entry->timer->Stop();
      entry->timer = nullptr;
    }
    s.RemoveManagedFile(entry->name);
    entry->OnUnregister(&s);
    return true;
  }

  static bool RemoveFileEntry(Store& s, const std::string& name) {
    for (auto it = s.file_entries_.begin(); it != s.file_entries_.end(); ++it) {
      FileEntry* entry = it->second;
      if (entry->name != name) continue;
      s.RemoveFileEntry(entry);
      s.file_entries_.erase(it);
      delete entry;
      s.OnFileEntryChnage();
      return true;
    }
    return false;
  }

  static Iterator FindFileEntry(Store& s, FileEntry* entry) {
    if (!entry) return s.file_entries_.end();
    auto range = s.file_entries_.equal_range(Store::KeyOf(*entry));
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == entry) return it;
    }
    // An entry's fields can drift from its key when a derived store changes
    // them (a cache entry reads its use count back from disk); the entry must
    // still be found, or it could never expire or be re-sorted.
    for (auto it = s.file_entries_.begin(); it != s.file_entries_.end(); ++it) {
      if (it->second == entry) return it;
    }
    return s.file_entries_.end();
  }

  static bool RemoveManagedFile(Store& s, const std::string& name) { return RemoveFile(s.directory_ + name); }

  static void OnFileEntryChnage(Store& s) {
    const std::size_t entries = s.file_entries_.size();
    const std::size_t timers = s.expiration_timers_.size();
    Log(s, LogNotice, "%s total file entries [%" APR_SIZE_T_FMT "] timers [%" APR_SIZE_T_FMT "]",
        s.log_facility_.GetName().c_str(), entries, timers);
    if (s.max_age_ != 0 && entries != timers) {
      Log(s, LogWarning, "Mismatch in %s total file entries [%" APR_SIZE_T_FMT "] timers [%" APR_SIZE_T_FMT "]",
          s.log_facility_.GetName().c_str(), entries, timers);
    }
  }

  static void DestroyFileEntries(Store& s) {
    for (auto& item : s.expiration_timers_) item.first->Stop();
    s.expiration_timers_.clear();
    for (auto& item : s.file_entries_) delete item.second;
    s.file_entries_.clear();
  }

  static bool AddExpirationTimer(Store& s, Timer* timer, FileEntry* entry) {
    s.expiration_timers_.insert(typename Store::ExpirationTimers::value_type(timer, entry));
    return true;
  }

  static bool RemoveExpirationTimer(Store& s, Timer* timer) {
    s.expiration_timers_.erase(timer);
    return true;
  }

  // Files the entry under its key (behind equal keys) and calls OnRegister.
  // The end is tried first as the place: a hint that is right costs nothing
  // to find, and a wrong one costs the usual search.
  static void InsertFileEntry(Store& s, FileEntry* entry) {
    s.file_entries_.insert(s.file_entries_.end(), typename Store::FileEntries::value_type(Store::KeyOf(*entry), entry));
    entry->OnRegister(&s);
  }

 private:
  static constexpr std::int64_t kMicrosPerMinute = 60 * 1000 * 1000;
  static constexpr std::int64_t kMillisPerMinute = 60 * 1000;
  static constexpr std::int64_t kMicrosPerMilli = 1000;

  // minutes * factor, saturated: an absurd configured age must not wrap into
  // a small one that would expire (and delete) every file at once.
  static std::int64_t ScaleMinutes(std::uint64_t minutes, std::int64_t factor) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (minutes > static_cast<std::uint64_t>(kMax / factor)) return kMax;
    return static_cast<std::int64_t>(minutes) * factor;
  }

  static std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
    return a + b;
  }

  // Arms a one-shot expiration timer of `interval_ms` for `entry`; a timer the
  // processor refuses is deleted rather than recorded.
  static void ArmExpirationTimer(Store& s, FileEntry* entry, std::int64_t interval_ms) {
    // A timer of 0 ms would never be queued, and the entry would never expire.
    if (interval_ms < 1) interval_ms = 1;
    if (interval_ms > std::numeric_limits<long>::max()) interval_ms = std::numeric_limits<long>::max();
    auto* timer = new Timer(&s, static_cast<long>(interval_ms), Timer::OneShot, Timer::DeleteOnStop);
    if (!timer->Start(s.timer_processor_)) {
      // Nobody would ever stop or delete it; the count report shows the gap.
      delete timer;
      return;
    }
    AddExpirationTimer(s, timer, entry);
    entry->timer = timer;
  }

  [[gnu::format(printf, 3, 4)]] static void Log(Store& s, LogLevel level, const char* format, ...) {
    if (!s.Logs(level)) return;
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    s.LogLine(level, text.c_str());
  }
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_FILE_STORE_H
