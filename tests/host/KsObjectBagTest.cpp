// Object bags and _KsEdit: what the driver hands to a bag is freed with the
// bag's object, by its free routine or ExFreePool; _KsEdit copies into the
// bag (in pool, so fault injection reaches it) and leaves the pointer alone
// when it fails.
#include "KsMiniDriver.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

using KsObjectBagTest = KsTest;

constexpr ULONG kTagEdit = host::PoolTag("TEdt");

struct Editable {
    ULONG values[6];
};

size_t IndexOf(const std::vector<std::string>& log, const std::string& entry) {
    auto it = std::find(log.begin(), log.end(), entry);
    return it == log.end() ? log.size() : static_cast<size_t>(it - log.begin());
}

TEST_F(KsObjectBagTest, DeviceBagItemIsFreedByItsRoutineWhenTheDeviceIsRemoved) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagItem), 1u);
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    std::vector<std::string> log = Mini().Log();
    ASSERT_THAT(log, Contains("free device-context"));
    EXPECT_LT(IndexOf(log, "Remove"), IndexOf(log, "free device-context"));
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagItem), 0u);
}

TEST_F(KsObjectBagTest, ItemWithoutFreeRoutineGoesBackWithExFreePool) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagEdit);
    ASSERT_EQ(KsAddItemToObjectBag(rig.device->KsDevice()->Bag, block, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, AnItemAddedTwiceIsFreedOnce) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagEdit);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    ASSERT_EQ(KsAddItemToObjectBag(bag, block, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KsAddItemToObjectBag(bag, block, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    // A second ExFreePool of the block would be a PoolDoubleFree violation.
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, FilterAndPinBagsAreFreedWhenTheirObjectsClose) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    std::vector<std::string> log = Mini().Log();
    ASSERT_THAT(log, Contains("free pin-item"));
    EXPECT_LT(IndexOf(log, "PinClose state=0"), IndexOf(log, "free pin-item"));
    EXPECT_THAT(log, ::testing::Not(Contains("free filter-item")));

    ASSERT_EQ(rig.filter->Close(), STATUS_SUCCESS);
    log = Mini().Log();
    ASSERT_THAT(log, Contains("free filter-item"));
    EXPECT_LT(IndexOf(log, "FilterClose"), IndexOf(log, "free filter-item"));
}

TEST_F(KsObjectBagTest, ABagThatBelongsToNoObjectIsRefused) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ULONG notABag[4] = {};
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    EXPECT_EQ(KsAddItemToObjectBag(notABag, block, nullptr), STATUS_INVALID_PARAMETER);
    ExpectViolations({host::Rule::KsObject});
    ExFreePool(block);
}

TEST_F(KsObjectBagTest, BagInsertionFailureReachesTheDriver) {
    host::KsFaults::FailBagInsertion(1);
    ASSERT_EQ(host::Driver::Load(MiniDriverEntry, &rig.driver), STATUS_SUCCESS);
    EXPECT_EQ(rig.driver->AddDevice(&rig.device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.device, nullptr);
    EXPECT_EQ(host::KsFaults::BagInsertions(), 1u);
    // The second insertion is not failed.
    ASSERT_EQ(rig.driver->AddDevice(&rig.device), STATUS_SUCCESS);
}

TEST_F(KsObjectBagTest, BagInsertionsIntoOneBagCanBeFailed) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    host::KsFaults::FailBagInsertionsInto(bag);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    EXPECT_EQ(KsAddItemToObjectBag(bag, block, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_SUCCESS);
    ExFreePool(block);
}

TEST_F(KsObjectBagTest, KsEditCopiesIntoTheBagOnceAndUpdatesThePointer) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    Editable original = {{1, 2, 3, 4, 5, 6}};
    PVOID pointer = &original;
    ASSERT_EQ(_KsEdit(bag, &pointer, sizeof(Editable), sizeof(Editable), kTagEdit), STATUS_SUCCESS);
    ASSERT_NE(pointer, static_cast<PVOID>(&original));
    EXPECT_EQ(std::memcmp(pointer, &original, sizeof original), 0);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);

    // Already the bag's: edited in place, no second copy.
    PVOID copy = pointer;
    ASSERT_EQ(_KsEdit(bag, &pointer, sizeof(Editable), sizeof(Editable), kTagEdit), STATUS_SUCCESS);
    EXPECT_EQ(pointer, copy);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);

    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, KsEditToALargerSizeCopiesTheOldSizeAndZeroesTheRest) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ULONG original[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    PVOID pointer = original;
    ASSERT_EQ(_KsEdit(rig.device->KsDevice()->Bag, &pointer, 16, 8, kTagEdit), STATUS_SUCCESS);
    const ULONG* copy = static_cast<const ULONG*>(pointer);
    EXPECT_THAT(std::vector<ULONG>(copy, copy + 4), ElementsAre(0xAAAAAAAAu, 0xBBBBBBBBu, 0u, 0u));
}

TEST_F(KsObjectBagTest, FailedKsEditLeavesThePointerAlone) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    Editable original = {{1, 2, 3, 4, 5, 6}};
    PVOID pointer = &original;
    host::Verifier::FailTag(kTagEdit);
    EXPECT_EQ(_KsEdit(rig.device->KsDevice()->Bag, &pointer, sizeof(Editable), sizeof(Editable),
                      kTagEdit),
              STATUS_INSUFFICIENT_RESOURCES);
    host::Verifier::ClearFaults();
    EXPECT_EQ(pointer, static_cast<PVOID>(&original));
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, KsEditGivesAPinItsOwnDescriptorAndFraming) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    ASSERT_EQ(KsEdit(pin, &pin->Descriptor, kTagEdit), STATUS_SUCCESS);
    ASSERT_NE(pin->Descriptor, &kPins[kCapturePin]);
    auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
    ASSERT_EQ(KsEdit(pin, &descriptor->AllocatorFraming, kTagEdit), STATUS_SUCCESS);
    ASSERT_NE(descriptor->AllocatorFraming, &kFraming);
    const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming)->FramingItem[0].Frames = 7;

    KSALLOCATOR_FRAMING_EX framing;
    ASSERT_EQ(rig.pin->GetAllocatorFraming(&framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].Frames, 7u);
    EXPECT_EQ(kFraming.FramingItem[0].Frames, 3u);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 2u);
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, BagCallsAtDispatchLevelAreReported) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    Editable original = {};
    PVOID pointer = &original;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        _KsEdit(rig.device->KsDevice()->Bag, &pointer, sizeof(Editable), sizeof(Editable),
                kTagEdit);
    }
    ExpectViolations({host::Rule::IrqlTooHigh});
}

}  // namespace
}  // namespace ksmini
