// The SDR manager: owner of the folder of synthesis detail records, one small
// JSON file per SPEAK, kept within a file count and a file age by the
// framework's file store it derives from.
//
// Settings is element "sdr-manager" of the configuration document. The
// engine owns one Settings record, fills it while it opens (server control
// thread) and hands it to the manager it creates on its event-processor
// thread; after that the record is only read. The manager and every
// SynthesisDetails are used on the event-processor thread only.
#ifndef QEL_SDR_MANAGER_H
#define QEL_SDR_MANAGER_H

#include <apr_xml.h>

#include <cstdint>
#include <string>

#include "OdaEdpfFileManager.h"
#include "OdaEdpfLogFacility.h"
#include "OdaEdpfLogLevel.h"
#include "QelCacheControl.h"
#include "QelSpeakParams.h"
#include "QelSynthContent.h"
#include "corvex/mrcp_message.h"

namespace TARNWICKSS {

class SdrManager : public OdaEdpf::FileManager {
 public:
  struct Settings {
    Settings();

    // Applies the attributes of `element` in document order. Always true.
    bool Load(const apr_xml_elem* element);

    bool save_records;
    bool purge_existing;
    std::int64_t max_file_age;    // minutes; 0 = no age limit
    std::int64_t max_file_count;  // 0 = no count limit
    std::string record_folder;    // made absolute (against the var directory) by the engine
    std::string file_prefix;
    std::string file_ext;
    OdaEdpf::LogLevel log_level;
    bool use_logging_tag;
  };

  // The record of a channel's current SPEAK. It is also the channel's working
  // set for the request (parameters, segments still to play, Cache-Control),
  // so the record written at the end is exactly the state the SPEAK used.
  // Owned by its channel; engine thread only.
  struct SynthesisDetails {
    SynthesisDetails() { Reset(); }
    // Back to the state of a fresh record.
    void Reset();
    // Writes the record file at `path` (created or truncated). False, after
    // logging, when it cannot be opened.
    bool Save(const std::string& path) const;
    // The local date and time of an APR time as "YYYY-MM-DD hh:mm:ss"; the
    // text is left unchanged for time 0. Always true.
    static bool GetTimestampStr(long time, std::string& text);

    bool enabled;  // write this SPEAK's record
    std::string name;
    mrcp_version_e mrcp_version;
    std::uint64_t sampling_rate;  // Hz
    std::string codec;
    SpeakParams speak_params;
    SynthContent content;
    CacheControl cache_control;
    std::int64_t request_time;                       // apr_time_t; set only when enabled
    std::int64_t stream_start_time;                  // when IN-PROGRESS went out
    std::int64_t completion_time;                    // when the speech was complete
    std::uint64_t data_length;                       // bytes of the frames played, set as the record is written
    std::uint64_t segment_counter;                   // text segments started
    std::uint64_t attempt_counter;                   // text requests made for the current segment
    mrcp_synth_completion_cause_e completion_cause;  // 8 while unset
    std::string logging_tag;
  };

  // Configured from `settings`, not yet loaded (LoadFileEntries does that).
  explicit SdrManager(const Settings& settings);
  ~SdrManager() override;

  // The record file name for a SPEAK: prefix, channel id, request id, the
  // logging tag (cleaned by CleanFileNamePart, cut so that the name fits 255
  // bytes) when use-logging-tag is on and the tag is not empty, and the
  // extension. False when formatting fails, leaving `name` unchanged.
  bool ComposeName(std::string& name, const std::string& channel_id, unsigned long request_id,
                   const std::string& logging_tag, apr_pool_t* pool) const;
  // The record file's full path in the folder. False (logged) when the path
  // cannot be formed, leaving `path` unchanged.
  bool ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const;

  bool save_records() const { return save_records_; }
  bool use_logging_tag() const { return use_logging_tag_; }

 private:
  OdaEdpf::LogFacility sdr_log_facility_;  // "SDRM"; the store logs through it
  bool save_records_;
  bool use_logging_tag_;
};

}  // namespace TARNWICKSS

#endif  // QEL_SDR_MANAGER_H
