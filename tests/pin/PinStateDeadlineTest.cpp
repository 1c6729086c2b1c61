// The capture pin's state changes keep the platform's limit on a callback,
// 500 ms, on the virtual clock, where the pause and stop handshake with the
// engine's tick is the one place SetDeviceState can let system time pass: a
// tick due soon is waited for, a tick that lies far off (a slow format) is
// cancelled instead, so the verifier reports nothing. A system clock set
// moves no tick: they run on interrupt time.

#include <gtest/gtest.h>

#include "pin/PinHarness.h"

using host::HostKernel;
using host::PinHandle;
using host::Verifier;

namespace pintest {
namespace {

// The longest a callback may take: 500 ms.
constexpr LONGLONG kCallbackLimit = 5000000;
// One frame every 10 seconds: twenty times that.
constexpr LONGLONG kTenSeconds = 100000000;

class PinStateDeadline : public PinHarness {
  protected:
    // A pin whose format asks for one frame every `frameTime`.
    PinHandle* PinAt(LONGLONG frameTime) {
        std::vector<uint8_t> format = format_;
        reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
            ->VideoInfoHeader.AvgTimePerFrame = frameTime;
        PinHandle* pin = nullptr;
        EXPECT_EQ(CreatePin(&pin, &format), STATUS_SUCCESS);
        return pin;
    }
    // Takes the pin one neighbouring state on, checking that the virtual
    // clock moved by no more than `most` during the change.
    static void Step(PinHandle* pin, KSSTATE to, LONGLONG most) {
        const int64_t before = HostKernel::Now();
        ASSERT_EQ(pin->SetState(to), STATUS_SUCCESS) << "to state " << to;
        EXPECT_LE(HostKernel::Now() - before, most) << "to state " << to;
    }
};

TEST_F(PinStateDeadline, OneFrameEveryTenSecondsPausesAndStopsWithoutWaitingForTheTick) {
    PinHandle* pin = PinAt(kTenSeconds);
    ASSERT_NE(pin, nullptr);
    Step(pin, KSSTATE_ACQUIRE, 0);
    Step(pin, KSSTATE_PAUSE, 0);
    Step(pin, KSSTATE_RUN, 0);
    ASSERT_EQ(Engine()->framePeriod, kTenSeconds);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    CaptureBuffer& c = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    Ticks(3);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].header.Duration, kTenSeconds);

    // Right after a tick the next one is 10 s off, so waiting for it would
    // break the limit: the pause cancels it instead, and system time does
    // not move.
    ASSERT_GT(HostKernel::NextDueTime() - HostKernel::Now(), kCallbackLimit);
    Step(pin, KSSTATE_PAUSE, 0);
    Step(pin, KSSTATE_RUN, 0);
    // Mid-period, the next tick 5 s away: the pause on the way down to STOP
    // cancels it too.
    HostKernel::AdvanceBy(kTenSeconds / 2);
    ASSERT_GT(HostKernel::NextDueTime() - HostKernel::Now(), kCallbackLimit);
    Step(pin, KSSTATE_PAUSE, 0);
    Step(pin, KSSTATE_ACQUIRE, 0);
    Step(pin, KSSTATE_STOP, 0);
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

TEST_F(PinStateDeadline, AClockSetBackDoesNotKeepAPauseWaiting) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    Ticks(1);
    // The system clock goes back a minute. The tick runs on interrupt time,
    // so it is still a period away: the pause waits for it as usual, and it
    // fills the buffer still queued.
    HostKernel::SetSystemTime(HostKernel::Now() - 600000000);
    const auto before = pin->CompletedCount();
    Step(pin, KSSTATE_PAUSE, kPeriod + HostKernel::TickInterval());
    EXPECT_EQ(pin->CompletedCount(), before + 1);
    Step(pin, KSSTATE_ACQUIRE, 0);
    Step(pin, KSSTATE_STOP, 0);
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

TEST_F(PinStateDeadline, TheCamerasOwnRateWaitsForTheTickWellWithinTheLimit) {
    PinHandle* pin = PinAt(kPeriod);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    CaptureBuffer& c = Buffer();
    CaptureBuffer& d = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    Ticks(2);
    // A tick a period away is waited for: the pause takes up to one period
    // of system time, and that tick fills the buffer still queued.
    const auto before = pin->CompletedCount();
    Step(pin, KSSTATE_PAUSE, kPeriod);
    EXPECT_EQ(pin->CompletedCount(), before + 1);
    Step(pin, KSSTATE_RUN, 0);
    ASSERT_EQ(pin->Submit(d.data(), d.size()), STATUS_SUCCESS);
    Ticks(1);
    Step(pin, KSSTATE_PAUSE, kPeriod);
    Step(pin, KSSTATE_ACQUIRE, 0);
    Step(pin, KSSTATE_STOP, 0);
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

}  // namespace
}  // namespace pintest
