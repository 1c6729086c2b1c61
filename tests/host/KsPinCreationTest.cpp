// Pin creation as the platform does it: the connection format pairs with one
// of the pin factory's ranges, SetDataFormat runs with no old format before
// Create, a failure of either deletes the pin and frees its bag; the
// instance limit per filter; a later format change; each new object's
// Context starts as its parent's.
#include "KsMiniDriver.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

using KsPinCreationTest = KsTest;

std::vector<std::string> PinCalls(const std::vector<std::string>& log) {
    std::vector<std::string> out;
    for (const std::string& entry : log) {
        if (entry.rfind("SetDataFormat", 0) == 0 || entry.rfind("PinCreate", 0) == 0 ||
            entry.rfind("PinClose", 0) == 0 || entry == "free pin-item") {
            out.push_back(entry);
        }
    }
    return out;
}

NTSTATUS CreateOn(host::FilterHandle* filter, ULONG pinId, const std::vector<UCHAR>& format,
                  std::unique_ptr<host::PinHandle>* pin) {
    return filter->CreatePin(pinId, format.data(), static_cast<ULONG>(format.size()), pin);
}

TEST_F(KsPinCreationTest, ANewObjectStartsWithItsParentsContext) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    // The device's Context was NULL at creation; its Add set it. A factory
    // made after that starts with it, a filter with its factory's, a pin
    // with its filter's (ks/ns-ks-_ksfilterfactory, _ksfilter, _kspin).
    PVOID deviceContext = rig.device->KsDevice()->Context;
    ASSERT_NE(deviceContext, nullptr);
    EXPECT_EQ(Mini().filterContextAtCreate, deviceContext);
    PVOID filterContext = rig.filter->KsFilter()->Context;
    ASSERT_NE(filterContext, deviceContext);
    EXPECT_EQ(Mini().pinContextAtCreate, filterContext);
}

TEST_F(KsPinCreationTest, SetDataFormatSeesTheFormatWithNoOldFormatBeforeCreate) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    std::vector<UCHAR> format = FormatA();
    format[70] = 0x42;  // bytes beyond the KSDATAFORMAT travel with it
    ASSERT_EQ(CreateOn(rig.filter.get(), kCapturePin, format, &rig.pin), STATUS_SUCCESS);
    EXPECT_THAT(PinCalls(Mini().Log()),
                ElementsAre("SetDataFormat old=null range=A", "PinCreate irp=1"));
    EXPECT_EQ(Mini().formatSeenBySetDataFormat, format);
    EXPECT_EQ(Mini().deviceStateSeenBySetDataFormat, KSSTATE_STOP);

    PKSPIN pin = rig.pin->KsPin();
    EXPECT_EQ(Mini().lastPin, pin);
    EXPECT_EQ(pin->Id, kCapturePin);
    EXPECT_EQ(pin->Descriptor, &kPins[kCapturePin]);
    EXPECT_EQ(pin->ConnectionFormat->FormatSize, 80u);
    EXPECT_NE(static_cast<const void*>(pin->ConnectionFormat),
              static_cast<const void*>(format.data()));
    EXPECT_EQ(pin->DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(pin->DeviceState, KSSTATE_STOP);
    EXPECT_NE(pin->Bag, nullptr);
    EXPECT_NE(pin->Context, nullptr);
    EXPECT_EQ(rig.pin->StreamHeaderSize(), sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
}

TEST_F(KsPinCreationTest, TheFormatIsPairedWithTheFirstRangeThatFitsIt) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(CreateOn(rig.filter.get(), kCapturePin,
                       MakeFormat(kMajorVideo, kSubB, kSpecifierOther), &rig.pin),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    ASSERT_EQ(CreateOn(rig.filter.get(), kCapturePin,
                       MakeFormat(kMajorVideo, kWildcard, kSpecifierVideoInfo), &rig.pin),
              STATUS_SUCCESS);
    std::vector<std::string> log = PinCalls(Mini().Log());
    EXPECT_EQ(log[0], "SetDataFormat old=null range=B");
    EXPECT_THAT(log, Contains("SetDataFormat old=null range=A"));
}

TEST_F(KsPinCreationTest, AFormatThatFitsNoRangeNeverReachesTheDriver) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    Mini().ClearLog();
    EXPECT_EQ(CreateOn(rig.filter.get(), kCapturePin,
                       MakeFormat(kMajorVideo, kSubC, kSpecifierVideoInfo), &rig.pin),
              STATUS_NO_MATCH);
    EXPECT_EQ(rig.pin, nullptr);
    EXPECT_TRUE(Mini().Log().empty());
}

TEST_F(KsPinCreationTest, MalformedFormatsAndPinIdsAreRefused) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    std::vector<UCHAR> format = FormatA();
    EXPECT_EQ(rig.filter->CreatePin(kCapturePin, format.data(), sizeof(KSDATAFORMAT) - 1, &rig.pin),
              STATUS_INVALID_PARAMETER);
    // FormatSize says 80, only 72 bytes are there.
    EXPECT_EQ(rig.filter->CreatePin(kCapturePin, format.data(), 72, &rig.pin),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CreateOn(rig.filter.get(), 5, format, &rig.pin), STATUS_INVALID_PARAMETER);
}

TEST_F(KsPinCreationTest, AFailedSetDataFormatDeletesThePinBeforeCreate) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    Mini().setDataFormatStatus = STATUS_NO_MATCH;
    EXPECT_EQ(CreateOn(rig.filter.get(), kCapturePin, FormatA(), &rig.pin), STATUS_NO_MATCH);
    EXPECT_EQ(rig.pin, nullptr);
    EXPECT_THAT(PinCalls(Mini().Log()), ElementsAre("SetDataFormat old=null range=A"));
    KSPIN_CINSTANCES instances = {};
    ASSERT_EQ(rig.filter->GetPinInstances(kCapturePin, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 0u);

    Mini().setDataFormatStatus = STATUS_SUCCESS;
    EXPECT_EQ(CreateOn(rig.filter.get(), kCapturePin, FormatA(), &rig.pin), STATUS_SUCCESS);
}

TEST_F(KsPinCreationTest, AFailedCreateDeletesThePinAndFreesItsBagWithoutClose) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    Mini().pinCreateStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(CreateOn(rig.filter.get(), kCapturePin, FormatA(), &rig.pin),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_THAT(PinCalls(Mini().Log()),
                ElementsAre("SetDataFormat old=null range=A", "PinCreate irp=1", "free pin-item"));
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagItem), 2u);  // device and filter items
    KSPIN_CINSTANCES instances = {};
    ASSERT_EQ(rig.filter->GetPinInstances(kCapturePin, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 0u);
}

TEST_F(KsPinCreationTest, InstancesPossibleIsEnforcedPerFilter) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(CreateOn(rig.filter.get(), kCapturePin, FormatA(), &rig.pin), STATUS_SUCCESS);
    Mini().ClearLog();
    std::unique_ptr<host::PinHandle> second;
    EXPECT_EQ(CreateOn(rig.filter.get(), kCapturePin, FormatA(), &second), STATUS_QUOTA_EXCEEDED);
    EXPECT_TRUE(PinCalls(Mini().Log()).empty());

    // Another filter instance has its own count.
    std::unique_ptr<host::FilterHandle> other;
    ASSERT_EQ(rig.device->OpenFilter(kCategoryCapture, &other), STATUS_SUCCESS);
    std::unique_ptr<host::PinHandle> onOther;
    EXPECT_EQ(CreateOn(other.get(), kCapturePin, FormatA(), &onOther), STATUS_SUCCESS);

    // Two of the loose pin, not three.
    std::vector<UCHAR> loose = MakeFormat(kMajorVideo, kSubC, kSpecifierOther);
    std::unique_ptr<host::PinHandle> l1, l2, l3;
    EXPECT_EQ(CreateOn(rig.filter.get(), kLoosePin, loose, &l1), STATUS_SUCCESS);
    EXPECT_EQ(CreateOn(rig.filter.get(), kLoosePin, loose, &l2), STATUS_SUCCESS);
    EXPECT_EQ(CreateOn(rig.filter.get(), kLoosePin, loose, &l3), STATUS_QUOTA_EXCEEDED);
    ASSERT_EQ(l1->Close(), STATUS_SUCCESS);
    EXPECT_EQ(CreateOn(rig.filter.get(), kLoosePin, loose, &l3), STATUS_SUCCESS);

    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(CreateOn(rig.filter.get(), kCapturePin, FormatA(), &second), STATUS_SUCCESS);
}

TEST_F(KsPinCreationTest, APinWithoutFormatOrCreateRoutinesKeepsTheDefaultHeaderSize) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(
        CreateOn(rig.filter.get(), kLoosePin, MakeFormat(kMajorVideo, kSubC, kSubC), &rig.pin),
        STATUS_SUCCESS);
    EXPECT_EQ(rig.pin->StreamHeaderSize(), sizeof(KSSTREAM_HEADER));
    EXPECT_EQ(rig.pin->KsPin()->Communication, KSPIN_COMMUNICATION_SINK);
    KSALLOCATOR_FRAMING_EX framing;
    EXPECT_EQ(rig.pin->GetAllocatorFraming(&framing), STATUS_NOT_FOUND);
}

TEST_F(KsPinCreationTest, ALaterFormatChangePassesTheOldFormatAndKeepsItOnRefusal) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    std::vector<UCHAR> formatB = MakeFormat(kMajorVideo, kSubB, kSpecifierOther, 96);
    Mini().ClearLog();
    ASSERT_EQ(rig.pin->SetFormat(formatB.data(), static_cast<ULONG>(formatB.size())),
              STATUS_SUCCESS);
    EXPECT_THAT(PinCalls(Mini().Log()), ElementsAre("SetDataFormat old=set range=B"));
    EXPECT_EQ(Mini().formatSeenBySetDataFormat, formatB);
    EXPECT_EQ(pin->ConnectionFormat->FormatSize, 96u);

    Mini().setDataFormatStatus = STATUS_INVALID_DEVICE_STATE;
    std::vector<UCHAR> formatA = FormatA();
    EXPECT_EQ(rig.pin->SetFormat(formatA.data(), static_cast<ULONG>(formatA.size())),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pin->ConnectionFormat->FormatSize, 96u);
    EXPECT_EQ(pin->ConnectionFormat->SubFormat, kSubB);

    std::vector<UCHAR> unpaired = MakeFormat(kMajorVideo, kSubC, kSpecifierVideoInfo);
    EXPECT_EQ(rig.pin->SetFormat(unpaired.data(), static_cast<ULONG>(unpaired.size())),
              STATUS_NO_MATCH);
}

TEST_F(KsPinCreationTest, ClosingTheFilterClosesItsPins) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.filter->Close(), STATUS_SUCCESS);
    std::vector<std::string> log = Mini().Log();
    auto pinClose = std::find(log.begin(), log.end(), "PinClose state=0");
    auto filterClose = std::find(log.begin(), log.end(), "FilterClose");
    ASSERT_NE(pinClose, log.end());
    EXPECT_LT(pinClose, filterClose);
    EXPECT_EQ(rig.pin->Close(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_INVALID_HANDLE);
}

}  // namespace
}  // namespace ksmini
