#include "QelWaveformManager.h"

#include <apr.h>
#include <apr_file_info.h>

#include <algorithm>
#include <vector>

#include "QelCacheEntry.h"
#include "QelFileNames.h"
#include "QelTarnwickssPlugin.h"
#include "QelTarnwickssSettings.h"
#include "QelWaveFormat.h"

namespace TARNWICKSS {

WaveformManager::Settings::Settings()
    : save_waveforms(false),
      purge_existing(false),
      max_file_age(60),
      max_file_count(100),
      waveform_base_uri("http://localhost/utterances"),
      file_prefix("utter-"),
      file_ext(".wav"),
      cache_file_ext(".wav"),
      log_level(OdaEdpf::LogNotice),
      use_logging_tag(false) {}

bool WaveformManager::Settings::Load(const apr_xml_elem* element) {
  using S = Settings;
  static const AttributeRule<S> kRules[] = {
      {"save-waveforms", BooleanRule<S, &S::save_waveforms>},
      {"purge-existing", BooleanRule<S, &S::purge_existing>},
      {"max-file-age", LimitRule<S, &S::max_file_age>},
      {"max-file-count", LimitRule<S, &S::max_file_count>},
      {"waveform-folder", TextRule<S, &S::waveform_folder>},
      {"waveform-base-uri", TextRule<S, &S::waveform_base_uri>},
      {"file-prefix", TextRule<S, &S::file_prefix>},
      {"file-ext", TextRule<S, &S::file_ext>},
      {"cache-file-ext", TextRule<S, &S::cache_file_ext>},
      // Not a level name (the empty value included): keep the level, quietly.
      {"log-level", [](S& s, const apr_xml_attr* attr) { OdaEdpf::TranslateLogLevel(attr->value, s.log_level); }},
      {"use-logging-tag", BooleanRule<S, &S::use_logging_tag>},
  };
  ApplyAttributes(element, "Waveform Manager", kRules, *this);
  return true;
}

WaveformManager::WaveformManager(const Settings& settings, bool caching)
    : FileManager(log_facility_),
      log_facility_("WVFM", settings.log_level),
      save_waveforms_(settings.save_waveforms),
      waveform_base_uri_(settings.waveform_base_uri),
      use_logging_tag_(settings.use_logging_tag),
      caching_(caching) {
  SetDirectory(settings.waveform_folder);
  file_prefix_ = settings.file_prefix;
  file_suffix_ = settings.file_ext;
  // The settings refuse negative limits; should one get here, it means none.
  max_age_ = settings.max_file_age > 0 ? static_cast<std::uint64_t>(settings.max_file_age) : 0;
  max_count_ = settings.max_file_count > 0 ? static_cast<std::uint64_t>(settings.max_file_count) : 0;
  purge_existing_ = settings.purge_existing;
}

WaveformManager::~WaveformManager() {
  // The records point into the entries, which go next; and the base's own
  // tear-down would run after log_facility_ is gone.
  cache_records_.clear();
  DestroyFileEntries();
}

bool WaveformManager::LoadFileEntries() {
  index_.clear();
  indexed_entries_ = 0;
  // Taken whatever the settings: this run may change the folder, and the
  // index must not outlive the state it tells.
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, nullptr) == APR_SUCCESS) {
    std::string path;
    apr_finfo_t info;
    if (!ComposePath(path, CacheIndex::kFileName, pool) ||
        apr_stat(&info, path.c_str(), APR_FINFO_TYPE | APR_FINFO_LINK, pool) != APR_SUCCESS) {
      // None: the last run did not close, or never cached.
    } else if (CacheIndex::Take(path, index_, pool)) {
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Read Cache Index %s entries [%" APR_SIZE_T_FMT "]",
              path.c_str(), index_.size());
    } else {
      // Every entry is read from its own file.
      apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cache Index Not Usable %s", path.c_str());
    }
    apr_pool_destroy(pool);
  }
  if (!caching_ || purge_existing_) index_.clear();
  listed_ = 0;
  loaded_ = FileManager::LoadFileEntries();
  last_listed_ = CacheEntry::kNotListed;
  if (!index_.empty()) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
            "Cache Index Vouched for [%" APR_SIZE_T_FMT "] of [%" APR_SIZE_T_FMT "] Entries", indexed_entries_,
            file_entries().size());
  }
  vouched_ = nullptr;
  index_.clear();
  return loaded_;
}

bool WaveformManager::KnownFoundFile(const std::string& name, std::uint64_t inode, std::int64_t& time) {
  vouched_ = nullptr;
  last_listed_ = listed_++;
  const CacheIndex::Record* found = index_.Find(name);
  if (!found) return false;
  const CacheIndex::Record& record = *found;
  // The same file as when the index was written, and values only this
  // system writes.
  if (record.inode != inode || record.voice_gender > VOICE_GENDER_UNKNOWN || record.sampling_rate > 0xFFFF) {
    return false;
  }
  time = record.change_time;
  vouched_ = &record;
  return true;
}

FileManager::FileEntry* WaveformManager::CreateFileEntry(const std::string& name, std::int64_t time, apr_pool_t* pool) {
  if (!caching_) return FileManager::CreateFileEntry(name, time, pool);
  auto* entry = new CacheEntry(name, time);
  entry->listing_position = last_listed_;
  last_listed_ = CacheEntry::kNotListed;
  if (vouched_ && vouched_->name == name) {
    entry->Restore(*vouched_);
    vouched_ = nullptr;
    ++indexed_entries_;
    return entry;
  }
  LoadCacheFile(entry, pool);
  return entry;
}

bool WaveformManager::SaveCacheIndex(apr_pool_t* pool) {
  // A folder that could not be listed has nothing to tell.
  if (!caching_ || !loaded_) return false;
  std::string path;
  if (!ComposePath(path, CacheIndex::kFileName, pool)) return false;
  // In listing order: the next load finds the records one after another.
  std::vector<const CacheEntry*> entries;
  entries.reserve(file_entries().size());
  for (const auto& item : file_entries()) {
    if (const auto* entry = dynamic_cast<const CacheEntry*>(item.second)) entries.push_back(entry);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const CacheEntry* a, const CacheEntry* b) {
    return a->listing_position < b->listing_position;
  });
  std::vector<CacheIndex::Record> records;
  records.reserve(entries.size());
  for (const CacheEntry* entry : entries) {
    apr_finfo_t info;
    const apr_int32_t wanted = APR_FINFO_INODE | APR_FINFO_CTIME | APR_FINFO_TYPE;
    // The waveform as the next load will list it: a link or a file gone is
    // left to that load.
    if (apr_stat(&info, (directory_ + entry->name).c_str(), wanted | APR_FINFO_LINK, pool) != APR_SUCCESS ||
        (info.valid & wanted) != wanted || info.filetype != APR_REG) {
      continue;
    }
    CacheIndex::Record record;
    record.name = entry->name;
    record.inode = static_cast<std::uint64_t>(info.inode);
    record.change_time = info.ctime;
    record.checksum = entry->checksum;
    record.match_key = entry->match_key();
    record.usage = entry->usage;
    record.sampling_rate = entry->sampling_rate;
    record.voice_gender = static_cast<std::uint32_t>(entry->voice_gender);
    records.push_back(std::move(record));
  }
  if (!CacheIndex::Write(path, records, pool)) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Write Cache Index %s", path.c_str());
    return false;
  }
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Wrote Cache Index %s entries [%" APR_SIZE_T_FMT "]",
          path.c_str(), records.size());
  return true;
}

bool WaveformManager::RemoveManagedFile(const std::string& name) {
  FileManager::RemoveManagedFile(name);
  std::string attribute_name;
  if (CacheEntry::ComposeFileName(name, attribute_name)) FileManager::RemoveManagedFile(attribute_name);
  return true;
}

bool WaveformManager::ComposeName(std::string& name, const std::string& id, std::uint64_t first, std::uint64_t second,
                                  const std::string& tag, apr_pool_t* /*pool*/) const {
  std::string composed = file_prefix_ + id + "-" + std::to_string(first);
  if (second >= 2) composed += "-" + std::to_string(second);
  // The tag is the client's text: cleaned, it cannot lead the file out of
  // the folder, where the store would never age or evict it; shortened, the
  // name fits the file system, and so does its attribute file's name, which
  // may be up to ".cache" longer.
  if (!tag.empty() && use_logging_tag_) {
    const std::size_t used = composed.size() + 1 + file_suffix_.size() + sizeof(".cache") - 1;
    composed += "-" + CleanFileNamePart(tag, FileNameRoom(used));
  }
  composed += file_suffix_;
  name = composed;
  return true;
}

bool WaveformManager::ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const {
  char* merged = nullptr;
  // An empty folder means the current directory, which APR spells as null.
  const char* root = directory_.empty() ? nullptr : directory_.c_str();
  if (!pool || apr_filepath_merge(&merged, root, name.c_str(), APR_FILEPATH_NATIVE, pool) != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Compose Waveform File Path for [%s]",
            name.c_str());
    return false;
  }
  path = merged;
  return true;
}

bool WaveformManager::OpenWavefile(WaveFile& wave_file, std::uint32_t sampling_rate, std::uint16_t format_tag,
                                   apr_pool_t* pool) {
  std::string path;
  if (!ComposePath(path, wave_file.name, pool)) return false;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open Waveform File for Writing %s, sampling-rate [%u]",
          path.c_str(), sampling_rate);
  apr_file_t* file = nullptr;
  if (apr_file_open(&file, path.c_str(), APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_TRUNCATE | APR_FOPEN_BINARY,
                    APR_FPROT_OS_DEFAULT, pool) != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Waveform File for Writing %s",
            path.c_str());
    return false;
  }
  wave_file.file = file;
  PrepareWaveHeader(file, sampling_rate, format_tag);
  return true;
}

bool WaveformManager::CloseWavefile(WaveFile& wave_file, std::int64_t /*time*/) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
          "Close Waveform File %s, content-length [%" APR_UINT64_T_FMT "]", wave_file.name.c_str(),
          wave_file.content_length);
  if (!wave_file.file) return false;
  FinalizeWaveHeader(wave_file.file, static_cast<std::uint32_t>(wave_file.content_length));
  apr_file_close(wave_file.file);
  wave_file.file = nullptr;
  return true;
}

bool WaveformManager::PrepareWaveHeader(apr_file_t* file, std::uint32_t sampling_rate, std::uint16_t format_tag) {
  WriteWaveHeader(file, sampling_rate, format_tag);
  return true;
}

bool WaveformManager::FinalizeWaveHeader(apr_file_t* file, std::uint32_t content_length) {
  return WriteWaveSizes(file, content_length);
}

apr_file_t* WaveformManager::OpenWaveFileForReading(const std::string& name, std::string& path, std::uint64_t& size,
                                                    apr_pool_t* pool) const {
  if (!ComposePath(path, name, pool)) return nullptr;
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open Waveform File for Reading %s", path.c_str());
  apr_file_t* file = nullptr;
  apr_finfo_t info;
  if (apr_file_open(&file, path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY, APR_FPROT_OS_DEFAULT, pool) !=
      APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Waveform File for Reading %s",
            path.c_str());
    return nullptr;
  }
  if (apr_file_info_get(&info, APR_FINFO_SIZE, file) != APR_SUCCESS || info.size < 0) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Waveform File for Reading %s",
            path.c_str());
    apr_file_close(file);
    return nullptr;
  }
  size = static_cast<std::uint64_t>(info.size);
  return file;
}

WaveformManager::CacheRecordRange WaveformManager::CacheRecordsOf(std::uint64_t checksum) const {
  return {cache_records_.lower_bound(CacheRecordKey{checksum, 0}),
          cache_records_.upper_bound(CacheRecordKey{checksum, UINT64_MAX})};
}

WaveformManager::CacheRecordRange WaveformManager::CacheRecordsOf(std::uint64_t checksum,
                                                                  std::uint64_t match_key) const {
  return cache_records_.equal_range(CacheRecordKey{checksum, match_key});
}

std::uint64_t WaveformManager::CalculateChecksum(const std::string& text) {
  std::uint64_t sum = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // The byte as a signed 8-bit number, added in wrapping 64-bit arithmetic.
    sum += byte >= 0x80 ? static_cast<std::uint64_t>(byte) - 256 : static_cast<std::uint64_t>(byte);
  }
  return sum;
}

bool WaveformManager::SaveCacheFile(CacheEntry* entry, apr_pool_t* pool) {
  if (!entry) return false;
  std::string attribute_name;
  std::string path;
  CacheEntry::ComposeFileName(entry->name, attribute_name);
  ComposePath(path, attribute_name, pool);
  return entry->Save(path, pool);
}

bool WaveformManager::LoadCacheFile(CacheEntry* entry, apr_pool_t* pool) {
  if (!entry) return false;
  std::string attribute_name;
  std::string path;
  CacheEntry::ComposeFileName(entry->name, attribute_name);
  ComposePath(path, attribute_name, pool);
  if (!entry->Load(path, pool)) return false;
  if (entry->damaged()) {
    // Whatever half of it was read must not match a request.
    entry->ReleaseMemory();
    return false;
  }
  return true;
}

}  // namespace TARNWICKSS
