// LogCapture: collects the records of the process logger during a test.
//
// While alive it owns the logger's ext handler; when no logger exists it
// creates one (writing to a temporary file, so the write path is exercised
// without flooding the test output) and destroys it again at the end.
// Declare it before any object that logs from its destructor (a Host), so it
// is destroyed after it. Records may arrive on any thread.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H
#define TESTS_SUPPORT_LOG_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "corvex/apt_log.h"

namespace corvex_test {

struct LogRecord {
  std::string source;
  apt_log_priority_e priority;
  std::string message;
};

class LogCapture {
 public:
  explicit LogCapture(apt_log_priority_e threshold = APT_PRIO_DEBUG);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> Records() const;
  // Records whose message contains text and whose priority is max_priority or
  // more severe (numerically at most max_priority).
  std::size_t Count(const std::string& text, apt_log_priority_e max_priority = APT_PRIO_DEBUG) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  // Records whose message is exactly `message`, at exactly `priority`.
  std::size_t Exact(const std::string& message, apt_log_priority_e priority) const;
  // Records at WARNING or more severe.
  std::size_t Warnings() const { return Count("", APT_PRIO_WARNING); }
  // Waits until a record containing text has arrived.
  bool WaitFor(const std::string& text, std::chrono::milliseconds wait = std::chrono::seconds(10)) const;
  void Clear();
  // Joins all warnings, one per line, for assertion messages.
  std::string WarningText() const;

 private:
  static void Handler(void* obj, const char* source, apt_log_priority_e priority, const char* message);
  std::size_t CountLocked(const std::string& text, apt_log_priority_e max_priority) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<LogRecord> records_;  // guarded by mutex_
  std::FILE* file_ = nullptr;       // the logger's stream when this capture created the logger
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H
