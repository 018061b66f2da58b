#include "OdaEdpfLogFacilityConfig.h"

namespace OdaEdpf {

LogFacilityConfig::LogFacilityConfig(char character, LogLevel level) : character_(character), level_(level) {}

LogFacilityConfig::~LogFacilityConfig() { Destroy(); }

LogFacilityConfig* LogFacilityConfig::FindChild(char character) const {
  for (const std::unique_ptr<LogFacilityConfig>& child : children_) {
    if (child->character_ == character) {
      return child.get();
    }
  }
  return nullptr;
}

const LogFacilityConfig* LogFacilityConfig::Find(const char* name, std::size_t length) const {
  const LogFacilityConfig* node = this;
  for (std::size_t i = 0; i < length; ++i) {
    const LogFacilityConfig* child = node->FindChild(name[i]);
    if (child == nullptr) {
      break;
    }
    node = child;
  }
  return node;
}

LogFacilityConfig* LogFacilityConfig::Walk(const char* name, std::size_t length, std::size_t& matched) {
  LogFacilityConfig* node = this;
  matched = 0;
  while (matched < length) {
    LogFacilityConfig* child = node->FindChild(name[matched]);
    if (child == nullptr) {
      break;
    }
    node = child;
    ++matched;
  }
  return node;
}

LogFacilityConfig* LogFacilityConfig::Create(const char* name, std::size_t length, LogLevel level) {
  LogFacilityConfig* node = this;
  for (std::size_t i = 0; i < length; ++i) {
    node->children_.push_back(std::make_unique<LogFacilityConfig>(name[i], node->level_));
    node = node->children_.back().get();
  }
  node->level_ = level;
  return node;
}

void LogFacilityConfig::Destroy() {
  // Each child's destructor empties its own subtree first.
  children_.clear();
}

}  // namespace OdaEdpf
