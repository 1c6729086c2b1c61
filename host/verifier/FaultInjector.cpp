#include "host/verifier/FaultInjector.h"

namespace host {

FaultInjector& FaultInjector::Instance() {
    static FaultInjector instance;
    return instance;
}

bool FaultInjector::ShouldFail(uint32_t tag) {
    uint64_t attempt = attempts_.fetch_add(1, std::memory_order_relaxed) + 1;
    bool fail = failAll_.load(std::memory_order_relaxed) ||
                attempt == failNth_.load(std::memory_order_relaxed);
    if (!fail && anyTags_.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(mutex_);
        fail = failTags_.count(tag) != 0;
    }
    if (fail) {
        injected_.fetch_add(1, std::memory_order_relaxed);
    }
    return fail;
}

void FaultInjector::FailNth(uint64_t n) {
    failNth_.store(n, std::memory_order_relaxed);
}

void FaultInjector::FailTag(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    failTags_.insert(tag);
    anyTags_.store(true, std::memory_order_relaxed);
}

void FaultInjector::FailAll(bool on) {
    failAll_.store(on, std::memory_order_relaxed);
}

void FaultInjector::ClearFaults() {
    failNth_.store(0, std::memory_order_relaxed);
    failAll_.store(false, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex_);
    failTags_.clear();
    anyTags_.store(false, std::memory_order_relaxed);
}

void FaultInjector::Reset() {
    ClearFaults();
    attempts_.store(0, std::memory_order_relaxed);
    injected_.store(0, std::memory_order_relaxed);
}

uint64_t FaultInjector::AllocationCount() {
    return attempts_.load(std::memory_order_relaxed);
}

uint64_t FaultInjector::InjectedFailures() {
    return injected_.load(std::memory_order_relaxed);
}

}  // namespace host
