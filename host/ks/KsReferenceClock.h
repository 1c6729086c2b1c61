// The master clock a client assigns to a pin (KSPROPERTY_STREAM_MASTERCLOCK),
// as the driver gets it from KsPinGetReferenceClockInterface: a counted
// IKsReferenceClock.
//
// Times (st/avstream-clocks, ks/nf-ks-iksreferenceclock-getcorrelatedtime):
//  - GetTime is stream time: 0 while the pin is in KSSTATE_STOP; it runs in
//    KSSTATE_RUN and is frozen in KSSTATE_PAUSE, or (stream-time variant
//    running-from-pause) already runs from KSSTATE_PAUSE;
//  - GetCorrelatedTime answers the stream time with the system time
//    (KeQuerySystemTime's clock) of the same instant;
//  - GetPhysicalTime is interrupt time, which a clock set never moves back.
// Clock calls above PASSIVE_LEVEL are a violation under the clock-call-irql
// variant passive-only (the default allows up to DISPATCH_LEVEL).
//
// Locking: timeMutex_ guards the stream-time fields; a leaf, taken at any
// IRQL the calls allow. The pin holds one reference for as long as it exists.
#pragma once

#include <host/ks.h>

#include <atomic>
#include <mutex>

namespace host::ks {

class KsReferenceClock final : public IKsReferenceClock {
  public:
    // `state` is the pin's state, read by GetState until the pin detaches.
    explicit KsReferenceClock(const std::atomic<KSSTATE>* state);

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    LONGLONG GetTime() override;
    LONGLONG GetPhysicalTime() override;
    LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) override;
    LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override;
    NTSTATUS GetResolution(PKSRESOLUTION Resolution) override;
    NTSTATUS GetState(PKSSTATE State) override;

    // PASSIVE_LEVEL, the pin's control path: the pin reached `state`.
    void OnPinState(KSSTATE state);

    // The pin goes away: drops the pin's reference. Returns the references
    // the driver still holds; when some remain, the clock stays allocated
    // (kept until the process ends) so a late Release finds valid memory.
    ULONG DetachFromPin();

  private:
    ~KsReferenceClock() = default;
    // Stream time at system time `now`; timeMutex_ held.
    LONGLONG StreamTimeLocked(LONGLONG now) const;
    // Reports a clock call above PASSIVE_LEVEL under passive-only.
    static void CheckIrql(const char* routine, const void* caller);

    std::atomic<ULONG> references_;                   // the pin's one plus the driver's
    std::atomic<const std::atomic<KSSTATE>*> state_;  // the pin's state, nullptr once detached
    mutable std::mutex timeMutex_;                    // guards the three below
    bool running_ = false;                            // stream time advances
    LONGLONG base_ = 0;                               // stream time at runStart_
    LONGLONG runStart_ = 0;                           // system time the run began
};

}  // namespace host::ks
