// The pin's data intersection handler, called as the class library calls it
// for a caller's range that it has paired with the pin's data range.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/pin/FormatNegotiation.h"
#include "support/KernelTestFixture.h"
#include "pin/FormatBuffers.h"

using pintest::ExactBlock;
using pintest::PinRange;
using pintest::RangeCopy;

namespace {

const ULONG kUntouched = 0xDEADBEEF;

struct Answer {
    NTSTATUS status;
    ULONG dataSize;
    ExactBlock data;
};

// Calls the handler with an output buffer of exactly `bufferSize` bytes
// (filled with 0xCD so that untouched bytes show).
Answer Intersect(ExactBlock& range, ULONG bufferSize) {
    Answer answer{0, kUntouched, ExactBlock(bufferSize)};
    std::memset(answer.data.data(), 0xCD, bufferSize == 0 ? 1 : bufferSize);
    answer.status =
        IntersectHandler(nullptr, nullptr, nullptr, range.as<KSDATARANGE>(), PinRange(), bufferSize,
                         bufferSize == 0 ? nullptr : answer.data.data(), &answer.dataSize);
    return answer;
}

KS_DATARANGE_VIDEO* Video(ExactBlock& range) {
    return range.as<KS_DATARANGE_VIDEO>();
}

class Intersection : public KernelTestFixture {};

// ---- size queries and short buffers ------------------------------------------

TEST_F(Intersection, SizeQueryAnswersOverflowWithTheFormatSize) {
    ExactBlock range = RangeCopy();
    Answer answer = Intersect(range, 0);
    EXPECT_EQ(answer.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(answer.dataSize, 152u);
}

TEST_F(Intersection, SizeQueryFollowsTheCallersHeaderSize) {
    // A 56-byte bitmap header in a range that has room for it.
    ExactBlock range = RangeCopy(296 + 16);
    Video(range)->VideoInfoHeader.bmiHeader.biSize = 56;
    Answer answer = Intersect(range, 0);
    EXPECT_EQ(answer.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(answer.dataSize, 56u + 112u);
}

TEST_F(Intersection, ShortBufferIsRefusedWithoutTellingTheSize) {
    ExactBlock range = RangeCopy();
    Answer answer = Intersect(range, 151);
    EXPECT_EQ(answer.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(answer.dataSize, kUntouched);
    for (size_t i = 0; i < 151; ++i) {
        ASSERT_EQ(answer.data.data()[i], 0xCD) << "byte " << i << " of a refused buffer written";
    }
}

TEST_F(Intersection, ExactBufferGetsTheFormat) {
    ExactBlock range = RangeCopy();
    Answer answer = Intersect(range, 152);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.dataSize, 152u);
}

TEST_F(Intersection, LargerBufferGetsTheFormatAndItsSizeOnly) {
    ExactBlock range = RangeCopy();
    Answer answer = Intersect(range, 400);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.dataSize, 152u);
    for (size_t i = 152; i < 400; ++i) {
        ASSERT_EQ(answer.data.data()[i], 0xCD) << "byte " << i << " beyond the answer written";
    }
}

// ---- the answer ---------------------------------------------------------------

TEST_F(Intersection, PinsOwnRangeYieldsTheDefaultFormat) {
    ExactBlock range = RangeCopy();
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    const auto* format = answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>();
    const GUID video = VCAM_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO);
    const GUID yuy2 = {
        0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    const GUID videoInfo = VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);

    EXPECT_EQ(format->DataFormat.FormatSize, 152u);
    EXPECT_EQ(format->DataFormat.Flags, 0u);
    EXPECT_EQ(format->DataFormat.SampleSize, 1843200u);
    EXPECT_EQ(format->DataFormat.Reserved, 0u);
    EXPECT_TRUE(format->DataFormat.MajorFormat == video);
    EXPECT_TRUE(format->DataFormat.SubFormat == yuy2);
    EXPECT_TRUE(format->DataFormat.Specifier == videoInfo);

    const KS_VIDEOINFOHEADER& info = format->VideoInfoHeader;
    EXPECT_EQ(info.rcSource.left, 0);
    EXPECT_EQ(info.rcSource.right, 0);
    EXPECT_EQ(info.rcTarget.bottom, 0);
    EXPECT_EQ(info.dwBitRate, 442368000u);
    EXPECT_EQ(info.dwBitErrorRate, 0u);
    EXPECT_EQ(info.AvgTimePerFrame, 333667);
    EXPECT_EQ(info.bmiHeader.biSize, 40u);
    EXPECT_EQ(info.bmiHeader.biWidth, 1280);
    EXPECT_EQ(info.bmiHeader.biHeight, 720);
    EXPECT_EQ(info.bmiHeader.biPlanes, 1);
    EXPECT_EQ(info.bmiHeader.biBitCount, 16);
    EXPECT_EQ(info.bmiHeader.biCompression, 0x32595559u);
    EXPECT_EQ(info.bmiHeader.biSizeImage, 1843200u);  // rows of 2560 bytes x 720
}

TEST_F(Intersection, KsDataFormatComesFromThePinsRangeNotTheCallers) {
    // Major and subformat are the platform's pairing business; the handler
    // neither looks at the caller's nor copies them.
    ExactBlock range = RangeCopy();
    KSDATARANGE* header = range.as<KSDATARANGE>();
    header->MajorFormat.Data1 ^= 0x1;
    header->SubFormat.Data1 = 0;
    header->Flags = 7;
    header->SampleSize = 1;
    header->Reserved = 9;
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&answer.data.as<KSDATAFORMAT>()->MajorFormat,
                          &CaptureDataRange.DataRange.MajorFormat, sizeof(GUID)),
              0);
    EXPECT_EQ(std::memcmp(&answer.data.as<KSDATAFORMAT>()->SubFormat,
                          &CaptureDataRange.DataRange.SubFormat, sizeof(GUID)),
              0);
    EXPECT_EQ(answer.data.as<KSDATAFORMAT>()->Flags, 0u);
    EXPECT_EQ(answer.data.as<KSDATAFORMAT>()->Reserved, 0u);
}

TEST_F(Intersection, VideoInfoFieldsAreTakenAsTheCallerGaveThem) {
    ExactBlock range = RangeCopy();
    KS_VIDEOINFOHEADER& info = Video(range)->VideoInfoHeader;
    info.rcSource = {1, 2, 3, 4};
    info.rcTarget = {5, 6, 7, 8};
    info.dwBitRate = 12345;
    info.dwBitErrorRate = 6;
    info.AvgTimePerFrame = 1000000;  // not bounded by ConfigCaps
    info.bmiHeader.biPlanes = 3;
    info.bmiHeader.biXPelsPerMeter = 77;
    info.bmiHeader.biClrImportant = 88;
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    const KS_VIDEOINFOHEADER& out =
        answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>()->VideoInfoHeader;
    EXPECT_EQ(out.rcSource.left, 1);
    EXPECT_EQ(out.rcSource.bottom, 4);
    EXPECT_EQ(out.rcTarget.left, 5);
    EXPECT_EQ(out.rcTarget.bottom, 8);
    EXPECT_EQ(out.dwBitRate, 12345u);
    EXPECT_EQ(out.dwBitErrorRate, 6u);
    EXPECT_EQ(out.AvgTimePerFrame, 1000000);
    EXPECT_EQ(out.bmiHeader.biPlanes, 3);
    EXPECT_EQ(out.bmiHeader.biXPelsPerMeter, 77);
    EXPECT_EQ(out.bmiHeader.biClrImportant, 88u);
}

TEST_F(Intersection, LongerBitmapHeaderIsCopiedWhole) {
    // biSize 48: eight bytes behind the fixed header travel into the answer.
    ExactBlock range = RangeCopy(304);
    Video(range)->VideoInfoHeader.bmiHeader.biSize = 48;
    const uint8_t tail[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(range.data() + 296, tail, sizeof(tail));
    Answer answer = Intersect(range, 160);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.dataSize, 160u);
    EXPECT_EQ(answer.data.as<KSDATAFORMAT>()->FormatSize, 160u);
    EXPECT_EQ(std::memcmp(answer.data.data() + 152, tail, sizeof(tail)), 0);
}

// ---- image size arithmetic ----------------------------------------------------

TEST_F(Intersection, RowsArePaddedToWholeWords) {
    ExactBlock range = RangeCopy();
    Video(range)->VideoInfoHeader.bmiHeader.biWidth = 1281;
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    const auto* format = answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>();
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biSizeImage, 2564u * 720u);
    EXPECT_EQ(format->DataFormat.SampleSize, 2564u * 720u);
}

TEST_F(Intersection, OddBitCountsRoundRowsUp) {
    ExactBlock range = RangeCopy();
    Video(range)->VideoInfoHeader.bmiHeader.biWidth = 3;
    Video(range)->VideoInfoHeader.bmiHeader.biHeight = 2;
    Video(range)->VideoInfoHeader.bmiHeader.biBitCount = 12;  // 36 bits -> 2 words
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(
        answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>()->VideoInfoHeader.bmiHeader.biSizeImage,
        16u);
}

TEST_F(Intersection, NegativeHeightGivesAPositiveImageSize) {
    ExactBlock range = RangeCopy();
    Video(range)->VideoInfoHeader.bmiHeader.biHeight = -720;
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    const auto* format = answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>();
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biHeight, -720);
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biSizeImage, 1843200u);
    EXPECT_EQ(format->DataFormat.SampleSize, 1843200u);
}

TEST_F(Intersection, ImageSizeWrapsModulo2To32) {
    ExactBlock range = RangeCopy();
    KS_BITMAPINFOHEADER& bitmap = Video(range)->VideoInfoHeader.bmiHeader;
    // width x bits = 2^32 + 32: the product wraps to 32 bits, one word.
    bitmap.biWidth = 0x08000001;
    bitmap.biBitCount = 32;
    bitmap.biHeight = 10;
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(
        answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>()->VideoInfoHeader.bmiHeader.biSizeImage,
        40u);

    // row x height beyond 2^32: 0x40000 x 0x10001 = 2^34 + 0x40000.
    bitmap.biWidth = 0x10000;
    bitmap.biBitCount = 32;
    bitmap.biHeight = 0x10001;
    answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(
        answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>()->VideoInfoHeader.bmiHeader.biSizeImage,
        0x40000u);

    // The most negative height: |height| is 2^31 in unsigned arithmetic.
    bitmap.biWidth = 1;
    bitmap.biBitCount = 8;
    bitmap.biHeight = INT32_MIN;
    answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(
        answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>()->VideoInfoHeader.bmiHeader.biSizeImage,
        0u);  // 4 x 2^31 mod 2^32
}

TEST_F(Intersection, SmallerSizeIntersectsButIsRefusedLaterBySetDataFormat) {
    ExactBlock range = RangeCopy();
    Video(range)->VideoInfoHeader.bmiHeader.biWidth = 640;
    Video(range)->VideoInfoHeader.bmiHeader.biHeight = 480;
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    const auto* format = answer.data.as<KS_DATAFORMAT_VIDEOINFOHEADER>();
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biWidth, 640);
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biHeight, 480);
    EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biSizeImage, 614400u);
    EXPECT_EQ(format->DataFormat.SampleSize, 614400u);

    // The answer, proposed as the connection format, does not fit the pin.
    ExactBlock proposed(answer.dataSize);
    std::memcpy(proposed.data(), answer.data.data(), answer.dataSize);
    KSPIN pin = pintest::FakePin(proposed);
    EXPECT_EQ(SetDataFormat(&pin, nullptr, nullptr, PinRange(), nullptr), STATUS_NO_MATCH);
}

TEST_F(Intersection, PinsOwnAnswerPassesSetDataFormat) {
    ExactBlock range = RangeCopy();
    Answer answer = Intersect(range, 152);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    KSPIN pin = pintest::FakePin(answer.data);
    EXPECT_EQ(SetDataFormat(&pin, nullptr, nullptr, PinRange(), nullptr), STATUS_SUCCESS);
}

// ---- ranges that do not match -------------------------------------------------

TEST_F(Intersection, OtherSpecifierDoesNotMatch) {
    ExactBlock range = RangeCopy();
    range.as<KSDATARANGE>()->Specifier.Data4[7] ^= 0x01;
    EXPECT_EQ(Intersect(range, 152).status, STATUS_NO_MATCH);
}

TEST_F(Intersection, RangeOneByteShortDoesNotMatch) {
    ExactBlock range = RangeCopy(295);
    EXPECT_EQ(Intersect(range, 152).status, STATUS_NO_MATCH);
    ExactBlock full = RangeCopy(296);
    EXPECT_EQ(Intersect(full, 152).status, STATUS_SUCCESS);
}

TEST_F(Intersection, RangeShorterThanItsKsDataFormatDoesNotMatch) {
    // Nothing but FormatSize can be read from such a range.
    for (ULONG size : {4u, 8u, 48u, 63u, 64u, 100u}) {
        ExactBlock range = RangeCopy(size);
        Answer answer = Intersect(range, 152);
        EXPECT_EQ(answer.status, STATUS_NO_MATCH) << "FormatSize " << size;
        EXPECT_EQ(answer.dataSize, kUntouched);
    }
}

TEST_F(Intersection, EachSampleFlagMustMatch) {
    struct Case {
        const char* name;
        void (*change)(KS_DATARANGE_VIDEO*);
    };
    const Case cases[] = {
        {"bFixedSizeSamples", [](KS_DATARANGE_VIDEO* r) { r->bFixedSizeSamples = FALSE; }},
        {"bTemporalCompression", [](KS_DATARANGE_VIDEO* r) { r->bTemporalCompression = TRUE; }},
        {"StreamDescriptionFlags", [](KS_DATARANGE_VIDEO* r) { r->StreamDescriptionFlags = 1; }},
        {"MemoryAllocationFlags", [](KS_DATARANGE_VIDEO* r) { r->MemoryAllocationFlags = 0x80; }},
    };
    for (const Case& c : cases) {
        ExactBlock range = RangeCopy();
        c.change(Video(range));
        EXPECT_EQ(Intersect(range, 152).status, STATUS_NO_MATCH) << c.name;
    }
}

TEST_F(Intersection, EverySingleByteOfConfigCapsMatters) {
    // All 128 bytes, the four alignment bytes ahead of MinFrameInterval too.
    for (size_t offset = 0; offset < sizeof(KS_VIDEO_STREAM_CONFIG_CAPS); ++offset) {
        ExactBlock range = RangeCopy();
        reinterpret_cast<uint8_t*>(&Video(range)->ConfigCaps)[offset] ^= 0x01;
        Answer answer = Intersect(range, 152);
        EXPECT_EQ(answer.status, STATUS_NO_MATCH) << "ConfigCaps byte " << offset;
        EXPECT_EQ(answer.dataSize, kUntouched);
    }
}

// ---- inconsistent sizes -------------------------------------------------------

TEST_F(Intersection, BitmapHeaderSizeThatWrapsIsInvalid) {
    // b + 256 wraps, b + 48 does not; then b + 48 wraps too.
    for (ULONG biSize : {0xFFFFFF00u, 0xFFFFFFD0u, 0xFFFFFFFFu}) {
        ExactBlock range = RangeCopy();
        Video(range)->VideoInfoHeader.bmiHeader.biSize = biSize;
        Answer answer = Intersect(range, 0);
        EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER) << "biSize " << biSize;
        EXPECT_EQ(answer.dataSize, kUntouched);
    }
}

TEST_F(Intersection, BitmapHeaderRunningPastTheRangeIsInvalid) {
    ExactBlock range = RangeCopy(300);
    Video(range)->VideoInfoHeader.bmiHeader.biSize = 45;  // ends at 301
    EXPECT_EQ(Intersect(range, 0).status, STATUS_INVALID_PARAMETER);
    Video(range)->VideoInfoHeader.bmiHeader.biSize = 44;  // ends at 300
    Answer answer = Intersect(range, 0);
    EXPECT_EQ(answer.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(answer.dataSize, 156u);
}

TEST_F(Intersection, BitmapHeaderShorterThanTheFixedHeaderIsInvalid) {
    // The answer would be shorter than the width, height and image size it
    // must carry; the caller is told nothing to allocate.
    for (ULONG biSize : {0u, 16u, 24u, 39u}) {
        ExactBlock range = RangeCopy();
        Video(range)->VideoInfoHeader.bmiHeader.biSize = biSize;
        Answer query = Intersect(range, 0);
        EXPECT_EQ(query.status, STATUS_INVALID_PARAMETER) << "biSize " << biSize;
        EXPECT_EQ(query.dataSize, kUntouched);
        Answer exact = Intersect(range, biSize + 112);
        EXPECT_EQ(exact.status, STATUS_INVALID_PARAMETER) << "biSize " << biSize;
    }
}

// ---- the order of the checks -------------------------------------------------

TEST_F(Intersection, ChecksDecideInTheirOrder) {
    // A ConfigCaps mismatch is found before the header size is looked at.
    ExactBlock range = RangeCopy();
    Video(range)->ConfigCaps.MinFrameInterval += 1;
    Video(range)->VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFFF;
    EXPECT_EQ(Intersect(range, 0).status, STATUS_NO_MATCH);

    // An invalid header size is found before a size query is answered.
    ExactBlock wrapping = RangeCopy();
    Video(wrapping)->VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFFF;
    EXPECT_EQ(Intersect(wrapping, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Intersect(wrapping, 10).status, STATUS_INVALID_PARAMETER);

    // A short range does not match before its flags are compared.
    ExactBlock shortRange = RangeCopy(295);
    Video(shortRange)->bFixedSizeSamples = FALSE;
    EXPECT_EQ(Intersect(shortRange, 0).status, STATUS_NO_MATCH);
}

}  // namespace
