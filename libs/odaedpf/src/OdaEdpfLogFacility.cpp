#include "OdaEdpfLogFacility.h"

#include "OdaEdpfLogger.h"

namespace OdaEdpf {

LogFacility::LogFacility(const std::string& name, LogLevel level) : name_(name), level_(level) {}

LogFacility::LogFacility(const std::string& name) : name_(name), level_(LogInfo) {
  if (Logger* logger = Logger::GetInstance()) {
    level_ = logger->GetFacilityConfig(name)->GetLevel();
  }
}

}  // namespace OdaEdpf
