#include "host/ks/KsReferenceClock.h"

#include <host/executive/HostKernel.h>

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

// The exact system time, not KeQuerySystemTime's value as of the last clock
// interrupt: a clock reads a fine-grained counter.
LONGLONG KsReferenceClock::GetTime() {
    return HostKernel::Now();
}

LONGLONG KsReferenceClock::GetPhysicalTime() {
    return GetTime();
}

LONGLONG KsReferenceClock::GetCorrelatedTime(PLONGLONG SystemTime) {
    LONGLONG now = GetTime();
    if (SystemTime != nullptr) {
        *SystemTime = now;
    }
    return now;
}

LONGLONG KsReferenceClock::GetCorrelatedPhysicalTime(PLONGLONG SystemTime) {
    return GetCorrelatedTime(SystemTime);
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
