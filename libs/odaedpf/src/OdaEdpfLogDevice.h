// LogDevice: an output of the framework logger. A device receives every
// record on the logger's thread, one at a time, in posting order.
//
// Ownership: a device handed to Logger::AddLogDevice belongs to the logger
// from then on (it is closed and deleted when the logger's thread ends, or
// when the logger is deleted without having run); a device the logger
// refused stays with the caller.
#ifndef ODAEDPF_LOG_DEVICE_H
#define ODAEDPF_LOG_DEVICE_H

#include <string>

#include "OdaEdpfLogFacility.h"
#include "OdaEdpfLogRecord.h"

namespace OdaEdpf {

class LogDevice {
 public:
  // The facility's name is the device's registration key.
  explicit LogDevice(const std::string& name);
  LogDevice(const LogDevice&) = delete;
  LogDevice& operator=(const LogDevice&) = delete;
  virtual ~LogDevice();

  // Logger thread, as it starts; the result is not looked at.
  virtual bool Open();
  // Logger thread, as it ends, just before the device is deleted.
  virtual bool Close();
  // Logger thread: writes one record; false when it could not.
  virtual bool ProcessLogRecord(const LogRecord& record) = 0;

  const std::string& GetName() const { return facility_.GetName(); }

 protected:
  LogFacility facility_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_LOG_DEVICE_H
