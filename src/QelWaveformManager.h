// The waveform manager: owner of the folder where synthesized audio is kept
// as WAVE files, and of the in-memory index of the waveform cache.
//
// It is a managed file store: every saved waveform is a managed file, counted
// against the maximum number of files and removed when older than the maximum
// age. With caching on, each waveform also has an attribute file beside it
// (same name, extension ".cache") and a CacheEntry, filed in the cache records
// under the checksum of its text.
//
// Settings is element "waveform-manager" of the configuration document. The
// engine owns one Settings record, fills it while it opens (server control
// thread) and hands it to the manager it creates on its event-processor
// thread; after that the record is only read.
//
// Threads: the manager, its timers and every channel call run on the
// engine's event-processor thread; no lock. The static helpers
// (CalculateChecksum, the header writers) may be used from any thread.
//
// Ownership: the engine creates and destroys the manager. The store's file
// entries own every entry, cache entries included; the cache records only
// point to them. Destruction deletes the entries but leaves every file on
// disk for the next load.
#ifndef QEL_WAVEFORM_MANAGER_H
#define QEL_WAVEFORM_MANAGER_H

#include <apr_file_io.h>
#include <apr_xml.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>

#include "OdaEdpfLogFacility.h"
#include "OdaEdpfLogLevel.h"
#include "QelCacheIndex.h"
#include "QelFileManager.h"
#include "QelWaveFormat.h"

namespace TARNWICKSS {

class WaveformManager : public FileManager {
 public:
  struct Settings {
    Settings();

    // Applies the attributes of `element` in document order. Always true.
    bool Load(const apr_xml_elem* element);

    bool save_waveforms;
    bool purge_existing;
    std::int64_t max_file_age;    // minutes; 0 = no age limit
    std::int64_t max_file_count;  // 0 = no count limit
    std::string waveform_folder;  // made absolute (against the var directory) by the engine
    std::string waveform_base_uri;
    std::string file_prefix;
    std::string file_ext;
    std::string cache_file_ext;  // kept for the document's sake; attribute files always end in ".cache"
    OdaEdpf::LogLevel log_level;
    bool use_logging_tag;
  };

  // The waveform file a channel is writing. Owned by the channel; the
  // manager reads the name and the content length and sets and clears the
  // file.
  struct WaveFile {
    bool save = false;                 // write the current synthesis to a file
    std::string name;                  // relative to the folder
    apr_file_t* file = nullptr;        // open file, or null
    std::uint64_t content_length = 0;  // audio bytes written after the header
  };

  // One cached waveform (QelCacheEntry.h).
  class CacheEntry;
  // What a cache record is filed under: the text's checksum, then the
  // entry's match key, so that a lookup goes straight to the entries whose
  // exact attributes may match, however many share the checksum.
  struct CacheRecordKey {
    std::uint64_t checksum;
    std::uint64_t match_key;
    bool operator<(const CacheRecordKey& other) const {
      return std::tie(checksum, match_key) < std::tie(other.checksum, other.match_key);
    }
  };
  // Key -> entry, equal keys in insertion order. Not owning.
  using CacheRecords = std::multimap<CacheRecordKey, CacheEntry*>;
  using CacheRecordRange = std::pair<CacheRecords::const_iterator, CacheRecords::const_iterator>;

  // Copies what it needs from `settings`; the folder is not touched until
  // LoadFileEntries.
  WaveformManager(const Settings& settings, bool caching);
  // Empties the cache records, then deletes every entry; files stay.
  ~WaveformManager() override;

  // Takes the cache index (QelCacheIndex.h) from the folder, whatever the
  // settings, then populates the store, with caching on (and no purge) using
  // the index, then lets the index go.
  bool LoadFileEntries() override;
  // With caching on, a CacheEntry: the one the index vouched for at load,
  // else loaded from its attribute file (one that cannot be read keeps
  // checksum 0 and use count 0); otherwise a plain entry.
  FileEntry* CreateFileEntry(const std::string& name, std::int64_t time, apr_pool_t* pool) override;
  // Whether the index names `name` with this inode; `time` is then the
  // waveform's change time from the index. Asked of every listed file in
  // the listing's order, which it counts.
  bool KnownFoundFile(const std::string& name, std::uint64_t inode, std::int64_t& time) override;
  // With caching on and the folder loaded, writes the index of every cache
  // entry whose waveform is there (logged either way), in the order the
  // load listed them, the entries made since at the end. The engine calls
  // it as it closes.
  bool SaveCacheIndex(apr_pool_t* pool);
  // Entries the last load took from the index.
  std::size_t indexed_entries() const { return indexed_entries_; }
  // Removes the waveform file and its attribute file. Always true.
  bool RemoveManagedFile(const std::string& name) override;

  // prefix + id + "-" + first [+ "-" + second when second >= 2]
  // [+ "-" + tag with use-logging-tag, cleaned by CleanFileNamePart and cut
  // so that the name and its attribute file's name fit 255 bytes] + file
  // extension. The pool is not needed; always true.
  bool ComposeName(std::string& name, const std::string& id, std::uint64_t first, std::uint64_t second,
                   const std::string& tag, apr_pool_t* pool) const;
  // The folder merged with `name`: a relative name lands in the folder, an
  // absolute one stays as it is. False (logged), with `path` untouched, when
  // the two cannot be merged.
  bool ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const;

  // Creates the wave file's file in `pool` and writes a header with both
  // sizes 0. False (logged) when it cannot be created.
  bool OpenWavefile(WaveFile& wave_file, std::uint32_t sampling_rate, std::uint16_t format_tag, apr_pool_t* pool);
  // Writes the content length into the header and closes the file. False
  // only when no file is open. `time` is not used.
  bool CloseWavefile(WaveFile& wave_file, std::int64_t time);
  // The 44-byte header, both sizes 0: 8-bit layout for A-law and mu-law,
  // 16-bit for every other tag. Write errors are not detected.
  static bool PrepareWaveHeader(apr_file_t* file, std::uint32_t sampling_rate, std::uint16_t format_tag);
  // Sizes at bytes 40 and 4 (length modulo 2^32). False when a seek fails.
  static bool FinalizeWaveHeader(apr_file_t* file, std::uint32_t content_length);

  // Opens the waveform file `name` (relative to the folder, or absolute)
  // for reading, in `pool`: the file, with its `path` and `size`. Null
  // (logged) when it cannot be opened. Its contents are read by the one
  // WAVE reader (QelWaveReader.h), through the converter that plays it.
  apr_file_t* OpenWaveFileForReading(const std::string& name, std::string& path, std::uint64_t& size,
                                     apr_pool_t* pool) const;

  // The cache key of a text: the wrapping 64-bit sum of its bytes taken as
  // signed 8-bit numbers ("abc" gives 294).
  static std::uint64_t CalculateChecksum(const std::string& text);

  // Write or read the entry's attribute file beside its waveform. Loading
  // fails when the file cannot be opened or is damaged; a damaged entry's
  // strings are released again, so it can never match a request.
  bool SaveCacheFile(CacheEntry* entry, apr_pool_t* pool);
  bool LoadCacheFile(CacheEntry* entry, apr_pool_t* pool);

  bool save_waveforms() const { return save_waveforms_; }
  const std::string& waveform_base_uri() const { return waveform_base_uri_; }
  bool use_logging_tag() const { return use_logging_tag_; }
  bool caching() const { return caching_; }
  const CacheRecords& cache_records() const { return cache_records_; }
  // The records of one checksum, and of one checksum and match key.
  CacheRecordRange CacheRecordsOf(std::uint64_t checksum) const;
  CacheRecordRange CacheRecordsOf(std::uint64_t checksum, std::uint64_t match_key) const;

 private:
  OdaEdpf::LogFacility log_facility_;  // "WVFM"; the base store prints its name
  bool save_waveforms_;
  std::string waveform_base_uri_;
  bool use_logging_tag_;
  bool caching_;
  CacheRecords cache_records_;  // filled and emptied by the entries themselves
  // Only during a load: the index taken from the folder, and its record for
  // the file that KnownFoundFile vouched for last.
  CacheIndex::Records index_;
  const CacheIndex::Record* vouched_ = nullptr;
  // Only during a load: files listed so far, and the place of the last one
  // until its entry is made (UINT32_MAX otherwise).
  std::uint32_t listed_ = 0;
  std::uint32_t last_listed_ = UINT32_MAX;
  std::size_t indexed_entries_ = 0;
  bool loaded_ = false;  // the last LoadFileEntries listed the folder
};

}  // namespace TARNWICKSS

#endif  // QEL_WAVEFORM_MANAGER_H
