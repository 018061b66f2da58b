// LogRecord: one framework log call, formatted on the caller's thread and
// copied to the logger's thread, where the devices read it.
// PopulateLogRecord: fills a record from a log call.
#ifndef ODAEDPF_LOG_RECORD_H
#define ODAEDPF_LOG_RECORD_H

#include <cstdarg>
#include <cstdint>
#include <string>

#include "OdaEdpfLogLevel.h"

namespace OdaEdpf {

class LogFacility;

// Longest message a record keeps; longer ones are cut. Timestamp and message
// are formatted into stack buffers of this size plus one.
constexpr std::size_t kMaxLogMessageLength = 1023;

struct LogRecord {
  // Local time of the call, "YYYY-MM-DD hh:mm:ss.uuuuuu".
  std::string timestamp;
  LogLevel level = LogInfo;
  std::string facility;
  std::int32_t tag = 0;
  std::string file;
  std::int32_t line = 0;
  // At most kMaxLogMessageLength characters.
  std::string message;
};

// Fills `record` with the call's file, line, level, facility name and tag,
// the current local time and the message formatted with apr_vsnprintf (so
// APR's conversions apply, not the C library's). A timestamp or message that
// cannot be formatted is left empty; a null file or format counts as "".
// The unnamed integer is accepted for call compatibility and ignored.
void PopulateLogRecord(LogRecord& record, const LogFacility& facility, int tag, LogLevel level, int, const char* file,
                       int line, const char* format, va_list args);

}  // namespace OdaEdpf

#endif  // ODAEDPF_LOG_RECORD_H
