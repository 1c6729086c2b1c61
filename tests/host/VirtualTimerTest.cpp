// DPCs and timers on the virtual clock: clock interrupts every tick, absolute
// and relative due times, due times already past, system clock sets, stalls,
// re-arming (and a second processor running a re-armed DPC), cancelling,
// ordering, DPCs at DISPATCH_LEVEL.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>
#include <host/variants/Variants.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

using host::HostKernel;

namespace {

constexpr int64_t kStart = HostKernel::kDefaultVirtualStart;
constexpr int64_t kTick = 156250;  // the default clock interrupt interval

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

class VirtualTimerTest : public KernelTestFixture {
  protected:
    void TearDown() override {
        host::Variants::Reset();
        KernelTestFixture::TearDown();
    }
};

int64_t QuerySystemTime() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

TEST_F(VirtualTimerTest, DriverTimeMovesOnAtClockInterruptsTheTestSeesItExactly) {
    EXPECT_EQ(HostKernel::TickInterval(), kTick);
    EXPECT_EQ(QuerySystemTime(), kStart);
    EXPECT_EQ(KeQueryInterruptTime(), 0u) << "interrupt time counts from boot";
    HostKernel::AdvanceBy(1234);
    EXPECT_EQ(HostKernel::Now(), kStart + 1234);
    EXPECT_EQ(HostKernel::InterruptTime(), 1234);
    EXPECT_EQ(QuerySystemTime(), kStart) << "as of the last clock interrupt";
    EXPECT_EQ(KeQueryInterruptTime(), 0u);
    HostKernel::AdvanceTo(kStart + kTick + 5000);
    EXPECT_EQ(QuerySystemTime(), kStart + kTick);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(kTick));
}

TEST_F(VirtualTimerTest, AnAbsoluteTimerExpiresAtTheFirstClockInterruptAtOrAfterItsDueTime) {
    std::vector<DpcRun> runs;
    Ticker between(1, &runs), onTick(2, &runs);
    between.Set(kStart + 1000);
    onTick.Set(kStart + 3 * kTick);
    EXPECT_EQ(HostKernel::NextDueTime(), kStart + 1000);
    EXPECT_EQ(HostKernel::NextExpiry(), kStart + kTick);
    HostKernel::AdvanceBy(kTick - 1);
    EXPECT_TRUE(runs.empty()) << "due, but no clock interrupt yet";
    HostKernel::AdvanceBy(5 * kTick);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].id, 1);
    EXPECT_EQ(runs[0].time, kStart + kTick);
    EXPECT_EQ(runs[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(runs[1].id, 2);
    EXPECT_EQ(runs[1].time, kStart + 3 * kTick) << "a due time on an interrupt is exact";
    EXPECT_EQ(HostKernel::Now(), kStart + 6 * kTick - 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

TEST_F(VirtualTimerTest, TheClockTickVariantPicksTheInterruptInterval) {
    host::Variants::Set(host::Variant::ClockTick, 2);  // 5000: 0.5 ms
    EXPECT_EQ(HostKernel::TickInterval(), 5000);
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.Set(kStart + 12001);
    HostKernel::AdvanceBy(kTick);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 15000);
}

TEST_F(VirtualTimerTest, OneShotTimerRunsOnce) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.Set(kStart + 10);
    HostKernel::AdvanceBy(kTick);
    HostKernel::AdvanceBy(10 * kTick);
    EXPECT_EQ(runs.size(), 1u);
}

TEST_F(VirtualTimerTest, ARelativeTimerCountsFromTheLastInterruptSoItMayExpireATickEarly) {
    std::vector<DpcRun> runs;
    Ticker whole(1, &runs), part(2, &runs), small(3, &runs);
    HostKernel::AdvanceBy(kTick + 500);  // half a millisecond past an interrupt
    whole.Set(-2 * kTick);
    EXPECT_EQ(HostKernel::NextDueTime(), kStart + 3 * kTick) << "500 units early";
    HostKernel::AdvanceBy(3 * kTick);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 3 * kTick);

    part.Set(-(kTick + 1));  // from 4 ticks + 500: due just after tick 5, seen at 6
    small.Set(-1000);        // under a tick: at the next interrupt
    HostKernel::AdvanceBy(3 * kTick);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1].id, 3);
    EXPECT_EQ(runs[1].time, kStart + 5 * kTick);
    EXPECT_EQ(runs[2].id, 2);
    EXPECT_EQ(runs[2].time, kStart + 6 * kTick);
}

TEST_F(VirtualTimerTest, APastDueTimeExpiresAtTheNextInterruptNotAtOnce) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    HostKernel::AdvanceBy(10000);
    ticker.Set(kStart + 10);
    HostKernel::DrainDpcs();
    EXPECT_TRUE(runs.empty()) << "a timer expires only at a clock interrupt";
    EXPECT_EQ(HostKernel::NextExpiry(), kStart + kTick);
    HostKernel::AdvanceBy(kTick);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + kTick);
    EXPECT_EQ(runs[0].irql, DISPATCH_LEVEL);
}

TEST_F(VirtualTimerTest, ResettingASetTimerCancelsTheOldDueTime) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    LARGE_INTEGER first, second;
    first.QuadPart = kStart + kTick;
    second.QuadPart = kStart + 3 * kTick;
    EXPECT_FALSE(KeSetTimer(&ticker.timer, first, &ticker.dpc));
    EXPECT_TRUE(KeSetTimer(&ticker.timer, second, &ticker.dpc)) << "it was set";
    HostKernel::AdvanceBy(2 * kTick);
    EXPECT_TRUE(runs.empty()) << "the first due time was cancelled";
    HostKernel::AdvanceBy(2 * kTick);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, kStart + 3 * kTick);
}

TEST_F(VirtualTimerTest, CancelTimerStopsItAndSaysWhetherItWasSet) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    EXPECT_FALSE(KeCancelTimer(&ticker.timer));
    ticker.Set(kStart + 100);
    EXPECT_TRUE(KeCancelTimer(&ticker.timer));
    EXPECT_FALSE(KeCancelTimer(&ticker.timer));
    HostKernel::AdvanceBy(10 * kTick);
    EXPECT_TRUE(runs.empty());
}

TEST_F(VirtualTimerTest, TimersExpiringAtOneInterruptRunInDueTimeOrder) {
    std::vector<DpcRun> runs;
    Ticker a(1, &runs), b(2, &runs), c(3, &runs), d(4, &runs);
    a.Set(kStart + 300);
    b.Set(kStart + 100);
    c.Set(kStart + 200);
    d.Set(kStart + kTick + 1);
    HostKernel::AdvanceTo(kStart + 3 * kTick);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].id, 2);
    EXPECT_EQ(runs[1].id, 3);
    EXPECT_EQ(runs[2].id, 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(runs[i].time, kStart + kTick);
    }
    EXPECT_EQ(runs[3].id, 4);
    EXPECT_EQ(runs[3].time, kStart + 2 * kTick);
    EXPECT_EQ(HostKernel::Now(), kStart + 3 * kTick);
}

TEST_F(VirtualTimerTest, TimersWithEqualDueTimesRunInTheOrderTheyWereSet) {
    std::vector<DpcRun> runs;
    Ticker a(1, &runs), b(2, &runs);
    b.Set(kStart + 50);
    a.Set(kStart + 50);
    HostKernel::AdvanceBy(kTick);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].id, 2);
    EXPECT_EQ(runs[1].id, 1);
}

TEST_F(VirtualTimerTest, DpcThatRearmsWithinTheAdvanceRunsAgainInTheSameAdvance) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    ticker.rearm = {kStart + 2 * kTick, kStart + 3 * kTick, kStart + 50 * kTick};
    ticker.Set(kStart + kTick);
    HostKernel::AdvanceBy(10 * kTick);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].time, kStart + kTick);
    EXPECT_EQ(runs[1].time, kStart + 2 * kTick);
    EXPECT_EQ(runs[2].time, kStart + 3 * kTick);
    EXPECT_EQ(HostKernel::NextDueTime(), kStart + 50 * kTick);
    EXPECT_TRUE(KeCancelTimer(&ticker.timer));
}

TEST_F(VirtualTimerTest, DpcRearmedForThePresentOrAPastTimeRunsAtTheNextInterrupt) {
    std::vector<DpcRun> runs;
    Ticker ticker(1, &runs);
    // Re-armed for its own due time, then for a past one: each a tick later.
    ticker.rearm = {kStart + kTick, kStart + 60, kStart + 10 * kTick};
    ticker.Set(kStart + kTick);
    HostKernel::AdvanceBy(20 * kTick);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].time, kStart + kTick);
    EXPECT_EQ(runs[1].time, kStart + 2 * kTick);
    EXPECT_EQ(runs[2].time, kStart + 3 * kTick);
    EXPECT_EQ(runs[3].time, kStart + 10 * kTick);
}

TEST_F(VirtualTimerTest, AStallQueuesTheDpcsDueOnTheWayAndTheNextAdvanceRunsThem) {
    std::vector<DpcRun> runs;
    Ticker a(1, &runs), b(2, &runs);
    a.Set(kStart + 100);
    b.Set(kStart + 2 * kTick);
    HostKernel::SetTimeWithoutRunning(kStart + 10 * kTick + 7);
    EXPECT_TRUE(runs.empty());
    EXPECT_EQ(HostKernel::NextDueTime(), -1) << "both expired during the stall";
    HostKernel::AdvanceBy(0);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].id, 1);
    EXPECT_EQ(runs[1].id, 2);
    EXPECT_EQ(runs[0].time, kStart + 10 * kTick + 7);
    EXPECT_EQ(runs[1].time, kStart + 10 * kTick + 7);
    HostKernel::SetTimeWithoutRunning(kStart);
    ExpectViolations({host::Rule::Other});  // interrupt time never goes back
}

TEST_F(VirtualTimerTest, AClockSetBackMovesAbsoluteDueTimesAndLeavesRelativeOnes) {
    std::vector<DpcRun> runs;
    Ticker absolute(1, &runs), relative(2, &runs);
    absolute.Set(kStart + 4 * kTick);
    relative.Set(-4 * kTick);
    HostKernel::AdvanceBy(kTick);
    const int64_t hour = 36000000000LL;
    HostKernel::SetSystemTime(HostKernel::Now() - hour);
    EXPECT_EQ(HostKernel::Now(), kStart + kTick - hour);
    EXPECT_EQ(QuerySystemTime(), kStart + kTick - hour);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(kTick)) << "immune to clock sets";
    HostKernel::AdvanceBy(10 * kTick);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].id, 2) << "relative: four ticks after it was set";
    EXPECT_EQ(runs[0].time, kStart + 4 * kTick - hour);
    EXPECT_EQ(HostKernel::NextDueTime(), kStart + 4 * kTick) << "absolute: an hour away now";
    HostKernel::AdvanceBy(hour);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].time, kStart + 4 * kTick);
}

TEST_F(VirtualTimerTest, AClockSetForwardExpiresPassedAbsoluteTimersAtTheNextInterrupt) {
    std::vector<DpcRun> runs;
    Ticker absolute(1, &runs), relative(2, &runs);
    absolute.Set(kStart + 100 * kTick);
    relative.Set(-4 * kTick);
    HostKernel::SetSystemTime(kStart + 1000 * kTick);
    EXPECT_TRUE(runs.empty()) << "a clock set runs nothing";
    HostKernel::AdvanceBy(kTick);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].id, 1);
    EXPECT_EQ(runs[0].time, kStart + 1001 * kTick);
    HostKernel::AdvanceBy(3 * kTick);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].id, 2);
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(4 * kTick));
}

// A one-shot timer's DPC that re-arms its timer and then, holding no spin
// lock, goes on with more platform calls.
struct RearmingDpc {
    KTIMER timer;
    KDPC dpc;
    KSPIN_LOCK lock;
    int depth = 0;    // runs in progress
    int deepest = 0;  // most runs ever in progress at once
    int runs = 0;
    std::vector<int64_t> times;

    RearmingDpc() {
        KeInitializeTimer(&timer);
        KeInitializeSpinLock(&lock);
        KeInitializeDpc(&dpc, &RearmingDpc::Routine, this);
    }

    static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<RearmingDpc*>(context);
        self->deepest = std::max(self->deepest, ++self->depth);
        self->times.push_back(HostKernel::Now());
        if (++self->runs < 4) {
            LARGE_INTEGER due;
            due.QuadPart = -kTick;
            KeSetTimer(&self->timer, due, &self->dpc);
        }
        KeAcquireSpinLockAtDpcLevel(&self->lock);
        KeReleaseSpinLockFromDpcLevel(&self->lock);  // the first run still finishing
        --self->depth;
    }
};

TEST_F(VirtualTimerTest, AReArmedDpcMayRunOnASecondProcessorWhileItsFirstRunFinishes) {
    RearmingDpc pump;
    int asked = 0;
    HostKernel::SetDpcOverlapChooser([&asked] { return ++asked % 2 == 1; });
    LARGE_INTEGER due;
    due.QuadPart = -kTick;
    KeSetTimer(&pump.timer, due, &pump.dpc);
    HostKernel::AdvanceBy(10 * kTick);
    EXPECT_EQ(pump.runs, 4);
    EXPECT_EQ(pump.deepest, 2) << "run 2 started inside run 1";
    EXPECT_GE(asked, 2);
    ASSERT_EQ(pump.times.size(), 4u);
    for (size_t k = 0; k < pump.times.size(); ++k) {
        EXPECT_EQ(pump.times[k], kStart + static_cast<int64_t>(k + 1) * kTick);
    }
    HostKernel::SetDpcOverlapChooser(nullptr);
}

TEST_F(VirtualTimerTest, UnderOneShotRearmNeverTheRunsNeverOverlap) {
    host::Variants::Set(host::Variant::OneShotRearm, 1);  // never
    RearmingDpc pump;
    int asked = 0;
    HostKernel::SetDpcOverlapChooser([&asked] { return ++asked > 0; });
    LARGE_INTEGER due;
    due.QuadPart = -kTick;
    KeSetTimer(&pump.timer, due, &pump.dpc);
    HostKernel::AdvanceBy(10 * kTick);
    EXPECT_EQ(pump.runs, 4);
    EXPECT_EQ(pump.deepest, 1);
    EXPECT_EQ(asked, 0);
    HostKernel::SetDpcOverlapChooser(nullptr);
}

TEST_F(VirtualTimerTest, AnOverlapNeverCarriesTheClockPastTheAdvancesTarget) {
    RearmingDpc pump;
    HostKernel::SetDpcOverlapChooser([] { return true; });
    LARGE_INTEGER due;
    due.QuadPart = -kTick;
    KeSetTimer(&pump.timer, due, &pump.dpc);
    HostKernel::AdvanceBy(kTick);
    EXPECT_EQ(pump.runs, 1);
    EXPECT_EQ(pump.deepest, 1) << "run 2 is due after the target";
    EXPECT_EQ(HostKernel::Now(), kStart + kTick);
    HostKernel::SetDpcOverlapChooser(nullptr);
    KeCancelTimer(&pump.timer);
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
    ticker.Set(kStart - 10);  // already due: expires at the next interrupt
    HostKernel::SetTimeWithoutRunning(kStart + kTick);  // ... while its DPC is still queued
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
        HostKernel::AdvanceBy(kTick);
    }
    ExpectViolations({host::Rule::IrqlTooHigh});
    EXPECT_TRUE(runs.empty());
    HostKernel::AdvanceBy(kTick);
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
        due.QuadPart = kStart + kTick * (i + 1);
        KeSetTimer(&timers[i], due, &dpcs[i]);
    }
    std::thread other([] {
        for (int step = 0; step < kTimers; ++step) {
            HostKernel::AdvanceBy(kTick / 2);
        }
    });
    for (int step = 0; step < kTimers; ++step) {
        HostKernel::AdvanceBy(kTick / 2);
    }
    other.join();
    HostKernel::AdvanceTo(kStart + kTick * kTimers);
    EXPECT_EQ(shared.runs.load(), kTimers);
    EXPECT_EQ(shared.overlaps.load(), 0);
}

TEST_F(VirtualTimerTest, FrameScheduleWithAbsoluteDueTimesDoesNotDrift) {
    // The pacing pattern of a frame pump: tick k due at start + k x period,
    // seen at the first clock interrupt at or after it, never drifting.
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
    HostKernel::AdvanceBy(30 * pump.period + kTick);
    ASSERT_EQ(pump.times.size(), 30u);
    for (size_t k = 0; k < pump.times.size(); ++k) {
        const int64_t due = static_cast<int64_t>(k + 1) * pump.period;
        const int64_t seen = (due + kTick - 1) / kTick * kTick;
        EXPECT_EQ(pump.times[k], pump.start + seen);
    }
    KeCancelTimer(&pump.timer);
}

}  // namespace
