// Rundown protection: acquisitions fail once rundown started, the wait
// returns only after every holder released, and re-initialisation makes the
// reference usable again; including a race with real threads.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class RundownTest : public KernelTestFixture {};

TEST_F(RundownTest, AcquireSucceedsUntilRundownStarts) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
    ExReleaseRundownProtection(&ref);
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
}

TEST_F(RundownTest, ReInitializeMakesItUsableAgain) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
    ExReInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
}

TEST_F(RundownTest, WaitReturnsOnlyAfterTheHolderOnAnotherThreadReleased) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    std::atomic<bool> acquired{false};
    std::atomic<bool> mayRelease{false};
    std::atomic<bool> released{false};
    std::thread holder([&] {
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        acquired = true;
        while (!mayRelease) {
            std::this_thread::yield();
        }
        released = true;
        ExReleaseRundownProtection(&ref);
    });
    while (!acquired) {
        std::this_thread::yield();
    }
    std::atomic<bool> waitReturned{false};
    bool releasedBeforeReturn = false;
    std::thread waiter([&] {
        ExWaitForRundownProtectionRelease(&ref);
        releasedBeforeReturn = released;
        waitReturned = true;
    });
    // Rundown has started once acquisitions fail; the holder still holds it.
    while (ExAcquireRundownProtection(&ref)) {
        ExReleaseRundownProtection(&ref);
        std::this_thread::yield();
    }
    EXPECT_FALSE(waitReturned.load());
    mayRelease = true;
    holder.join();
    waiter.join();
    EXPECT_TRUE(releasedBeforeReturn);
}

TEST_F(RundownTest, ReleaseOnAnotherThreadThanTheAcquireIsFine) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    std::thread releaser([&] { ExReleaseRundownProtection(&ref); });
    releaser.join();
    // This thread no longer holds it: the wait returns and nothing is reported.
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
}

TEST_F(RundownTest, NoHolderIsInsideAfterTheWaitReturnsUnderARace) {
    // Workers enter and leave under rundown protection as fast as they can;
    // once the wait returns, the protected object counts as freed and nobody
    // may be inside or get in.
    for (int round = 0; round < 20; ++round) {
        EX_RUNDOWN_REF ref;
        ExInitializeRundownProtection(&ref);
        std::atomic<int> inside{0};
        std::atomic<bool> freed{false};
        std::atomic<int> usedAfterFree{0};
        std::atomic<int> entries{0};
        std::vector<std::thread> workers;
        for (int t = 0; t < 3; ++t) {
            workers.emplace_back([&] {
                while (ExAcquireRundownProtection(&ref)) {
                    inside.fetch_add(1);
                    if (freed.load()) {
                        usedAfterFree.fetch_add(1);
                    }
                    entries.fetch_add(1);
                    inside.fetch_sub(1);
                    ExReleaseRundownProtection(&ref);
                }
            });
        }
        while (entries.load() < 10) {
            std::this_thread::yield();
        }
        ExWaitForRundownProtectionRelease(&ref);
        EXPECT_EQ(inside.load(), 0);
        freed = true;
        for (auto& worker : workers) {
            worker.join();
        }
        EXPECT_EQ(usedAfterFree.load(), 0);
        EXPECT_FALSE(ExAcquireRundownProtection(&ref));
    }
}

}  // namespace
