// Critical regions and thread suspension: regions nest per thread and only at
// APC_LEVEL or below; a thread armed for suspension is suspended at a
// platform call it makes at PASSIVE_LEVEL, inside a critical region only where
// the variant says a region does not block suspension; a rundown wait that
// only a suspended holder can end lets the virtual clock run to the end of
// the suspension, or is reported when the suspension has none.
#include "support/KernelTestFixture.h"

#include <host/executive/CriticalRegion.h>
#include <host/executive/Suspension.h>
#include <host/ntddk.h>
#include <host/variants/Variants.h>

#include <atomic>
#include <thread>

using host::CriticalRegion;
using host::HostKernel;
using host::Rule;
using host::Suspension;
using host::Variant;
using host::Variants;

namespace {

class SuspensionTest : public KernelTestFixture {
  protected:
    void TearDown() override {
        Suspension::ResumeAll();
        Variants::Reset();
        KernelTestFixture::TearDown();
    }
};

TEST_F(SuspensionTest, CriticalRegionsNestPerThreadAtApcLevelOrBelow) {
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_EQ(CriticalRegion::Depth(), 2);
    int otherDepth = -1;
    std::thread([&otherDepth] { otherDepth = CriticalRegion::Depth(); }).join();
    EXPECT_EQ(otherDepth, 0);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_EQ(CriticalRegion::Depth(), 0);

    KeLeaveCriticalRegion();  // not in one
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KeEnterCriticalRegion();
    }
    EXPECT_EQ(CriticalRegion::Depth(), 0);
    ExpectViolations({Rule::Other, Rule::IrqlTooHigh});
}

// Has a thread signal an event at `irql`, inside a critical region if
// `inRegion`, then another at PASSIVE_LEVEL outside any; the thread is armed
// (inside the region) to be suspended at its first suspension point. Returns how many points it was
// suspended at before the first signal.
int SuspendedBeforeFirstSignal(KIRQL irql, bool inRegion) {
    KEVENT first, second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, FALSE);
    std::atomic<bool> armed{false};
    std::thread thread([&] {
        if (inRegion) {
            KeEnterCriticalRegion();
        }
        Suspension::Arm(1, -1);
        armed.store(true);
        {
            host::ScopedIrql raised(irql);
            KeSetEvent(&first, 0, FALSE);
        }
        if (inRegion) {
            KeLeaveCriticalRegion();  // suspension point after leaving
        }
        KeSetEvent(&second, 0, FALSE);
    });
    while (!armed.load()) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(Suspension::WaitUntilSuspended(1));
    const int result = KeReadStateEvent(&first) == 0 ? 1 : 0;
    EXPECT_EQ(KeReadStateEvent(&second), 0);  // suspended before the last signal
    Suspension::ResumeAll();
    thread.join();
    return result;
}

TEST_F(SuspensionTest, AThreadIsSuspendedOnlyAtPassiveLevelAndOutsideARegionThatBlocksIt) {
    EXPECT_EQ(SuspendedBeforeFirstSignal(PASSIVE_LEVEL, false), 1);
    EXPECT_EQ(SuspendedBeforeFirstSignal(DISPATCH_LEVEL, false), 0);
    ASSERT_TRUE(Variants::Is(Variant::SuspendCriticalRegion, "blocks"));
    EXPECT_EQ(SuspendedBeforeFirstSignal(PASSIVE_LEVEL, true), 0);
    Variants::Set(Variant::SuspendCriticalRegion, 1);
    ASSERT_TRUE(Variants::Is(Variant::SuspendCriticalRegion, "not"));
    EXPECT_EQ(SuspendedBeforeFirstSignal(PASSIVE_LEVEL, true), 1);
    EXPECT_EQ(Suspension::SuspensionsSince(), 4);
}

TEST_F(SuspensionTest, ARundownWaitOnASuspendedHolderLetsTheVirtualClockRunToItsEnd) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    std::atomic<bool> armed{false};
    std::thread holder([&] {
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        Suspension::Arm(1, 10000000);  // 1 s
        armed.store(true);
        ExReleaseRundownProtection(&ref);  // suspended before it releases
    });
    while (!armed.load()) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(Suspension::WaitUntilSuspended(1));
    const int64_t before = HostKernel::Now();
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_EQ(HostKernel::Now() - before, 10000000);
    holder.join();
    EXPECT_EQ(Suspension::SuspendedCount(), 0);
}

TEST_F(SuspensionTest, ARundownWaitOnAHolderSuspendedWithoutEndIsReported) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    std::atomic<bool> armed{false};
    std::thread holder([&] {
        ASSERT_TRUE(ExAcquireRundownProtection(&ref));
        Suspension::Arm(1, -1);
        armed.store(true);
        ExReleaseRundownProtection(&ref);
    });
    while (!armed.load()) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(Suspension::WaitUntilSuspended(1));
    const int64_t before = HostKernel::Now();
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_EQ(HostKernel::Now(), before);
    EXPECT_NE(FirstDetail().find("suspended without end"), std::string::npos) << FirstDetail();
    ExpectViolations({Rule::Other});
    Suspension::ResumeAll();
    holder.join();
}

}  // namespace
