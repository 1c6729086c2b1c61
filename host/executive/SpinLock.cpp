// Spin locks: the KSPIN_LOCK word holds the owning thread's id (0 when free),
// so exclusion between threads is real and the verifier can tell the holder.
// Taking a lock the thread already holds is reported, not deadlocked on: the
// extra depth is remembered per thread and the matching release only undoes
// it. Every acquisition enters the lock-order graph.
#include <host/ntddk.h>
#include <host/verifier/Verifier.h>

#include "host/executive/Executive.h"
#include "host/executive/Suspension.h"
#include "host/executive/ThreadState.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/LockOrderGraph.h"
#include "host/verifier/PoolTracker.h"

#include <cstdio>
#include <map>
#include <string>
#include <thread>

using host::CallSite;
using host::LockOrderGraph;
using host::Rule;
using host::ThreadState;
using host::Verifier;

namespace {

// A lock word that still holds the pool's fill pattern was never initialised.
constexpr ULONG_PTR Repeat(unsigned char byte) {
    return static_cast<ULONG_PTR>(0x0101010101010101ULL) * byte;
}

// Recursive acquisitions the calling thread made (reported, not nested).
std::map<const void*, int>& RecursionDepth() {
    static thread_local std::map<const void*, int> depth;
    return depth;
}

void ReportAt(Rule rule, const void* caller, const char* format, const void* lock,
              unsigned value = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, lock, value);
    Verifier::Report(rule, CallSite::Format(caller).c_str(), text);
}

void CheckIrql(const char* routine, bool exactlyDispatch, const void* caller) {
    KIRQL irql = ThreadState::Irql();
    bool wrong = exactlyDispatch ? irql != DISPATCH_LEVEL : irql > DISPATCH_LEVEL;
    if (wrong) {
        Verifier::Report(Rule::SpinLockIrql, CallSite::Format(caller).c_str(),
                         std::string(routine) + " at IRQL " + std::to_string(irql) +
                             (exactlyDispatch ? ", must be DISPATCH_LEVEL"
                                              : ", must be DISPATCH_LEVEL or below"));
    }
}

void Acquire(PKSPIN_LOCK lock, const void* caller) {
    ULONG_PTR me = ThreadState::Id();
    ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (value == me) {
        ++RecursionDepth()[lock];
        ReportAt(Rule::SpinLockRecursion, caller,
                 "spin lock @%p acquired by the thread that already holds it", lock);
        return;
    }
    if (value == Repeat(host::PoolTracker::kFreshFill) ||
        value == Repeat(host::PoolTracker::kFreedFill)) {
        ReportAt(Rule::UninitializedObject, caller,
                 "spin lock @%p acquired before KeInitializeSpinLock (fill pattern 0x%02x)", lock,
                 static_cast<unsigned>(value & 0xFF));
        __atomic_compare_exchange_n(lock, &value, 0, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
    }
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, true, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        if (++spins >= 64) {
            std::this_thread::yield();
        }
    }
    LockOrderGraph::Instance().Acquired(lock, "spin lock", caller);
}

void Release(PKSPIN_LOCK lock, const void* caller) {
    auto& depth = RecursionDepth();
    auto nested = depth.find(lock);
    if (nested != depth.end()) {
        if (--nested->second == 0) {
            depth.erase(nested);
        }
        return;
    }
    ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (value != ThreadState::Id()) {
        ReportAt(Rule::SpinLockNotHeld, caller,
                 value == 0 ? "spin lock @%p released but it is not held"
                            : "spin lock @%p released by a thread that does not hold it",
                 lock);
        return;
    }
    LockOrderGraph::Instance().Released(lock);
    __atomic_store_n(lock, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    // A lock re-initialised at this address is a new lock for order tracking.
    LockOrderGraph::Instance().ForgetRange(SpinLock, SpinLock + 1);
    __atomic_store_n(SpinLock, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    host::Suspension::Point();
    const void* caller = HOST_CALLER();
    CheckIrql("KeAcquireSpinLockRaiseToDpc", false, caller);
    KIRQL old = ThreadState::Irql();
    if (old < DISPATCH_LEVEL) {
        ThreadState::SetIrql(DISPATCH_LEVEL);
    }
    Acquire(SpinLock, caller);
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    const void* caller = HOST_CALLER();
    CheckIrql("KeReleaseSpinLock", true, caller);
    Release(SpinLock, caller);
    if (NewIrql > DISPATCH_LEVEL) {
        Verifier::Report(
            Rule::SpinLockIrql, CallSite::Format(caller).c_str(),
            "KeReleaseSpinLock to IRQL " + std::to_string(NewIrql) + ", above DISPATCH_LEVEL");
        return;
    }
    ThreadState::SetIrql(NewIrql);
    host::Executive::Instance().DpcCallPoint();
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    const void* caller = HOST_CALLER();
    CheckIrql("KeAcquireSpinLockAtDpcLevel", true, caller);
    Acquire(SpinLock, caller);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    const void* caller = HOST_CALLER();
    CheckIrql("KeReleaseSpinLockFromDpcLevel", true, caller);
    Release(SpinLock, caller);
    host::Executive::Instance().DpcCallPoint();
}
