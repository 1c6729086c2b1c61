// The whole camera, as a capture application and a frame source see it:
// the driver loaded into the host kernel and used only through the client
// calls a user-mode program makes.
#include <gtest/gtest.h>

#include "driver/device/DeviceDispatch.h"
#include "driver/device/VcamDevice.h"
#include "driver/injection/FrameInjection.h"
#include "driver/pin/Descriptors.h"
#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/client/PinHandle.h"
#include "host/ks/KsFaults.h"
#include "support/KernelTestFixture.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

using host::PoolTag;
using host::Verifier;
using namespace std::chrono_literals;

const GUID kVideo = VCAM_GUID(STATIC_KSCATEGORY_VIDEO);
const GUID kCapture = VCAM_GUID(STATIC_KSCATEGORY_CAPTURE);
const GUID kCamera = VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA);
const ULONG kImageSize = 1280 * 720 * 2;
const ULONG kI420Size = 1280 * 720 * 3 / 2;
const ULONG kRgbSize = 1280 * 720 * 3;

std::vector<uint8_t> UniformI420(uint8_t y, uint8_t u, uint8_t v) {
    std::vector<uint8_t> frame(kI420Size, y);
    std::fill(frame.begin() + 1280 * 720, frame.begin() + 1280 * 720 * 5 / 4, u);
    std::fill(frame.begin() + 1280 * 720 * 5 / 4, frame.end(), v);
    return frame;
}

std::vector<uint8_t> UniformBgr(uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> frame(kRgbSize);
    for (size_t i = 0; i < frame.size(); i += 3) {
        frame[i] = b;
        frame[i + 1] = g;
        frame[i + 2] = r;
    }
    return frame;
}

// True when every YUY2 group of the image reads y, u, y, v (within `slack`).
bool IsUniformYuy2(const uint8_t* image, uint8_t y, uint8_t u, uint8_t v, int slack = 0) {
    for (ULONG i = 0; i < kImageSize; i += 4) {
        if (std::abs(image[i] - y) > slack || std::abs(image[i + 1] - u) > slack ||
            std::abs(image[i + 2] - y) > slack || std::abs(image[i + 3] - v) > slack) {
            return false;
        }
    }
    return true;
}

class WholeCameraTest : public KernelTestFixture {
  protected:
    void SetUp() override {
        KernelTestFixture::SetUp();
        host::KsFaults::Clear();
        ASSERT_EQ(host::Driver::LoadChosen(DriverEntry, &driver), STATUS_SUCCESS);
    }

    void TearDown() override {
        pin.reset();
        filter.reset();
        if (device) {
            device->Remove();
            device.reset();
        }
        driver.reset();
        host::KsFaults::Clear();
        EXPECT_EQ(Verifier::OutstandingBlocks(), 0u) << Verifier::Describe();
        KernelTestFixture::TearDown();
    }

    void StartDevice() {
        ASSERT_EQ(driver->AddDevice(&device), STATUS_SUCCESS);
        ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    }

    // The format a capture application negotiates: the pin's one data range,
    // intersected.
    std::vector<uint8_t> NegotiatedFormat() {
        std::vector<std::vector<uint8_t>> ranges;
        EXPECT_EQ(filter->GetDataRanges(0, &ranges), STATUS_SUCCESS);
        std::vector<uint8_t> format;
        EXPECT_EQ(filter->Intersect(0, ranges.at(0).data(), ranges.at(0).size(), &format),
                  STATUS_SUCCESS);
        return format;
    }

    void OpenStreamingPin() {
        ASSERT_EQ(device->OpenFilter(kCamera, &filter), STATUS_SUCCESS);
        std::vector<uint8_t> format = NegotiatedFormat();
        ASSERT_EQ(filter->CreatePin(0, format.data(), format.size(), &pin), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }

    NTSTATUS Push(const std::vector<uint8_t>& frame) {
        return filter->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, frame.data(),
                                   static_cast<ULONG>(frame.size()));
    }

    // Submits one capture buffer and waits (in virtual time) for it to come
    // back filled.
    host::CompletedFrame CaptureOne() {
        buffers.emplace_back(kImageSize, 0x5A);
        EXPECT_EQ(pin->Submit(buffers.back().data(), kImageSize), STATUS_SUCCESS);
        EXPECT_EQ(pin->WaitForCompletion(1000ms), STATUS_SUCCESS);
        host::CompletedFrame frame;
        EXPECT_EQ(pin->TakeCompleted(&frame), STATUS_SUCCESS);
        return frame;
    }

    std::unique_ptr<host::Driver> driver;
    std::unique_ptr<host::Device> device;
    std::unique_ptr<host::FilterHandle> filter;
    std::unique_ptr<host::PinHandle> pin;
    std::vector<std::vector<uint8_t>> buffers;
};

TEST_F(WholeCameraTest, FilterOpensThroughEachCategoryAndAnswersTheSignature) {
    StartDevice();
    std::vector<host::DeviceInterface> interfaces = device->Interfaces();
    ASSERT_EQ(interfaces.size(), 3u);
    for (const host::DeviceInterface& i : interfaces) {
        EXPECT_EQ(i.referenceString, u"GLOBAL");
    }
    for (const GUID& category : {kVideo, kCapture, kCamera}) {
        std::unique_ptr<host::FilterHandle> handle;
        ASSERT_EQ(device->OpenFilter(category, &handle), STATUS_SUCCESS);
        uint8_t data[8] = {};
        ULONG returned = 0;
        ASSERT_EQ(handle->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, data, sizeof(data),
                                      &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(returned, 4u);
        EXPECT_EQ(data[0], 0x77);
        EXPECT_EQ(data[1], 0xAA);
        EXPECT_EQ(data[2], 0x77);
        EXPECT_EQ(data[3], 0xAA);
        EXPECT_EQ(data[4], 0);  // nothing past the signature
    }
}

TEST_F(WholeCameraTest, ShortSignatureBufferGetsNothingWrittenAndTheSizeItNeeds) {
    StartDevice();
    ASSERT_EQ(device->OpenFilter(kVideo, &filter), STATUS_SUCCESS);
    uint8_t data[4] = {1, 2, 3, 4};
    ULONG returned = 0;
    EXPECT_EQ(filter->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, data, 3, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[2], 3);
    EXPECT_EQ(data[3], 4);
}

TEST_F(WholeCameraTest, SignatureIsTheSameWithAPinAndWhileStreaming) {
    StartDevice();
    OpenStreamingPin();
    ULONG signature = 0;
    ULONG returned = 0;
    EXPECT_EQ(filter->GetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, &signature,
                                  sizeof(signature), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(signature, VCAM_SIGNATURE);
}

TEST_F(WholeCameraTest, UnknownSetsAndIdsAreRefusedBeforeTheDriver) {
    StartDevice();
    ASSERT_EQ(device->OpenFilter(kVideo, &filter), STATUS_SUCCESS);
    ULONG data = 0;
    ULONG returned = 0;
    const GUID other = VCAM_GUID(STATIC_KSCATEGORY_VIDEO);
    // Which of the two an unknown set gets is not documented (a variant);
    // either way the driver never sees the request.
    const NTSTATUS unknownSet = filter->GetProperty(other, 0, &data, sizeof(data), &returned);
    EXPECT_TRUE(unknownSet == STATUS_PROPSET_NOT_FOUND || unknownSet == STATUS_NOT_FOUND)
        << std::hex << unknownSet;
    EXPECT_EQ(filter->GetProperty(FrameInjectionSetId, 1, &data, sizeof(data), &returned),
              STATUS_NOT_FOUND);
}

TEST_F(WholeCameraTest, OneDataRangeOfYuy2At1280x720) {
    StartDevice();
    ASSERT_EQ(device->OpenFilter(kCapture, &filter), STATUS_SUCCESS);
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(filter->GetDataRanges(0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 1u);
    ASSERT_EQ(ranges[0].size(), 296u);
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
    EXPECT_EQ(range->DataRange.FormatSize, 296u);
    EXPECT_EQ(range->DataRange.SampleSize, kImageSize);
    EXPECT_EQ(range->DataRange.SubFormat.Data1, 0x32595559u);
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biWidth, 1280);
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biHeight, 720);
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biBitCount, 16);
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biSizeImage, kImageSize);
    EXPECT_EQ(range->VideoInfoHeader.AvgTimePerFrame, 333667);

    std::vector<uint8_t> format = NegotiatedFormat();
    ASSERT_EQ(format.size(), 152u);
    const auto* negotiated = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    EXPECT_EQ(negotiated->DataFormat.FormatSize, 152u);
    EXPECT_EQ(negotiated->VideoInfoHeader.bmiHeader.biSizeImage, kImageSize);
}

TEST_F(WholeCameraTest, OnePinPerFilterAndOneStreamingPinPerDevice) {
    StartDevice();
    OpenStreamingPin();
    std::vector<uint8_t> format = NegotiatedFormat();
    std::unique_ptr<host::PinHandle> second;
    EXPECT_NE(filter->CreatePin(0, format.data(), format.size(), &second), STATUS_SUCCESS);

    // Another filter instance may make a pin, but not claim the engine.
    std::unique_ptr<host::FilterHandle> otherFilter;
    ASSERT_EQ(device->OpenFilter(kVideo, &otherFilter), STATUS_SUCCESS);
    ASSERT_EQ(otherFilter->CreatePin(0, format.data(), format.size(), &second), STATUS_SUCCESS);
    EXPECT_EQ(second->SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(second->State(), KSSTATE_STOP);
    second.reset();
}

TEST_F(WholeCameraTest, PushedFramesReachTheCaptureBuffers) {
    StartDevice();
    OpenStreamingPin();

    // Nothing pushed yet: YUY2 black.
    host::CompletedFrame black = CaptureOne();
    EXPECT_EQ(black.header.DataUsed, kImageSize);
    EXPECT_TRUE(IsUniformYuy2(static_cast<uint8_t*>(black.data), 0x00, 0x80, 0x80));

    ASSERT_EQ(Push(UniformI420(200, 60, 190)), STATUS_SUCCESS);
    host::CompletedFrame i420 = CaptureOne();
    EXPECT_TRUE(IsUniformYuy2(static_cast<uint8_t*>(i420.data), 200, 60, 190));
    EXPECT_EQ(i420.header.Duration, 333667);
    ASSERT_TRUE(i420.hasFrameInfo);
    EXPECT_EQ(i420.frameInfo.PictureNumber, 2);

    // Pure red in B, G, R order: BT.601 limited range gives Y 81, U 90, V 240.
    ASSERT_EQ(Push(UniformBgr(0, 0, 255)), STATUS_SUCCESS);
    host::CompletedFrame rgb = CaptureOne();
    EXPECT_TRUE(IsUniformYuy2(static_cast<uint8_t*>(rgb.data), 81, 90, 240, 1));

    // The same image is delivered until the next push.
    host::CompletedFrame again = CaptureOne();
    EXPECT_TRUE(IsUniformYuy2(static_cast<uint8_t*>(again.data), 81, 90, 240, 1));
    EXPECT_EQ(again.frameInfo.PictureNumber, 4);
}

TEST_F(WholeCameraTest, PushesWhilePausedAreDroppedButStillSucceed) {
    StartDevice();
    OpenStreamingPin();
    ASSERT_EQ(Push(UniformI420(100, 128, 128)), STATUS_SUCCESS);
    CaptureOne();

    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Push(UniformI420(30, 128, 128)), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    host::CompletedFrame afterResume = CaptureOne();
    EXPECT_TRUE(IsUniformYuy2(static_cast<uint8_t*>(afterResume.data), 100, 128, 128));
    EXPECT_EQ(afterResume.frameInfo.PictureNumber, 1);  // numbering restarts after a pause
}

TEST_F(WholeCameraTest, PushWithoutAnyPinIsHarmless) {
    StartDevice();
    ASSERT_EQ(device->OpenFilter(kVideo, &filter), STATUS_SUCCESS);
    EXPECT_EQ(Push(UniformI420(1, 2, 3)), STATUS_SUCCESS);
    EXPECT_EQ(filter->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, nullptr, 0),
              STATUS_SUCCESS);
}

TEST_F(WholeCameraTest, FullLifecycleLeavesNothingBehind) {
    StartDevice();
    OpenStreamingPin();
    ASSERT_EQ(Push(UniformI420(50, 100, 150)), STATUS_SUCCESS);
    CaptureOne();
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(pin->Close(), STATUS_SUCCESS);
    pin.reset();
    ASSERT_EQ(filter->Close(), STATUS_SUCCESS);
    filter.reset();

    ASSERT_EQ(device->Stop(), STATUS_SUCCESS);
    std::unique_ptr<host::FilterHandle> refused;
    EXPECT_EQ(device->OpenFilter(kVideo, &refused), STATUS_DEVICE_NOT_READY);

    // The device's one engine, made at Add, serves the second start too.
    const size_t enginesBefore = Verifier::OutstandingBlocks(PoolTag("HSim"));
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("HSim")), enginesBefore);
    OpenStreamingPin();
    host::CompletedFrame fresh = CaptureOne();
    // An image pushed before the stop does not survive into the new run.
    EXPECT_TRUE(IsUniformYuy2(static_cast<uint8_t*>(fresh.data), 0x00, 0x80, 0x80));
    pin.reset();
    filter.reset();

    ASSERT_EQ(device->Remove(), STATUS_SUCCESS);
    device.reset();
    EXPECT_EQ(Verifier::OutstandingBlocks(), 0u);
}

TEST_F(WholeCameraTest, AStartWhileStartedLeavesTheStreamingCameraAsItWas) {
    StartDevice();
    OpenStreamingPin();
    ASSERT_EQ(Push(UniformI420(90, 40, 200)), STATUS_SUCCESS);
    CaptureOne();

    // PnP may start a started device again (a rebalance): no second filter
    // factory and no second engine, and the stream goes on with its image.
    const size_t engines = Verifier::OutstandingBlocks(PoolTag("HSim"));
    const size_t interfaces = device->Interfaces().size();
    const VcamDevice* relay = static_cast<VcamDevice*>(device->KsDevice()->Context);
    FrameEngine* const engine = relay->engine;
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("HSim")), engines);
    EXPECT_EQ(device->Interfaces().size(), interfaces);
    EXPECT_EQ(relay->engine, engine);
    host::CompletedFrame after = CaptureOne();
    EXPECT_TRUE(IsUniformYuy2(static_cast<uint8_t*>(after.data), 90, 40, 200));
}

TEST_F(WholeCameraTest, AddFailsCleanlyWithoutMemoryOrBag) {
    Verifier::FailTag(PoolTag("CDev"));
    EXPECT_EQ(driver->AddDevice(&device), STATUS_INSUFFICIENT_RESOURCES);
    device.reset();
    Verifier::ClearFaults();

    host::KsFaults::FailBagInsertion(1);
    EXPECT_EQ(driver->AddDevice(&device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("CDev")), 0u);
    device.reset();
    host::KsFaults::Clear();

    StartDevice();  // and then it works
}

TEST_F(WholeCameraTest, FilterCreateFailsWithoutMemory) {
    StartDevice();
    Verifier::FailTag(PoolTag("CFil"));
    EXPECT_EQ(device->OpenFilter(kVideo, &filter), STATUS_INSUFFICIENT_RESOURCES);
    Verifier::ClearFaults();
    EXPECT_EQ(device->OpenFilter(kVideo, &filter), STATUS_SUCCESS);
}

TEST_F(WholeCameraTest, AddWithoutEngineMemoryFailsTheDeviceAndALaterDeviceWorks) {
    // The engine comes with Add: without its memory the device fails whole,
    // leaving nothing behind; the next device found streams.
    Verifier::FailTag(PoolTag("HSim"));
    EXPECT_EQ(driver->AddDevice(&device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    Verifier::ClearFaults();
    EXPECT_EQ(Verifier::OutstandingBlocks(), 0u)
        << Verifier::DescribeBlocks(Verifier::OutstandingList());
    ASSERT_EQ(driver->AddDevice(&device), STATUS_SUCCESS);
    EXPECT_EQ(device->Start(), STATUS_SUCCESS);
    OpenStreamingPin();
    CaptureOne();
}

TEST_F(WholeCameraTest, EngineBagInsertionFailureFailsTheDeviceAndLeavesNoEngine) {
    // The first insertion into a new device's bag is the VcamDevice, the
    // second the engine.
    host::KsFaults::FailBagInsertion(2);
    EXPECT_NE(driver->AddDevice(&device), STATUS_SUCCESS);
    host::KsFaults::Clear();
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("HSim")), 0u);
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("CDev")), 0u);
}

}  // namespace
