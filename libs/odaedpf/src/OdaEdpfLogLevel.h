// Log levels of the framework logger and their names.
//
// The numbering is the server's log priority numbering (0 most severe, 7 most
// verbose), so a level goes to the server log unchanged. A record passes a
// facility when its level is numerically at or below the facility's level.
//
// Plain values and constant tables: no ownership, safe from any thread.
#ifndef ODAEDPF_LOG_LEVEL_H
#define ODAEDPF_LOG_LEVEL_H

#include <cstdint>
#include <string>

namespace OdaEdpf {

enum LogLevel : std::int32_t {
  LogEmergency = 0,
  LogAlert = 1,
  LogCritical = 2,
  LogError = 3,
  LogWarning = 4,
  LogNotice = 5,
  LogInfo = 6,
  LogDebug = 7
};

constexpr int kLogLevelCount = 8;

// The level's name ("EMERGENCY" ... "DEBUG"); "UNKNOWN" outside 0..7.
// Static storage; the caller frees nothing.
const char* GetLogLevelName(LogLevel level);

// The level's name padded or cut to 7 characters for aligned log lines
// ("EMERG  ", "WARN   " ...); "UNKNOWN" outside 0..7. Static storage.
const char* GetLogLevelFormattedName(LogLevel level);

// True and `level` set when `name` equals one of the eight level names
// exactly (case-sensitive; the formatted names are not accepted). False and
// `level` untouched otherwise.
bool TranslateLogLevel(const std::string& name, LogLevel& level);

}  // namespace OdaEdpf

#endif  // ODAEDPF_LOG_LEVEL_H
