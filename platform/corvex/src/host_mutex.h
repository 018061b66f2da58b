// The host runtime's mutex and its scoped lock, annotated for Clang's
// thread-safety analysis (std::mutex is not). A condition variable waits
// through the lock, so that the analysis knows the mutex is held again
// when the wait returns.
#ifndef CORVEX_HOST_MUTEX_H
#define CORVEX_HOST_MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "thread_annotations.h"

namespace corvex {

class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds the mutex from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : lock_(mutex->mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Waits for a notification of cv (or a spurious wake-up); false once the
  // deadline has passed. Callers loop on their condition.
  bool WaitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) {
    return cv.wait_until(lock_, deadline) == std::cv_status::no_timeout;
  }
  void Wait(std::condition_variable& cv) { cv.wait(lock_); }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace corvex

#endif  // CORVEX_HOST_MUTEX_H
