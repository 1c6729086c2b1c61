// A filter's control mutex: exclusive and not recursive, like every AVStream
// mutex, and able to say whether the calling thread holds it (the bag rules
// need that). Meets BasicLockable, so std::lock_guard takes it.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace host::ks {

class KsControlMutex {
  public:
    // PASSIVE_LEVEL (the class library's own callers). Blocks until held.
    void lock();
    void unlock();
    // Any thread: true while the calling thread holds it.
    bool HeldByCurrentThread() const;
    // True while the calling thread holds any filter's control mutex (the
    // device mutex must never be taken then).
    static bool AnyHeldByCurrentThread();

  private:
    std::mutex mutex_;                      // the exclusion itself
    std::atomic<std::thread::id> owner_{};  // the holder, or the default id
};

}  // namespace host::ks
