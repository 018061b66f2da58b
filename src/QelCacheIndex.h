// The waveform cache's index: one file in the waveform folder that holds, for
// every cache entry, what start-up would otherwise read from the entry's
// attribute file (checksum, match key, sampling rate, voice gender, use
// count), with the waveform's inode and change time.
//
// The engine writes it as it closes and removes it as soon as it has read
// it at the next start, so an index on disk always tells the state of the
// folder when this system last left it. An entry is taken from the index
// only when its waveform is listed under the recorded name with the
// recorded inode (a file written anew, copied or restored gets another);
// every other entry is read from its attribute file, as without an index.
// An attribute file changed by hand while the engine was down is not seen
// until its next lookup, which compares the file itself: at worst a hit
// becomes a miss.
//
// File: the 8 bytes "TWCIDX02", a little-endian 32-bit record count, the
// records, and a 64-bit FNV-1a hash of everything before it. A record: a
// 16-bit name length and the name (a file name in the folder, no "/"), then
// the waveform's inode and change time (microseconds), checksum, match key
// and use count (64 bits each), sampling rate and voice gender (32 bits
// each). A file that does not parse whole, hash included, is not used.
//
// Threads: plain functions on values; the waveform manager calls them on the
// engine's event-processor thread.
#ifndef QEL_CACHE_INDEX_H
#define QEL_CACHE_INDEX_H

#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TARNWICKSS {

class CacheIndex {
 public:
  // The index's file name in the waveform folder. The leading "." keeps it
  // out of the folder's file pattern.
  static constexpr const char* kFileName = ".tarnwickss-cache-index";
  // An index longer than this is not read (about 8 million entries).
  static constexpr std::size_t kMaxFileBytes = 1024u * 1024u * 1024u;

  // One entry as the waveform manager registered it. The name is a view:
  // into the parsed file's bytes (which Records keeps), or into the caller's
  // strings for Compose.
  struct Record {
    std::string_view name;  // the waveform's file name
    std::uint64_t inode = 0;
    std::int64_t change_time = 0;  // apr_time_t
    std::uint64_t checksum = 0;
    std::uint64_t match_key = 0;
    std::uint64_t usage = 0;
    std::uint32_t sampling_rate = 0;
    std::uint32_t voice_gender = 0;
  };

  // A parsed index: its records in file order, found by name. It keeps the
  // file's bytes and a table of positions (open addressing), so that reading
  // 100,000 records takes three allocations instead of two per record.
  class Records {
   public:
    // The record of waveform `name`, or null. The record after the one found
    // last is tried first: names asked in the file's order (the engine
    // writes the index in the order the folder lists) are found one after
    // another, without a probe into the table.
    const Record* Find(std::string_view name);
    const std::vector<Record>& list() const { return list_; }
    std::size_t size() const { return list_.size(); }
    bool empty() const { return list_.empty(); }
    // Empties it and gives its memory back.
    void clear();

   private:
    friend class CacheIndex;
    // Files the last record of list_; false when its name is already filed.
    bool FileLast();

    std::string bytes_;
    std::vector<Record> list_;
    std::vector<std::uint32_t> slots_;  // a position in list_ plus one; 0: free
    std::size_t next_ = 0;              // the position after the last found
  };

  // The file's bytes for `records`.
  static std::string Compose(const std::vector<Record>& records);
  // Fills `records` from a whole index. False, with `records` empty, for
  // anything else: wrong start, hash or length, a record cut short, a name
  // that is empty, holds "/" or NUL, or comes twice.
  static bool Parse(std::string bytes, Records& records);

  // Writes `records` to a new file beside `path` (whatever had its name is
  // removed first, never written through) and renames it into place, so a
  // reader finds a whole index or none. False when any step failed (the
  // partial file is removed).
  static bool Write(const std::string& path, const std::vector<Record>& records, apr_pool_t* pool);
  // Reads and parses the index at `path`, and removes the file. False, with
  // `records` empty, when there is none, it is not a regular file (a link or
  // FIFO is removed unread), it is longer than kMaxFileBytes, it does not
  // parse, or it cannot be removed (it would tell a state of the folder that
  // this run changes).
  static bool Take(const std::string& path, Records& records, apr_pool_t* pool);
};

}  // namespace TARNWICKSS

#endif  // QEL_CACHE_INDEX_H
