// The device mutex of KsAcquireDevice/KsReleaseDevice: a kernel mutex, so the
// thread that holds it may take it again (each acquire needs its release).
// Entered into the verifier's lock-order tracking on the outermost acquire.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace host::ks {

class KsDeviceMutex {
  public:
    KsDeviceMutex();
    ~KsDeviceMutex();
    KsDeviceMutex(const KsDeviceMutex&) = delete;
    KsDeviceMutex& operator=(const KsDeviceMutex&) = delete;

    // PASSIVE_LEVEL or APC_LEVEL (checked by the caller). Blocks until held.
    void Acquire();
    // False (and nothing released) when the calling thread does not hold it.
    bool Release();
    bool HeldByCurrentThread() const;

  private:
    std::mutex mutex_;                    // held from the outermost Acquire to its Release
    std::atomic<std::thread::id> owner_;  // holder, or the default id
    int depth_;                           // acquisitions by the holder; touched by the holder only
};

}  // namespace host::ks
