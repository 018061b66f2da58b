// The SDR manager: owner of the folder of synthesis detail records, one small
// record file per SPEAK, kept within a file count and a file age.
//
// Settings is element "sdr-manager" of the configuration document. The
// engine owns one Settings record, fills it while it opens (server control
// thread) and hands it to the manager it creates on its event-processor
// thread; after that the record is only read.
#ifndef QEL_SDR_MANAGER_H
#define QEL_SDR_MANAGER_H

#include <apr_xml.h>

#include <cstdint>
#include <string>

#include "OdaEdpfLogLevel.h"

namespace TARNWICKSS {

class SdrManager {
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
};

}  // namespace TARNWICKSS

#endif  // QEL_SDR_MANAGER_H
