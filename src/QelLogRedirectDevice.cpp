#include "QelLogRedirectDevice.h"

#include "QelTarnwickssPlugin.h"
#include "corvex/apt_log.h"

namespace TARNWICKSS {

LogRedirectDevice::LogRedirectDevice() : OdaEdpf::LogDevice(kName) {}

bool LogRedirectDevice::ProcessLogRecord(const OdaEdpf::LogRecord& record) {
  // The numberings agree on 0..7. Anything else goes as DEBUG, as the server
  // itself would treat it, rather than as an out-of-range enumerator.
  apt_log_priority_e priority = APT_PRIO_DEBUG;
  if (record.level >= OdaEdpf::LogEmergency && record.level <= OdaEdpf::LogDebug) {
    priority = static_cast<apt_log_priority_e>(record.level);
  }
  apt_log(TARNWICKSS_PLUGIN, APT_LOG_MARK, priority, "%s", record.message.c_str());
  return true;
}

}  // namespace TARNWICKSS
