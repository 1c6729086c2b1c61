// Low-resources simulation: decides whether the next pool or lookaside
// allocation fails. Allocations are numbered from 1 after Reset; a test fails
// the n-th one, every one of a tag, or all of them, so each failure path of
// the driver can be walked deterministically.
#pragma once

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
    std::mutex mutex_;            // guards every field below
    uint64_t attempts_ = 0;       // allocations counted since Reset
    uint64_t injected_ = 0;       // of those, failed on purpose
    uint64_t failNth_ = 0;        // 0: off; else the attempt number that fails
    bool failAll_ = false;        // every attempt fails
    std::set<uint32_t> failTags_; // every attempt of these tags fails
};

}  // namespace host
