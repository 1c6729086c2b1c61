// Deliberately broken calls the verifier must catch, each with the rule it
// breaks; and the verifier's own bookkeeping (reset, descriptions, threads).
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using host::HostKernel;
using host::PoolTag;
using host::Rule;
using host::Verifier;

namespace {

class VerifierTest : public KernelTestFixture {};

bool DetailMentions(const char* text) {
    for (const auto& violation : Verifier::Violations()) {
        if (violation.detail.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// ---- IRQL rules --------------------------------------------------------------

TEST_F(VerifierTest, PagedCodeAtDispatchLevelIsReportedWithFileAndLine) {
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        HostPagedCodeCheck("driver/pin/VcamPin.cpp", 123);
    }
    auto violations = Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].site, "driver/pin/VcamPin.cpp:123");
    ExpectViolations({Rule::PagedCodeAtRaisedIrql});
}

TEST_F(VerifierTest, PagedCodeAtPassiveAndApcLevelIsFine) {
    HostPagedCodeCheck(__FILE__, __LINE__);
    host::ScopedIrql apc(APC_LEVEL);
    HostPagedCodeCheck(__FILE__, __LINE__);
    EXPECT_EQ(Verifier::ViolationCount(), 0u);
}

TEST_F(VerifierTest, WaitAtDispatchLevelIsReportedAndReturnsAtOnce) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS status;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        status = KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    }
    EXPECT_NE(status, STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), HostKernel::kDefaultVirtualStart) << "no time passed";
    ExpectViolations({Rule::WaitAtRaisedIrql});
}

TEST_F(VerifierTest, RundownWaitAtDispatchLevelIsReported) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        ExWaitForRundownProtectionRelease(&ref);
    }
    ExpectViolations({Rule::WaitAtRaisedIrql});
}

TEST_F(VerifierTest, PagedPoolAtDispatchLevelIsReported) {
    void* block;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        block = ExAllocatePoolWithTag(PagedPool, 8, 'gaPT');
    }
    ExpectViolations({Rule::IrqlTooHigh});
    ExFreePool(block);
}

TEST_F(VerifierTest, SetTimerAboveDispatchLevelIsReported) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    {
        host::ScopedIrql high(HIGH_LEVEL);
        KeCancelTimer(&timer);
    }
    ExpectViolations({Rule::IrqlTooHigh});
}

// ---- pool rules --------------------------------------------------------------

TEST_F(VerifierTest, DoubleFreeIsReportedAndDoesNotCrash) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'elbD');
    ExFreePool(block);
    ExFreePool(block);
    ExpectViolations({Rule::PoolDoubleFree});
}

TEST_F(VerifierTest, FreeOfMemoryThePoolNeverHandedOutIsReported) {
    int onTheStack[4] = {};
    ExFreePool(onTheStack);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, PoolTag("Ukdn"));
    ExFreePool(static_cast<char*>(block) + 8);  // inside a block, not its start
    ExFreePool(nullptr);
    ExpectViolations({Rule::PoolUnknownFree, Rule::PoolUnknownFree, Rule::PoolUnknownFree});
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("Ukdn")), 1u)
        << "a bad free leaves the real block alone";
    ExFreePool(block);
}

TEST_F(VerifierTest, FreeWithTheWrongTagIsReported) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Righ"));
    ExFreePoolWithTag(block, PoolTag("Wron"));
    ExpectViolations({Rule::Other});
}

TEST_F(VerifierTest, LeakIsReportedByTag) {
    const uint32_t tag = PoolTag("Leak");
    void* kept = ExAllocatePoolWithTag(NonPagedPoolNx, 48, tag);
    Verifier::CheckNoLeaks();
    auto violations = Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, Rule::PoolLeak);
    EXPECT_NE(violations[0].detail.find("'Leak'"), std::string::npos) << violations[0].detail;
    EXPECT_NE(violations[0].detail.find("48 bytes"), std::string::npos) << violations[0].detail;
    ExpectViolations({Rule::PoolLeak});
    ExFreePool(kept);
    Verifier::CheckNoLeaks();
    EXPECT_EQ(Verifier::ViolationCount(), 0u);
}

TEST_F(VerifierTest, OutstandingSinceNamesOnlyBlocksMadeAfterTheMark) {
    void* before = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Befo"));
    uint64_t mark = Verifier::AllocationMark();
    void* after = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Aftr"));
    auto leaked = Verifier::OutstandingSince(mark);
    ASSERT_EQ(leaked.size(), 1u);
    EXPECT_EQ(leaked[0].address, after);
    EXPECT_NE(Verifier::DescribeBlocks(leaked).find("'Aftr'"), std::string::npos);
    ExFreePool(before);
    ExFreePool(after);
}

TEST_F(VerifierTest, FreeingMemoryThatHoldsAnArmedTimerIsReportedAndTheTimerNeverFires) {
    struct Owner {
        KTIMER timer;
        KDPC dpc;
    };
    static int fired = 0;
    fired = 0;
    auto* owner = static_cast<Owner*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Owner), 'mrTO'));
    KeInitializeTimer(&owner->timer);
    KeInitializeDpc(
        &owner->dpc, [](PKDPC, PVOID, PVOID, PVOID) { ++fired; }, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -1000;
    KeSetTimer(&owner->timer, due, &owner->dpc);
    ExFreePool(owner);
    EXPECT_TRUE(DetailMentions("armed KTIMER"));
    ExpectViolations({Rule::PoolFreeWithLiveObject});
    HostKernel::AdvanceBy(10000);
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
}

TEST_F(VerifierTest, FreeingMemoryThatHoldsAQueuedDpcIsReported) {
    auto* dpc = static_cast<KDPC*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), 'cpDQ'));
    KeInitializeDpc(
        dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    ExFreePool(dpc);
    ExpectViolations({Rule::PoolFreeWithLiveObject});
    HostKernel::DrainDpcs();  // must not run the freed DPC
}

TEST_F(VerifierTest, FreeingTheDpcOfAnArmedTimerIsReported) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    auto* dpc = static_cast<KDPC*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KDPC), 'cpDT'));
    KeInitializeDpc(
        dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -1000;
    KeSetTimer(&timer, due, dpc);
    ExFreePool(dpc);
    ExpectViolations({Rule::PoolFreeWithLiveObject});
    EXPECT_FALSE(KeCancelTimer(&timer)) << "the verifier disarmed it";
}

TEST_F(VerifierTest, FreeingMemoryThatHoldsALiveLookasideListIsReported) {
    auto* list = static_cast<NPAGED_LOOKASIDE_LIST*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(NPAGED_LOOKASIDE_LIST), 'sLkL'));
    ExInitializeNPagedLookasideList(list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, 'tnEL', 0);
    ExFreePool(list);
    ExpectViolations({Rule::PoolFreeWithLiveObject});
}

TEST_F(VerifierTest, FreedMemoryIsPoisonedSoStaleObjectsReadAsUninitialised) {
    auto* timer =
        static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), 'mTtS'));
    KeInitializeTimer(timer);
    ExFreePool(timer);
#if !defined(VCAM_SANITIZER_BUILD)
    // Reading freed memory on purpose: only outside sanitizer builds.
    LARGE_INTEGER due;
    due.QuadPart = -10;
    KeSetTimer(timer, due, nullptr);
    ExpectViolations({Rule::UninitializedObject});
#endif
}

// ---- spin lock rules ---------------------------------------------------------

TEST_F(VerifierTest, ReleaseOfALockNotHeldIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
    }
    ExpectViolations({Rule::SpinLockNotHeld});
}

TEST_F(VerifierTest, ReleaseByAThreadThatDoesNotHoldTheLockIsReportedAndLeavesItHeld) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    std::thread other([&] {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
    });
    other.join();
    ExpectViolations({Rule::SpinLockNotHeld});
    EXPECT_NE(lock, 0u) << "still held by this thread";
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(Verifier::ViolationCount(), 0u);
}

TEST_F(VerifierTest, AcquireByTheHolderIsReportedWithoutDeadlock) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeReleaseSpinLock(&lock, old);
    ExpectViolations({Rule::SpinLockRecursion});
    EXPECT_EQ(lock, 0u) << "the outer release freed it";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(VerifierTest, DpcLevelVariantsBelowDispatchAreReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    ExpectViolations({Rule::SpinLockIrql, Rule::SpinLockIrql});
}

TEST_F(VerifierTest, UninitialisedSpinLockIsReported) {
    auto* lock =
        static_cast<KSPIN_LOCK*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN_LOCK), 'kcLS'));
    KIRQL old = KeAcquireSpinLockRaiseToDpc(lock);
    KeReleaseSpinLock(lock, old);
    ExpectViolations({Rule::UninitializedObject});
    ExFreePool(lock);
}

TEST_F(VerifierTest, LockOrderCycleIsReportedEvenWithoutADeadlock) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&a);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(Verifier::ViolationCount(), 0u);
    old = KeAcquireSpinLockRaiseToDpc(&b);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);
    ExpectViolations({Rule::LockOrder});
}

TEST_F(VerifierTest, LockOrderCycleThroughThreeLocksOnThreeThreadsIsReported) {
    KSPIN_LOCK locks[3];
    for (auto& lock : locks) {
        KeInitializeSpinLock(&lock);
    }
    for (int i = 0; i < 3; ++i) {
        std::thread worker([&, i] {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&locks[i]);
            KeAcquireSpinLockAtDpcLevel(&locks[(i + 1) % 3]);
            KeReleaseSpinLockFromDpcLevel(&locks[(i + 1) % 3]);
            KeReleaseSpinLock(&locks[i], old);
        });
        worker.join();
    }
    ExpectViolations({Rule::LockOrder});
}

TEST_F(VerifierTest, LockOrderCoversLocksTheClassLibraryRegisters) {
    std::mutex processing;
    KSPIN_LOCK queue;
    KeInitializeSpinLock(&queue);
    // Processing mutex, then the queue's spin lock: the usual order.
    processing.lock();
    Verifier::NoteLockAcquired(&processing, "processing mutex");
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&queue);
    KeReleaseSpinLock(&queue, old);
    Verifier::NoteLockReleased(&processing);
    processing.unlock();
    EXPECT_EQ(Verifier::ViolationCount(), 0u);
    // The other order closes the cycle.
    old = KeAcquireSpinLockRaiseToDpc(&queue);
    Verifier::NoteLockAcquired(&processing, "processing mutex");
    Verifier::NoteLockReleased(&processing);
    KeReleaseSpinLock(&queue, old);
    EXPECT_TRUE(DetailMentions("processing mutex"));
    ExpectViolations({Rule::LockOrder});
    Verifier::ForgetLock(&processing);
}

TEST_F(VerifierTest, RegisteredLockTakenTwiceOrReleasedUnheldIsReported) {
    int fakeLock = 0;
    Verifier::NoteLockAcquired(&fakeLock, "model mutex");
    Verifier::NoteLockAcquired(&fakeLock, "model mutex");
    Verifier::NoteLockReleased(&fakeLock);
    Verifier::NoteLockReleased(&fakeLock);
    ExpectViolations({Rule::LockOrder, Rule::Other});
    Verifier::ForgetLock(&fakeLock);
}

TEST_F(VerifierTest, FreedLockForgetsItsOrderSoAReusedAddressStartsClean) {
    auto* locks = static_cast<KSPIN_LOCK*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, 2 * sizeof(KSPIN_LOCK), 'kcLF'));
    KeInitializeSpinLock(&locks[0]);
    KeInitializeSpinLock(&locks[1]);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&locks[0]);
    KeAcquireSpinLockAtDpcLevel(&locks[1]);
    KeReleaseSpinLockFromDpcLevel(&locks[1]);
    KeReleaseSpinLock(&locks[0], old);
    // Re-initialised locks at the same addresses are new locks.
    KeInitializeSpinLock(&locks[0]);
    KeInitializeSpinLock(&locks[1]);
    old = KeAcquireSpinLockRaiseToDpc(&locks[1]);
    KeAcquireSpinLockAtDpcLevel(&locks[0]);
    KeReleaseSpinLockFromDpcLevel(&locks[0]);
    KeReleaseSpinLock(&locks[1], old);
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
    ExFreePool(locks);
}

// ---- objects -----------------------------------------------------------------

TEST_F(VerifierTest, UninitialisedTimerDpcAndEventAreReported) {
    auto* raw = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 512, 'inUO'));
    auto* timer = reinterpret_cast<KTIMER*>(raw);
    auto* dpc = reinterpret_cast<KDPC*>(raw + 128);
    auto* event = reinterpret_cast<KEVENT*>(raw + 256);
    LARGE_INTEGER due;
    due.QuadPart = -100;
    EXPECT_FALSE(KeSetTimer(timer, due, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(dpc, nullptr, nullptr));
    KeSetEvent(event, 0, FALSE);
    ExpectViolations(
        {Rule::UninitializedObject, Rule::UninitializedObject, Rule::UninitializedObject});
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
    ExFreePool(raw);
}

TEST_F(VerifierTest, LookasideDeletedWithEntriesOutIsReported) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, 'tuOL', 0);
    void* entry = ExAllocateFromNPagedLookasideList(&list);
    ExDeleteNPagedLookasideList(&list);
    ExpectViolations({Rule::LookasideMisuse});
    ExFreePool(entry);
}

// The list's allocation and free are the kernel headers' inline code, which
// calls through the list: before initialisation that is whatever the memory
// holds (Windows jumps there too), after delete the host's reporting routines.
TEST_F(VerifierTest, LookasideUsedAfterDeleteIsReported) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, 'inUL', 0);
    void* entry = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(entry, nullptr);
    ExFreeToNPagedLookasideList(&list, entry);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    ExpectViolations({Rule::UninitializedObject});
    ExDeleteNPagedLookasideList(&list);
    ExpectViolations({Rule::UninitializedObject});
}

// The default free routine sees only the entry: one no list handed out is
// reported (which list it came from is beyond what the inline free passes).
TEST_F(VerifierTest, EntryNoListHandedOutFreedToAListIsReported) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, 'tsrF', 0);
    void* stranger = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tsrF');
    ExFreeToNPagedLookasideList(&list, stranger);
    ExpectViolations({Rule::LookasideMisuse});
    ExFreePool(stranger);
    ExDeleteNPagedLookasideList(&list);
}

TEST_F(VerifierTest, WaitingForRundownOneHoldsItselfIsReportedInsteadOfHanging) {
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    ExWaitForRundownProtectionRelease(&ref);
    ExpectViolations({Rule::Other});
    ExReleaseRundownProtection(&ref);
}

// ---- unload checks -----------------------------------------------------------

TEST_F(VerifierTest, UnloadWithATimerSetIsReported) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -1000000;
    KeSetTimer(&timer, due, &dpc);
    Verifier::CheckUnload();
    ExpectViolations({Rule::TimerStillSet});
    KeCancelTimer(&timer);
    Verifier::CheckUnload();
    EXPECT_EQ(Verifier::ViolationCount(), 0u);
}

TEST_F(VerifierTest, UnloadWithADpcQueuedIsReported) {
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    Verifier::CheckUnload();
    ExpectViolations({Rule::DpcStillQueued});
    KeRemoveQueueDpc(&dpc);
}

TEST_F(VerifierTest, UnloadWithALookasideListNotDeletedIsReported) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, 'eDoN', 0);
    Verifier::CheckUnload();
    EXPECT_TRUE(DetailMentions("'NoDe'"));
    ExpectViolations({Rule::LookasideNotDeleted});
    ExDeleteNPagedLookasideList(&list);
}

// ---- the verifier itself -----------------------------------------------------

TEST_F(VerifierTest, DescribeNamesRuleSiteAndDetail) {
    EXPECT_NE(Verifier::Describe().find("no verifier violations"), std::string::npos);
    Verifier::Report(Rule::KsObject, "pin.cpp:7", "callback returned STATUS_PENDING");
    std::string text = Verifier::Describe();
    EXPECT_NE(text.find("KsObject"), std::string::npos) << text;
    EXPECT_NE(text.find("pin.cpp:7"), std::string::npos) << text;
    EXPECT_NE(text.find("STATUS_PENDING"), std::string::npos) << text;
    ExpectViolations({Rule::KsObject});
}

TEST_F(VerifierTest, ReportedSiteNamesTheCallingModule) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'etiS');
    ExFreePool(block);
    ExFreePool(block);
    auto violations = Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].site.find("test_host+0x"), std::string::npos) << violations[0].site;
    ExpectViolations({Rule::PoolDoubleFree});
}

TEST_F(VerifierTest, ReportsFromManyThreadsAreAllKept) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) {
                Verifier::Report(Rule::Other, "thread", "report");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(Verifier::ViolationCount(), 2000u);
    Verifier::Reset();
}

TEST_F(VerifierTest, ResetClearsViolationsFaultsAndCounters) {
    Verifier::Report(Rule::Other, "", "x");
    Verifier::FailAll(true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseR'), nullptr);
    Verifier::Reset();
    EXPECT_EQ(Verifier::ViolationCount(), 0u);
    EXPECT_EQ(Verifier::AllocationCount(), 0u);
    EXPECT_EQ(Verifier::InjectedFailures(), 0u);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseR');
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST_F(VerifierTest, RuleNamesAreDistinct) {
    EXPECT_STREQ(host::RuleName(Rule::PoolDoubleFree), "PoolDoubleFree");
    EXPECT_STREQ(host::RuleName(Rule::LockOrder), "LockOrder");
    EXPECT_STRNE(host::RuleName(Rule::TimerStillSet), host::RuleName(Rule::DpcStillQueued));
}

}  // namespace
