// LogFacility: a named source of framework log records with the most verbose
// level that it lets through.
//
// A facility takes its level when it is constructed; configuration added to
// the logger later does not reach facilities that exist already. The level is
// read without a lock by every log call, so it is only changed while nobody
// logs through the facility (the logger's global facility: at configuration
// time). Copying is plain value copying.
#ifndef ODAEDPF_LOG_FACILITY_H
#define ODAEDPF_LOG_FACILITY_H

#include <string>

#include "OdaEdpfLogLevel.h"

namespace OdaEdpf {

class LogFacility {
 public:
  LogFacility(const std::string& name, LogLevel level);
  // INFO, or the level the logger's configuration gives `name` when a logger
  // instance exists.
  explicit LogFacility(const std::string& name);

  const std::string& GetName() const { return name_; }
  LogLevel GetLevel() const { return level_; }
  void SetLevel(LogLevel level) { level_ = level; }

  // Whether a record at `level` passes: lower numbers are more severe.
  bool Passes(LogLevel level) const { return level <= level_; }

 private:
  std::string name_;
  LogLevel level_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_LOG_FACILITY_H
