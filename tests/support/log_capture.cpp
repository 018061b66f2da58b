#include "log_capture.h"

namespace corvex_test {

LogCapture::LogCapture(apt_log_priority_e threshold) {
  if (!apt_log_instance_get()) {
    file_ = std::tmpfile();
    apt_log_instance_create(file_, threshold);
  }
  apt_log_threshold_set(threshold);
  apt_log_ext_handler_set(&LogCapture::Handler, this);
}

LogCapture::~LogCapture() {
  apt_log_ext_handler_set(nullptr, nullptr);
  if (file_) {
    apt_log_instance_destroy();
    std::fclose(file_);
  }
}

void LogCapture::Handler(void* obj, const char* source, apt_log_priority_e priority, const char* message) {
  auto* self = static_cast<LogCapture*>(obj);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->records_.push_back({source ? source : "", priority, message ? message : ""});
  self->arrived_.notify_all();
}

std::vector<LogRecord> LogCapture::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::size_t LogCapture::CountLocked(const std::string& text, apt_log_priority_e max_priority) const {
  std::size_t n = 0;
  for (const LogRecord& r : records_) {
    if (r.priority <= max_priority && r.message.find(text) != std::string::npos) ++n;
  }
  return n;
}

std::size_t LogCapture::Count(const std::string& text, apt_log_priority_e max_priority) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CountLocked(text, max_priority);
}

std::size_t LogCapture::Exact(const std::string& message, apt_log_priority_e priority) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const LogRecord& r : records_) n += r.priority == priority && r.message == message;
  return n;
}

bool LogCapture::WaitFor(const std::string& text, std::chrono::milliseconds wait) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, wait, [&] { return CountLocked(text, APT_PRIO_DEBUG) > 0; });
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

std::string LogCapture::WarningText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const LogRecord& r : records_) {
    if (r.priority <= APT_PRIO_WARNING) text += "[" + r.source + "] " + r.message + "\n";
  }
  return text;
}

}  // namespace corvex_test
