#include "host/ks/KsControlMutex.h"

namespace host::ks {

void KsControlMutex::lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
}

void KsControlMutex::unlock() {
    owner_.store(std::thread::id());
    mutex_.unlock();
}

bool KsControlMutex::HeldByCurrentThread() const {
    return owner_.load() == std::this_thread::get_id();
}

}  // namespace host::ks
