// Pieces shared by the host runtime's test plugins: the exported logger
// entry points and a worker thread that runs posted tasks in order,
// optionally after a delay (so acknowledgements can come after a call returned).
#ifndef TESTS_INTEGRATION_PLUGINS_PLUGIN_SUPPORT_H
#define TESTS_INTEGRATION_PLUGINS_PLUGIN_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "corvex/mrcp_engine.h"

// Defines the logger entry points and a log source named source_name,
// reachable as PLUGIN_LOG.
#define TEST_PLUGIN_LOG_EXPORTS(source_name)                                                                  \
  static apt_log_source_t* PLUGIN_LOG = nullptr;                                                              \
  extern "C" apt_bool_t mrcp_plugin_logger_set(apt_logger_t* logger) { return apt_log_instance_set(logger); } \
  extern "C" apt_bool_t mrcp_plugin_log_source_set(apt_log_source_t* source) {                                \
    apt_def_log_source_set(source);                                                                           \
    return apt_log_source_assign(source_name, &PLUGIN_LOG);                                                   \
  }

namespace test_plugin {

class Worker {
 public:
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  // Runs what is queued, then ends the thread.
  void Stop() {
    Post(nullptr);
    if (thread_.joinable()) thread_.join();
  }
  void Post(std::function<void()> task, std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({std::chrono::steady_clock::now() + delay, std::move(task)});
    wake_.notify_one();
  }

 private:
  struct Task {
    std::chrono::steady_clock::time_point due;
    std::function<void()> fn;  // null: stop
  };
  void Run() {
    for (;;) {
      Task task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      if (!task.fn) return;
      std::this_thread::sleep_until(task.due);
      task.fn();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  std::thread thread_;
};

}  // namespace test_plugin

#endif  // TESTS_INTEGRATION_PLUGINS_PLUGIN_SUPPORT_H
