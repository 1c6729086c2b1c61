// Pool: tracked blocks, fill patterns, tags and fault injection.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <cstring>
#include <vector>

using host::PoolTag;
using host::Rule;
using host::Verifier;

namespace {

class PoolTest : public KernelTestFixture {};

TEST_F(PoolTest, FreshBlockIsFilledWithANonZeroPattern) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, 'tseT'));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) {
        EXPECT_NE(block[i], 0) << "byte " << i;
    }
    ExFreePool(block);
}

TEST_F(PoolTest, EveryBlockIsTrackedWithItsSizeAndTagUntilFreed) {
    const uint32_t tag = PoolTag("PlT1");
    size_t before = Verifier::OutstandingBlocks();
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tag);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 7, PoolTag("PlT2"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Verifier::OutstandingBlocks(), before + 2);
    EXPECT_EQ(Verifier::OutstandingBlocks(tag), 1u);
    bool found = false;
    for (const auto& info : Verifier::OutstandingList()) {
        if (info.address == a) {
            found = true;
            EXPECT_EQ(info.size, 100u);
            EXPECT_EQ(info.tag, tag);
        }
    }
    EXPECT_TRUE(found);
    ExFreePool(a);
    ExFreePoolWithTag(b, PoolTag("PlT2"));
    EXPECT_EQ(Verifier::OutstandingBlocks(), before);
    EXPECT_EQ(Verifier::OutstandingBlocks(tag), 0u);
}

TEST_F(PoolTest, PoolTagKeepsTheCharactersInMemoryOrder) {
    EXPECT_EQ(PoolTag("CDev"), static_cast<uint32_t>('veDC'));
}

TEST_F(PoolTest, BlocksAreWritableAndDistinct) {
    std::vector<unsigned char*> blocks;
    for (int i = 0; i < 16; ++i) {
        auto* block =
            static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'tseT'));
        ASSERT_NE(block, nullptr);
        std::memset(block, i, 32);
        blocks.push_back(block);
    }
    for (int i = 0; i < 16; ++i) {
        for (int j = 0; j < 32; ++j) {
            ASSERT_EQ(blocks[i][j], i);
        }
        ExFreePool(blocks[i]);
    }
}

TEST_F(PoolTest, FailNthFailsExactlyThatAllocation) {
    Verifier::FailNth(3);
    void* blocks[5];
    for (int i = 0; i < 5; ++i) {
        blocks[i] = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    EXPECT_EQ(Verifier::AllocationCount(), 5u);
    EXPECT_EQ(Verifier::InjectedFailures(), 1u);
    for (void* block : blocks) {
        if (block != nullptr) {
            ExFreePool(block);
        }
    }
}

TEST_F(PoolTest, CountingStartsAfterReset) {
    void* early = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    Verifier::Reset();
    Verifier::FailNth(1);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    EXPECT_NE(early, nullptr);
    EXPECT_EQ(first, nullptr);
    EXPECT_NE(second, nullptr);
    ExFreePool(early);
    ExFreePool(second);
}

TEST_F(PoolTest, FailTagFailsOnlyThatTagUntilCleared) {
    const uint32_t victim = PoolTag("Vict");
    Verifier::FailTag(victim);
    void* failed1 = ExAllocatePoolWithTag(NonPagedPoolNx, 16, victim);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 16, PoolTag("Othr"));
    void* failed2 = ExAllocatePoolWithTag(NonPagedPoolNx, 16, victim);
    EXPECT_EQ(failed1, nullptr);
    EXPECT_EQ(failed2, nullptr);
    EXPECT_NE(other, nullptr);
    Verifier::ClearFaults();
    void* after = ExAllocatePoolWithTag(NonPagedPoolNx, 16, victim);
    EXPECT_NE(after, nullptr);
    EXPECT_EQ(Verifier::InjectedFailures(), 2u);
    ExFreePool(other);
    ExFreePool(after);
}

TEST_F(PoolTest, FailAllFailsEveryAllocation) {
    Verifier::FailAll(true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT'), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 1, 'xseT'), nullptr);
    Verifier::FailAll(false);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST_F(PoolTest, FailNthCountsLookasideAllocationsToo) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 48, 'tseL', 0);
    Verifier::FailNth(2);
    void* pool = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    void* entry = ExAllocateFromNPagedLookasideList(&list);
    void* next = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(pool, nullptr);
    EXPECT_EQ(entry, nullptr);
    EXPECT_NE(next, nullptr);
    EXPECT_EQ(Verifier::AllocationCount(), 3u);
    ExFreeToNPagedLookasideList(&list, next);
    ExDeleteNPagedLookasideList(&list);
    ExFreePool(pool);
}

TEST_F(PoolTest, AllocationAndFreeAreAllowedAtDispatchLevel) {
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'tseT');
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST_F(PoolTest, CompareMemoryCountsEqualLeadingBytes) {
    const unsigned char a[] = {1, 2, 3, 4, 5};
    const unsigned char b[] = {1, 2, 3, 9, 5};
    EXPECT_EQ(RtlCompareMemory(a, b, 5), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 5), 5u);
    EXPECT_EQ(RtlCompareMemory(a, b, 2), 2u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
    const unsigned char c[] = {7, 2, 3, 4, 5};
    EXPECT_EQ(RtlCompareMemory(a, c, 5), 0u);
}

}  // namespace
