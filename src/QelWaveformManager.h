// The waveform manager: owner of the folder where synthesized audio is kept
// as WAVE files, and of the in-memory index of the waveform cache.
//
// Settings is element "waveform-manager" of the configuration document. The
// engine owns one Settings record, fills it while it opens (server control
// thread) and hands it to the manager it creates on its event-processor
// thread; after that the record is only read.
#ifndef QEL_WAVEFORM_MANAGER_H
#define QEL_WAVEFORM_MANAGER_H

#include <apr_xml.h>

#include <cstdint>
#include <string>

#include "OdaEdpfLogLevel.h"

namespace TARNWICKSS {

class WaveformManager {
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
};

}  // namespace TARNWICKSS

#endif  // QEL_WAVEFORM_MANAGER_H
