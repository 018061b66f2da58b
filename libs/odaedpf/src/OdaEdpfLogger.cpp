#include "OdaEdpfLogger.h"

namespace OdaEdpf {

std::atomic<Logger*> Logger::sm_pLogger{nullptr};
std::atomic<std::uint32_t> Logger::sm_RefCount{0};

Logger::Logger() : facility_config_(0, LogInfo), global_facility_(kGlobalFacilityName, LogInfo) {}

Logger::~Logger() {
  Shutdown();
  // Devices of a logger whose thread never ran were neither opened nor
  // handed over to OnShutdown; they are still ours.
  for (auto& entry : devices_) {
    delete entry.second;
  }
  devices_.clear();
}

Logger* Logger::CreateInstance() {
  if (sm_RefCount.fetch_add(1) == 0 && sm_pLogger.load() == nullptr) {
    sm_pLogger.store(new Logger());
  }
  return sm_pLogger.load();
}

Logger* Logger::GetInstance() { return sm_pLogger.load(std::memory_order_acquire); }

void Logger::DestroyInstance() {
  // Never below zero, even when callers release more than they took.
  std::uint32_t count = sm_RefCount.load();
  do {
    if (count == 0) {
      return;
    }
  } while (!sm_RefCount.compare_exchange_weak(count, count - 1));
  if (count != 1) {
    return;
  }
  // Unpublish first, so that a log call racing with the shutdown finds no
  // logger rather than one about to be deleted.
  Logger* logger = sm_pLogger.exchange(nullptr);
  if (logger != nullptr) {
    logger->Shutdown();
    delete logger;
  }
}

bool Logger::Start() {
  if (event_processor_) {
    return false;
  }
  event_processor_ = std::make_unique<SoftEventProcessor>();
  event_processor_->AddObserver(this);
  return event_processor_->Start();
}

bool Logger::Shutdown() {
  if (!event_processor_) {
    return false;
  }
  event_processor_->Shutdown(true);
  event_processor_.reset();
  return true;
}

bool Logger::AddLogDevice(LogDevice* device) {
  if (device == nullptr) {
    return false;
  }
  return devices_.emplace(device->GetName(), device).second;
}

bool Logger::RemoveLogDevice(LogDevice* device) {
  if (device == nullptr) {
    return false;
  }
  auto it = devices_.find(device->GetName());
  // Only the registered object: dropping another device of the same name
  // would leave that one owned by nobody.
  if (it == devices_.end() || it->second != device) {
    return false;
  }
  devices_.erase(it);
  return true;
}

bool Logger::AddFacilityConfig(const std::string& name, const std::string& level_name) {
  LogLevel level;
  if (!TranslateLogLevel(level_name, level)) {
    return false;
  }
  if (name == global_facility_.GetName()) {
    SetLogLevel(level);
    return true;
  }
  std::size_t matched = 0;
  LogFacilityConfig* node = facility_config_.Walk(name.data(), name.size(), matched);
  if (matched < name.size()) {
    node->Create(name.data() + matched, name.size() - matched, level);
  } else {
    node->SetLevel(level);
  }
  return true;
}

const LogFacilityConfig* Logger::GetFacilityConfig(const std::string& name) const {
  return facility_config_.Find(name.data(), name.size());
}

void Logger::SetLogLevel(LogLevel level) {
  global_facility_.SetLevel(level);
  facility_config_.SetLevel(level);
}

bool Logger::PostLogRecord(const LogRecord& record) {
  if (!event_processor_) {
    return false;
  }
  LogRecordEvent* event = new LogRecordEvent(this, record);
  if (!event_processor_->PostEvent(event)) {
    // Not started: the reference is still ours.
    event->Unref();
    return false;
  }
  return true;
}

bool Logger::ProcessLogRecord(const LogRecord& record) {
  bool result = true;
  for (auto& entry : devices_) {
    if (!entry.second->ProcessLogRecord(record)) {
      result = false;
    }
  }
  return result;
}

bool Logger::OnStart(SoftEventProcessor* /*processor*/) {
  for (auto& entry : devices_) {
    entry.second->Open();
  }
  return true;
}

void Logger::OnShutdown(SoftEventProcessor* /*processor*/) {
  for (auto& entry : devices_) {
    entry.second->Close();
    delete entry.second;
  }
  devices_.clear();
}

void LogRecordEvent::Process() { logger_->ProcessLogRecord(record_); }

void Log(LogLevel level, const char* file, int line, const char* format, ...) {
  Logger* logger = Logger::GetInstance();
  if (logger == nullptr) {
    return;
  }
  const LogFacility& facility = logger->GetGlobalFacility();
  if (!facility.Passes(level)) {
    return;
  }
  LogRecord record;
  va_list args;
  va_start(args, format);
  PopulateLogRecord(record, facility, 0, level, 0, file, line, format, args);
  va_end(args);
  logger->PostLogRecord(record);
}

void FacilityLog(const LogFacility& facility, int tag, LogLevel level, int, const char* file, int line,
                 const char* format, ...) {
  if (!facility.Passes(level)) {
    return;
  }
  Logger* logger = Logger::GetInstance();
  if (logger == nullptr) {
    return;
  }
  LogRecord record;
  va_list args;
  va_start(args, format);
  PopulateLogRecord(record, facility, tag, level, 0, file, line, format, args);
  va_end(args);
  logger->PostLogRecord(record);
}

}  // namespace OdaEdpf
