#include "host/verifier/FaultInjector.h"

namespace host {

FaultInjector& FaultInjector::Instance() {
    static FaultInjector instance;
    return instance;
}

bool FaultInjector::ShouldFail(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++attempts_;
    bool fail = failAll_ || (failNth_ != 0 && attempts_ == failNth_) || failTags_.count(tag) != 0;
    if (fail) {
        ++injected_;
    }
    return fail;
}

void FaultInjector::FailNth(uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    failNth_ = n;
}

void FaultInjector::FailTag(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    failTags_.insert(tag);
}

void FaultInjector::FailAll(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    failAll_ = on;
}

void FaultInjector::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    failNth_ = 0;
    failAll_ = false;
    failTags_.clear();
}

void FaultInjector::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    failNth_ = 0;
    failAll_ = false;
    failTags_.clear();
    attempts_ = 0;
    injected_ = 0;
}

uint64_t FaultInjector::AllocationCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_;
}

uint64_t FaultInjector::InjectedFailures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_;
}

}  // namespace host
