// The real clock: system time is the wall clock, timers fire on the timer
// thread, DPCs run one at a time at DISPATCH_LEVEL on the DPC thread, waits
// really block. Behavioural checks only: nothing here asserts how long
// anything took.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

using host::ClockMode;
using host::HostKernel;

namespace {

constexpr int64_t kUnixEpochIn1601 = 116444736000000000LL;

int64_t WallClock() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 +
           kUnixEpochIn1601;
}

NTSTATUS Wait(KEVENT* event, PLARGE_INTEGER timeout = nullptr) {
    return KeWaitForSingleObject(event, Suspended, KernelMode, FALSE, timeout);
}

// What a DPC saw when it ran: its thread, IRQL and the system time.
struct DpcWitness {
    KEVENT done;
    std::atomic<int> runs{0};
    std::thread::id thread;
    KIRQL irql = PASSIVE_LEVEL;
    int64_t time = 0;

    DpcWitness() { KeInitializeEvent(&done, NotificationEvent, FALSE); }

    static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<DpcWitness*>(context);
        self->thread = std::this_thread::get_id();
        self->irql = KeGetCurrentIrql();
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        self->time = now.QuadPart;
        self->runs.fetch_add(1);
        KeSetEvent(&self->done, 0, FALSE);
    }
};

class RealClockTest : public RealClockKernelTestFixture {};

TEST_F(RealClockTest, SystemTimeIsTheWallClockIn100nsSince1601) {
    EXPECT_EQ(HostKernel::Mode(), ClockMode::Real);
    int64_t before = WallClock();
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    int64_t after = WallClock();
    EXPECT_LE(before, now.QuadPart);
    EXPECT_LE(now.QuadPart, after);
}

TEST_F(RealClockTest, TimerFiresAndItsDpcRunsAtDispatchLevelOnAnotherThread) {
    DpcWitness witness;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, &DpcWitness::Routine, &witness);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER due;
    due.QuadPart = now.QuadPart + 20 * 10000;  // 20 ms from now, absolute
    KeSetTimer(&timer, due, &dpc);
    EXPECT_EQ(Wait(&witness.done), STATUS_SUCCESS);
    EXPECT_EQ(witness.runs.load(), 1);
    EXPECT_NE(witness.thread, std::this_thread::get_id());
    EXPECT_EQ(witness.irql, DISPATCH_LEVEL);
    EXPECT_GE(witness.time, due.QuadPart) << "a timer never fires before its due time";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(RealClockTest, RelativeTimerFiresAndPastDueTimerFiresAtOnce) {
    DpcWitness relative, past;
    KTIMER timerA, timerB;
    KDPC dpcA, dpcB;
    KeInitializeTimer(&timerA);
    KeInitializeTimer(&timerB);
    KeInitializeDpc(&dpcA, &DpcWitness::Routine, &relative);
    KeInitializeDpc(&dpcB, &DpcWitness::Routine, &past);
    LARGE_INTEGER due;
    due.QuadPart = -5 * 10000;
    KeSetTimer(&timerA, due, &dpcA);
    due.QuadPart = HostKernel::kDefaultVirtualStart;  // long past on the wall clock
    KeSetTimer(&timerB, due, &dpcB);
    EXPECT_EQ(Wait(&relative.done), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&past.done), STATUS_SUCCESS);
    EXPECT_EQ(relative.irql, DISPATCH_LEVEL);
    EXPECT_EQ(past.irql, DISPATCH_LEVEL);
}

TEST_F(RealClockTest, QueuedDpcRunsOnTheDpcThreadAndDrainWaitsForIt) {
    DpcWitness witness;
    KDPC dpc;
    KeInitializeDpc(&dpc, &DpcWitness::Routine, &witness);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    HostKernel::DrainDpcs();
    EXPECT_EQ(witness.runs.load(), 1);
    EXPECT_NE(witness.thread, std::this_thread::get_id());
    EXPECT_EQ(witness.irql, DISPATCH_LEVEL);
}

// Two processors: a DPC that waits (briefly, spinning) for another to start
// sees it start; never more than two run at once.
TEST_F(RealClockTest, DpcsRunOnTwoProcessors) {
    struct Counter {
        std::atomic<int> running{0};
        std::atomic<int> maxRunning{0};
        std::atomic<int> runs{0};
    } counter;
    auto routine = [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* c = static_cast<Counter*>(context);
        int now = c->running.fetch_add(1) + 1;
        int seen = c->maxRunning.load();
        while (now > seen && !c->maxRunning.compare_exchange_weak(seen, now)) {
        }
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (c->maxRunning.load() < 2 && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        c->running.fetch_sub(1);
        c->runs.fetch_add(1);
    };
    constexpr int kDpcs = 16;
    KDPC dpcs[kDpcs];
    KTIMER timers[kDpcs];
    for (int i = 0; i < kDpcs; ++i) {
        KeInitializeDpc(&dpcs[i], routine, &counter);
        KeInitializeTimer(&timers[i]);
    }
    for (int i = 0; i < kDpcs; ++i) {
        if (i % 2 == 0) {
            KeInsertQueueDpc(&dpcs[i], nullptr, nullptr);
        } else {
            LARGE_INTEGER due;
            due.QuadPart = -1;
            KeSetTimer(&timers[i], due, &dpcs[i]);
        }
    }
    while (counter.runs.load() < kDpcs) {
        HostKernel::WaitForDpcIdle();
        std::this_thread::yield();
    }
    EXPECT_EQ(counter.maxRunning.load(), 2);
}

TEST_F(RealClockTest, FarFutureTimerStaysSetUntilCancelled) {
    DpcWitness witness;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, &DpcWitness::Routine, &witness);
    LARGE_INTEGER due;
    due.QuadPart = INT64_MAX;
    KeSetTimer(&timer, due, &dpc);
    EXPECT_EQ(HostKernel::NextDueTime(), INT64_MAX);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_EQ(witness.runs.load(), 0);
}

TEST_F(RealClockTest, WaitBlocksUntilAnotherThreadSignals) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<bool> setterRan{false};
    std::thread setter([&] {
        setterRan = true;
        KeSetEvent(&event, 0, FALSE);
    });
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    EXPECT_TRUE(setterRan.load());
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    setter.join();
}

TEST_F(RealClockTest, WaitWithATimeoutReturnsTimeoutWhenNothingSignals) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -2 * 10000;
    EXPECT_EQ(Wait(&event, &timeout), static_cast<NTSTATUS>(0x00000102L));
}

TEST_F(RealClockTest, SpinLockSharedWithTimerDpcsExcludesThem) {
    struct Shared {
        KSPIN_LOCK lock;
        long counter = 0;
        KTIMER timer;
        KDPC dpc;
        KEVENT done;
        int remaining = 50;
    } shared;
    KeInitializeSpinLock(&shared.lock);
    KeInitializeTimer(&shared.timer);
    KeInitializeEvent(&shared.done, NotificationEvent, FALSE);
    KeInitializeDpc(
        &shared.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* s = static_cast<Shared*>(context);
            KeAcquireSpinLockAtDpcLevel(&s->lock);
            long value = s->counter;
            std::this_thread::yield();
            s->counter = value + 1;
            KeReleaseSpinLockFromDpcLevel(&s->lock);
            if (--s->remaining > 0) {
                LARGE_INTEGER due;
                due.QuadPart = -1000;
                KeSetTimer(&s->timer, due, &s->dpc);
            } else {
                KeSetEvent(&s->done, 0, FALSE);
            }
        },
        &shared);
    LARGE_INTEGER due;
    due.QuadPart = -1000;
    KeSetTimer(&shared.timer, due, &shared.dpc);
    for (int i = 0; i < 2000; ++i) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&shared.lock);
        long value = shared.counter;
        shared.counter = value + 1;
        KeReleaseSpinLock(&shared.lock, old);
    }
    EXPECT_EQ(Wait(&shared.done), STATUS_SUCCESS);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&shared.lock);
    EXPECT_EQ(shared.counter, 2050);
    KeReleaseSpinLock(&shared.lock, old);
}

// Not a fixture test: the clock is switched back and forth inside one test.
TEST(ClockSwitchTest, RealThenVirtualBootsWorkRepeatedly) {
    for (int round = 0; round < 5; ++round) {
        HostKernel::Boot(ClockMode::Real);
        host::Verifier::Reset();
        DpcWitness witness;
        KTIMER timer;
        KDPC dpc;
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, &DpcWitness::Routine, &witness);
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimer(&timer, due, &dpc);
        ASSERT_EQ(Wait(&witness.done), STATUS_SUCCESS);
        EXPECT_EQ(witness.irql, DISPATCH_LEVEL);

        HostKernel::Boot(ClockMode::Virtual, 1000000 * (round + 1));
        EXPECT_EQ(HostKernel::Mode(), ClockMode::Virtual);
        EXPECT_EQ(HostKernel::Now(), 1000000 * (round + 1));
        DpcWitness virtualWitness;
        KeInitializeDpc(&dpc, &DpcWitness::Routine, &virtualWitness);
        KeSetTimer(&timer, due, &dpc);
        HostKernel::AdvanceBy(HostKernel::TickInterval());
        EXPECT_EQ(virtualWitness.runs.load(), 1);
        EXPECT_EQ(virtualWitness.thread, std::this_thread::get_id());
        EXPECT_EQ(virtualWitness.time, 1000000 * (round + 1) + HostKernel::TickInterval());
    }
    HostKernel::Shutdown();
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

}  // namespace
