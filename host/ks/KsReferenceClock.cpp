#include "host/ks/KsReferenceClock.h"

#include <host/executive/HostKernel.h>

#include "host/ks/KsRules.h"
#include "host/variants/Variants.h"
#include "host/verifier/CallSite.h"

#include <mutex>
#include <vector>

namespace host::ks {

namespace {

// Clocks whose pin went away while the driver still held references: they
// must stay valid for a late Release, and stay reachable for leak checkers.
struct Orphans {
    std::mutex mutex;
    std::vector<KsReferenceClock*> clocks;
};

Orphans& TheOrphans() {
    static Orphans orphans;
    return orphans;
}

constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002L);  // E_NOINTERFACE

}  // namespace

KsReferenceClock::KsReferenceClock(const std::atomic<KSSTATE>* state)
    : references_(1), state_(state) {}

HRESULT KsReferenceClock::QueryInterface(REFIID, void** ppv) {
    if (ppv != nullptr) {
        *ppv = nullptr;
    }
    return kNoInterface;
}

ULONG KsReferenceClock::AddRef() {
    return ++references_;
}

ULONG KsReferenceClock::Release() {
    ULONG left = --references_;
    if (left == 0) {
        {
            std::lock_guard<std::mutex> lock(TheOrphans().mutex);
            auto& clocks = TheOrphans().clocks;
            for (auto it = clocks.begin(); it != clocks.end(); ++it) {
                if (*it == this) {
                    clocks.erase(it);
                    break;
                }
            }
        }
        delete this;
    }
    return left;
}

namespace {

// A clock reads a fine-grained counter, not KeQuerySystemTime's value as of
// the last clock interrupt. Its physical time runs on interrupt time, which a
// system clock set never moves back (physical time never reverses); the system
// time it correlates with is the exact system time of the same instant.
LONGLONG PhysicalNow() {
    return HostKernel::InterruptTime();
}
LONGLONG SystemNow() {
    return HostKernel::Now();
}

}  // namespace

void KsReferenceClock::CheckIrql(const char* routine, const void* caller) {
    if (Variants::Is(Variant::ClockCallIrql, "passive-only")) {
        KsRules::IrqlAtMost(PASSIVE_LEVEL, routine, caller);
    } else {
        KsRules::IrqlAtMost(DISPATCH_LEVEL, routine, caller);
    }
}

LONGLONG KsReferenceClock::StreamTimeLocked(LONGLONG now) const {
    return running_ ? base_ + (now - runStart_) : base_;
}

void KsReferenceClock::OnPinState(KSSTATE state) {
    const bool fromPause = Variants::Is(Variant::StreamTime, "running-from-pause");
    const bool run = state == KSSTATE_RUN || (fromPause && state == KSSTATE_PAUSE);
    std::lock_guard<std::mutex> lock(timeMutex_);
    const LONGLONG now = PhysicalNow();
    if (state == KSSTATE_STOP) {
        running_ = false;
        base_ = 0;
    } else if (run && !running_) {
        running_ = true;
        runStart_ = now;
    } else if (!run && running_) {
        base_ = StreamTimeLocked(now);
        running_ = false;
    }
}

LONGLONG KsReferenceClock::GetTime() {
    CheckIrql("IKsReferenceClock::GetTime", HOST_CALLER());
    std::lock_guard<std::mutex> lock(timeMutex_);
    return StreamTimeLocked(PhysicalNow());
}

LONGLONG KsReferenceClock::GetPhysicalTime() {
    CheckIrql("IKsReferenceClock::GetPhysicalTime", HOST_CALLER());
    return PhysicalNow();
}

LONGLONG KsReferenceClock::GetCorrelatedTime(PLONGLONG SystemTime) {
    CheckIrql("IKsReferenceClock::GetCorrelatedTime", HOST_CALLER());
    std::lock_guard<std::mutex> lock(timeMutex_);
    if (SystemTime != nullptr) {
        *SystemTime = SystemNow();
    }
    return StreamTimeLocked(PhysicalNow());
}

LONGLONG KsReferenceClock::GetCorrelatedPhysicalTime(PLONGLONG SystemTime) {
    CheckIrql("IKsReferenceClock::GetCorrelatedPhysicalTime", HOST_CALLER());
    if (SystemTime != nullptr) {
        *SystemTime = SystemNow();
    }
    return PhysicalNow();
}

NTSTATUS KsReferenceClock::GetResolution(PKSRESOLUTION Resolution) {
    if (Resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Resolution->Granularity = 1;
    Resolution->Error = 0;
    return STATUS_SUCCESS;
}

NTSTATUS KsReferenceClock::GetState(PKSSTATE State) {
    if (State == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::atomic<KSSTATE>* state = state_.load();
    *State = state != nullptr ? state->load() : KSSTATE_STOP;
    return STATUS_SUCCESS;
}

ULONG KsReferenceClock::DetachFromPin() {
    state_.store(nullptr);
    {
        std::lock_guard<std::mutex> lock(TheOrphans().mutex);
        TheOrphans().clocks.push_back(this);
    }
    return Release();
}

}  // namespace host::ks
