// DPCs and timers on the virtual clock: absolute and relative due times, due
// times already past, re-arming, cancelling, ordering, DPCs at DISPATCH_LEVEL.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

using host::HostKernel;

namespace {

constexpr int64_t kStart = HostKernel::kDefaultVirtualStart;

// What a DPC routine saw each time it ran.
struct DpcRun {
    int64_t time;
    KIRQL irql;
    int id;
};

// A timer with its DPC and a log of the DPC's runs; the DPC can re-arm the
// timer for a list of further due times.
struct Ticker {
    KTIMER timer;
    KDPC dpc;
    int id = 0;
    std::vector<DpcRun>* log = nullptr;
    std::vector<int64_t> rearm;  // due times to re-arm with, one per run
    size_t rearmed = 0;

    Ticker(int tickerId, std::vector<DpcRun>* runs) : id(tickerId), log(runs) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, &Ticker::Routine, this);
    }

    void Set(int64_t due) {
        LARGE_INTEGER when;
        when.QuadPart = due;
        KeSetTimer(&timer, when, &dpc);
    }

    static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<Ticker*>(context);
        self->log->push_back(DpcRun{HostKernel::Now(), KeGetCurrentIrql(), self->id});
        if (self->rearmed < self->rearm.size()) {
            self->Set(self->rearm[self->rearmed++]);
        }
    }
};

class VirtualTimerTest : public KernelTestFixture {};

TEST_F(VirtualTimerTest, ClockStartsAtTheBootTimeAndMovesOnlyWhenAdvanced) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, kStart);
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, kStart);
    HostKernel::AdvanceBy(1234);
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, kStart + 1234);
    HostKernel::AdvanceTo(kStart + 5000);
    EXPECT_EQ(HostKernel::Now(), kStart + 5000);
}

TEST_F(VirtualTimerTest, AbsoluteTimerRunsItsDpcAtItsDueTimeAtDispatchLevel) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.Set(kStart + 1000);
    EXPECT_EQ(HostKernel::NextDueTime(), kStart + 1000);
    HostKernel::AdvanceBy(999);
    EXPECT_TRUE(runs.empty());
    HostKernel::AdvanceBy(5000);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 1000);
    EXPECT_EQ(runs[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(HostKernel::Now(), kStart + 5999);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

TEST_F(VirtualTimerTest, OneShotTimerRunsOnce) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.Set(kStart + 10);
    HostKernel::AdvanceBy(100);
    HostKernel::AdvanceBy(100000);
    EXPECT_EQ(runs.size(), 1u);
}

TEST_F(VirtualTimerTest, RelativeDueTimeCountsFromNow) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    HostKernel::AdvanceBy(500);
    ticker.Set(-2000);
    EXPECT_EQ(HostKernel::NextDueTime(), kStart + 2500);
    HostKernel::AdvanceBy(3000);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 2500);
}

TEST_F(VirtualTimerTest, DueTimeAlreadyPastQueuesTheDpcAtOnceWithoutMovingTime) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    HostKernel::AdvanceBy(10000);
    ticker.Set(kStart + 10);
    EXPECT_EQ(HostKernel::NextDueTime(), -1) << "a past due time leaves no timer set";
    HostKernel::DrainDpcs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 10000);
    EXPECT_EQ(runs[0].irql, DISPATCH_LEVEL);
}

TEST_F(VirtualTimerTest, ResettingASetTimerCancelsTheOldDueTime) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    LARGE_INTEGER first, second;
    first.QuadPart = kStart + 1000;
    second.QuadPart = kStart + 3000;
    EXPECT_FALSE(KeSetTimer(&ticker.timer, first, &ticker.dpc));
    EXPECT_TRUE(KeSetTimer(&ticker.timer, second, &ticker.dpc)) << "it was set";
    HostKernel::AdvanceBy(2000);
    EXPECT_TRUE(runs.empty()) << "the first due time was cancelled";
    HostKernel::AdvanceBy(2000);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 3000);
}

TEST_F(VirtualTimerTest, CancelTimerStopsItAndSaysWhetherItWasSet) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    EXPECT_FALSE(KeCancelTimer(&ticker.timer));
    ticker.Set(kStart + 100);
    EXPECT_TRUE(KeCancelTimer(&ticker.timer));
    EXPECT_FALSE(KeCancelTimer(&ticker.timer));
    HostKernel::AdvanceBy(1000);
    EXPECT_TRUE(runs.empty());
}

TEST_F(VirtualTimerTest, TimersRunInDueTimeOrderEachAtItsOwnTime) {
    std::vector<DpcRun> runs;
    Ticker a(1, &runs), b(2, &runs), c(3, &runs);
    a.Set(kStart + 300);
    b.Set(kStart + 100);
    c.Set(kStart + 200);
    HostKernel::AdvanceTo(kStart + 1000);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].id, 2);
    EXPECT_EQ(runs[0].time, kStart + 100);
    EXPECT_EQ(runs[1].id, 3);
    EXPECT_EQ(runs[1].time, kStart + 200);
    EXPECT_EQ(runs[2].id, 1);
    EXPECT_EQ(runs[2].time, kStart + 300);
    EXPECT_EQ(HostKernel::Now(), kStart + 1000);
}

TEST_F(VirtualTimerTest, TimersWithEqualDueTimesRunInTheOrderTheyWereSet) {
    std::vector<DpcRun> runs;
    Ticker a(1, &runs), b(2, &runs);
    b.Set(kStart + 50);
    a.Set(kStart + 50);
    HostKernel::AdvanceBy(50);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].id, 2);
    EXPECT_EQ(runs[1].id, 1);
}

TEST_F(VirtualTimerTest, DpcThatRearmsWithinTheAdvanceRunsAgainInTheSameAdvance) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.rearm = {kStart + 200, kStart + 300, kStart + 5000};
    ticker.Set(kStart + 100);
    HostKernel::AdvanceBy(1000);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].time, kStart + 100);
    EXPECT_EQ(runs[1].time, kStart + 200);
    EXPECT_EQ(runs[2].time, kStart + 300);
    EXPECT_EQ(HostKernel::NextDueTime(), kStart + 5000);
    EXPECT_TRUE(KeCancelTimer(&ticker.timer));
}

TEST_F(VirtualTimerTest, DpcRearmedForAPastTimeRunsImmediatelyAfter) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    // The second and third due times are already past when the DPC re-arms:
    // they run back to back at the time of the first.
    ticker.rearm = {kStart + 50, kStart + 60, kStart + 400};
    ticker.Set(kStart + 100);
    HostKernel::AdvanceBy(1000);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].time, kStart + 100);
    EXPECT_EQ(runs[1].time, kStart + 100);
    EXPECT_EQ(runs[2].time, kStart + 100);
    EXPECT_EQ(runs[3].time, kStart + 400);
}

TEST_F(VirtualTimerTest, ClockSetForwardRunsOverdueTimersAtTheNextAdvanceWithoutMovingBack) {
    std::vector<DpcRun> runs;
    Ticker a(1, &runs), b(2, &runs);
    a.Set(kStart + 100);
    b.Set(kStart + 200);
    HostKernel::SetTimeWithoutRunning(kStart + 10000);
    EXPECT_TRUE(runs.empty());
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].id, 1);
    EXPECT_EQ(runs[1].id, 2);
    EXPECT_EQ(runs[0].time, kStart + 10000);
    EXPECT_EQ(runs[1].time, kStart + 10000);
}

TEST_F(VirtualTimerTest, ClockSetBackDelaysTimersUntilTimeReachesThemAgain) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    HostKernel::AdvanceBy(1000);
    ticker.Set(kStart + 2000);
    HostKernel::SetTimeWithoutRunning(kStart);
    HostKernel::AdvanceBy(1500);
    EXPECT_TRUE(runs.empty());
    HostKernel::AdvanceBy(500);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 2000);
}

TEST_F(VirtualTimerTest, InsertQueueDpcQueuesOnceAndPassesItsArguments) {
    struct Seen {
        int runs = 0;
        PVOID a1 = nullptr;
        PVOID a2 = nullptr;
        KIRQL irql = PASSIVE_LEVEL;
    } seen;
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID a1, PVOID a2) {
            auto* s = static_cast<Seen*>(context);
            ++s->runs;
            s->a1 = a1;
            s->a2 = a2;
            s->irql = KeGetCurrentIrql();
        },
        &seen);
    int x = 0, y = 0;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &x, &y));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, &y, &x)) << "a DPC is queued at most once";
    EXPECT_EQ(seen.runs, 0) << "queued, not run, until the queue is drained";
    HostKernel::DrainDpcs();
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.a1, &x);
    EXPECT_EQ(seen.a2, &y);
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "queueable again after it ran";
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    HostKernel::DrainDpcs();
    EXPECT_EQ(seen.runs, 1);
}

TEST_F(VirtualTimerTest, TimerExpiringWhileItsDpcIsQueuedDoesNotQueueItTwice) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ASSERT_TRUE(KeInsertQueueDpc(&ticker.dpc, nullptr, nullptr));
    ticker.Set(kStart - 10);  // already due: expires at once, its DPC is already queued
    HostKernel::DrainDpcs();
    EXPECT_EQ(runs.size(), 1u);
}

TEST_F(VirtualTimerTest, ExtremeDueTimesAreNeverReachedButStayCancellable) {
    std::vector<DpcRun> runs;
    Ticker far(1, &runs), relative(2, &runs);
    far.Set(INT64_MAX);
    relative.Set(INT64_MIN);  // relative by the whole range: saturates, never due
    HostKernel::AdvanceBy(1000000000LL);
    EXPECT_TRUE(runs.empty());
    EXPECT_TRUE(KeCancelTimer(&far.timer));
    EXPECT_TRUE(KeCancelTimer(&relative.timer));
}

TEST_F(VirtualTimerTest, BootForgetsTimersAndQueuedDpcsAndRestartsTheClock) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.Set(kStart + 100);
    KDPC queued;
    KeInitializeDpc(
        &queued, [](PKDPC, PVOID, PVOID, PVOID) { FAIL() << "forgotten DPC ran"; }, nullptr);
    KeInsertQueueDpc(&queued, nullptr, nullptr);
    HostKernel::Boot(host::ClockMode::Virtual, 42);
    EXPECT_EQ(HostKernel::Now(), 42);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
    HostKernel::AdvanceTo(kStart + 1000);
    EXPECT_TRUE(runs.empty());
}

TEST_F(VirtualTimerTest, BootPutsTheCallingThreadBackToPassiveLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockRaiseToDpc(&lock);  // as if a test failed before releasing it
    HostKernel::Boot(host::ClockMode::Virtual);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(VirtualTimerTest, AdvancingFromDispatchLevelIsRefused) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.Set(kStart + 10);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        HostKernel::AdvanceBy(100);
    }
    ExpectViolations({host::Rule::IrqlTooHigh});
    EXPECT_TRUE(runs.empty());
    HostKernel::AdvanceBy(100);
    EXPECT_EQ(runs.size(), 1u);
}

TEST_F(VirtualTimerTest, TwoThreadsAdvancingTogetherNeverRunDpcsAtTheSameTime) {
    struct Shared {
        std::atomic<int> running{0};
        std::atomic<int> overlaps{0};
        std::atomic<int> runs{0};
    } shared;
    constexpr int kTimers = 64;
    std::vector<KTIMER> timers(kTimers);
    std::vector<KDPC> dpcs(kTimers);
    for (int i = 0; i < kTimers; ++i) {
        KeInitializeTimer(&timers[i]);
        KeInitializeDpc(
            &dpcs[i],
            [](PKDPC, PVOID context, PVOID, PVOID) {
                auto* s = static_cast<Shared*>(context);
                if (s->running.fetch_add(1) != 0) {
                    s->overlaps.fetch_add(1);
                }
                std::this_thread::yield();
                s->running.fetch_sub(1);
                s->runs.fetch_add(1);
            },
            &shared);
        LARGE_INTEGER due;
        due.QuadPart = kStart + 10 * (i + 1);
        KeSetTimer(&timers[i], due, &dpcs[i]);
    }
    std::thread other([] {
        for (int step = 0; step < kTimers; ++step) {
            HostKernel::AdvanceBy(5);
        }
    });
    for (int step = 0; step < kTimers; ++step) {
        HostKernel::AdvanceBy(5);
    }
    other.join();
    HostKernel::AdvanceTo(kStart + 10 * kTimers);
    EXPECT_EQ(shared.runs.load(), kTimers);
    EXPECT_EQ(shared.overlaps.load(), 0);
}

TEST_F(VirtualTimerTest, FrameScheduleWithAbsoluteDueTimesDoesNotDrift) {
    // The pacing pattern of a frame pump: tick k at start + k x period.
    struct Pump {
        KTIMER timer;
        KDPC dpc;
        int64_t start;
        int64_t period;
        uint32_t tick = 0;
        std::vector<int64_t> times;
    } pump;
    pump.start = HostKernel::Now();
    pump.period = 333667;
    KeInitializeTimer(&pump.timer);
    KeInitializeDpc(
        &pump.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* p = static_cast<Pump*>(context);
            ++p->tick;
            p->times.push_back(HostKernel::Now());
            LARGE_INTEGER due;
            due.QuadPart = p->start + static_cast<int64_t>(p->tick + 1) * p->period;
            KeSetTimer(&p->timer, due, &p->dpc);
        },
        &pump);
    LARGE_INTEGER due;
    due.QuadPart = pump.start + pump.period;
    KeSetTimer(&pump.timer, due, &pump.dpc);
    HostKernel::AdvanceBy(30 * pump.period + 10);
    ASSERT_EQ(pump.times.size(), 30u);
    for (size_t k = 0; k < pump.times.size(); ++k) {
        EXPECT_EQ(pump.times[k], pump.start + static_cast<int64_t>(k + 1) * pump.period);
    }
    KeCancelTimer(&pump.timer);
}

}  // namespace
