// Spin locks and IRQL: raising to DISPATCH_LEVEL and back, the per-thread
// IRQL, and real mutual exclusion between threads.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class SpinLockTest : public KernelTestFixture {};

TEST_F(SpinLockTest, RaiseToDpcReturnsTheOldIrqlAndReleaseRestoresIt) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, AcquireAtDispatchLevelKeepsDispatchLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
}

TEST_F(SpinLockTest, KeAcquireSpinLockMacroStoresTheOldIrql) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = HIGH_LEVEL;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, old);
}

TEST_F(SpinLockTest, LocksTakenInOneOrderEverywhereAreFine) {
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    for (int i = 0; i < 3; ++i) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&outer);
        KeAcquireSpinLockAtDpcLevel(&inner);
        KeReleaseSpinLockFromDpcLevel(&inner);
        KeReleaseSpinLock(&outer, old);
    }
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&inner);
    KeReleaseSpinLock(&inner, old);
}

TEST_F(SpinLockTest, IrqlIsPerThread) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL seenByOther = HIGH_LEVEL;
    std::thread other([&] { seenByOther = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(seenByOther, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, ScopedIrqlRestoresOnExit) {
    {
        host::ScopedIrql apc(APC_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        }
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, ExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // A read-modify-write split by a yield: any overlap loses an increment.
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                if (inside.fetch_add(1) != 0) {
                    overlaps.fetch_add(1);
                }
                long value = counter;
                if (i % 64 == 0) {
                    std::this_thread::yield();
                }
                counter = value + 1;
                inside.fetch_sub(1);
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
    EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
