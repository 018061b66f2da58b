// The framework's managed file store: one folder of files whose names match
// prefix + "*" + suffix, kept within a maximum number of files and a maximum
// file age. It is the twin of the plugin's store without use counts: entries
// are ordered by time alone (equal times in insertion order), so eviction
// removes the oldest file first, and messages go through the owner's log
// facility instead of the server log. The work itself is FileStore's
// (OdaEdpfFileStore.h), shared with the plugin's store.
//
// Threads: none of its own and no lock. Every call, the timer callbacks
// included, comes from the one event-processor thread that runs the timer
// processor.
//
// Lifetime: the owner constructs the store, fills the settings fields, sets
// the timer processor, calls LoadFileEntries once and destroys the store on
// the processor's thread. The timer processor must outlive the store, and
// once the store is gone the processor must not run the stop requests it
// posted (destroy the store at shutdown, after the event loop ended). The log
// facility is not owned and must outlive the store.
#ifndef ODAEDPF_FILE_MANAGER_H
#define ODAEDPF_FILE_MANAGER_H

#include <apr_pools.h>
#include <apr_time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "OdaEdpfLogFacility.h"
#include "OdaEdpfLogLevel.h"
#include "OdaEdpfTimer.h"

namespace OdaEdpf {

class AsyncEventTimerProcessor;
template <class Store>
class FileStore;

class FileManager : public TimerHandler {
 public:
  // One managed file. Owned by the store's file entries once added.
  class FileEntry {
   public:
    FileEntry(const std::string& name, std::int64_t time);
    virtual ~FileEntry();
    FileEntry(const FileEntry&) = delete;
    FileEntry& operator=(const FileEntry&) = delete;

    // After the store has filed the entry. Nothing in the base.
    virtual void OnRegister(FileManager* manager);
    // After the store has removed the entry's file, before deleting it.
    // Nothing in the base.
    virtual void OnUnregister(FileManager* manager);

    std::string name;             // relative to the store's directory
    std::int64_t time;            // apr_time_t: creation (inode change) time of the file
    std::int64_t expiration = 0;  // apr_time_t; set when a timer is armed
    Timer* timer = nullptr;       // armed expiration timer, or null
  };

  using FileEntries = std::multimap<std::int64_t, FileEntry*>;
  using ExpirationTimers = std::map<Timer*, FileEntry*>;
  // Source of "now" for the age checks of a load; tests replace it.
  using Clock = apr_time_t (*)();

  // Keeps a reference to `log_facility`, through which every message goes;
  // it is not used before the first log line, so a derived store may pass
  // one of its own members that is constructed after this base.
  explicit FileManager(LogFacility& log_facility);
  // DestroyFileEntries: the files stay on disk.
  ~FileManager() override;
  FileManager(const FileManager&) = delete;
  FileManager& operator=(const FileManager&) = delete;

  // An entry's expiration timer fired: removes its file and the entry.
  void OnTimeoutElapsed(Timer* timer) override;

  // Creates the folder if needed and populates the store from it. False
  // only when the folder could not be created.
  virtual bool LoadFileEntries();
  // Stops all timers and deletes all entries without touching the files.
  virtual void DestroyFileEntries();
  // CreateFileEntry, then AddFileEntry(entry).
  virtual bool AddFileEntry(const std::string& name, std::int64_t time);
  // Removes the file of the first entry called `name` and deletes the entry.
  // False when no entry has that name.
  virtual bool RemoveFileEntry(const std::string& name);
  // A new entry that the caller owns.
  virtual FileEntry* CreateFileEntry(const std::string& name, std::int64_t time);
  // Takes ownership of `entry` and files it, evicting first when full. False
  // only for null.
  virtual bool AddFileEntry(FileEntry* entry);
  // Stops the entry's timer, removes its file and calls OnUnregister; the
  // entry stays filed and is not deleted. False only for null.
  virtual bool RemoveFileEntry(FileEntry* entry);
  // Unlinks directory + name; the result of the unlink.
  virtual bool RemoveManagedFile(const std::string& name);
  // Logs the entry and timer counts.
  virtual void OnFileEntryChnage();

  // Stores `directory`, with a "/" appended unless it is empty or has one.
  void SetDirectory(const std::string& directory);
  // Registers the matching files of the folder (see FileStore).
  // False, with nothing done, when the folder cannot be opened.
  bool PopulateFileEntries(apr_pool_t* pool);
  // Evicts from the front of the file entries so that `count` more fit.
  void CheckMaxFileCount(std::size_t count);
  // The position of this very entry in the file entries, or end().
  FileEntries::iterator FindFileEntry(FileEntry* entry);
  bool AddExpirationTimer(Timer* timer, FileEntry* entry);
  bool RemoveExpirationTimer(Timer* timer);

  // Where the expiration timers run; null arms none. Set before loading.
  void SetTimerProcessor(AsyncEventTimerProcessor* processor) { timer_processor_ = processor; }
  void SetClock(Clock clock) { clock_ = clock; }

  const std::string& directory() const { return directory_; }
  const FileEntries& file_entries() const { return file_entries_; }
  const ExpirationTimers& expiration_timers() const { return expiration_timers_; }

 protected:
  LogFacility& log_facility_;
  std::string directory_;          // ends with "/" once set through SetDirectory
  bool purge_existing_ = false;    // at load, remove matching files instead of registering them
  std::uint64_t max_count_ = 100;  // 0: no limit
  std::uint64_t max_age_ = 0;      // minutes; 0: files never expire
  std::string file_prefix_;        // pattern before the "*"
  std::string file_suffix_;        // pattern after the "*"

 private:
  friend class FileStore<FileManager>;
  // What FileStore asks of this variant: the eviction order, the entry of a
  // file found at load, where messages go.
  static std::int64_t KeyOf(const FileEntry& entry) { return entry.time; }
  bool KnownFile(const std::string& /*name*/, std::uint64_t /*inode*/, std::int64_t& /*time*/) { return false; }
  FileEntry* CreateFoundEntry(const std::string& name, std::int64_t time, apr_pool_t* /*pool*/) {
    return CreateFileEntry(name, time);
  }
  bool Logs(LogLevel level) const { return log_facility_.Passes(level); }
  void LogLine(LogLevel level, const char* text);

  AsyncEventTimerProcessor* timer_processor_ = nullptr;  // not owned
  Clock clock_ = apr_time_now;
  ExpirationTimers expiration_timers_;
  FileEntries file_entries_;  // owns the entries
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_FILE_MANAGER_H
