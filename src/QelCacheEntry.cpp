#include "QelCacheEntry.h"

#include <apr.h>

#include <cstring>
#include <locale>
#include <sstream>
#include <vector>

#include "QelHash.h"
#include "QelTarnwickssPlugin.h"

namespace TARNWICKSS {

namespace {

// How reading one length-prefixed string ended.
enum class ReadResult { kString, kEnd, kDamaged };

// The end of the file before the first byte of the length is a clean end;
// anything cut short later, or a length above the limit, is damage. The
// buffer is sized by the length only after the length passed the limit.
// A sub-pool for one open file and its buffer, destroyed with the scope (the
// file is closed first). Null when there is no parent or it cannot be made.
class FilePool {
 public:
  explicit FilePool(apr_pool_t* parent) {
    if (!parent || apr_pool_create(&pool_, parent) != APR_SUCCESS) pool_ = nullptr;
  }
  ~FilePool() {
    if (pool_) apr_pool_destroy(pool_);
  }
  FilePool(const FilePool&) = delete;
  FilePool& operator=(const FilePool&) = delete;
  apr_pool_t* get() const { return pool_; }

 private:
  apr_pool_t* pool_ = nullptr;
};

ReadResult ReadLengthPrefixed(apr_file_t* file, std::string& out) {
  unsigned char prefix[4];
  apr_size_t got = 0;
  const apr_status_t status = apr_file_read_full(file, prefix, sizeof(prefix), &got);
  if (got == 0) return status == APR_EOF ? ReadResult::kEnd : ReadResult::kDamaged;
  if (got != sizeof(prefix)) return ReadResult::kDamaged;
  const std::uint32_t length = static_cast<std::uint32_t>(prefix[0]) | static_cast<std::uint32_t>(prefix[1]) << 8 |
                               static_cast<std::uint32_t>(prefix[2]) << 16 |
                               static_cast<std::uint32_t>(prefix[3]) << 24;
  if (length > WaveformManager::CacheEntry::kMaxAttributeLength) return ReadResult::kDamaged;
  out.clear();
  if (length == 0) return ReadResult::kString;
  std::vector<char> buffer(length);
  got = 0;
  apr_file_read_full(file, buffer.data(), length, &got);
  if (got != length) return ReadResult::kDamaged;
  out.assign(buffer.data(), length);
  return ReadResult::kString;
}

bool WriteLengthPrefixed(apr_file_t* file, const std::string& text) {
  const auto length = static_cast<std::uint32_t>(text.size());
  const unsigned char prefix[4] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                   static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
  apr_file_write_full(file, prefix, sizeof(prefix), nullptr);
  if (!text.empty()) apr_file_write_full(file, text.data(), text.size(), nullptr);
  return true;
}

// A stream in the "C" locale, so that numbers never depend on the process's
// locale.
std::istringstream NumberReader(const std::string& text) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  return in;
}

// General notation, 6 significant digits, no trailing zeros: 1234567 gives
// 1.23457e+06, 0.5 gives 0.5.
std::string FloatText(float value) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << value;
  return out.str();
}

std::string KindAndValue(std::uint32_t kind, const std::string& value) { return std::to_string(kind) + " " + value; }

// Frees a string's storage, not just its contents.
void Release(std::string& text) { std::string().swap(text); }

}  // namespace

const std::string WaveformManager::CacheEntry::sm_ChecksumToken = "checksum";
const std::string WaveformManager::CacheEntry::sm_LanguageToken = "language";
const std::string WaveformManager::CacheEntry::sm_SamplingRateToken = "sampling-rate";
const std::string WaveformManager::CacheEntry::sm_VoiceNameToken = "voice-name";
const std::string WaveformManager::CacheEntry::sm_VoiceGenderToken = "voice-gender";
const std::string WaveformManager::CacheEntry::sm_ProsodyRateToken = "prosody-rate";
const std::string WaveformManager::CacheEntry::sm_ProsodyVolumeToken = "prosody-volume";
const std::string WaveformManager::CacheEntry::sm_ProsodyPitchToken = "prosody-pitch";
const std::string WaveformManager::CacheEntry::sm_ProsodyContourToken = "prosody-contour";
const std::string WaveformManager::CacheEntry::sm_ProsodyRangeToken = "prosody-range";
const std::string WaveformManager::CacheEntry::sm_ProsodyDurationToken = "prosody-duration";
const std::string WaveformManager::CacheEntry::sm_UseCountToken = "use-count";
const std::string WaveformManager::CacheEntry::sm_ContentToken = "content";

WaveformManager::CacheEntry::CacheEntry(const std::string& name, std::int64_t time) : FileEntry(name, time) {}

WaveformManager::CacheEntry::~CacheEntry() = default;

void WaveformManager::CacheEntry::OnRegister(FileManager* manager) {
  auto* waveforms = dynamic_cast<WaveformManager*>(manager);
  if (waveforms) {
    // The strings are still here, loaded or just given; not after this.
    if (!keyed_) match_key_ = MatchKey(language, sampling_rate, voice_name, voice_gender, content, prosody);
    keyed_ = true;
    record_key_ = checksum;
    registered_ = true;
    waveforms->cache_records_.insert(CacheRecords::value_type(CacheRecordKey{record_key_, match_key_}, this));
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Added Cache Record [%s] checksum [%" APR_UINT64_T_FMT "] total count [%" APR_SIZE_T_FMT "]", name.c_str(),
            record_key_, waveforms->cache_records_.size());
  }
  ReleaseMemory();
}

void WaveformManager::CacheEntry::OnUnregister(FileManager* manager) {
  auto* waveforms = dynamic_cast<WaveformManager*>(manager);
  if (!waveforms) return;
  CacheRecords& records = waveforms->cache_records_;
  const std::uint64_t key = registered_ ? record_key_ : checksum;
  auto range = records.equal_range(CacheRecordKey{key, match_key_});
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second != this) continue;
    records.erase(it);
    registered_ = false;
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Removed Cache Record [%s] checksum [%" APR_UINT64_T_FMT "] total count [%" APR_SIZE_T_FMT "]",
            name.c_str(), key, records.size());
    return;
  }
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
          "No Cache Record Found checksum [%" APR_UINT64_T_FMT "] total count [%" APR_SIZE_T_FMT "]", key,
          records.size());
}

bool WaveformManager::CacheEntry::Save(const std::string& path, apr_pool_t* pool) const {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Save Cache File %s", path.c_str());
  apr_file_t* file = nullptr;
  // Buffered (the records go a few bytes at a time), in a pool of its own:
  // the caller's may serve thousands of entries before it is cleared.
  FilePool file_pool(pool);
  if (!file_pool.get() ||
      apr_file_open(&file, path.c_str(),
                    APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_TRUNCATE | APR_FOPEN_BINARY | APR_FOPEN_BUFFERED,
                    APR_FPROT_OS_DEFAULT, file_pool.get()) != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Cache File for Writing %s", path.c_str());
    return false;
  }
  SaveToken(file, sm_ChecksumToken);
  SaveUint64Value(file, checksum);
  if (!language.empty()) {
    SaveToken(file, sm_LanguageToken);
    SaveStringValue(file, language);
  }
  if (sampling_rate != 0) {
    SaveToken(file, sm_SamplingRateToken);
    SaveUint32Value(file, sampling_rate);
  }
  if (!voice_name.empty()) {
    SaveToken(file, sm_VoiceNameToken);
    SaveStringValue(file, voice_name);
  }
  if (voice_gender != VOICE_GENDER_UNKNOWN) {
    SaveToken(file, sm_VoiceGenderToken);
    SaveUint32Value(file, static_cast<std::uint32_t>(voice_gender));
  }
  const auto rate_kind = static_cast<std::uint32_t>(prosody.rate.type);
  if (rate_kind != PROSODY_RATE_TYPE_UNKNOWN) {
    std::string value;
    if (rate_kind == PROSODY_RATE_TYPE_LABEL) {
      value = std::to_string(static_cast<std::uint32_t>(prosody.rate.value.label));
    } else if (rate_kind == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
      value = FloatText(prosody.rate.value.relative);
    }
    SaveToken(file, sm_ProsodyRateToken);
    SaveStringValue(file, KindAndValue(rate_kind, value));
  }
  const auto volume_kind = static_cast<std::uint32_t>(prosody.volume.type);
  if (volume_kind != PROSODY_VOLUME_TYPE_UNKNOWN) {
    std::string value;
    if (volume_kind == PROSODY_VOLUME_TYPE_LABEL) {
      value = std::to_string(static_cast<std::uint32_t>(prosody.volume.value.label));
    } else if (volume_kind == PROSODY_VOLUME_TYPE_NUMERIC) {
      value = FloatText(prosody.volume.value.numeric);
    } else if (volume_kind == PROSODY_VOLUME_TYPE_RELATIVE_CHANGE) {
      value = FloatText(prosody.volume.value.relative);
    }
    SaveToken(file, sm_ProsodyVolumeToken);
    SaveStringValue(file, KindAndValue(volume_kind, value));
  }
  const std::pair<const std::string*, const std::string*> prosody_strings[] = {
      {&sm_ProsodyPitchToken, &prosody.pitch},
      {&sm_ProsodyContourToken, &prosody.contour},
      {&sm_ProsodyRangeToken, &prosody.range},
      {&sm_ProsodyDurationToken, &prosody.duration}};
  for (const auto& item : prosody_strings) {
    if (item.second->empty()) continue;
    SaveToken(file, *item.first);
    SaveStringValue(file, *item.second);
  }
  if (usage != 0) {
    SaveToken(file, sm_UseCountToken);
    SaveUint32Value(file, static_cast<std::uint32_t>(usage));
  }
  if (!content.empty()) {
    SaveToken(file, sm_ContentToken);
    SaveStringValue(file, content);
  }
  apr_file_close(file);
  return true;
}

bool WaveformManager::CacheEntry::Load(const std::string& path, apr_pool_t* pool) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Load Cache File %s", path.c_str());
  apr_file_t* file = nullptr;
  // Buffered and in a pool of its own, as in Save: a start-up reads every
  // entry's file with one pool.
  FilePool file_pool(pool);
  if (!file_pool.get() || apr_file_open(&file, path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY | APR_FOPEN_BUFFERED,
                                        APR_FPROT_OS_DEFAULT, file_pool.get()) != APR_SUCCESS) {
    apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Cache File for Reading %s", path.c_str());
    return false;
  }
  damaged_ = false;
  LoadAttributes(file);
  apr_file_close(file);
  return true;
}

void WaveformManager::CacheEntry::Restore(const CacheIndex::Record& record) {
  checksum = record.checksum;
  usage = record.usage;
  sampling_rate = static_cast<std::uint16_t>(record.sampling_rate);
  voice_gender = static_cast<mrcp_voice_gender_e>(record.voice_gender);
  match_key_ = record.match_key;
  keyed_ = true;
}

bool WaveformManager::CacheEntry::LoadAttributes(apr_file_t* file) {
  for (;;) {
    std::string token;
    const ReadResult token_result = ReadLengthPrefixed(file, token);
    if (token_result == ReadResult::kEnd) return true;
    if (token_result == ReadResult::kDamaged) {
      damaged_ = true;
      return false;
    }
    std::string value;
    if (ReadLengthPrefixed(file, value) != ReadResult::kString) {
      // Cut after its token: the file was not written to its end.
      damaged_ = true;
      return false;
    }
    LoadAttribute(token, value);
    if (apr_file_eof(file) == APR_EOF) return true;
  }
}

bool WaveformManager::CacheEntry::LoadAttribute(const std::string& token, const std::string& value) {
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Attribute: %s = %s", token.c_str(), value.c_str());
  if (token == sm_ChecksumToken) {
    std::uint64_t number = 0;
    NumberReader(value) >> number;
    checksum = number;
  } else if (token == sm_UseCountToken) {
    std::uint64_t number = 0;
    NumberReader(value) >> number;
    usage = number;
  } else if (token == sm_ContentToken) {
    content = value;
  } else if (token == sm_LanguageToken) {
    language = value;
  } else if (token == sm_SamplingRateToken) {
    std::uint16_t number = 0;
    NumberReader(value) >> number;
    sampling_rate = number;
  } else if (token == sm_VoiceNameToken) {
    voice_name = value;
  } else if (token == sm_VoiceGenderToken) {
    std::uint32_t number = 0;
    NumberReader(value) >> number;
    // Only the four genders may enter the enum; anything else is damage.
    if (number > VOICE_GENDER_UNKNOWN) {
      damaged_ = true;
      return false;
    }
    voice_gender = static_cast<mrcp_voice_gender_e>(number);
  } else if (token == sm_ProsodyRateToken) {
    std::istringstream in = NumberReader(value);
    std::uint32_t kind = 0;
    in >> kind;
    if (kind == PROSODY_RATE_TYPE_LABEL) {
      std::uint32_t label = 0;
      in >> label;
      if (label > PROSODY_RATE_UNKNOWN) {
        damaged_ = true;
        return false;
      }
      std::memset(&prosody.rate.value, 0, sizeof(prosody.rate.value));
      prosody.rate.value.label = static_cast<mrcp_prosody_rate_label_e>(label);
    } else if (kind == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
      float number = 0;
      in >> number;
      prosody.rate.value.relative = number;
    } else if (kind != PROSODY_RATE_TYPE_UNKNOWN) {
      damaged_ = true;
      return false;
    }
    prosody.rate.type = static_cast<mrcp_prosody_rate_type_e>(kind);
  } else if (token == sm_ProsodyVolumeToken) {
    std::istringstream in = NumberReader(value);
    std::uint32_t kind = 0;
    in >> kind;
    if (kind == PROSODY_VOLUME_TYPE_LABEL) {
      std::uint32_t label = 0;
      in >> label;
      if (label > PROSODY_VOLUME_UNKNOWN) {
        damaged_ = true;
        return false;
      }
      std::memset(&prosody.volume.value, 0, sizeof(prosody.volume.value));
      prosody.volume.value.label = static_cast<mrcp_prosody_volume_label_e>(label);
    } else if (kind == PROSODY_VOLUME_TYPE_NUMERIC || kind == PROSODY_VOLUME_TYPE_RELATIVE_CHANGE) {
      float number = 0;
      in >> number;
      // numeric and relative share the union's storage.
      prosody.volume.value.numeric = number;
    } else if (kind != PROSODY_VOLUME_TYPE_UNKNOWN) {
      damaged_ = true;
      return false;
    }
    prosody.volume.type = static_cast<mrcp_prosody_volume_type_e>(kind);
  } else if (token == sm_ProsodyPitchToken) {
    prosody.pitch = value;
  } else if (token == sm_ProsodyContourToken) {
    prosody.contour = value;
  } else if (token == sm_ProsodyRangeToken) {
    prosody.range = value;
  } else if (token == sm_ProsodyDurationToken) {
    prosody.duration = value;
  } else {
    return false;
  }
  return true;
}

bool WaveformManager::CacheEntry::SaveToken(apr_file_t* file, const std::string& token) {
  return WriteLengthPrefixed(file, token);
}

bool WaveformManager::CacheEntry::SaveStringValue(apr_file_t* file, const std::string& value) {
  return WriteLengthPrefixed(file, value);
}

bool WaveformManager::CacheEntry::SaveUint32Value(apr_file_t* file, std::uint32_t value) {
  return WriteLengthPrefixed(file, std::to_string(value));
}

bool WaveformManager::CacheEntry::SaveUint64Value(apr_file_t* file, std::uint64_t value) {
  return WriteLengthPrefixed(file, std::to_string(value));
}

bool WaveformManager::CacheEntry::ComposeFileName(const std::string& waveform_name, std::string& attribute_name) {
  const std::string::size_type dot = waveform_name.rfind('.');
  attribute_name = (dot == std::string::npos ? waveform_name : waveform_name.substr(0, dot)) + ".cache";
  return true;
}

std::uint64_t WaveformManager::CacheEntry::MatchKey(const std::string& language, std::uint32_t sampling_rate,
                                                    const std::string& voice_name, mrcp_voice_gender_e voice_gender,
                                                    const std::string& content, const ProsodyParams& prosody) {
  // Each text with its length, so that no two lists of texts run together.
  std::string key;
  for (const std::string* text :
       {&language, &voice_name, &content, &prosody.pitch, &prosody.contour, &prosody.range, &prosody.duration}) {
    key += std::to_string(text->size()) + ':' + *text;
  }
  key += std::to_string(sampling_rate) + '/' + std::to_string(static_cast<int>(voice_gender));
  // The same in every build: the cache index keeps it on disk.
  return Fnv1a64(key);
}

void WaveformManager::CacheEntry::ReleaseMemory() {
  Release(language);
  Release(voice_name);
  Release(content);
  prosody = ProsodyParams();
}

}  // namespace TARNWICKSS
