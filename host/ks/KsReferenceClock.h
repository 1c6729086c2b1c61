// The reference clock a pin gets from KsPinGetReferenceClockInterface: a
// counted IKsReferenceClock whose time is the host's exact system time (100 ns
// units since 1601; KeQuerySystemTime reads the same clock as of the last
// clock interrupt), so it moves exactly with the virtual clock in tests and
// with the wall clock otherwise. GetState reports
// the pin's state. The pin holds one reference for as long as it exists.
#pragma once

#include <host/ks.h>

#include <atomic>

namespace host::ks {

class KsReferenceClock final : public IKsReferenceClock {
  public:
    // `state` is the pin's state, read by GetState until the pin detaches.
    explicit KsReferenceClock(const std::atomic<KSSTATE>* state);

    // Any IRQL.
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    LONGLONG GetTime() override;
    LONGLONG GetPhysicalTime() override;
    LONGLONG GetCorrelatedTime(PLONGLONG SystemTime) override;
    LONGLONG GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override;
    NTSTATUS GetResolution(PKSRESOLUTION Resolution) override;
    NTSTATUS GetState(PKSSTATE State) override;

    // The pin goes away: drops the pin's reference. Returns the references
    // the driver still holds; when some remain, the clock stays allocated
    // (kept until the process ends) so a late Release finds valid memory.
    ULONG DetachFromPin();

  private:
    ~KsReferenceClock() = default;
    std::atomic<ULONG> references_;                   // the pin's one plus the driver's
    std::atomic<const std::atomic<KSSTATE>*> state_;  // the pin's state, nullptr once detached
};

}  // namespace host::ks
