// Rundown protection. The word holds (holders << 1) | 1 once rundown started
// (bit 0): acquisitions fail from then on, and the waiter sleeps until the
// holders are gone. Releases after the last holder wake the waiter through one
// process-wide condition variable, so the EX_RUNDOWN_REF itself is never
// touched after the release that may let its owner free it.
//
// For the verifier, a side table records which threads hold each reference
// (a release on another thread than the acquire is legal and is charged to
// some holder), so a wait by a thread that still holds the reference itself
// is reported instead of hanging forever.
//
// On the virtual clock, a wait whose every remaining holder is a suspended
// thread (see Suspension) can only end when one resumes: it lets system time
// pass to the earliest end of those suspensions, running the timers due on the
// way, and resumes the thread; a wait on holders suspended without an end is
// reported as one that never ends. Acquire and release are suspension points.
#include <host/executive/HostKernel.h>
#include <host/ntddk.h>
#include <host/verifier/Verifier.h>

#include "host/executive/IrqlCheck.h"
#include "host/executive/Suspension.h"
#include "host/executive/ThreadState.h"
#include "host/verifier/CallSite.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

using host::CallSite;
using host::HostKernel;
using host::IrqlCheck;
using host::Rule;
using host::Suspension;
using host::ThreadState;
using host::Verifier;

namespace {

constexpr ULONG_PTR kRundownActive = 1;
constexpr ULONG_PTR kOneHolder = 2;

// Waiters for rundown sleep here; releasers notify under the mutex.
std::mutex& WaitMutex() {
    static std::mutex mutex;
    return mutex;
}

std::condition_variable& WaitCondition() {
    static std::condition_variable condition;
    return condition;
}

// Holders by reference and thread id; guarded by HolderMutex().
std::map<const void*, std::map<ULONG_PTR, int>>& Holders() {
    static std::map<const void*, std::map<ULONG_PTR, int>> holders;
    return holders;
}

std::mutex& HolderMutex() {
    static std::mutex mutex;
    return mutex;
}

void ForgetHolders(const void* runRef) {
    std::lock_guard<std::mutex> lock(HolderMutex());
    Holders().erase(runRef);
}

void NoteAcquired(const void* runRef) {
    std::lock_guard<std::mutex> lock(HolderMutex());
    ++Holders()[runRef][ThreadState::Id()];
}

// Charges the release to the calling thread if it holds the reference,
// otherwise to another holder.
void NoteReleased(const void* runRef) {
    std::lock_guard<std::mutex> lock(HolderMutex());
    auto ref = Holders().find(runRef);
    if (ref == Holders().end() || ref->second.empty()) {
        return;
    }
    auto holder = ref->second.find(ThreadState::Id());
    if (holder == ref->second.end()) {
        holder = ref->second.begin();
    }
    if (--holder->second == 0) {
        ref->second.erase(holder);
    }
    if (ref->second.empty()) {
        Holders().erase(ref);
    }
}

// Every thread that still holds the reference is suspended (and one does).
bool HeldOnlyBySuspendedThreads(const void* runRef) {
    std::lock_guard<std::mutex> lock(HolderMutex());
    auto ref = Holders().find(runRef);
    if (ref == Holders().end() || ref->second.empty()) {
        return false;
    }
    for (const auto& holder : ref->second) {
        if (!host::Suspension::IsSuspended(holder.first)) {
            return false;
        }
    }
    return true;
}

int HeldByCallingThread(const void* runRef) {
    std::lock_guard<std::mutex> lock(HolderMutex());
    auto ref = Holders().find(runRef);
    if (ref == Holders().end()) {
        return 0;
    }
    auto holder = ref->second.find(ThreadState::Id());
    return holder == ref->second.end() ? 0 : holder->second;
}

ULONG_PTR Load(PEX_RUNDOWN_REF runRef) {
    return __atomic_load_n(&runRef->Count, __ATOMIC_ACQUIRE);
}

}  // namespace

void ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    ForgetHolders(RunRef);
    __atomic_store_n(&RunRef->Count, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
}

void ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    ULONG_PTR value = Load(RunRef);
    if (value >= kOneHolder) {
        Verifier::Report(Rule::Other, CallSite::Format(HOST_CALLER()).c_str(),
                         "ExReInitializeRundownProtection while " +
                             std::to_string(value / kOneHolder) + " holder(s) remain");
    }
    ForgetHolders(RunRef);
    __atomic_store_n(&RunRef->Count, static_cast<ULONG_PTR>(0), __ATOMIC_RELEASE);
}

BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef) {
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExAcquireRundownProtection", HOST_CALLER());
    host::Suspension::Point();
    ULONG_PTR value = Load(RunRef);
    for (;;) {
        if ((value & kRundownActive) != 0) {
            return FALSE;
        }
        if (__atomic_compare_exchange_n(&RunRef->Count, &value, value + kOneHolder, true,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            NoteAcquired(RunRef);
            return TRUE;
        }
    }
}

void ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef) {
    const void* caller = HOST_CALLER();
    IrqlCheck::AtMost(DISPATCH_LEVEL, "ExReleaseRundownProtection", caller);
    host::Suspension::Point();
    ULONG_PTR value = Load(RunRef);
    for (;;) {
        if (value < kOneHolder) {
            Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                             "ExReleaseRundownProtection without a matching acquire");
            return;
        }
        if (__atomic_compare_exchange_n(&RunRef->Count, &value, value - kOneHolder, true,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            break;
        }
    }
    // By address only: the reference itself may be freed from here on.
    NoteReleased(RunRef);
    if (value - kOneHolder == kRundownActive) {
        // The last holder left during rundown: wake the waiter. RunRef may be
        // freed as soon as the waiter sees this; it is not touched again.
        std::lock_guard<std::mutex> lock(WaitMutex());
        WaitCondition().notify_all();
    }
}

void ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef) {
    const void* caller = HOST_CALLER();
    KIRQL irql = ThreadState::Irql();
    if (irql > APC_LEVEL) {
        Verifier::Report(Rule::WaitAtRaisedIrql, CallSite::Format(caller).c_str(),
                         "ExWaitForRundownProtectionRelease at IRQL " + std::to_string(irql));
        return;
    }
    ULONG_PTR holders =
        __atomic_fetch_or(&RunRef->Count, kRundownActive, __ATOMIC_ACQ_REL) / kOneHolder;
    int own = HeldByCallingThread(RunRef);
    if (own > 0 && holders > 0) {
        Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                         "ExWaitForRundownProtectionRelease by the thread that holds " +
                             std::to_string(own) +
                             " of its rundown reference(s): it would wait for itself forever");
        return;
    }
    std::unique_lock<std::mutex> lock(WaitMutex());
    const auto released = [RunRef] { return Load(RunRef) == kRundownActive; };
    for (;;) {
        // A thread that is suspended wakes nobody: look again every
        // millisecond whether the holders left are all suspended.
        if (WaitCondition().wait_for(lock, std::chrono::milliseconds(1), released)) {
            return;
        }
        if (HostKernel::Mode() != host::ClockMode::Virtual || !HeldOnlyBySuspendedThreads(RunRef)) {
            continue;
        }
        const int64_t end = Suspension::EarliestEnd();
        if (end < 0) {
            Verifier::Report(Rule::Other, CallSite::Format(caller).c_str(),
                             "ExWaitForRundownProtectionRelease would wait forever: every "
                             "holder of the reference is suspended without end");
            return;
        }
        lock.unlock();
        if (end > HostKernel::Now()) {
            HostKernel::AdvanceTo(end);
        }
        Suspension::ResumeDue(HostKernel::Now());
        lock.lock();
    }
}
