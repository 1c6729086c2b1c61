#include "host/ks/KsDeviceMutex.h"

#include <host/verifier/Verifier.h>

namespace host::ks {

KsDeviceMutex::KsDeviceMutex() : owner_(std::thread::id()), depth_(0) {}

KsDeviceMutex::~KsDeviceMutex() {
    Verifier::ForgetLock(this);
}

void KsDeviceMutex::Acquire() {
    if (owner_.load() == std::this_thread::get_id()) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    depth_ = 1;
    Verifier::NoteLockAcquired(this, "KS device mutex");
}

bool KsDeviceMutex::Release() {
    if (owner_.load() != std::this_thread::get_id()) {
        return false;
    }
    if (--depth_ > 0) {
        return true;
    }
    owner_.store(std::thread::id());
    Verifier::NoteLockReleased(this);
    mutex_.unlock();
    return true;
}

bool KsDeviceMutex::HeldByCurrentThread() const {
    return owner_.load() == std::this_thread::get_id();
}

}  // namespace host::ks
