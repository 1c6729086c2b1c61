// The host's verifier: rule checks in the manner of Driver Verifier, pool
// tracking by tag, and fault injection. Every test scenario ends by asserting
// that no violation was recorded.
#pragma once

#include <host/ntddk.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class Rule {
    PagedCodeAtRaisedIrql,  // PAGED_CODE() above APC_LEVEL
    WaitAtRaisedIrql,       // KeWaitForSingleObject/rundown wait above APC_LEVEL
    SpinLockIrql,           // spin lock call at the wrong IRQL
    SpinLockNotHeld,        // release by a thread that does not hold it
    SpinLockRecursion,      // acquire by the thread that holds it
    LockOrder,              // two locks taken in both orders (deadlock detection)
    PoolDoubleFree,
    PoolUnknownFree,         // free of a block the pool never handed out
    PoolLeak,                // block still allocated at a leak check
    PoolFreeWithLiveObject,  // freed memory holds an armed timer, queued DPC or live lookaside
    UninitializedObject,     // executive object used before its Initialize call
    TimerStillSet,           // unload check
    DpcStillQueued,          // unload check
    LookasideNotDeleted,     // unload check
    LookasideMisuse,         // entry freed to the wrong list or list deleted with entries out
    IrqlTooHigh,             // a platform call above the IRQL it allows
    StreamPointer,           // AVStream rules: clones, locks, deletes
    KsObject,                // AVStream rules: objects, bags, callbacks
    Other,
};

const char* RuleName(Rule rule);

struct Violation {
    Rule rule;
    std::string site;    // file:line of the offending call where known
    std::string detail;  // what was wrong, in words
};

struct PoolBlockInfo {
    const void* address;
    size_t size;
    uint32_t tag;  // as passed, e.g. 'veDC' for "CDev"
};

class Verifier {
  public:
    // Clears violations, fault injection, the allocation counters and the
    // lock-order history. Pool blocks still allocated stay tracked.
    static void Reset();

    static void Report(Rule rule, const char* site, const std::string& detail);
    static std::vector<Violation> Violations();
    static size_t ViolationCount();
    // Human-readable list of all violations, one per line (for test output).
    static std::string Describe();

    // Pool tracking.
    static size_t OutstandingBlocks();
    static size_t OutstandingBlocks(uint32_t tag);
    static std::vector<PoolBlockInfo> OutstandingList();
    // Reports a PoolLeak for every block still allocated, naming its tag.
    static void CheckNoLeaks();
    // Unload checks: timers still set, DPCs queued, lookaside lists live.
    static void CheckUnload();

    // Fault injection. Allocations (pool and lookaside) are numbered from 1
    // after Reset. FailNth(n) fails the n-th; FailTag fails every allocation
    // with that tag; FailAll fails every allocation; ClearFaults undoes all.
    static void FailNth(uint64_t n);
    static void FailTag(uint32_t tag);
    static void FailAll(bool on);
    static void ClearFaults();
    // Allocations attempted since Reset (pool and lookaside, failed ones too).
    static uint64_t AllocationCount();
    // Allocations that fault injection made fail since Reset.
    static uint64_t InjectedFailures();

    // Pool blocks by age: a mark taken before a scenario, and the blocks
    // allocated after it that are still outstanding (what the scenario leaked).
    static uint64_t AllocationMark();
    static std::vector<PoolBlockInfo> OutstandingSince(uint64_t mark);
    // Human-readable list of blocks: address, size, tag as text, caller.
    static std::string DescribeBlocks(const std::vector<PoolBlockInfo>& blocks);

    // Deadlock detection for locks the executive does not own (the class
    // library model's mutexes): the calling thread took / released `lock`.
    // Spin locks are entered by the executive itself. Taking a lock the
    // thread already holds is reported as Rule::LockOrder; releasing one it
    // does not hold as Rule::Other.
    static void NoteLockAcquired(const void* lock, const char* name);
    static void NoteLockReleased(const void* lock);
    // The lock at `lock` is destroyed (its address may be reused): forget
    // its order history.
    static void ForgetLock(const void* lock);
};

// A pool tag in the form the driver passes it: the four characters of
// `text` in memory order, as the kernel prints them ("CDev" -> 'veDC').
constexpr uint32_t PoolTag(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

}  // namespace host
