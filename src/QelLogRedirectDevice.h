// LogRedirectDevice: the framework log device that sends framework records
// to the server's log, so that they appear beside the plugin's own messages.
//
// Only the message travels, at the record's level as priority (the two
// numberings are the same); the server adds time and source itself. Runs on
// the framework logger's thread; apt_log may be called from any thread.
#ifndef QEL_LOG_REDIRECT_DEVICE_H
#define QEL_LOG_REDIRECT_DEVICE_H

#include "OdaEdpfLogDevice.h"

namespace TARNWICKSS {

class LogRedirectDevice : public OdaEdpf::LogDevice {
 public:
  // Registration name of the device.
  static constexpr const char* kName = "LRD";

  LogRedirectDevice();

  // Writes the record's message under the plugin's log source. Always true.
  bool ProcessLogRecord(const OdaEdpf::LogRecord& record) override;
};

}  // namespace TARNWICKSS

#endif  // QEL_LOG_REDIRECT_DEVICE_H
