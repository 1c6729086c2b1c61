// The pin's reference clock: a counted IKsReferenceClock whose time is the
// host's system time (KeQuerySystemTime), or none when the client gives the
// pin no clock; references still held when the pin goes away are reported.
#include "KsMiniDriver.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using KsReferenceClockTest = KsTest;

TEST_F(KsReferenceClockTest, TheClockFollowsTheSystemTime) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = nullptr;
    ASSERT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &clock), STATUS_SUCCESS);
    ASSERT_NE(clock, nullptr);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(clock->GetTime(), now.QuadPart);
    host::HostKernel::AdvanceBy(333667);
    EXPECT_EQ(clock->GetTime(), now.QuadPart + 333667);
    LONGLONG system = 0;
    EXPECT_EQ(clock->GetCorrelatedTime(&system), now.QuadPart + 333667);
    EXPECT_EQ(system, now.QuadPart + 333667);
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(clock->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(clock->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_PAUSE);
    EXPECT_EQ(clock->Release(), 1u);  // the pin's own reference remains
}

TEST_F(KsReferenceClockTest, APinGivenNoClockGetsNone) {
    host::PinOptions options;
    options.referenceClock = false;
    ASSERT_EQ(OpenCapturePin(options), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = reinterpret_cast<PIKSREFERENCECLOCK>(1);
    EXPECT_EQ(KsPinGetReferenceClockInterface(rig.pin->KsPin(), &clock), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(clock, nullptr);
}

TEST_F(KsReferenceClockTest, EveryReferenceIsCounted) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
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
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
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
