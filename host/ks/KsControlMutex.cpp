#include "host/ks/KsControlMutex.h"

namespace host::ks {

namespace {
// Control mutexes the thread holds now.
thread_local int heldByThisThread = 0;
}  // namespace

void KsControlMutex::lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    ++heldByThisThread;
}

void KsControlMutex::unlock() {
    --heldByThisThread;
    owner_.store(std::thread::id());
    mutex_.unlock();
}

bool KsControlMutex::AnyHeldByCurrentThread() {
    return heldByThisThread != 0;
}

bool KsControlMutex::HeldByCurrentThread() const {
    return owner_.load() == std::this_thread::get_id();
}

}  // namespace host::ks
