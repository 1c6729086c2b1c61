#include "host/ks/KsDeviceMutex.h"

#include <host/verifier/Verifier.h>

namespace host::ks {

KsDeviceMutex::KsDeviceMutex() : depth_(0) {}

KsDeviceMutex::~KsDeviceMutex() {
    Verifier::ForgetLock(this);
}

bool KsDeviceMutex::Acquire() {
    const std::thread::id me = std::this_thread::get_id();
    {
        std::unique_lock<std::mutex> lock(state_);
        if (owner_ == me) {
            ++depth_;
            return false;
        }
        free_.wait(lock, [this] { return depth_ == 0; });
        owner_ = me;
        depth_ = 1;
    }
    Verifier::NoteLockAcquired(this, "KS device mutex");
    return true;
}

bool KsDeviceMutex::Release() {
    const std::thread::id me = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lock(state_);
        if (owner_ != me) {
            return false;
        }
        if (depth_ > 1) {
            --depth_;
            return true;
        }
    }
    // The last release: leave the lock-order tracking while still the holder.
    Verifier::NoteLockReleased(this);
    {
        std::lock_guard<std::mutex> lock(state_);
        owner_ = std::thread::id();
        depth_ = 0;
    }
    free_.notify_one();
    return true;
}

bool KsDeviceMutex::HeldByCurrentThread() {
    std::lock_guard<std::mutex> lock(state_);
    return owner_ == std::this_thread::get_id();
}

}  // namespace host::ks
