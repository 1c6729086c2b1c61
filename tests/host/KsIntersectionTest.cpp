// The pin factory's data ranges and data intersection as KS answers them:
// ranges after a KSMULTIPLE_ITEM at 8-byte-aligned offsets; each caller range
// paired with the pin's ranges by MajorFormat, SubFormat and Specifier (equal
// or wildcard), the intersect handler called per pair in order until one
// matches; size queries and short buffers.
#include "KsMiniDriver.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using ::testing::ElementsAre;

using KsIntersectionTest = KsTest;

std::vector<UCHAR> Range(const GUID& major, const GUID& sub, const GUID& specifier,
                         ULONG sampleSize = 0, ULONG size = sizeof(KSDATARANGE)) {
    std::vector<UCHAR> bytes = MakeFormat(major, sub, specifier, size);
    std::memcpy(bytes.data() + offsetof(KSDATAFORMAT, SampleSize), &sampleSize, sizeof sampleSize);
    return bytes;
}

ULONG PairedIndex(const std::vector<UCHAR>& answer) {
    ULONGLONG which = 0;
    std::memcpy(&which, answer.data() + sizeof(KSDATAFORMAT), sizeof which);
    return static_cast<ULONG>(which);
}

TEST_F(KsIntersectionTest, DataRangesComeAfterAMultipleItemAtAlignedOffsets) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ULONG size = 0;
    ASSERT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &size),
              STATUS_BUFFER_OVERFLOW);
    // 8 + 68 padded to 72 + 64.
    EXPECT_EQ(size, 144u);
    std::vector<UCHAR> answer(size);
    ULONG returned = 0;
    EXPECT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_DATARANGES, answer.data(),
                                         size - 1, &returned),
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(rig.filter->GetPinProperty(kCapturePin, KSPROPERTY_PIN_DATARANGES, answer.data(),
                                         size, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 144u);
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, answer.data(), sizeof item);
    EXPECT_EQ(item.Size, 144u);
    EXPECT_EQ(item.Count, 2u);
    EXPECT_EQ(std::memcmp(answer.data() + 8, &gRangeA, 68), 0);
    EXPECT_EQ(std::memcmp(answer.data() + 80, &gRangeB, 64), 0);

    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(rig.filter->GetDataRanges(kCapturePin, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].size(), 68u);
    EXPECT_EQ(ranges[1].size(), 64u);
}

TEST_F(KsIntersectionTest, CallerRangesArePairedInOrderWithWildcards) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    // Sub C pairs with nothing; the wildcard range pairs with A first.
    std::vector<UCHAR> input = host::FilterHandle::IntersectionRequest(
        kCapturePin,
        {Range(kMajorVideo, kSubC, kSpecifierVideoInfo), Range(kMajorVideo, kWildcard, kWildcard)});
    std::vector<UCHAR> answer(kIntersectAnswer);
    ULONG returned = 0;
    ASSERT_EQ(rig.filter->Ioctl(input.data(), static_cast<ULONG>(input.size()), answer.data(),
                                kIntersectAnswer, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, kIntersectAnswer);
    EXPECT_EQ(PairedIndex(answer), 0u);
    EXPECT_THAT(Mini().intersectPairs, ElementsAre("*/A"));
    EXPECT_EQ(Mini().handlerFilter, rig.filter->KsFilter());
    EXPECT_EQ(Mini().handlerIrql, PASSIVE_LEVEL);
}

TEST_F(KsIntersectionTest, AnExactRangePairsOnlyWithItsOwnKind) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    std::vector<UCHAR> range = Range(kMajorVideo, kSubB, kSpecifierOther);
    std::vector<uint8_t> format;
    ASSERT_EQ(
        rig.filter->Intersect(kCapturePin, range.data(), static_cast<ULONG>(range.size()), &format),
        STATUS_SUCCESS);
    ASSERT_EQ(format.size(), kIntersectAnswer);
    EXPECT_EQ(PairedIndex(format), 1u);
    // Intersect asks the size first, then the format.
    EXPECT_THAT(Mini().intersectPairs, ElementsAre("B/B", "B/B"));
}

TEST_F(KsIntersectionTest, NoMatchGoesOnToTheNextPair) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    std::vector<UCHAR> input = host::FilterHandle::IntersectionRequest(
        kCapturePin, {Range(kMajorVideo, kWildcard, kWildcard, 0xDEAD),
                      Range(kMajorVideo, kSubB, kSpecifierOther)});
    std::vector<UCHAR> answer(kIntersectAnswer);
    ULONG returned = 0;
    ASSERT_EQ(rig.filter->Ioctl(input.data(), static_cast<ULONG>(input.size()), answer.data(),
                                kIntersectAnswer, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(PairedIndex(answer), 1u);
    EXPECT_THAT(Mini().intersectPairs, ElementsAre("*/A", "*/B", "B/B"));
}

TEST_F(KsIntersectionTest, TheFirstCallerRangeIsTriedWithEveryPinRangeBeforeTheSecond) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    std::vector<UCHAR> input = host::FilterHandle::IntersectionRequest(
        kCapturePin,
        {Range(kMajorVideo, kSubB, kSpecifierOther), Range(kMajorVideo, kWildcard, kWildcard)});
    std::vector<UCHAR> answer(kIntersectAnswer);
    ULONG returned = 0;
    ASSERT_EQ(rig.filter->Ioctl(input.data(), static_cast<ULONG>(input.size()), answer.data(),
                                kIntersectAnswer, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(PairedIndex(answer), 1u);
    EXPECT_THAT(Mini().intersectPairs, ElementsAre("B/B"));
}

TEST_F(KsIntersectionTest, AnyOtherHandlerStatusIsTheAnswer) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    Mini().intersect = [](PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) {
        return STATUS_INVALID_PARAMETER;
    };
    std::vector<UCHAR> input = host::FilterHandle::IntersectionRequest(
        kCapturePin, {Range(kMajorVideo, kWildcard, kWildcard)});
    UCHAR answer[kIntersectAnswer];
    ULONG returned = 0;
    EXPECT_EQ(rig.filter->Ioctl(input.data(), static_cast<ULONG>(input.size()), answer,
                                sizeof answer, &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_THAT(Mini().intersectPairs, ElementsAre("*/A"));
}

TEST_F(KsIntersectionTest, ZeroLengthDataIsASizeQueryAndAShortBufferIsRefused) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    ULONG seenLength = 0xFFFF;
    PVOID seenData = reinterpret_cast<PVOID>(1);
    Mini().intersect = [&](PKSDATARANGE caller, PKSDATARANGE own, ULONG length, PVOID data,
                           PULONG size) {
        seenLength = length;
        seenData = data;
        Mini().intersect = nullptr;
        return PinIntersect(nullptr, nullptr, nullptr, caller, own, length, data, size);
    };
    std::vector<UCHAR> input = host::FilterHandle::IntersectionRequest(
        kCapturePin, {Range(kMajorVideo, kSubA, kSpecifierVideoInfo)});
    ULONG returned = 0;
    EXPECT_EQ(
        rig.filter->Ioctl(input.data(), static_cast<ULONG>(input.size()), nullptr, 0, &returned),
        STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, kIntersectAnswer);
    EXPECT_EQ(seenLength, 0u);
    EXPECT_EQ(seenData, nullptr);

    std::vector<UCHAR> answer(kIntersectAnswer - 1, 0x77);
    EXPECT_EQ(rig.filter->Ioctl(input.data(), static_cast<ULONG>(input.size()), answer.data(),
                                kIntersectAnswer - 1, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(answer[0], 0x77);
}

TEST_F(KsIntersectionTest, ARangeOfAnotherMajorFormatPairsWithNothing) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    std::vector<UCHAR> range = Range(kOtherSet, kSubA, kSpecifierVideoInfo);
    std::vector<uint8_t> format;
    EXPECT_EQ(
        rig.filter->Intersect(kCapturePin, range.data(), static_cast<ULONG>(range.size()), &format),
        STATUS_NO_MATCH);
    EXPECT_TRUE(Mini().intersectPairs.empty());
}

TEST_F(KsIntersectionTest, APinWithoutAnIntersectHandlerMatchesNothing) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    std::vector<UCHAR> range = Range(kMajorVideo, kSubA, kSpecifierVideoInfo);
    std::vector<uint8_t> format;
    EXPECT_EQ(
        rig.filter->Intersect(kLoosePin, range.data(), static_cast<ULONG>(range.size()), &format),
        STATUS_NO_MATCH);
}

TEST_F(KsIntersectionTest, MalformedRequestsAreRefusedBeforeTheHandler) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    UCHAR answer[kIntersectAnswer];
    ULONG returned = 0;
    std::vector<UCHAR> good = host::FilterHandle::IntersectionRequest(
        kCapturePin, {Range(kMajorVideo, kSubA, kSpecifierVideoInfo)});

    // Shorter than KSP_PIN plus KSMULTIPLE_ITEM.
    EXPECT_EQ(rig.filter->Ioctl(good.data(), sizeof(KSP_PIN) + 4, answer, sizeof answer, &returned),
              STATUS_BUFFER_TOO_SMALL);
    // A KSMULTIPLE_ITEM whose Size runs past the input.
    std::vector<UCHAR> longItem = good;
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, longItem.data() + sizeof(KSP_PIN), sizeof item);
    item.Size += 8;
    std::memcpy(longItem.data() + sizeof(KSP_PIN), &item, sizeof item);
    EXPECT_EQ(rig.filter->Ioctl(longItem.data(), static_cast<ULONG>(longItem.size()), answer,
                                sizeof answer, &returned),
              STATUS_INVALID_PARAMETER);
    // A range that claims to be shorter than a KSDATARANGE.
    std::vector<UCHAR> shortRange = good;
    ULONG tiny = 32;
    std::memcpy(shortRange.data() + sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), &tiny, sizeof tiny);
    EXPECT_EQ(rig.filter->Ioctl(shortRange.data(), static_cast<ULONG>(shortRange.size()), answer,
                                sizeof answer, &returned),
              STATUS_INVALID_PARAMETER);
    // A count that runs past the item.
    std::vector<UCHAR> tooMany = good;
    item.Size -= 8;
    item.Count = 2;
    std::memcpy(tooMany.data() + sizeof(KSP_PIN), &item, sizeof item);
    EXPECT_EQ(rig.filter->Ioctl(tooMany.data(), static_cast<ULONG>(tooMany.size()), answer,
                                sizeof answer, &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Mini().intersectPairs.empty());
}

}  // namespace
}  // namespace ksmini
