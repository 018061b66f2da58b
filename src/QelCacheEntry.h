// One cached waveform: a managed file entry of the waveform manager that also
// carries what identifies the synthesis behind it (checksum and text,
// language, sampling rate, voice, prosody). Those attributes live in an
// attribute file beside the waveform, with the extension ".cache".
//
// Attribute file: no header, just records until the end of the file, each a
// token and a value, both written as a 4-byte little-endian length followed
// by that many bytes. Values are text: integers in plain decimal, floats in
// general notation with 6 significant digits. Records are written in a fixed
// order and only when they carry something (see Save).
//
// To keep memory small, the string attributes are held only while an entry is
// being matched or used: registration releases them, a lookup reloads them
// from the attribute file and the user releases them again afterwards.
// Checksum, sampling rate, voice gender, the match key and the file-entry
// fields stay. The match key, a hash of every attribute a lookup compares
// exactly, files the entry beside its checksum, so that a lookup goes
// straight to the entries whose key matches, however many share the text's
// checksum (a byte sum: everyday sentences collide); only those are loaded
// and compared in full.
//
// At start-up an entry may come from the cache index (QelCacheIndex.h)
// instead of its attribute file: it then gets what registration would have
// kept of the file, match key included.
//
// Ownership and threads: owned by the waveform manager's file entries once
// added (before that, by whoever created it); the manager's cache records
// point to it while it is registered. Engine event-processor thread only.
#ifndef QEL_CACHE_ENTRY_H
#define QEL_CACHE_ENTRY_H

#include <apr_file_io.h>
#include <apr_pools.h>

#include <cstdint>
#include <string>

#include "QelCacheIndex.h"
#include "QelProsodyParams.h"
#include "QelWaveformManager.h"
#include "corvex/mrcp_message.h"

namespace TARNWICKSS {

class WaveformManager::CacheEntry : public FileManager::FileEntry {
 public:
  // Longest token or value read back from an attribute file. Real values are
  // far shorter; a longer length field means the file is damaged, and must
  // not make the process allocate gigabytes.
  static constexpr std::uint32_t kMaxAttributeLength = 1024 * 1024;

  static const std::string sm_ChecksumToken;
  static const std::string sm_LanguageToken;
  static const std::string sm_SamplingRateToken;
  static const std::string sm_VoiceNameToken;
  static const std::string sm_VoiceGenderToken;
  static const std::string sm_ProsodyRateToken;
  static const std::string sm_ProsodyVolumeToken;
  static const std::string sm_ProsodyPitchToken;
  static const std::string sm_ProsodyContourToken;
  static const std::string sm_ProsodyRangeToken;
  static const std::string sm_ProsodyDurationToken;
  static const std::string sm_UseCountToken;
  static const std::string sm_ContentToken;

  CacheEntry(const std::string& name, std::int64_t time);
  ~CacheEntry() override;

  // Files the entry in the waveform manager's cache records under its
  // checksum and match key, then releases its strings.
  void OnRegister(FileManager* manager) override;
  // Takes it out of the cache records again.
  void OnUnregister(FileManager* manager) override;

  // Writes the attribute file at `path`. False (logged) when it cannot be
  // created; write errors are not detected.
  bool Save(const std::string& path, apr_pool_t* pool) const;
  // Reads the attribute file at `path` into the entry, as far as it goes.
  // False (logged) only when it cannot be opened; whether its contents were
  // whole is told by damaged().
  bool Load(const std::string& path, apr_pool_t* pool);
  // Takes what the cache index kept of this entry, in place of a Load: the
  // checksum, use count, sampling rate, voice gender and match key.
  void Restore(const CacheIndex::Record& record);
  // Reads records up to the end of the file. False when the file ends inside
  // a record or a record is damaged; the records before it stay applied.
  bool LoadAttributes(apr_file_t* file);
  // Stores one value in its field. False for an unknown token (ignored) and
  // for a prosody or gender number outside its range (marks the entry
  // damaged). Numbers are read like a stream extraction: a value without a
  // number stores 0.
  bool LoadAttribute(const std::string& token, const std::string& value);

  // Length-prefixed strings. The writers always report true.
  static bool SaveToken(apr_file_t* file, const std::string& token);
  static bool SaveStringValue(apr_file_t* file, const std::string& value);
  static bool SaveUint32Value(apr_file_t* file, std::uint32_t value);
  static bool SaveUint64Value(apr_file_t* file, std::uint64_t value);

  // The waveform name up to its last "." followed by ".cache"; a name without
  // "." gets ".cache" appended. Always true.
  static bool ComposeFileName(const std::string& waveform_name, std::string& attribute_name);

  // Frees language, voice name, content and the prosody.
  void ReleaseMemory();

  // A hash of what a lookup compares exactly: language, sampling rate, voice
  // name and gender, text, and the prosody's texts (its rate and volume
  // match loosely, so they are left out). Equal attributes give equal keys.
  static std::uint64_t MatchKey(const std::string& language, std::uint32_t sampling_rate, const std::string& voice_name,
                                mrcp_voice_gender_e voice_gender, const std::string& content,
                                const ProsodyParams& prosody);
  // The entry's match key, taken from its attributes at registration (or
  // from the index).
  std::uint64_t match_key() const { return match_key_; }

  // Whether the last Load found the attribute file damaged.
  bool damaged() const { return damaged_; }

  std::uint64_t checksum = 0;
  std::string language;
  std::uint16_t sampling_rate = 0;  // Hz
  std::string voice_name;
  mrcp_voice_gender_e voice_gender = VOICE_GENDER_UNKNOWN;
  ProsodyParams prosody;
  std::string content;
  // Its place in the folder's listing at the load that found it; the index
  // is written in that order. kNotListed for one made since.
  static constexpr std::uint32_t kNotListed = UINT32_MAX;
  std::uint32_t listing_position = kNotListed;

 private:
  bool damaged_ = false;
  // The checksum this entry is filed under in the cache records (with its
  // match key); a reload may change `checksum`, but the record must still be
  // found and removed.
  bool registered_ = false;
  std::uint64_t record_key_ = 0;
  std::uint64_t match_key_ = 0;
  bool keyed_ = false;  // match_key_ is set: registration leaves it
};

}  // namespace TARNWICKSS

#endif  // QEL_CACHE_ENTRY_H
