// The master clock: a pin has none until the client assigns one
// (KSPROPERTY_STREAM_MASTERCLOCK), and KsPinGetReferenceClockInterface,
// a PASSIVE_LEVEL call, fails with STATUS_DEVICE_NOT_READY before that. The
// clock's GetTime is stream time (0 in STOP, running in RUN, frozen in PAUSE
// or running from PAUSE by variant); GetCorrelatedTime pairs it with the
// system time. References still held when the pin goes away are reported.
#include "KsMiniDriver.h"
#include "support/ScopedVariant.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using host::HostKernel;
using host::PinOptions;
using host::Variant;

class KsReferenceClockTest : public KsTest {
  protected:
    NTSTATUS OpenWithClock(PinOptions::Clock when) {
        PinOptions options;
        options.clock = when;
        return OpenCapturePin(options);
    }
    PIKSREFERENCECLOCK Clock() {
        PIKSREFERENCECLOCK clock = nullptr;
        EXPECT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &clock), STATUS_SUCCESS);
        return clock;
    }
};

TEST_F(KsReferenceClockTest, StreamTimeIsZeroInStopRunsInRunAndStandsInPause) {
    ASSERT_EQ(OpenWithClock(PinOptions::Clock::BeforeAcquire), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = Clock();
    ASSERT_NE(clock, nullptr);
    HostKernel::AdvanceBy(1000);
    EXPECT_EQ(clock->GetTime(), 0);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    HostKernel::AdvanceBy(1000);
    EXPECT_EQ(clock->GetTime(), 0);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    HostKernel::AdvanceBy(333667);
    EXPECT_EQ(clock->GetTime(), 333667);
    // The correlated time pairs that stream time with the exact system time
    // of the same instant (a clock reads a fine-grained counter, not the
    // value of the last clock interrupt).
    LONGLONG system = 0;
    EXPECT_EQ(clock->GetCorrelatedTime(&system), 333667);
    EXPECT_EQ(system, HostKernel::Now());
    // The physical time is interrupt time, which a system clock set never
    // moves back.
    EXPECT_EQ(clock->GetPhysicalTime(), HostKernel::InterruptTime());
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    HostKernel::AdvanceBy(5000);
    EXPECT_EQ(clock->GetTime(), 333667);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    HostKernel::AdvanceBy(10);
    EXPECT_EQ(clock->GetTime(), 333677);
    KSSTATE state = KSSTATE_STOP;
    ASSERT_EQ(clock->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(clock->GetTime(), 0);
    EXPECT_EQ(clock->Release(), 1u);  // the pin's own reference remains
}

TEST_F(KsReferenceClockTest, UnderRunningFromPauseStreamTimeAlreadyRunsInPause) {
    ScopedVariant variant(Variant::StreamTime, "running-from-pause");
    ASSERT_EQ(OpenWithClock(PinOptions::Clock::BeforeAcquire), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = Clock();
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    HostKernel::AdvanceBy(1000);
    EXPECT_EQ(clock->GetTime(), 1000);
    clock->Release();
}

TEST_F(KsReferenceClockTest, APinHasNoClockUntilTheClientAssignsOne) {
    ASSERT_EQ(OpenWithClock(PinOptions::Clock::None), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = reinterpret_cast<PIKSREFERENCECLOCK>(1);
    EXPECT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &clock), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(clock, nullptr);
    // Assigned late, after ACQUIRE: from then on it is there.
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetMasterClock(), STATUS_SUCCESS);
    clock = Clock();
    ASSERT_NE(clock, nullptr);
    clock->Release();
    // Once the graph runs, the clock can no longer change.
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(rig.pin->SetMasterClock(), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(KsReferenceClockTest, TheMasterClockVariantSaysWhenTheClientAssignsIt) {
    {
        ScopedVariant variant(Variant::MasterClock, "before-pause");
        ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    }
    PIKSREFERENCECLOCK clock = nullptr;
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &clock), STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    clock = Clock();
    ASSERT_NE(clock, nullptr);
    clock->Release();
}

TEST_F(KsReferenceClockTest, ThePinsClockIsAPassiveLevelCall) {
    ASSERT_EQ(OpenWithClock(PinOptions::Clock::BeforeAcquire), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = nullptr;
    {
        host::ScopedIrql dpc(DISPATCH_LEVEL);
        KsPinGetReferenceClockInterface(rig.pin->KsPin(), &clock);
    }
    ExpectViolations({host::Rule::IrqlTooHigh});
    if (clock != nullptr) {
        clock->Release();
    }
}

TEST_F(KsReferenceClockTest, ClockCallsAboveDispatchOrAbovePassiveUnderPassiveOnlyAreReported) {
    ASSERT_EQ(OpenWithClock(PinOptions::Clock::BeforeAcquire), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = Clock();
    LONGLONG system = 0;
    {
        host::ScopedIrql dpc(DISPATCH_LEVEL);
        clock->GetTime();
        clock->GetCorrelatedTime(&system);
    }
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
    {
        ScopedVariant variant(Variant::ClockCallIrql, "passive-only");
        clock->GetTime();  // at PASSIVE_LEVEL: fine
        EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
        host::ScopedIrql dpc(DISPATCH_LEVEL);
        clock->GetCorrelatedTime(&system);
    }
    ExpectViolations({host::Rule::IrqlTooHigh});
    clock->Release();
}

TEST_F(KsReferenceClockTest, EveryReferenceIsCounted) {
    ASSERT_EQ(OpenWithClock(PinOptions::Clock::BeforeAcquire), STATUS_SUCCESS);
    PIKSREFERENCECLOCK first = nullptr;
    PIKSREFERENCECLOCK second = nullptr;
    ASSERT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &first), STATUS_SUCCESS);
    ASSERT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &second), STATUS_SUCCESS);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->AddRef(), 4u);
    EXPECT_EQ(first->Release(), 3u);
    EXPECT_EQ(first->Release(), 2u);
    EXPECT_EQ(second->Release(), 1u);
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
}

TEST_F(KsReferenceClockTest, AReferenceStillHeldWhenThePinGoesAwayIsReported) {
    ASSERT_EQ(OpenWithClock(PinOptions::Clock::BeforeAcquire), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = nullptr;
    ASSERT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &clock), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    ExpectViolations({host::Rule::KsObject});
    // A late release still finds the clock.
    KSSTATE state = KSSTATE_RUN;
    EXPECT_EQ(clock->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    EXPECT_EQ(clock->Release(), 0u);
}

}  // namespace
}  // namespace ksmini
