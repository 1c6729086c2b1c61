// Creating the capture pin: its VcamPin, its own copy of the connection
// format, its private descriptor and framing, and what each failure leaves.

#include <gtest/gtest.h>

#include "pin/PinHarness.h"

using host::KsFaults;
using host::PinHandle;
using host::Verifier;

namespace pintest {
namespace {

class PinCreate : public PinHarness {};

// ---- what a created pin has ------------------------------------------------------

TEST_F(PinCreate, PinAsksForTwoFramesOfExactlyTheImageSize) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    KSALLOCATOR_FRAMING_EX framing;
    ASSERT_EQ(pin->GetAllocatorFraming(&framing), STATUS_SUCCESS);
    const KS_FRAMING_ITEM& item = framing.FramingItem[0];
    EXPECT_EQ(item.Frames, 2u);
    EXPECT_EQ(item.PhysicalRange.MinFrameSize, kImageSize);
    EXPECT_EQ(item.PhysicalRange.MaxFrameSize, kImageSize);
    EXPECT_EQ(item.PhysicalRange.Stepping, 0u);
    EXPECT_EQ(item.FramingRange.Range.MinFrameSize, kImageSize);
    EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, kImageSize);
    EXPECT_EQ(item.FramingRange.Range.Stepping, 0u);
    // The rest keeps the descriptor's defaults.
    EXPECT_EQ(framing.CountItems, 1u);
    EXPECT_EQ(item.Flags, CaptureAllocatorFraming.FramingItem[0].Flags);
    EXPECT_TRUE(item.MemoryType == CaptureAllocatorFraming.FramingItem[0].MemoryType);
    EXPECT_EQ(framing.OutputCompression.RatioNumerator, 1u);
    EXPECT_EQ(pin->StreamHeaderSize(), 128u);
}

TEST_F(PinCreate, DescriptorAndFramingAreThePinsOwnCopies) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    const KSPIN_DESCRIPTOR_EX* descriptor = pin->KsPin()->Descriptor;
    EXPECT_NE(descriptor, &CapturePinDescriptor);
    EXPECT_NE(descriptor->AllocatorFraming, &CaptureAllocatorFraming);
    EXPECT_EQ(descriptor->IntersectHandler, CapturePinDescriptor.IntersectHandler);
    EXPECT_EQ(descriptor->Dispatch, CapturePinDescriptor.Dispatch);
    // The static tables stay as they were.
    EXPECT_EQ(CaptureAllocatorFraming.FramingItem[0].FramingRange.Range.MinFrameSize, 8192u);
    EXPECT_EQ(CapturePinDescriptor.AllocatorFraming, &CaptureAllocatorFraming);
}

TEST_F(PinCreate, FramingFollowsTheFormatsImageSize) {
    std::vector<uint8_t> format = format_;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
        ->VideoInfoHeader.bmiHeader.biSizeImage = kImageSize + 4096;
    PinHandle* pin = nullptr;
    ASSERT_EQ(CreatePin(&pin, &format), STATUS_SUCCESS);
    KSALLOCATOR_FRAMING_EX framing;
    ASSERT_EQ(pin->GetAllocatorFraming(&framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].PhysicalRange.MinFrameSize, kImageSize + 4096);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, kImageSize + 4096);
}

TEST_F(PinCreate, VcamPinStartsStoppedWithItsOwnFormatCopy) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    VcamPin* vcam = Vcam(pin);
    ASSERT_NE(vcam, nullptr);
    EXPECT_EQ(vcam->ksPin, pin->KsPin());
    EXPECT_EQ(vcam->deviceContext, Relay());
    EXPECT_EQ(vcam->streamingState, EngineStopped);
    EXPECT_EQ(vcam->referenceClock, nullptr);
    EXPECT_EQ(vcam->pendingClone, nullptr);
    EXPECT_FALSE(vcam->processPending);
    EXPECT_FALSE(vcam->engineClaimed);
    EXPECT_EQ(vcam->frameNumber, 0);
    ASSERT_NE(vcam->videoInfo, nullptr);
    const auto* connection =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->KsPin()->ConnectionFormat);
    EXPECT_NE(static_cast<const void*>(vcam->videoInfo), &connection->VideoInfoHeader);
    EXPECT_EQ(
        std::memcmp(vcam->videoInfo, &connection->VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER)), 0);
}

TEST_F(PinCreate, PinsMemoryIsTheBagsAndGoesWithThePin) {
    const size_t pinsBefore = Verifier::OutstandingBlocks(kPinTag);
    const size_t buffersBefore = Verifier::OutstandingBlocks(kBufferTag);
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(Verifier::OutstandingBlocks(kPinTag), pinsBefore + 1);
    // The format copy, the descriptor copy and the framing copy.
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffersBefore + 3);
    ASSERT_EQ(pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(Verifier::OutstandingBlocks(kPinTag), pinsBefore);
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffersBefore);
}

TEST_F(PinCreate, CopyTakesTheWholeLongerBitmapHeader) {
    // A 48-byte bitmap header: the copy is biSize + 48 bytes, tail included.
    std::vector<uint8_t> range = CaptureRange();
    range.resize(range.size() + 8, 0x3C);
    reinterpret_cast<KSDATARANGE*>(range.data())->FormatSize = static_cast<ULONG>(range.size());
    reinterpret_cast<KS_DATARANGE_VIDEO*>(range.data())->VideoInfoHeader.bmiHeader.biSize = 48;
    std::vector<uint8_t> format = ProposedFormat(*filter_, range);
    ASSERT_EQ(format.size(), 160u);
    PinHandle* pin = nullptr;
    ASSERT_EQ(CreatePin(&pin, &format), STATUS_SUCCESS);
    const uint8_t* copy = reinterpret_cast<const uint8_t*>(Vcam(pin)->videoInfo);
    for (size_t i = sizeof(KS_VIDEOINFOHEADER); i < sizeof(KS_VIDEOINFOHEADER) + 8; ++i) {
        EXPECT_EQ(copy[i], 0x3C) << "byte " << i << " of the copy";
    }
}

// ---- what each failure leaves -------------------------------------------------------

TEST_F(PinCreate, NoMemoryForTheVcamPinFailsTheCreate) {
    Verifier::FailTag(kPinTag);
    PinHandle* pin = nullptr;
    EXPECT_EQ(CreatePin(&pin), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pin, nullptr);
}

TEST_F(PinCreate, EachLaterAllocationFailingFailsTheCreateWithoutLeaks) {
    // After the VcamPin: the format copy, the descriptor copy, the framing
    // copy. Each failure leaves the clean-up to the pin's bag.
    for (uint64_t nth = 2; nth <= 4; ++nth) {
        const uint64_t base = Verifier::AllocationCount();
        Verifier::FailNth(base + nth);
        PinHandle* pin = nullptr;
        EXPECT_EQ(CreatePin(&pin), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << nth;
        EXPECT_EQ(pin, nullptr);
        Verifier::ClearFaults();
        EXPECT_EQ(Verifier::OutstandingBlocks(kPinTag), 0u) << "allocation " << nth;
    }
    // And a pin can still be made afterwards.
    EXPECT_NE(NewPin(), nullptr);
}

TEST_F(PinCreate, BagRefusingTheVcamPinFreesItAtOnce) {
    const uint64_t before = KsFaults::BagInsertions();
    KsFaults::FailBagInsertion(before + 1);
    PinHandle* pin = nullptr;
    EXPECT_EQ(CreatePin(&pin), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Verifier::OutstandingBlocks(kPinTag), 0u);
}

TEST_F(PinCreate, BagRefusingTheFormatCopyFailsTheCreate) {
    const uint64_t before = KsFaults::BagInsertions();
    KsFaults::FailBagInsertion(before + 2);
    PinHandle* pin = nullptr;
    EXPECT_EQ(CreatePin(&pin), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Verifier::OutstandingBlocks(kPinTag), 0u);
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), 0u);
}

TEST_F(PinCreate, FormatTheCheckRefusesNeverReachesCreate) {
    std::vector<uint8_t> format = format_;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
        ->VideoInfoHeader.bmiHeader.biHeight = -720;
    PinHandle* pin = nullptr;
    EXPECT_EQ(CreatePin(&pin, &format), STATUS_NO_MATCH);
    EXPECT_EQ(Verifier::OutstandingBlocks(kPinTag), 0u);
}

TEST_F(PinCreate, OnePinPerFilter) {
    EXPECT_NE(NewPin(), nullptr);
    PinHandle* second = nullptr;
    EXPECT_NE(CreatePin(&second), STATUS_SUCCESS);
}

TEST_F(PinCreate, AFormatChangeBeforeCreateRanFindsTheFiltersContextAndIsRefused) {
    // A new pin's Context starts as its filter's; until the pin's Create
    // replaced it, SetDataFormat must not take it for a VcamPin.
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKSPIN ksPin = pin->KsPin();
    PVOID own = ksPin->Context;
    ksPin->Context = filter_->KsFilter()->Context;
    const KSPIN_DISPATCH* dispatch = ksPin->Descriptor->Dispatch;
    const NTSTATUS status =
        dispatch->SetDataFormat(ksPin, ksPin->ConnectionFormat, nullptr,
                                ksPin->Descriptor->PinDescriptor.DataRanges[0], nullptr);
    ksPin->Context = own;
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

}  // namespace
}  // namespace pintest
