// The tick schedule on the virtual clock: absolute due times from Start, late
// ticks catching up, the bounded catch-up after a clock set forward, the
// pause/resume/stop handshakes and their bounded wait, the resume arithmetic,
// and the tick number that never wraps.
#include "engine/EngineHarness.h"

#include <atomic>
#include <thread>

using host::HostKernel;
using namespace enginetest;

namespace {

class EngineScheduleTest : public EngineTest {};

constexpr int64_t kHour = 36000000000LL;

TEST_F(EngineScheduleTest, TickKFallsDueAtStartTimePlusKPeriods) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    EXPECT_EQ(engine->startTime, origin);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + kPeriod);

    HostKernel::AdvanceTo(origin + kPeriod - 1);
    EXPECT_TRUE(owner.ticks.empty());

    HostKernel::AdvanceTo(origin + 5 * kPeriod);
    ASSERT_EQ(owner.ticks.size(), 5u);
    // 333667, 667334, 1001001, ... after Start.
    EXPECT_EQ(owner.ticks[0].time, origin + 333667);
    EXPECT_EQ(owner.ticks[1].time, origin + 667334);
    EXPECT_EQ(owner.ticks[2].time, origin + 1001001);
    for (size_t k = 1; k <= 5; ++k) {
        EXPECT_EQ(owner.ticks[k - 1].time, origin + static_cast<int64_t>(k) * kPeriod);
        EXPECT_EQ(owner.ticks[k - 1].tickIndex, k);
    }
    EXPECT_EQ(engine->tickIndex, 5u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 6 * kPeriod);
}

TEST_F(EngineScheduleTest, ATickTwoAndAHalfPeriodsLateIsFollowedByTwoImmediateTicks) {
    const LONGLONG period = 400000;
    ASSERT_EQ(StartYuy2(period), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + period);
    ASSERT_EQ(owner.ticks.size(), 1u);

    // Tick 2, due at 2P, runs 2.5 periods late.
    const int64_t late = origin + 2 * period + 5 * period / 2;
    HostKernel::SetTimeWithoutRunning(late);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 4u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(owner.ticks[i].time, late);
        EXPECT_EQ(owner.ticks[i].tickIndex, i + 1);
    }
    // Back on the schedule: tick 5 at its own boundary.
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 5 * period);
    HostKernel::AdvanceTo(origin + 5 * period);
    ASSERT_EQ(owner.ticks.size(), 5u);
    EXPECT_EQ(owner.ticks[4].time, origin + 5 * period);
    EXPECT_EQ(owner.ticks[4].tickIndex, 5u);
}

TEST_F(EngineScheduleTest, CatchUpRunsUpToTheBoundOfMissedTicksBackToBack) {
    static_assert(FrameEngine::MaxCatchUpPeriods == 8, "the tests below count 8 catch-up ticks");
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + kPeriod);

    // Tick 2 runs at 10.5 periods: ticks 3..10 (eight) are overdue after it.
    const int64_t late = origin + 10 * kPeriod + kPeriod / 2;
    HostKernel::SetTimeWithoutRunning(late);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 10u);
    for (size_t i = 1; i < 10; ++i) {
        EXPECT_EQ(owner.ticks[i].time, late);
        EXPECT_EQ(owner.ticks[i].tickIndex, i + 1);
    }
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 11 * kPeriod);
}

TEST_F(EngineScheduleTest, ClockSetForwardBeyondTheBoundSkipsToTheNextBoundary) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + kPeriod);

    // Tick 2 runs at 11.5 periods: nine ticks would be overdue after it.
    const int64_t late = origin + 11 * kPeriod + kPeriod / 2;
    HostKernel::SetTimeWithoutRunning(late);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].time, late);
    EXPECT_EQ(engine->tickIndex, 11u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 12 * kPeriod);

    HostKernel::AdvanceTo(origin + 12 * kPeriod);
    ASSERT_EQ(owner.ticks.size(), 3u);
    EXPECT_EQ(owner.ticks[2].tickIndex, 12u);
    EXPECT_EQ(owner.ticks[2].time, origin + 12 * kPeriod);
}

TEST_F(EngineScheduleTest, AClockSetAnHourForwardCostsOneTickNotThousands) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + kPeriod);
    const int64_t hour = 36000000000LL;
    HostKernel::SetTimeWithoutRunning(origin + hour);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 2u);
    const int64_t elapsed = hour / kPeriod;
    EXPECT_EQ(engine->tickIndex, static_cast<ULONG>(elapsed));
    EXPECT_EQ(HostKernel::NextDueTime(), origin + (elapsed + 1) * kPeriod);
}

TEST_F(EngineScheduleTest, ResumeSkipsTheTicksDueDuringThePause) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);

    HostKernel::AdvanceTo(origin + 10000000);
    EXPECT_EQ(owner.ticks.size(), 1u);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->state, EngineRunning);
    EXPECT_EQ(engine->tickIndex, 29u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 10010010);

    HostKernel::AdvanceTo(origin + 10010010);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].tickIndex, 30u);
    EXPECT_EQ(owner.ticks[1].time, origin + 10010010);
}

TEST_F(EngineScheduleTest, PauseReturnsAfterOneMoreCompleteTickAndNoneFollows) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + 2 * kPeriod);
    ASSERT_EQ(owner.ticks.size(), 2u);
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);

    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    // The acknowledging tick was tick 3 at its due time, and it did the
    // whole job: the queued buffer was filled before OnFrameTick ran.
    ASSERT_EQ(owner.ticks.size(), 3u);
    EXPECT_EQ(owner.ticks[2].time, origin + 3 * kPeriod);
    EXPECT_EQ(owner.ticks[2].completed, 1u);
    EXPECT_EQ(HostKernel::Now(), origin + 3 * kPeriod);
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
    EXPECT_EQ(owner.ticks[0].time, origin + kPeriod);
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
    HostKernel::AdvanceTo(origin + 2 * kPeriod + 7);
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
    HostKernel::AdvanceTo(origin + 4 * kPeriod + 1);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].time, origin + 5 * kPeriod);
    EXPECT_EQ(owner.ticks[1].tickIndex, 5u);
}

TEST_F(EngineScheduleTest, ResumeAfterTheClockWasSetBackBeforeStartResumesAtTickOne) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    HostKernel::SetTimeWithoutRunning(origin - 3 * kPeriod);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->tickIndex, 0u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + kPeriod);
}

// ---- how long a pause or stop may wait ------------------------------------------------

TEST_F(EngineScheduleTest, ATickDueWithinTheWaitLimitAcknowledgesOneFurtherOffIsCancelled) {
    // Due exactly at the limit: waited for, and it does its whole job.
    ASSERT_EQ(StartYuy2(FrameEngine::HandshakeWaitLimit), STATUS_SUCCESS);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(HostKernel::Now(), origin + FrameEngine::HandshakeWaitLimit);
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

TEST_F(EngineScheduleTest, AStopAfterTheClockWasSetBackAnHourReturnsAtOnce) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + kPeriod);
    const int64_t hourEarlier = origin - kHour;
    HostKernel::SetTimeWithoutRunning(hourEarlier);
    // Tick 2 is due an hour and a period from now: not waited for.
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), hourEarlier);
    EXPECT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

TEST_F(EngineScheduleTest, AStopDuringATickWhoseSuccessorLiesFarOffWaitsForThatTick) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    std::atomic<bool> tickWentOn{false};
    std::atomic<bool> stopReturnedAfterTheTick{false};
    std::thread control;
    owner.hook = [&] {
        // Inside tick 1 the clock is set back an hour, so the pending due
        // time lies far off, and the control thread stops the engine. The
        // timer is not queued (its DPC is running), so Stop must wait.
        HostKernel::SetTimeWithoutRunning(HostKernel::Now() - kHour);
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
    HostKernel::AdvanceTo(origin + kPeriod);
    control.join();
    EXPECT_TRUE(stopReturnedAfterTheTick);
    EXPECT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(engine->state, EngineStopped);
    EXPECT_EQ(engine->stopRequested, FALSE);
    // The tick acknowledged instead of re-arming.
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

// What a system clock set back while Stop waits does: the wait's time-out is
// relative and stays, the absolute timer moves an hour away. A test timer
// plays that step just after the wait began.
struct ClockStepBack {
    FrameEngine* engine;
    LONGLONG movedTo;
    static void Run(PKDPC, PVOID context, PVOID, PVOID) {
        ClockStepBack* step = static_cast<ClockStepBack*>(context);
        step->engine->nextDueTime = step->movedTo;
        LARGE_INTEGER due;
        due.QuadPart = step->movedTo;
        KeSetTimer(&step->engine->tickTimer, due, &step->engine->tickDpc);
    }
};

TEST_F(EngineScheduleTest, ATickThatMovesFarOffDuringTheWaitIsCancelledWhenTheWaitRunsOut) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ClockStepBack step{engine, origin + kPeriod + kHour};
    KTIMER stepTimer;
    KDPC stepDpc;
    KeInitializeTimer(&stepTimer);
    KeInitializeDpc(&stepDpc, ClockStepBack::Run, &step);
    LARGE_INTEGER stepAt;
    stepAt.QuadPart = origin + 1;
    KeSetTimer(&stepTimer, stepAt, &stepDpc);

    // Tick 1 is a period off: Stop waits for it, then the step moves it.
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), origin + FrameEngine::HandshakeWaitLimit);
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
    // had run for 2.27 years: this tick is number 0x7FFFFFFF.
    owner.hook = [this] {
        if (owner.ticks.size() == 1) {
            engine->tickIndex = 0x7FFFFFFF;
            engine->startTime = HostKernel::Now() - 0x7FFFFFFFLL * kPeriod;
        }
    };
    HostKernel::AdvanceTo(origin + kPeriod);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 2 * kPeriod);

    // Tick 2^31 moves the origin to itself and counts from 0 again.
    HostKernel::AdvanceTo(origin + 2 * kPeriod);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].tickIndex, 0x80000000u);
    EXPECT_EQ(engine->startTime, origin + 2 * kPeriod);
    EXPECT_EQ(engine->tickIndex, 0u);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + 3 * kPeriod);

    HostKernel::AdvanceTo(origin + 4 * kPeriod);
    ASSERT_EQ(owner.ticks.size(), 4u);
    EXPECT_EQ(owner.ticks[2].time, origin + 3 * kPeriod);
    EXPECT_EQ(owner.ticks[3].tickIndex, 2u);
}

TEST_F(EngineTickNumberTest, AClockSetForwardBy2To32PeriodsCostsOneTickNotAStorm) {
    const LONGLONG period = FrameEngine::ShortestPeriod;
    ASSERT_EQ(StartYuy2(period), STATUS_SUCCESS);
    HostKernel::AdvanceTo(origin + period);
    StopAStorm();

    // 2^32 + 1000 periods on (five days at one frame a millisecond).
    const LONGLONG periods = (1LL << 32) + 1000;
    HostKernel::SetTimeWithoutRunning(origin + periods * period + period / 2);
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(engine->startTime, origin + periods * period);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + (periods + 1) * period);
    HostKernel::AdvanceBy(period);
    EXPECT_EQ(owner.ticks.size(), 3u);
}

TEST_F(EngineTickNumberTest, AResumeAfter2To32PeriodsArmsTheNextBoundary) {
    ASSERT_EQ(StartYuy2(FrameEngine::ShortestPeriod), STATUS_SUCCESS);
    const LONGLONG period = FrameEngine::ShortestPeriod;
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);
    StopAStorm();

    const LONGLONG periods = (1LL << 32) + 5;
    HostKernel::SetTimeWithoutRunning(origin + periods * period + period / 2);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->tickIndex, 0u);
    EXPECT_EQ(engine->startTime, origin + periods * period);
    EXPECT_EQ(HostKernel::NextDueTime(), origin + (periods + 1) * period);
    HostKernel::AdvanceBy(period);
    EXPECT_EQ(owner.ticks.size(), 2u);
    EXPECT_EQ(owner.ticks[1].tickIndex, 1u);
}

}  // namespace
