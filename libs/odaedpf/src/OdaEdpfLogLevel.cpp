#include "OdaEdpfLogLevel.h"

namespace OdaEdpf {

namespace {

const char* const kLevelNames[kLogLevelCount] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                                 "WARNING",   "NOTICE", "INFO",     "DEBUG"};

const char* const kFormattedLevelNames[kLogLevelCount] = {"EMERG  ", "ALERT  ", "CRITIC ", "ERROR  ",
                                                          "WARN   ", "NOTICE ", "INFO   ", "DEBUG  "};

// A level read from a configuration or handed over as a number may be out
// of range; it must never index past the tables.
bool IsValid(LogLevel level) { return level >= LogEmergency && level <= LogDebug; }

}  // namespace

const char* GetLogLevelName(LogLevel level) { return IsValid(level) ? kLevelNames[level] : "UNKNOWN"; }

const char* GetLogLevelFormattedName(LogLevel level) {
  return IsValid(level) ? kFormattedLevelNames[level] : "UNKNOWN";
}

bool TranslateLogLevel(const std::string& name, LogLevel& level) {
  for (int i = 0; i < kLogLevelCount; ++i) {
    if (name == kLevelNames[i]) {
      level = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

}  // namespace OdaEdpf
