// Non-paged lookaside lists: entries are tracked pool blocks with the list's
// tag and size, the default routines are the pool, custom routines are used
// when given, and fault injection reaches lookaside allocations.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <vector>

using host::PoolTag;
using host::Verifier;

namespace {

class LookasideTest : public KernelTestFixture {};

TEST_F(LookasideTest, EntriesArePoolBlocksWithTheListsTagAndSize) {
    const uint32_t tag = PoolTag("SGEn");
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 72, tag, 0);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    void* b = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(Verifier::OutstandingBlocks(tag), 2u);
    for (const auto& info : Verifier::OutstandingList()) {
        if (info.address == a || info.address == b) {
            EXPECT_EQ(info.size, 72u);
            EXPECT_EQ(info.tag, tag);
        }
    }
    ExFreeToNPagedLookasideList(&list, a);
    EXPECT_EQ(Verifier::OutstandingBlocks(tag), 1u);
    ExFreeToNPagedLookasideList(&list, b);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(Verifier::OutstandingBlocks(tag), 0u);
}

TEST_F(LookasideTest, UsableAtDispatchLevel) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, 'tseL', 0);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        void* entry = ExAllocateFromNPagedLookasideList(&list);
        ASSERT_NE(entry, nullptr);
        ExFreeToNPagedLookasideList(&list, entry);
        ExDeleteNPagedLookasideList(&list);
    }
}

TEST_F(LookasideTest, FailTagWithTheListsTagFailsItsAllocations) {
    const uint32_t tag = PoolTag("LkFt");
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
    Verifier::FailTag(tag);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_EQ(Verifier::InjectedFailures(), 1u);
    Verifier::ClearFaults();
    void* entry = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(entry, nullptr);
    EXPECT_EQ(Verifier::AllocationCount(), 2u) << "one count per lookaside allocation";
    ExFreeToNPagedLookasideList(&list, entry);
    ExDeleteNPagedLookasideList(&list);
}

// Custom routines: they see the list's pool type, size and tag.
struct CustomCalls {
    int allocations = 0;
    int frees = 0;
    SIZE_T size = 0;
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
};
CustomCalls customCalls;

PVOID CustomAllocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
    ++customCalls.allocations;
    customCalls.size = size;
    customCalls.tag = tag;
    customCalls.type = type;
    return ExAllocatePoolWithTag(type, size, tag);
}

void CustomFree(PVOID entry) {
    ++customCalls.frees;
    ExFreePool(entry);
}

TEST_F(LookasideTest, CustomRoutinesAreCalledWithTheListsParameters) {
    customCalls = CustomCalls{};
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, &CustomAllocate, &CustomFree, POOL_NX_ALLOCATION, 40,
                                    'tsuC', 0);
    void* entry = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(customCalls.allocations, 1);
    EXPECT_EQ(customCalls.size, 40u);
    EXPECT_EQ(customCalls.tag, static_cast<ULONG>('tsuC'));
    EXPECT_EQ(customCalls.type, NonPagedPoolNx);
    ExFreeToNPagedLookasideList(&list, entry);
    EXPECT_EQ(customCalls.frees, 1);
    ExDeleteNPagedLookasideList(&list);
}

TEST_F(LookasideTest, ListCanBeInitialisedAgainAfterDelete) {
    NPAGED_LOOKASIDE_LIST list;
    for (int round = 0; round < 3; ++round) {
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 24, 'tseL', 0);
        std::vector<void*> entries;
        for (int i = 0; i < 5; ++i) {
            entries.push_back(ExAllocateFromNPagedLookasideList(&list));
            ASSERT_NE(entries.back(), nullptr);
        }
        for (void* entry : entries) {
            ExFreeToNPagedLookasideList(&list, entry);
        }
        ExDeleteNPagedLookasideList(&list);
    }
}

}  // namespace
