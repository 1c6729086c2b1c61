// Object bags and _KsEdit: what the driver hands to a bag is freed with the
// bag's object, by its free routine or ExFreePool, unless the driver takes it
// out first with KsRemoveItemFromObjectBag (freed then and there, or handed
// back); _KsEdit copies into the bag (in pool, so fault injection reaches it)
// and leaves the pointer alone when it fails.
#include "KsMiniDriver.h"
#include "support/ScopedVariant.h"

#include <gmock/gmock.h>

#include <optional>

namespace ksmini {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

using KsObjectBagTest = KsTest;

// Holds the device mutex for a scope, as a driver must to change the
// device's bag. Not recursive: the scope ends before the device is removed
// or a filter closes (the platform takes the mutex there itself).
class DeviceHeld {
  public:
    explicit DeviceHeld(PKSDEVICE device) : device_(device) { KsAcquireDevice(device_); }
    ~DeviceHeld() { KsReleaseDevice(device_); }
    DeviceHeld(const DeviceHeld&) = delete;
    DeviceHeld& operator=(const DeviceHeld&) = delete;

  private:
    PKSDEVICE device_;
};

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
    {
        DeviceHeld held(rig.device->KsDevice());
        PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagEdit);
        ASSERT_EQ(KsAddItemToObjectBag(rig.device->KsDevice()->Bag, block, nullptr),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, AnItemAddedTwiceIsFreedOnce) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagEdit);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    {
        DeviceHeld held(rig.device->KsDevice());
        ASSERT_EQ(KsAddItemToObjectBag(bag, block, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(KsAddItemToObjectBag(bag, block, nullptr), STATUS_SUCCESS);
    }
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
    DeviceHeld held(rig.device->KsDevice());
    host::KsFaults::FailBagInsertionsInto(bag);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    EXPECT_EQ(KsAddItemToObjectBag(bag, block, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_SUCCESS);
    ExFreePool(block);
}

// ---- taking an item out ------------------------------------------------------

// A free routine for memory the pool did not hand out; counts its calls.
int staticFrees = 0;
void CountStaticFree(PVOID) {
    ++staticFrees;
}

TEST_F(KsObjectBagTest, RemovingWithFreeReturnsABlockToThePoolAtOnce) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    PVOID kept = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagEdit);
    PVOID dropped = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagEdit);
    {
        DeviceHeld held(rig.device->KsDevice());
        ASSERT_EQ(KsAddItemToObjectBag(bag, kept, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(KsAddItemToObjectBag(bag, dropped, nullptr), STATUS_SUCCESS);
        // The answer is the item's count of bags before: 1, so it is now in
        // none and, with Free, freed.
        EXPECT_EQ(KsRemoveItemFromObjectBag(bag, dropped, TRUE), 1u);
    }
    std::vector<host::PoolBlockInfo> live = host::Verifier::OutstandingList();
    auto isLive = [&live](const void* block) {
        return std::any_of(live.begin(), live.end(), [block](const host::PoolBlockInfo& info) {
            return info.address == block;
        });
    };
    EXPECT_FALSE(isLive(dropped));
    EXPECT_TRUE(isLive(kept));

    // The bag frees only what it still holds: a second ExFreePool of the
    // removed block would be a PoolDoubleFree violation.
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, RemovingWithFreeRunsTheItemsOwnFreeRoutineOnce) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    {
        DeviceHeld held(rig.device->KsDevice());
        TestItem* item = NewItem("removed-item");
        ASSERT_EQ(KsAddItemToObjectBag(bag, item, FreeItem), STATUS_SUCCESS);
        EXPECT_EQ(KsRemoveItemFromObjectBag(bag, item, TRUE), 1u);
    }
    EXPECT_THAT(Mini().Log(), Contains("free removed-item"));

    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    std::vector<std::string> log = Mini().Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "free removed-item"), 1);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagItem), 0u);
}

TEST_F(KsObjectBagTest, RemovingWithoutFreeHandsTheItemBackToTheDriver) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    TestItem* item = NewItem("handed-back");
    {
        DeviceHeld held(rig.device->KsDevice());
        ASSERT_EQ(KsAddItemToObjectBag(bag, item, FreeItem), STATUS_SUCCESS);
        EXPECT_EQ(KsRemoveItemFromObjectBag(bag, item, FALSE), 1u);
    }
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    // Neither the removal nor the device's end freed it: it is the driver's.
    EXPECT_THAT(Mini().Log(), ::testing::Not(Contains("free handed-back")));
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagItem), 1u);
    EXPECT_STREQ(item->name, "handed-back");
    ExFreePool(item);
}

TEST_F(KsObjectBagTest, AnItemThatIsNoPoolBlockIsRemovedByItsOwnFreeRoutine) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    static ULONG notPool[4];
    staticFrees = 0;
    {
        DeviceHeld held(rig.device->KsDevice());
        ASSERT_EQ(KsAddItemToObjectBag(bag, notPool, CountStaticFree), STATUS_SUCCESS);
        EXPECT_EQ(KsRemoveItemFromObjectBag(bag, notPool, TRUE), 1u);
    }
    EXPECT_EQ(staticFrees, 1);
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(staticFrees, 1);
}

TEST_F(KsObjectBagTest, RemovingAnItemThatIsNotInTheBagAnswersZeroAndFreesNothing) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    KSOBJECT_BAG deviceBag = rig.device->KsDevice()->Bag;
    PVOID never = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    PVOID twice = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    PVOID elsewhere = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    {
        DeviceHeld held(rig.device->KsDevice());
        // Another object whose bag the device mutex guards.
        PKSFILTERFACTORY other = nullptr;
        ASSERT_EQ(KsCreateFilterFactory(rig.device->KsDevice()->FunctionalDeviceObject,
                                        &kFilterDescriptor, u"OTHER", nullptr, 0, nullptr, nullptr,
                                        &other),
                  STATUS_SUCCESS);
        ASSERT_EQ(KsAddItemToObjectBag(deviceBag, twice, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(KsAddItemToObjectBag(deviceBag, elsewhere, nullptr), STATUS_SUCCESS);

        // Never added; taken out a second time; in another object's bag.
        EXPECT_EQ(KsRemoveItemFromObjectBag(deviceBag, never, TRUE), 0u);
        EXPECT_EQ(KsRemoveItemFromObjectBag(deviceBag, twice, TRUE), 1u);
        EXPECT_EQ(KsRemoveItemFromObjectBag(deviceBag, twice, TRUE), 0u);
        EXPECT_EQ(KsRemoveItemFromObjectBag(other->Bag, elsewhere, TRUE), 0u);
    }
    // The documented answer for an item not in the bag, not a misuse.
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);

    // `never` and `elsewhere` are still live: the one is the test's to
    // free, the other goes with the device's bag.
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 2u);
    ExFreePool(never);
    ASSERT_EQ(rig.filter->Close(), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, RemovingFromABagThatBelongsToNoObjectIsReported) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ULONG notABag[4] = {};
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    EXPECT_EQ(KsRemoveItemFromObjectBag(notABag, block, TRUE), 0u);
    ExpectViolations({host::Rule::KsObject});
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);
    ExFreePool(block);
}

TEST_F(KsObjectBagTest, KsEditCopiesIntoTheBagOnceAndUpdatesThePointer) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    {
        DeviceHeld held(rig.device->KsDevice());
        Editable original = {{1, 2, 3, 4, 5, 6}};
        PVOID pointer = &original;
        ASSERT_EQ(_KsEdit(bag, &pointer, sizeof(Editable), sizeof(Editable), kTagEdit),
                  STATUS_SUCCESS);
        ASSERT_NE(pointer, static_cast<PVOID>(&original));
        EXPECT_EQ(std::memcmp(pointer, &original, sizeof original), 0);
        EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);

        // Already the bag's: edited in place, no second copy.
        PVOID copy = pointer;
        ASSERT_EQ(_KsEdit(bag, &pointer, sizeof(Editable), sizeof(Editable), kTagEdit),
                  STATUS_SUCCESS);
        EXPECT_EQ(pointer, copy);
        EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);
    }

    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, KsEditToALargerSizeCopiesTheOldSizeAndZeroesTheRest) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceHeld held(rig.device->KsDevice());
    ULONG original[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    PVOID pointer = original;
    ASSERT_EQ(_KsEdit(rig.device->KsDevice()->Bag, &pointer, 16, 8, kTagEdit), STATUS_SUCCESS);
    const ULONG* copy = static_cast<const ULONG*>(pointer);
    EXPECT_THAT(std::vector<ULONG>(copy, copy + 4), ElementsAre(0xAAAAAAAAu, 0xBBBBBBBBu, 0u, 0u));
}

TEST_F(KsObjectBagTest, KsEditOfTheBagsOwnCopyToALargerSizeFollowsTheVariant) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    ULONG original[2] = {0xAAAAAAAA, 0xBBBBBBBB};
    PVOID pointer = original;
    std::optional<DeviceHeld> held(rig.device->KsDevice());
    ASSERT_EQ(_KsEdit(bag, &pointer, 8, 8, kTagEdit), STATUS_SUCCESS);
    PVOID copy = pointer;
    {
        ScopedVariant variant(host::Variant::KsEditLarger, "no-op");
        ASSERT_EQ(_KsEdit(bag, &pointer, 16, 8, kTagEdit), STATUS_SUCCESS);
        EXPECT_EQ(pointer, copy);  // still 8 bytes: the driver may not write beyond
    }
    {
        ScopedVariant variant(host::Variant::KsEditLarger, "reallocate");
        ASSERT_EQ(_KsEdit(bag, &pointer, 16, 8, kTagEdit), STATUS_SUCCESS);
        ASSERT_NE(pointer, copy);
        const ULONG* bigger = static_cast<const ULONG*>(pointer);
        EXPECT_THAT(std::vector<ULONG>(bigger, bigger + 4),
                    ElementsAre(0xAAAAAAAAu, 0xBBBBBBBBu, 0u, 0u));
    }
    held.reset();
    // The replaced copy went back to the pool; the new one is the bag's.
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 1u);
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagEdit), 0u);
}

TEST_F(KsObjectBagTest, FailedKsEditLeavesThePointerAlone) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    DeviceHeld held(rig.device->KsDevice());
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

TEST_F(KsObjectBagTest, APinBagChangedOutsideTheFilterControlMutexIsReported) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    // After Create returned: the platform no longer holds the mutex.
    ASSERT_EQ(KsEdit(pin, &pin->Descriptor, kTagEdit), STATUS_SUCCESS);
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsObjectBagTest, PinCallbacksRunUnderTheFilterControlMutex) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    PKSFILTER filter = rig.filter->KsFilter();
    // Each capture pin routine changes the filter's bag (guarded by the same
    // mutex as the pin's); the routines that changed it unreported are kept.
    std::vector<std::string> guarded;
    Mini().entered = [&guarded, filter](const char* routine) {
        const size_t before = host::Verifier::ViolationCount();
        TestItem* item = NewItem("control");
        if (KsAddItemToObjectBag(filter->Bag, item, FreeItem) == STATUS_SUCCESS) {
            KsRemoveItemFromObjectBag(filter->Bag, item, TRUE);
        }
        if (host::Verifier::ViolationCount() == before) {
            guarded.push_back(routine);
        }
    };
    std::vector<UCHAR> format = FormatA();
    const ULONG length = static_cast<ULONG>(format.size());
    ASSERT_EQ(rig.filter->CreatePin(kCapturePin, format.data(), length, &rig.pin), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetFormat(format.data(), length), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    Mini().entered = nullptr;
    EXPECT_THAT(guarded, ElementsAre("PinSetDataFormat", "PinCreate", "PinSetDataFormat",
                                     "PinSetDeviceState", "PinSetDeviceState", "PinClose"));
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
}

TEST_F(KsObjectBagTest, KsEditGivesAPinItsOwnDescriptorAndFraming) {
    // In the pin's Create, where the platform holds the filter control
    // mutex that guards the pin's bag.
    NTSTATUS edits = STATUS_UNSUCCESSFUL;
    Mini().pinCreated = [&edits](PKSPIN pin) {
        edits = KsEdit(pin, &pin->Descriptor, kTagEdit);
        if (!NT_SUCCESS(edits)) {
            return;
        }
        auto* descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
        edits = KsEdit(pin, &descriptor->AllocatorFraming, kTagEdit);
        if (NT_SUCCESS(edits)) {
            const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming)
                ->FramingItem[0]
                .Frames = 7;
        }
    };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(edits, STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    ASSERT_NE(pin->Descriptor, &kPins[kCapturePin]);
    ASSERT_NE(pin->Descriptor->AllocatorFraming, &kFraming);

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
    DeviceHeld held(rig.device->KsDevice());
    Editable original = {};
    PVOID pointer = &original;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        _KsEdit(rig.device->KsDevice()->Bag, &pointer, sizeof(Editable), sizeof(Editable),
                kTagEdit);
    }
    ExpectViolations({host::Rule::IrqlTooHigh});
}

TEST_F(KsObjectBagTest, RemovalAbovePassiveLevelIsReported) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KSOBJECT_BAG bag = rig.device->KsDevice()->Bag;
    DeviceHeld held(rig.device->KsDevice());
    PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    PVOID second = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagEdit);
    ASSERT_EQ(KsAddItemToObjectBag(bag, first, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KsAddItemToObjectBag(bag, second, nullptr), STATUS_SUCCESS);
    {
        host::ScopedIrql apc(APC_LEVEL);
        KsRemoveItemFromObjectBag(bag, first, TRUE);
    }
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KsRemoveItemFromObjectBag(bag, second, TRUE);
    }
    ExpectViolations({host::Rule::IrqlTooHigh, host::Rule::IrqlTooHigh});
}

}  // namespace
}  // namespace ksmini
