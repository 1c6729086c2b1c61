// Low-resources simulation: decides whether the next pool or lookaside
// allocation fails. Allocations are numbered from 1 after Reset; a test fails
// the n-th one, every one of a tag, or all of them, so each failure path of
// the driver can be walked deterministically.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>

namespace host {

class FaultInjector {
  public:
    static FaultInjector& Instance();

    // Any IRQL, any thread. Counts one allocation attempt of `tag` and says
    // whether fault injection makes it fail.
    bool ShouldFail(uint32_t tag);

    void FailNth(uint64_t n);
    void FailTag(uint32_t tag);
    void FailAll(bool on);
    // Forgets the configured faults, keeps the counters.
    void ClearFaults();
    // Forgets faults and counters (Verifier::Reset).
    void Reset();

    uint64_t AllocationCount();
    uint64_t InjectedFailures();

  private:
    // The common path (no tag faults) uses relaxed atomics only: a shared
    // mutex taken on every allocation would order the allocating threads and
    // hide their data races from ThreadSanitizer.
    std::atomic<uint64_t> attempts_{0};  // allocations counted since Reset
    std::atomic<uint64_t> injected_{0};  // of those, failed on purpose
    std::atomic<uint64_t> failNth_{0};   // 0: off; else the attempt number that fails
    std::atomic<bool> failAll_{false};   // every attempt fails
    std::atomic<bool> anyTags_{false};   // failTags_ is not empty
    std::mutex mutex_;                   // guards failTags_
    std::set<uint32_t> failTags_;        // every attempt of these tags fails
};

}  // namespace host
