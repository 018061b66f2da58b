#include "OdaEdpfLogRecord.h"

#include <apr_strings.h>
#include <apr_time.h>

#include <algorithm>

#include "OdaEdpfLogFacility.h"

namespace OdaEdpf {

void PopulateLogRecord(LogRecord& record, const LogFacility& facility, int tag, LogLevel level, int, const char* file,
                       int line, const char* format, va_list args) {
  record.file = file != nullptr ? file : "";
  record.level = level;
  record.line = line;
  record.facility = facility.GetName();
  record.tag = tag;

  // Fixed buffers on the stack: the caller never allocates beyond the
  // record's strings and never waits for output.
  char buffer[kMaxLogMessageLength + 1];

  apr_time_exp_t now;
  record.timestamp.clear();
  if (apr_time_exp_lt(&now, apr_time_now()) == APR_SUCCESS) {
    int length = apr_snprintf(buffer, sizeof(buffer), "%4d-%02d-%02d %02d:%02d:%02d.%06d", now.tm_year + 1900,
                              now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, now.tm_usec);
    if (length > 0) {
      record.timestamp.assign(buffer, std::min(static_cast<std::size_t>(length), kMaxLogMessageLength));
    }
  }

  record.message.clear();
  if (format != nullptr) {
    // apr_vsnprintf writes at most sizeof(buffer) - 1 characters and returns
    // how many it wrote, so the cut to kMaxLogMessageLength happens here.
    int length = apr_vsnprintf(buffer, sizeof(buffer), format, args);
    if (length > 0) {
      record.message.assign(buffer, std::min(static_cast<std::size_t>(length), kMaxLogMessageLength));
    }
  }
}

}  // namespace OdaEdpf
