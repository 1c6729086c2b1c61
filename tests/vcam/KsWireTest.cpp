// The requests vcam.exe sends on Windows, built by KsWire, handed byte for
// byte to the host kernel's request entry points (the filter's and pin's
// IOCTL_KS_PROPERTY, pin creation from KSPIN_CONNECT, IOCTL_KS_READ_STREAM),
// and the driver's answers read back through KsWire. Only the Win32 calls
// that carry these bytes are not exercised here.
#include "tests/vcam/CameraFixture.h"

#include "driver/injection/FrameInjection.h"
#include "driver/pin/Descriptors.h"
#include "host/client/PinHandle.h"
#include "tools/vcam/device/KsWire.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

using vcam::KsWire;
using vcam::WireFrameHeader;
using vcam::WireGuid;

// The layouts KsWire writes by offset are the platform's x64 layouts.
static_assert(sizeof(KSPROPERTY) == KsWire::kPropertySize);
static_assert(sizeof(KSP_PIN) == KsWire::kPinPropertySize);
static_assert(offsetof(KSP_PIN, PinId) == 24);
static_assert(sizeof(KSDATAFORMAT) == KsWire::kDataFormatSize);
static_assert(sizeof(KSSTREAM_HEADER) == KsWire::kStreamHeaderSize);
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32);
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40);
static_assert(offsetof(KSSTREAM_HEADER, OptionsFlags) == 48);
static_assert(sizeof(KS_FRAME_INFO) == KsWire::kFrameInfoSize);
static_assert(offsetof(KS_FRAME_INFO, PictureNumber) == 8);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == KsWire::kVideoFormatSize);
static_assert(sizeof(KS_DATARANGE_VIDEO) == KsWire::kVideoRangeSize);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps.MinFrameInterval) == 80 + 104);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps.MaxFrameInterval) == 80 + 112);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader.AvgTimePerFrame) == 64 + 40);
static_assert(offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader.bmiHeader.biSizeImage) ==
              64 + 68);
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == KsWire::kFramingSize);
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem[0].Frames) == 24 + 44);
static_assert(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem[0].FramingRange.Range.MaxFrameSize) ==
              24 + 72);

bool Same(const WireGuid& wire, const GUID& guid) {
    return std::memcmp(&wire, &guid, sizeof guid) == 0;
}

TEST(KsWireConstantsTest, GuidsAndIdsAreThePlatformsAndTheDriversOwn) {
    EXPECT_TRUE(Same(KsWire::kPinSet, VCAM_GUID(STATIC_KSPROPSETID_Pin)));
    EXPECT_TRUE(Same(KsWire::kCategoryVideoCamera, VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA)));
    EXPECT_TRUE(Same(KsWire::kPinNameVideoCapture, VCAM_GUID(STATIC_PINNAME_VIDEO_CAPTURE)));
    EXPECT_TRUE(Same(KsWire::kMajorVideo, VCAM_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO)));
    EXPECT_TRUE(
        Same(KsWire::kSpecifierVideoInfo, VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO)));
    EXPECT_TRUE(Same(KsWire::kSubtypeYuy2, CaptureDataRange.DataRange.SubFormat));
    EXPECT_TRUE(Same(KsWire::kFrameInjectionSet, FrameInjectionSetId));
    EXPECT_EQ(KsWire::kFrameProperty, static_cast<uint32_t>(VCAM_PROPERTY_FRAME));
    EXPECT_EQ(KsWire::kSignature, static_cast<uint32_t>(VCAM_SIGNATURE));
    EXPECT_EQ(KsWire::kFourccYuy2, static_cast<uint32_t>(VCAM_FOURCC_YUY2));
    EXPECT_EQ(KsWire::kPinDataIntersection, static_cast<uint32_t>(KSPROPERTY_PIN_DATAINTERSECTION));
    EXPECT_EQ(KsWire::kPinCategory, static_cast<uint32_t>(KSPROPERTY_PIN_CATEGORY));
    EXPECT_EQ(KsWire::kPinNecessaryInstances,
              static_cast<uint32_t>(KSPROPERTY_PIN_NECESSARYINSTANCES));
    EXPECT_EQ(KsWire::kPinName, static_cast<uint32_t>(KSPROPERTY_PIN_NAME));
    EXPECT_EQ(KsWire::kOptionsTimeValid, static_cast<uint32_t>(KSSTREAM_HEADER_OPTIONSF_TIMEVALID));
    EXPECT_EQ(WireGuid(KsWire::kFrameInjectionSet).ToString(),
              "{CB043957-7B35-456E-9B61-5513930F4D8E}");
}

TEST(KsWireRequestTest, RequestsHoldTheDocumentedFieldsAtTheirPlaces) {
    const std::vector<uint8_t> pin = KsWire::PinGet(3, KSPROPERTY_PIN_DATAFLOW);
    ASSERT_EQ(pin.size(), sizeof(KSP_PIN));
    KSP_PIN asPin;
    std::memcpy(&asPin, pin.data(), sizeof asPin);
    EXPECT_TRUE(asPin.Property.Set == VCAM_GUID(STATIC_KSPROPSETID_Pin));
    EXPECT_EQ(asPin.Property.Id, static_cast<ULONG>(KSPROPERTY_PIN_DATAFLOW));
    EXPECT_EQ(asPin.Property.Flags, static_cast<ULONG>(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(asPin.PinId, 3u);
    EXPECT_EQ(asPin.Reserved, 0u);

    // The intersection request is the host client's own, byte for byte.
    std::vector<uint8_t> range(sizeof(KS_DATARANGE_VIDEO));
    std::memcpy(range.data(), &CaptureDataRange, range.size());
    std::vector<uint8_t> odd(70, 0x5A);  // not a multiple of 8: padded to 72
    EXPECT_EQ(KsWire::IntersectionRequest(0, {range, odd}),
              host::FilterHandle::IntersectionRequest(0, {range, odd}));

    uint8_t buffer[16];
    const std::vector<uint8_t> read = KsWire::ReadHeader(buffer, 1843200);
    ASSERT_EQ(read.size(), sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    KSSTREAM_HEADER header;
    std::memcpy(&header, read.data(), sizeof header);
    EXPECT_EQ(header.Size, read.size());
    EXPECT_EQ(header.FrameExtent, 1843200u);
    EXPECT_EQ(header.DataUsed, 0u);
    EXPECT_EQ(header.Data, static_cast<void*>(buffer));
    EXPECT_EQ(header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(header.PresentationTime.Denominator, 1u);
    KS_FRAME_INFO info;
    std::memcpy(&info, read.data() + sizeof header, sizeof info);
    EXPECT_EQ(info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
}

class KsWireDriverTest : public CameraFixture {
  protected:
    NTSTATUS Filter(const std::vector<uint8_t>& request, void* value, ULONG length,
                    ULONG* returned) {
        return filter_->Ioctl(request.data(), static_cast<ULONG>(request.size()), value, length,
                              returned);
    }

    // The intersected format, through the wire requests.
    std::vector<uint8_t> Format() {
        std::vector<uint8_t> range(sizeof(KS_DATARANGE_VIDEO));
        std::memcpy(range.data(), &CaptureDataRange, range.size());
        std::vector<uint8_t> format(KsWire::kVideoFormatSize);
        ULONG returned = 0;
        EXPECT_EQ(Filter(KsWire::IntersectionRequest(0, {range}), format.data(),
                         static_cast<ULONG>(format.size()), &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(returned, format.size());
        return format;
    }

    std::unique_ptr<host::PinHandle> Pin(const std::vector<uint8_t>& connect) {
        std::unique_ptr<host::PinHandle> pin;
        EXPECT_EQ(
            filter_->CreatePinFromConnect(connect.data(), static_cast<ULONG>(connect.size()), &pin),
            STATUS_SUCCESS);
        return pin;
    }

    NTSTATUS State(host::PinHandle& pin, uint32_t flags, KSSTATE* state) {
        ULONG returned = 0;
        const std::vector<uint8_t> request =
            KsWire::Property(KsWire::kConnectionSet, KsWire::kConnectionState, flags);
        return pin.Ioctl(request.data(), static_cast<ULONG>(request.size()), state, sizeof *state,
                         &returned);
    }
};

TEST_F(KsWireDriverTest, FilterPropertiesAnswerThroughTheWireRequests) {
    uint8_t signature[4] = {};
    ULONG returned = 0;
    EXPECT_EQ(Filter(KsWire::Property(KsWire::kFrameInjectionSet, 0, KsWire::kPropertyGet),
                     signature, 4, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    const uint8_t expected[4] = {0x77, 0xAA, 0x77, 0xAA};
    EXPECT_EQ(std::memcmp(signature, expected, 4), 0);

    // Data ranges: the size query, then a KSMULTIPLE_ITEM KsWire can read.
    const std::vector<uint8_t> ranges = KsWire::PinGet(0, KsWire::kPinDataRanges);
    EXPECT_EQ(Filter(ranges, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    std::vector<uint8_t> answer(returned);
    ASSERT_EQ(Filter(ranges, answer.data(), returned, &returned), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> parsed;
    ASSERT_TRUE(KsWire::ParseRanges(answer.data(), returned, &parsed));
    ASSERT_EQ(parsed.size(), 1u);
    vcam::WireVideoFormat range;
    ASSERT_TRUE(KsWire::ParseVideoRange(parsed[0], &range));
    EXPECT_EQ(range.width, 1280);
    EXPECT_EQ(range.height, 720);
    EXPECT_EQ(range.minFrameInterval, 333667);
    EXPECT_EQ(range.maxFrameInterval, 640000000);
    // A count that runs past the answer is malformed.
    answer[4] = 2;
    EXPECT_FALSE(KsWire::ParseRanges(answer.data(), returned, &parsed));

    vcam::WireVideoFormat format;
    ASSERT_TRUE(KsWire::ParseVideoFormat(Format(), &format));
    EXPECT_EQ(format.formatSize, 152u);
    EXPECT_EQ(format.sizeImage, 1843200u);
    EXPECT_EQ(format.avgTimePerFrame, 333667);
    EXPECT_EQ(format.compression, KsWire::kFourccYuy2);
}

TEST_F(KsWireDriverTest, PinConnectCreatesThePinAndBadConnectsAreRefused) {
    const std::vector<uint8_t> format = Format();
    std::vector<uint8_t> connect = KsWire::PinConnect(0, format);
    ASSERT_EQ(connect.size(), 72 + 152u);
    std::unique_ptr<host::PinHandle> pin;
    // Another interface or medium than the standard ones.
    std::vector<uint8_t> wrong = connect;
    wrong[16] = 1;  // Interface.Id
    EXPECT_EQ(filter_->CreatePinFromConnect(wrong.data(), static_cast<ULONG>(wrong.size()), &pin),
              STATUS_NO_MATCH);
    wrong = connect;
    wrong[24] ^= 0xFF;  // Medium.Set
    EXPECT_EQ(filter_->CreatePinFromConnect(wrong.data(), static_cast<ULONG>(wrong.size()), &pin),
              STATUS_NO_MATCH);
    // A pin factory that does not exist; a format cut short.
    EXPECT_EQ(filter_->CreatePinFromConnect(KsWire::PinConnect(1, format).data(),
                                            static_cast<ULONG>(connect.size()), &pin),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        filter_->CreatePinFromConnect(connect.data(), static_cast<ULONG>(connect.size() - 1), &pin),
        STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(pin);

    pin = Pin(connect);
    ASSERT_TRUE(pin);
    EXPECT_EQ(std::memcmp(pin->KsPin()->ConnectionFormat, format.data(), format.size()), 0);
    KSSTATE state = KSSTATE_RUN;
    EXPECT_EQ(State(*pin, KsWire::kPropertyGet, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);

    // The framing, and the size query of the state.
    uint8_t framing[KsWire::kFramingSize] = {};
    ULONG returned = 0;
    const std::vector<uint8_t> framingGet = KsWire::Property(
        KsWire::kConnectionSet, KsWire::kConnectionAllocatorFramingEx, KsWire::kPropertyGet);
    ASSERT_EQ(pin->Ioctl(framingGet.data(), static_cast<ULONG>(framingGet.size()), framing,
                         sizeof framing, &returned),
              STATUS_SUCCESS);
    vcam::WireFraming parsed;
    ASSERT_TRUE(KsWire::ParseFraming(framing, returned, &parsed));
    EXPECT_EQ(parsed.countItems, 1u);
    EXPECT_EQ(parsed.frames, 2u);
    EXPECT_EQ(parsed.maxFrameSize, 1843200u);
    const std::vector<uint8_t> stateGet =
        KsWire::Property(KsWire::kConnectionSet, KsWire::kConnectionState, KsWire::kPropertyGet);
    EXPECT_EQ(
        pin->Ioctl(stateGet.data(), static_cast<ULONG>(stateGet.size()), nullptr, 0, &returned),
        STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(KSSTATE));
    const std::vector<uint8_t> unknown =
        KsWire::Property(KsWire::kConnectionSet, 99, KsWire::kPropertyGet);
    EXPECT_EQ(pin->Ioctl(unknown.data(), static_cast<ULONG>(unknown.size()), &state, sizeof state,
                         &returned),
              STATUS_NOT_FOUND);
}

TEST_F(KsWireDriverTest, ReadStreamHeadersComeBackFilledByTheDriver) {
    std::unique_ptr<host::PinHandle> pin = Pin(KsWire::PinConnect(0, Format()));
    ASSERT_TRUE(pin);
    std::vector<uint8_t> buffer(1843200, 0xCD);
    std::vector<uint8_t> header = KsWire::ReadHeader(buffer.data(), 1843200);
    // Stopped: the read is refused.
    EXPECT_EQ(pin->ReadStream(header.data(), static_cast<ULONG>(header.size())),
              STATUS_INVALID_DEVICE_STATE);
    KSSTATE state = KSSTATE_PAUSE;
    ASSERT_EQ(State(*pin, KsWire::kPropertySet, &state), STATUS_SUCCESS);
    EXPECT_EQ(pin->State(), KSSTATE_PAUSE);
    // A header shorter than KSSTREAM_HEADER, or a Size the buffer does not hold.
    EXPECT_EQ(pin->ReadStream(header.data(), 40), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pin->ReadStream(header.data(), 100), STATUS_INVALID_PARAMETER);

    uint64_t ticket = 0;
    ASSERT_EQ(pin->ReadStream(header.data(), static_cast<ULONG>(header.size()), &ticket),
              STATUS_SUCCESS);
    // A read with a bare KSSTREAM_HEADER: no KS_FRAME_INFO comes back.
    std::vector<uint8_t> bare(buffer.size(), 0xCD);
    std::vector<uint8_t> bareHeader = KsWire::ReadHeader(bare.data(), 1843200);
    bareHeader.resize(KsWire::kStreamHeaderSize);
    uint32_t size = KsWire::kStreamHeaderSize;
    std::memcpy(bareHeader.data(), &size, 4);
    ASSERT_EQ(pin->ReadStream(bareHeader.data(), static_cast<ULONG>(bareHeader.size())),
              STATUS_SUCCESS);

    state = KSSTATE_RUN;
    ASSERT_EQ(State(*pin, KsWire::kPropertySet, &state), STATUS_SUCCESS);
    host::CompletedFrame done;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(pin->WaitForCompletion(std::chrono::milliseconds(1000)), STATUS_SUCCESS);
        ASSERT_EQ(pin->TakeCompleted(&done), STATUS_SUCCESS);
        WireFrameHeader h;
        ASSERT_TRUE(KsWire::ParseFrameHeader(done.headerBytes.data(), done.headerBytes.size(), &h));
        EXPECT_EQ(h.dataUsed, 1843200u);
        EXPECT_EQ(h.duration, 333667);
        EXPECT_EQ(h.optionsFlags, KsWire::kOptionsTimeValid | KsWire::kOptionsDurationValid);
        if (i == 0) {
            EXPECT_EQ(done.ticket, ticket);
            EXPECT_EQ(h.size, 128u);
            EXPECT_EQ(h.data, reinterpret_cast<uint64_t>(buffer.data()));
            ASSERT_TRUE(h.hasFrameInfo);
            EXPECT_EQ(h.extendedHeaderSize, 72u);
            EXPECT_EQ(h.pictureNumber, 1);
            EXPECT_EQ(h.dropCount, 0);
            // Black: Y 0, U and V 128.
            EXPECT_EQ(buffer[0], 0x00);
            EXPECT_EQ(buffer[1], 0x80);
        } else {
            EXPECT_EQ(h.size, 56u);
            EXPECT_FALSE(h.hasFrameInfo);
        }
    }
    state = KSSTATE_STOP;
    EXPECT_EQ(State(*pin, KsWire::kPropertySet, &state), STATUS_SUCCESS);
    EXPECT_EQ(pin->State(), KSSTATE_STOP);
}

}  // namespace
