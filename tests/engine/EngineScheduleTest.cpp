// The tick schedule on the virtual clock: due times start + k x period on
// interrupt time, seen at clock interrupts; a minute's rate at each tick
// interval; system clock sets back and forward; late ticks catching up one
// per interrupt, the bounded catch-up after a stall, the pause/resume/stop
// handshakes and their bounded wait, the resume arithmetic, and the tick
// number that never wraps.
#include "engine/EngineHarness.h"

#include <host/variants/Variants.h>

#include <atomic>
#include <thread>

using host::HostKernel;
using namespace enginetest;

namespace {

class EngineScheduleTest : public EngineTest {};

constexpr int64_t kHour = 36000000000LL;
constexpr int64_t kTick = 156250;  // the default clock interrupt interval

TEST_F(EngineScheduleTest, TickKIsSeenAtTheFirstClockInterruptAtOrAfterStartPlusKPeriods) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    EXPECT_EQ(engine->startTime, 0) << "the interrupt time at Start (boot)";
    EXPECT_EQ(HostKernel::NextDueTime(), origin + kPeriod);

    HostKernel::AdvanceTo(SeenAt(origin + kPeriod) - 1);
    EXPECT_TRUE(owner.ticks.empty());

    HostKernel::AdvanceTo(SeenAt(origin + 5 * kPeriod));
    ASSERT_EQ(owner.ticks.size(), 5u);
    // Due 333667, 667334, 1001001, ... after Start; seen at interrupts 3, 5, 7.
    EXPECT_EQ(owner.ticks[0].time, origin + 3 * kTick);
    EXPECT_EQ(owner.ticks[1].time, origin + 5 * kTick);
    EXPECT_EQ(owner.ticks[2].time, origin + 7 * kTick);
    for (size_t k = 1; k <= 5; ++k) {
        EXPECT_EQ(owner.ticks[k - 1].time, SeenAt(origin + static_cast<int64_t>(k) * kPeriod));
        EXPECT_EQ(owner.ticks[k - 1].tickIndex, k);
    }
    EXPECT_EQ(engine->tickIndex, 5u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 6 * kPeriod) << "the schedule does not drift";
}

// The proof of the pacing: at each clock interrupt interval, a minute of
// streaming delivers every frame that falls due in it, one per tick number,
// and the intervals between deliveries average the frame period.
TEST_F(EngineScheduleTest, AMinuteAtEachTickIntervalDeliversEveryFrameAt2997PerSecond) {
    constexpr ULONG kSmallWidth = 16;
    constexpr ULONG kSmallHeight = 8;
    constexpr ULONG kSmallSize = kSmallWidth * kSmallHeight * 2;
    constexpr int64_t kMinute = 600000000;
    const size_t due = static_cast<size_t>(kMinute / kPeriod);  // 1798 frames
    for (int option = 0; option < 3; ++option) {
        host::Variants::Set(host::Variant::ClockTick, option);
        const int64_t tick = HostKernel::TickInterval();
        owner.ticks.clear();
        LARGE_INTEGER start;
        KeQuerySystemTime(&start);
        ASSERT_EQ(engine->Start(&yuy2, kPeriod, kSmallWidth, kSmallHeight, kSmallSize),
                  STATUS_SUCCESS);
        std::vector<std::unique_ptr<CaptureBuffer>> queued;
        for (size_t i = 0; i < due + 2; ++i) {
            queued.push_back(
                std::make_unique<CaptureBuffer>(kSmallSize, sizeof(KSSTREAM_HEADER), 0, 0xEE, 0));
            ASSERT_EQ(queued.back()->QueueOn(*engine), kSmallSize);
        }
        HostKernel::AdvanceTo(start.QuadPart + kMinute);
        ASSERT_EQ(owner.ticks.size(), due) << "tick interval " << tick;
        EXPECT_EQ(engine->CompletedFrameCount(), due) << "no frame lost";
        for (size_t k = 0; k < due; ++k) {
            ASSERT_EQ(owner.ticks[k].tickIndex, k + 1) << "no tick skipped";
        }
        const double average =
            static_cast<double>(owner.ticks.back().time - owner.ticks.front().time) /
            static_cast<double>(due - 1);
        EXPECT_NEAR(average, static_cast<double>(kPeriod), static_cast<double>(tick) / (due - 1));
        ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    }
}

TEST_F(EngineScheduleTest, ASystemClockSetBackAnHourMidStreamCostsNoTick) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + 10 * kPeriod));
    ASSERT_EQ(owner.ticks.size(), 10u);
    const int64_t setBackAt = HostKernel::InterruptTime();
    HostKernel::SetSystemTime(HostKernel::Now() - kHour);
    // Twenty periods on by the interrupt time: ten more ticks, on time.
    HostKernel::AdvanceBy(SeenAt(origin + 20 * kPeriod) - origin - setBackAt);
    ASSERT_EQ(owner.ticks.size(), 20u);
    for (size_t k = 10; k < 20; ++k) {
        EXPECT_EQ(owner.ticks[k].tickIndex, k + 1);
        EXPECT_EQ(owner.ticks[k].time,
                  SeenAt(origin + static_cast<int64_t>(k + 1) * kPeriod) - kHour);
    }
}

TEST_F(EngineScheduleTest, ASystemClockSetForwardAnHourNeitherBurstsNorSkips) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + 10 * kPeriod));
    const int64_t setAt = HostKernel::InterruptTime();
    HostKernel::SetSystemTime(HostKernel::Now() + kHour);
    HostKernel::AdvanceBy(SeenAt(origin + 20 * kPeriod) - origin - setAt);
    ASSERT_EQ(owner.ticks.size(), 20u);
    for (size_t k = 10; k < 20; ++k) {
        EXPECT_EQ(owner.ticks[k].tickIndex, k + 1);
        EXPECT_GE(owner.ticks[k].time - owner.ticks[k - 1].time, 2 * kTick) << "no burst";
    }
    EXPECT_EQ(engine->tickIndex, 20u);
}

TEST_F(EngineScheduleTest, PauseAndStopRightAfterAClockSetBackReturnWithinAPeriod) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + 2 * kPeriod));
    HostKernel::SetSystemTime(HostKernel::Now() - kHour);
    int64_t before = HostKernel::InterruptTime();
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    EXPECT_LE(HostKernel::InterruptTime() - before, kPeriod + kTick);
    EXPECT_EQ(owner.ticks.size(), 3u) << "tick 3 acknowledged the pause";

    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    HostKernel::SetSystemTime(HostKernel::Now() - kHour);
    before = HostKernel::InterruptTime();
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_LE(HostKernel::InterruptTime() - before, kPeriod + kTick);
    EXPECT_EQ(owner.ticks.size(), 4u) << "tick 4 acknowledged the stop";
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

TEST_F(EngineScheduleTest, LateTicksCatchUpOnePerClockInterrupt) {
    const LONGLONG period = 400000;
    ASSERT_EQ(StartYuy2(period), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + period));
    ASSERT_EQ(owner.ticks.size(), 1u);

    // A stall: tick 2, due at 2P, runs 2.5 periods late (at 4.5P).
    const int64_t late = origin + 2 * period + 5 * period / 2;
    HostKernel::SetTimeWithoutRunning(late);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].time, late);
    // Ticks 3, 4 and 5 are overdue by then: each at the next interrupt, not
    // in a burst. Then back on the schedule: tick 6 at its own boundary.
    HostKernel::AdvanceTo(SeenAt(origin + 6 * period));
    ASSERT_EQ(owner.ticks.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(owner.ticks[i].tickIndex, i + 1);
    }
    EXPECT_EQ(owner.ticks[2].time, SeenAt(late));
    EXPECT_EQ(owner.ticks[3].time, SeenAt(late) + kTick);
    EXPECT_EQ(owner.ticks[4].time, SeenAt(late) + 2 * kTick);
    EXPECT_EQ(owner.ticks[5].time, SeenAt(origin + 6 * period));
}

TEST_F(EngineScheduleTest, CatchUpRunsUpToTheBoundOfMissedTicks) {
    static_assert(FrameEngine::MaxCatchUpPeriods == 8, "the tests below count 8 catch-up ticks");
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + kPeriod));

    // Tick 2 runs at 10.5 periods: ticks 3..10 (eight) are overdue after it.
    const int64_t late = origin + 10 * kPeriod + kPeriod / 2;
    HostKernel::SetTimeWithoutRunning(late);
    HostKernel::AdvanceTo(SeenAt(late) + 7 * kTick);
    ASSERT_EQ(owner.ticks.size(), 10u);
    EXPECT_EQ(owner.ticks[1].time, late);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(owner.ticks[i].tickIndex, i + 1) << "none skipped";
        if (i >= 2) {
            EXPECT_EQ(owner.ticks[i].time, SeenAt(late) + static_cast<int64_t>(i - 2) * kTick);
        }
    }
}

TEST_F(EngineScheduleTest, AStallBeyondTheBoundSkipsToTheNextBoundary) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + kPeriod));

    // Tick 2 runs at 11.5 periods: nine ticks would be overdue after it.
    const int64_t late = origin + 11 * kPeriod + kPeriod / 2;
    HostKernel::SetTimeWithoutRunning(late);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].time, late);
    EXPECT_EQ(engine->tickIndex, 11u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 12 * kPeriod);

    HostKernel::AdvanceTo(SeenAt(origin + 12 * kPeriod));
    ASSERT_EQ(owner.ticks.size(), 3u);
    EXPECT_EQ(owner.ticks[2].tickIndex, 12u);
    EXPECT_EQ(owner.ticks[2].time, SeenAt(origin + 12 * kPeriod));
}

TEST_F(EngineScheduleTest, AnHourLongStallCostsOneTickNotThousands) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + kPeriod));
    HostKernel::SetTimeWithoutRunning(origin + kHour);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 2u);
    const int64_t elapsed = kHour / kPeriod;
    EXPECT_EQ(engine->tickIndex, static_cast<ULONG>(elapsed));
    EXPECT_EQ(HostKernel::NextDueTime(), origin + (elapsed + 1) * kPeriod);
}

TEST_F(EngineScheduleTest, ResumeSkipsTheTicksDueDuringThePause) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);

    HostKernel::AdvanceTo(origin + 10000000);  // a whole number of interrupts
    EXPECT_EQ(owner.ticks.size(), 1u);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->state, EngineRunning);
    EXPECT_EQ(engine->tickIndex, 29u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 10010010);

    HostKernel::AdvanceTo(SeenAt(origin + 10010010));
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].tickIndex, 30u);
    EXPECT_EQ(owner.ticks[1].time, SeenAt(origin + 10010010));
}

TEST_F(EngineScheduleTest, PauseReturnsAfterOneMoreCompleteTickAndNoneFollows) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + 2 * kPeriod));
    ASSERT_EQ(owner.ticks.size(), 2u);
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);

    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    // The acknowledging tick was tick 3 when it fell due, and it did the
    // whole job: the queued buffer was filled before OnFrameTick ran.
    ASSERT_EQ(owner.ticks.size(), 3u);
    EXPECT_EQ(owner.ticks[2].time, SeenAt(origin + 3 * kPeriod));
    EXPECT_EQ(owner.ticks[2].completed, 1u);
    EXPECT_EQ(HostKernel::Now(), SeenAt(origin + 3 * kPeriod));
    EXPECT_EQ(engine->state, EnginePaused);
    EXPECT_EQ(engine->stopRequested, FALSE);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);

    HostKernel::AdvanceBy(100 * kPeriod);
    EXPECT_EQ(owner.ticks.size(), 3u);
    // A pause keeps the counters and the image.
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    EXPECT_EQ(engine->tickIndex, 3u);
}

TEST_F(EngineScheduleTest, StopOfARunningEngineWaitsForOneMoreCompleteTick) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);

    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(owner.ticks[0].time, SeenAt(origin + kPeriod));
    EXPECT_EQ(owner.ticks[0].completed, 1u);
    // The acknowledging tick filled the buffer with the black YUY2 image.
    EXPECT_EQ(buffer.data()[0], 0x00);
    EXPECT_EQ(buffer.data()[1], 0x80);
    EXPECT_EQ(buffer.data()[kYuy2Size - 1], 0x80);

    EXPECT_EQ(engine->state, EngineStopped);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
    EXPECT_EQ(engine->images, nullptr);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kBufferTag), 0u);
    HostKernel::AdvanceBy(10 * kPeriod);
    EXPECT_EQ(owner.ticks.size(), 1u);
}

TEST_F(EngineScheduleTest, StopOfAPausedEngineReturnsWithoutWaitingForATick) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    const int64_t pausedAt = HostKernel::Now();
    ASSERT_EQ(owner.ticks.size(), 1u);

    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), pausedAt);
    EXPECT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(engine->state, EngineStopped);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

TEST_F(EngineScheduleTest, PauseAndResumeInTheOtherStatesChangeNothing) {
    // Stopped: neither pause nor resume does anything.
    EXPECT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->state, EngineStopped);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
    EXPECT_EQ(HostKernel::Now(), origin);

    // Running: resume leaves the schedule alone.
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + 2 * kPeriod) + 7);
    EXPECT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->state, EngineRunning);
    EXPECT_EQ(engine->tickIndex, 2u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 3 * kPeriod);

    // Paused: a second pause returns at once, without a tick.
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    const int64_t pausedAt = HostKernel::Now();
    const size_t ticks = owner.ticks.size();
    EXPECT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), pausedAt);
    EXPECT_EQ(owner.ticks.size(), ticks);
    EXPECT_EQ(engine->state, EnginePaused);
}

TEST_F(EngineScheduleTest, StopAfterAResumeIsAcknowledgedByTheFirstTickOfTheResumedSchedule) {
    // Pause, resume, then stop: the schedule after the resume is honoured and
    // the stop is acknowledged by the first tick after it.
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    HostKernel::AdvanceTo(SeenAt(origin + 4 * kPeriod) + 1);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].time, SeenAt(origin + 5 * kPeriod));
    EXPECT_EQ(owner.ticks[1].tickIndex, 5u);
}

TEST_F(EngineScheduleTest, AResumeAfterAClockSetBackKeepsTheSchedule) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    HostKernel::SetSystemTime(origin - 3 * kPeriod);
    HostKernel::AdvanceBy(2 * kPeriod);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    const ULONGLONG elapsed = KeQueryInterruptTime() / kPeriod;
    EXPECT_EQ(engine->tickIndex, elapsed);
    EXPECT_EQ(engine->nextDueTime, static_cast<LONGLONG>((elapsed + 1) * kPeriod));
}

// ---- how long a pause or stop may wait ------------------------------------------------

TEST_F(EngineScheduleTest, ATickDueWithinTheWaitLimitAcknowledgesOneFurtherOffIsCancelled) {
    // Due exactly at the limit: waited for, and it does its whole job.
    ASSERT_EQ(StartYuy2(FrameEngine::HandshakeWaitLimit), STATUS_SUCCESS);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(HostKernel::Now(), SeenAt(origin + FrameEngine::HandshakeWaitLimit));
    owner.ticks.clear();

    // One unit further: cancelled with the timer; Stop returns at once.
    const int64_t start = HostKernel::Now();
    ASSERT_EQ(StartYuy2(FrameEngine::HandshakeWaitLimit + 1), STATUS_SUCCESS);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), start);
    EXPECT_TRUE(owner.ticks.empty());
    EXPECT_EQ(engine->stopRequested, FALSE);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
    HostKernel::AdvanceBy(10 * FrameEngine::HandshakeWaitLimit);
    EXPECT_TRUE(owner.ticks.empty());
}

TEST_F(EngineScheduleTest, ASlowFormatPausesResumesAndStopsWithoutWaitingForItsTicks) {
    const LONGLONG second = 10000000;  // one frame a second
    ASSERT_EQ(StartYuy2(second), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + second + second / 4);
    ASSERT_EQ(owner.ticks.size(), 1u);

    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), origin + second + second / 4);
    EXPECT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(engine->state, EnginePaused);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);

    // The resumed schedule is the same one: tick 3 at 3 s.
    HostKernel::AdvanceTo(origin + 2 * second + second / 2);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 3 * second);
    HostKernel::AdvanceTo(origin + 3 * second);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].tickIndex, 3u);

    const int64_t stopAt = HostKernel::Now();
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), stopAt);
    EXPECT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(engine->state, EngineStopped);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kBufferTag), 0u);
}

TEST_F(EngineScheduleTest, AStopDuringATickWhoseSuccessorLiesFarOffWaitsForThatTick) {
    const LONGLONG second = 10000000;  // the successor lies a second off
    ASSERT_EQ(StartYuy2(second), STATUS_SUCCESS);
    std::atomic<bool> tickWentOn{false};
    std::atomic<bool> stopReturnedAfterTheTick{false};
    std::thread control;
    owner.hook = [&] {
        // Inside tick 1 the control thread stops the engine; the pending due
        // time lies far off, but the timer is not queued (its DPC is
        // running), so Stop must wait.
        control = std::thread([&] {
            EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
            stopReturnedAfterTheTick = tickWentOn.load();
        });
        // The request reaches the engine before this tick goes on.
        while (!__atomic_load_n(&engine->stopRequested, __ATOMIC_ACQUIRE)) {
            std::this_thread::yield();
        }
        tickWentOn = true;
    };
    HostKernel::AdvanceTo(origin + second);
    control.join();
    EXPECT_TRUE(stopReturnedAfterTheTick);
    EXPECT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(engine->state, EngineStopped);
    EXPECT_EQ(engine->stopRequested, FALSE);
    // The tick acknowledged instead of re-arming.
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

// A tick that moves far off while Stop waits (as a tick armed for a slow
// format's next boundary would be): a test timer moves it an hour away just
// after the wait began.
struct TickMovesAway {
    FrameEngine* engine;
    static void Run(PKDPC, PVOID context, PVOID, PVOID) {
        TickMovesAway* step = static_cast<TickMovesAway*>(context);
        step->engine->nextDueTime = static_cast<LONGLONG>(KeQueryInterruptTime()) + kHour;
        LARGE_INTEGER due;
        due.QuadPart = -kHour;
        KeSetTimer(&step->engine->tickTimer, due, &step->engine->tickDpc);
    }
};

TEST_F(EngineScheduleTest, ATickThatMovesFarOffDuringTheWaitIsCancelledWhenTheWaitRunsOut) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    TickMovesAway step{engine};
    KTIMER stepTimer;
    KDPC stepDpc;
    KeInitializeTimer(&stepTimer);
    KeInitializeDpc(&stepDpc, TickMovesAway::Run, &step);
    LARGE_INTEGER stepAt;
    stepAt.QuadPart = origin + 1;  // the first interrupt
    KeSetTimer(&stepTimer, stepAt, &stepDpc);

    // Tick 1 is a period off: Stop waits for it, then the step moves it.
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), SeenAt(origin + FrameEngine::HandshakeWaitLimit));
    EXPECT_TRUE(owner.ticks.empty());
    EXPECT_EQ(engine->stopRequested, FALSE);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

// ---- the tick number ----------------------------------------------------------------

class EngineTickNumberTest : public EngineScheduleTest {
  protected:
    // A tick storm (every re-arm already past) ends after this many ticks
    // instead of hanging the test: the owner asks the engine to stop.
    void StopAStorm() {
        owner.hook = [this] {
            if (owner.ticks.size() == 100) {
                engine->stopRequested = TRUE;
            }
        };
    }
};

TEST_F(EngineTickNumberTest, PastHalfItsRangeTheOriginMovesForwardAndTheBoundariesStay) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    // Inside tick 1, make the schedule 2^31 - 1 periods old, as if the camera
    // had run for 2.27 years: this tick is number 0x7FFFFFFF, seen now.
    owner.hook = [this] {
        if (owner.ticks.size() == 1) {
            engine->tickIndex = 0x7FFFFFFF;
            engine->startTime =
                static_cast<LONGLONG>(KeQueryInterruptTime()) - 0x7FFFFFFFLL * kPeriod;
        }
    };
    HostKernel::AdvanceTo(SeenAt(origin + kPeriod));
    const int64_t boundary = HostKernel::Now() + kPeriod;  // tick 2^31's due time
    EXPECT_EQ(HostKernel::NextDueTime(), boundary);

    // Tick 2^31 moves the origin to itself and counts from 0 again.
    HostKernel::AdvanceTo(SeenAt(boundary));
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].tickIndex, 0x80000000u);
    EXPECT_EQ(engine->startTime, boundary - origin);
    EXPECT_EQ(engine->tickIndex, 0u);
    EXPECT_EQ(HostKernel::NextDueTime(), boundary + kPeriod);

    HostKernel::AdvanceTo(SeenAt(boundary + 2 * kPeriod));
    ASSERT_EQ(owner.ticks.size(), 4u);
    EXPECT_EQ(owner.ticks[2].time, SeenAt(boundary + kPeriod));
    EXPECT_EQ(owner.ticks[3].tickIndex, 2u);
}

TEST_F(EngineTickNumberTest, AStallOf2To32PeriodsCostsOneTickNotAStorm) {
    host::Variants::Set(host::Variant::ClockTick, 2);  // 0.5 ms: the stall ends on an interrupt
    const LONGLONG period = FrameEngine::ShortestPeriod;
    ASSERT_EQ(StartYuy2(period), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + period);
    StopAStorm();

    // 2^32 + 1000 periods on (five days at one frame a millisecond).
    const LONGLONG periods = (1LL << 32) + 1000;
    HostKernel::SetTimeWithoutRunning(origin + periods * period + period / 2);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(engine->startTime, periods * period);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + (periods + 1) * period);
    AdvanceTicks(1);
    EXPECT_EQ(owner.ticks.size(), 3u);
}

TEST_F(EngineTickNumberTest, AResumeAfter2To32PeriodsArmsTheNextBoundary) {
    host::Variants::Set(host::Variant::ClockTick, 2);  // 0.5 ms: the pause ends on an interrupt
    ASSERT_EQ(StartYuy2(FrameEngine::ShortestPeriod), STATUS_SUCCESS);
    const LONGLONG period = FrameEngine::ShortestPeriod;
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);
    StopAStorm();

    const LONGLONG periods = (1LL << 32) + 5;
    HostKernel::SetTimeWithoutRunning(origin + periods * period + period / 2);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->tickIndex, 0u);
    EXPECT_EQ(engine->startTime, periods * period);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + (periods + 1) * period);
    AdvanceTicks(1);
    EXPECT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].tickIndex, 1u);
}

}  // namespace
