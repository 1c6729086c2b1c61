// The device mutex of KsAcquireDevice/KsReleaseDevice. Not recursive, like
// every AVStream mutex: a second acquire by its holder would deadlock on
// Windows. Here it is refused (Acquire returns false, the caller reports it)
// and counted, so the matching release undoes only that and the run goes on.
// Built as an owner and a depth under a short internal lock, so its ordering
// against other locks is judged by the verifier's lock-order tracking, which
// it enters on the first acquire and leaves on the last release.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace host::ks {

class KsDeviceMutex {
  public:
    KsDeviceMutex();
    ~KsDeviceMutex();
    KsDeviceMutex(const KsDeviceMutex&) = delete;
    KsDeviceMutex& operator=(const KsDeviceMutex&) = delete;

    // PASSIVE_LEVEL or APC_LEVEL (checked by the caller). Blocks until held;
    // false if the calling thread already held it (a self-deadlock).
    bool Acquire();
    // False (and nothing released) when the calling thread does not hold it.
    bool Release();
    bool HeldByCurrentThread();

  private:
    std::mutex state_;              // guards owner_ and depth_; never held while waiting
    std::condition_variable free_;  // depth_ dropped to 0
    std::thread::id owner_;         // the holder, or the default id; state_
    int depth_;                     // the holder's acquisitions (>1: refused ones); state_
};

}  // namespace host::ks
