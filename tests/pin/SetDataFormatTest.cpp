// The pin's format check, called as the class library calls it: with the
// proposed format in the pin's ConnectionFormat, without an old format before
// the pin exists, and with one for a later change. (Changes that reach the
// copy are exercised through the host class library in PinFormatChangeTest.)

#include <gtest/gtest.h>

#include <cstring>

#include "driver/pin/FormatNegotiation.h"
#include "support/KernelTestFixture.h"
#include "pin/FormatBuffers.h"

using pintest::DefaultFormat;
using pintest::ExactBlock;
using pintest::FakePin;
using pintest::PinRange;

namespace {

KS_BITMAPINFOHEADER& Bitmap(ExactBlock& format) {
    return format.as<KS_DATAFORMAT_VIDEOINFOHEADER>()->VideoInfoHeader.bmiHeader;
}

NTSTATUS Check(ExactBlock& format, KSSTATE state = KSSTATE_STOP,
               PKSDATAFORMAT oldFormat = nullptr) {
    KSPIN pin = FakePin(format, state);
    return SetDataFormat(&pin, oldFormat, nullptr, PinRange(), nullptr);
}

class SetDataFormatCheck : public KernelTestFixture {};

// ---- what is accepted ---------------------------------------------------------

TEST_F(SetDataFormatCheck, DefaultFormatIsAcceptedAtCreation) {
    ExactBlock format = DefaultFormat();
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
}

TEST_F(SetDataFormatCheck, ImageSizeMustHoldTheImage) {
    ExactBlock format = DefaultFormat();
    Bitmap(format).biSizeImage = 1843199;
    EXPECT_EQ(Check(format), STATUS_INVALID_PARAMETER);
    Bitmap(format).biSizeImage = 1843200;
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
    Bitmap(format).biSizeImage = 4000000;  // larger is accepted
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
}

TEST_F(SetDataFormatCheck, BitCountSetsTheImageSizeNeededButIsNotCompared) {
    // 24 bits with YUY2 is refused only when the engine is claimed; here the
    // image must just be large enough for 3 bytes a pixel.
    ExactBlock format = DefaultFormat();
    Bitmap(format).biBitCount = 24;
    EXPECT_EQ(Check(format), STATUS_INVALID_PARAMETER);
    Bitmap(format).biSizeImage = 1280 * 720 * 3;
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
    // 12 bits counts whole bytes: one a pixel.
    Bitmap(format).biBitCount = 12;
    Bitmap(format).biSizeImage = 1280 * 720;
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
    Bitmap(format).biSizeImage = 1280 * 720 - 1;
    EXPECT_EQ(Check(format), STATUS_INVALID_PARAMETER);
}

TEST_F(SetDataFormatCheck, FrameRateRectanglesAndPlanesAreNotCompared) {
    ExactBlock format = DefaultFormat();
    auto* info = &format.as<KS_DATAFORMAT_VIDEOINFOHEADER>()->VideoInfoHeader;
    info->AvgTimePerFrame = 1;  // below the range's minimum interval
    info->rcSource = {0, 0, 10, 10};
    info->bmiHeader.biPlanes = 5;
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
}

TEST_F(SetDataFormatCheck, LongerBitmapHeaderInsideTheFormatIsAccepted) {
    ExactBlock format = DefaultFormat(160);
    Bitmap(format).biSize = 48;
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
}

// ---- what does not fit the pin's range ----------------------------------------

TEST_F(SetDataFormatCheck, FormatOneByteShortDoesNotMatch) {
    ExactBlock format = DefaultFormat(151);
    EXPECT_EQ(Check(format), STATUS_NO_MATCH);
}

TEST_F(SetDataFormatCheck, FormatShorterThanItsKsDataFormatDoesNotMatch) {
    for (ULONG size : {4u, 40u, 63u}) {
        ExactBlock format = DefaultFormat(size);
        EXPECT_EQ(Check(format), STATUS_NO_MATCH) << "FormatSize " << size;
    }
}

TEST_F(SetDataFormatCheck, OtherSpecifierDoesNotMatch) {
    ExactBlock format = DefaultFormat();
    format.as<KSDATAFORMAT>()->Specifier.Data2 ^= 1;
    EXPECT_EQ(Check(format), STATUS_NO_MATCH);
}

TEST_F(SetDataFormatCheck, WidthHeightAndCompressionMustBeTheRanges) {
    struct Case {
        const char* name;
        void (*change)(KS_BITMAPINFOHEADER&);
    };
    const Case cases[] = {
        {"width 1281", [](KS_BITMAPINFOHEADER& b) { b.biWidth = 1281; }},
        {"width 640", [](KS_BITMAPINFOHEADER& b) { b.biWidth = 640; }},
        {"height 721", [](KS_BITMAPINFOHEADER& b) { b.biHeight = 721; }},
        {"height -720 (top-down)", [](KS_BITMAPINFOHEADER& b) { b.biHeight = -720; }},
        {"compression I420", [](KS_BITMAPINFOHEADER& b) { b.biCompression = 0x30323449; }},
        {"compression RGB", [](KS_BITMAPINFOHEADER& b) { b.biCompression = 0; }},
    };
    for (const Case& c : cases) {
        ExactBlock format = DefaultFormat();
        c.change(Bitmap(format));
        EXPECT_EQ(Check(format), STATUS_NO_MATCH) << c.name;
    }
}

// ---- inconsistent sizes -------------------------------------------------------

TEST_F(SetDataFormatCheck, BitmapHeaderSizeThatWrapsIsInvalid) {
    for (ULONG biSize : {0xFFFFFFA0u, 0xFFFFFFD0u, 0xFFFFFFFFu}) {
        ExactBlock format = DefaultFormat();
        Bitmap(format).biSize = biSize;
        EXPECT_EQ(Check(format), STATUS_INVALID_PARAMETER) << "biSize " << biSize;
    }
}

TEST_F(SetDataFormatCheck, BitmapHeaderRunningPastTheFormatIsInvalid) {
    ExactBlock format = DefaultFormat(156);
    Bitmap(format).biSize = 45;  // ends at 157
    EXPECT_EQ(Check(format), STATUS_INVALID_PARAMETER);
    Bitmap(format).biSize = 44;  // ends at 156
    EXPECT_EQ(Check(format), STATUS_SUCCESS);
}

TEST_F(SetDataFormatCheck, BitmapHeaderShorterThanTheFixedHeaderIsInvalid) {
    // The pin's copy takes biSize + 48 bytes; everything that reads it later
    // reads a whole 40-byte header.
    for (ULONG biSize : {0u, 20u, 39u}) {
        ExactBlock format = DefaultFormat();
        Bitmap(format).biSize = biSize;
        EXPECT_EQ(Check(format), STATUS_INVALID_PARAMETER) << "biSize " << biSize;
    }
}

// ---- changes after creation ----------------------------------------------------

TEST_F(SetDataFormatCheck, ChangesAreRefusedOutsideStop) {
    ExactBlock old = DefaultFormat();
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        ExactBlock format = DefaultFormat();
        EXPECT_EQ(Check(format, state, old.as<KSDATAFORMAT>()), STATUS_INVALID_DEVICE_STATE)
            << "state " << state;
    }
}

TEST_F(SetDataFormatCheck, CheckAtCreationDoesNotLookAtTheState) {
    ExactBlock format = DefaultFormat();
    EXPECT_EQ(Check(format, KSSTATE_RUN, nullptr), STATUS_SUCCESS);
}

// ---- the order of the checks -------------------------------------------------

TEST_F(SetDataFormatCheck, ChecksDecideInTheirOrder) {
    ExactBlock old = DefaultFormat();

    // A wrapping header size is found before the width is compared.
    ExactBlock wrapping = DefaultFormat();
    Bitmap(wrapping).biSize = 0xFFFFFFFF;
    Bitmap(wrapping).biWidth = 640;
    EXPECT_EQ(Check(wrapping), STATUS_INVALID_PARAMETER);

    // A wrong width is found before the image size.
    ExactBlock narrow = DefaultFormat();
    Bitmap(narrow).biWidth = 640;
    Bitmap(narrow).biSizeImage = 1;
    EXPECT_EQ(Check(narrow), STATUS_NO_MATCH);

    // A short image is refused before the state is looked at.
    ExactBlock shortImage = DefaultFormat();
    Bitmap(shortImage).biSizeImage = 1843199;
    EXPECT_EQ(Check(shortImage, KSSTATE_RUN, old.as<KSDATAFORMAT>()), STATUS_INVALID_PARAMETER);

    // A format that does not fit is refused before the state is looked at.
    ExactBlock topDown = DefaultFormat();
    Bitmap(topDown).biHeight = -720;
    EXPECT_EQ(Check(topDown, KSSTATE_PAUSE, old.as<KSDATAFORMAT>()), STATUS_NO_MATCH);
}

}  // namespace
