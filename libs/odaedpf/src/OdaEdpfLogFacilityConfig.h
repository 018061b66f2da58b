// LogFacilityConfig: one node of the character tree that gives facility
// names their levels. The root stands for the empty name; each child stands
// for one more character. A name gets the level of the deepest node its
// characters reach, i.e. of its longest configured prefix.
//
// Invariants: a node owns its children; no two children of a node share a
// character; children stay in order of creation. A new node starts with its
// parent's level at the time it is created, so intermediate nodes keep that
// level even when the parent changes later.
//
// Not thread-safe: the tree is built at configuration time and only read
// afterwards.
#ifndef ODAEDPF_LOG_FACILITY_CONFIG_H
#define ODAEDPF_LOG_FACILITY_CONFIG_H

#include <cstddef>
#include <memory>
#include <vector>

#include "OdaEdpfLogLevel.h"

namespace OdaEdpf {

class LogFacilityConfig {
 public:
  LogFacilityConfig(char character, LogLevel level);
  ~LogFacilityConfig();
  LogFacilityConfig(const LogFacilityConfig&) = delete;
  LogFacilityConfig& operator=(const LogFacilityConfig&) = delete;

  // The node of the longest prefix of `name` present below (and including)
  // this node; this node itself for an empty name. Never null.
  const LogFacilityConfig* Find(const char* name, std::size_t length) const;
  // As Find, and `matched` is set to the number of characters matched.
  LogFacilityConfig* Walk(const char* name, std::size_t length, std::size_t& matched);
  // Appends a chain of new nodes below this one, one per character of
  // `name`; each starts with its parent's level, the last then takes
  // `level`. Returns the last node (this one for an empty name). The caller
  // makes sure no child of this node has name[0] already.
  LogFacilityConfig* Create(const char* name, std::size_t length, LogLevel level);
  // Deletes all descendants.
  void Destroy();

  char GetCharacter() const { return character_; }
  LogLevel GetLevel() const { return level_; }
  void SetLevel(LogLevel level) { level_ = level; }

 private:
  LogFacilityConfig* FindChild(char character) const;

  const char character_;
  LogLevel level_;
  std::vector<std::unique_ptr<LogFacilityConfig>> children_;
};

}  // namespace OdaEdpf

#endif  // ODAEDPF_LOG_FACILITY_CONFIG_H
