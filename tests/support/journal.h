// Journal: what a test's callbacks saw and did, in order, from any thread.
#ifndef TESTS_SUPPORT_JOURNAL_H
#define TESTS_SUPPORT_JOURNAL_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace corvex_test {

class Journal {
 public:
  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
  }
  // A stuck worker thread would also hang the shutdown that ends the test,
  // so give up on the whole program instead.
  void WaitFor(const std::string& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(20), [&] { return HasLocked(entry); })) {
      std::fprintf(stderr, "gave up waiting for \"%s\"\n", entry.c_str());
      std::abort();
    }
  }
  std::vector<std::string> Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  bool Has(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    return HasLocked(entry);
  }

 private:
  bool HasLocked(const std::string& entry) const {
    return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
};

}  // namespace corvex_test

#endif  // TESTS_SUPPORT_JOURNAL_H
