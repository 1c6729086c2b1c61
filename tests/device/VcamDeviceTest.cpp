// The device relay: the one-pin claim, the layout chosen for a format, the
// engine driven through the relay, and per-tick completion counts.
#include <gtest/gtest.h>

#include "driver/device/Pool.h"
#include "driver/device/VcamDevice.h"
#include "driver/engine/I420Layout.h"
#include "driver/engine/Rgb24Layout.h"
#include "driver/engine/Yuy2Layout.h"
#include "host/executive/HostKernel.h"
#include "host/verifier/Verifier.h"

#include <vector>

namespace {

using host::HostKernel;
using host::PoolTag;
using host::Verifier;

const ULONG kYuy2 = 0x32595559;
const ULONG kI420 = 0x30323449;
const LONGLONG kPeriod = 333667;

// Records what the device reports on each tick.
class RecordingSink : public CompletionSink {
  public:
    void FramesCompleted(ULONG count) override {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        counts.push_back(count);
    }
    std::vector<ULONG> counts;
};

KS_VIDEOINFOHEADER MakeVideoInfo(USHORT bitCount, ULONG compression, LONG height = 720) {
    KS_VIDEOINFOHEADER info = {};
    info.AvgTimePerFrame = kPeriod;
    info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 1280;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = bitCount;
    info.bmiHeader.biCompression = compression;
    info.bmiHeader.biSizeImage = 1280 * 720 * bitCount / 8;
    return info;
}

class VcamDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        HostKernel::Boot(host::ClockMode::Virtual);
        Verifier::Reset();
        // Built the way the device's Add and Start build them.
        device = new (PoolAllocateZeroed(sizeof(VcamDevice), NonPagedPoolNx, VCAM_TAG_DEVICE))
            VcamDevice(&ksDevice);
        device->engine =
            new (PoolAllocateZeroed(sizeof(FrameEngine), NonPagedPoolNx, VCAM_TAG_ENGINE))
                FrameEngine(device);
    }

    void TearDown() override {
        if (device->engine->state != EngineStopped) {
            device->StopStreaming();
        }
        device->ReleaseEngine();
        PoolFree(device->engine);
        VcamDevice::BagFree(device);
        Verifier::CheckUnload();
        Verifier::CheckNoLeaks();
        EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
        HostKernel::Shutdown();
    }

    // Runs the engine's timer until `ticks` more ticks have happened: each at
    // the clock interrupt where it expires.
    void RunTicks(int ticks) {
        for (int i = 0; i < ticks; ++i) {
            HostKernel::AdvanceTo(HostKernel::NextExpiry());
        }
    }

    KSDEVICE ksDevice = {};
    VcamDevice* device = nullptr;
    RecordingSink sink;
};

TEST_F(VcamDeviceTest, StartsFreeWithNothingHeld) {
    EXPECT_EQ(device->claimFlag, 0);
    EXPECT_EQ(device->layout, nullptr);
    EXPECT_EQ(device->sink, nullptr);
    EXPECT_EQ(device->claimedVideoInfo, nullptr);
    EXPECT_EQ(device->ksDevice, &ksDevice);
}

TEST_F(VcamDeviceTest, EachSupportedFormatGetsItsLayoutAndTag) {
    struct Case {
        USHORT bitCount;
        ULONG compression;
        float bytesPerPixel;
        uint32_t tag;
    } cases[] = {
        {16, kYuy2, 2.0f, PoolTag("IsyY")},
        {24, 0, 3.0f, PoolTag("IsyR")},
        {12, kI420, 1.5f, PoolTag("IsyY")},
    };
    for (const Case& c : cases) {
        KS_VIDEOINFOHEADER info = MakeVideoInfo(c.bitCount, c.compression);
        ASSERT_EQ(device->ClaimEngine(&sink, &info), STATUS_SUCCESS);
        ASSERT_NE(device->layout, nullptr);
        EXPECT_EQ(device->layout->BytesPerPixel(), c.bytesPerPixel);
        EXPECT_EQ(Verifier::OutstandingBlocks(c.tag), 1u);
        EXPECT_EQ(device->sink, &sink);
        EXPECT_EQ(device->claimedVideoInfo, &info);
        device->ReleaseEngine();
        EXPECT_EQ(device->layout, nullptr);
        EXPECT_EQ(Verifier::OutstandingBlocks(c.tag), 0u);
    }
}

TEST_F(VcamDeviceTest, UnsupportedPairsAreRefusedAndLeaveTheDeviceFree) {
    struct Pair {
        USHORT bitCount;
        ULONG compression;
    } refused[] = {{16, kI420}, {24, kYuy2}, {12, 0}, {32, 0}, {32, kYuy2}, {16, 0}, {8, 0}};
    for (const Pair& p : refused) {
        KS_VIDEOINFOHEADER info = MakeVideoInfo(p.bitCount, p.compression);
        EXPECT_EQ(device->ClaimEngine(&sink, &info), STATUS_INVALID_PARAMETER)
            << p.bitCount << " bits, compression " << p.compression;
        EXPECT_EQ(device->claimFlag, 0);
        EXPECT_EQ(device->layout, nullptr);
        EXPECT_EQ(device->sink, nullptr);
        EXPECT_EQ(device->claimedVideoInfo, nullptr);
    }
    KS_VIDEOINFOHEADER good = MakeVideoInfo(16, kYuy2);
    EXPECT_EQ(device->ClaimEngine(&sink, &good), STATUS_SUCCESS);
}

TEST_F(VcamDeviceTest, SecondClaimIsASharingViolationAndLeavesTheFirstIntact) {
    KS_VIDEOINFOHEADER first = MakeVideoInfo(16, kYuy2);
    ASSERT_EQ(device->ClaimEngine(&sink, &first), STATUS_SUCCESS);
    PixelLayout* firstLayout = device->layout;

    RecordingSink other;
    KS_VIDEOINFOHEADER second = MakeVideoInfo(24, 0);
    EXPECT_EQ(device->ClaimEngine(&other, &second), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(device->sink, &sink);
    EXPECT_EQ(device->claimedVideoInfo, &first);
    EXPECT_EQ(device->layout, firstLayout);
    EXPECT_EQ(device->claimFlag, 1);

    // Once released, anyone may claim, and gets a fresh layout.
    device->ReleaseEngine();
    EXPECT_EQ(device->ClaimEngine(&other, &second), STATUS_SUCCESS);
    EXPECT_EQ(device->sink, &other);
    EXPECT_EQ(device->layout->BytesPerPixel(), 3.0f);
}

TEST_F(VcamDeviceTest, LayoutAllocationFailureFreesTheClaim) {
    Verifier::FailTag(PoolTag("IsyY"));
    KS_VIDEOINFOHEADER info = MakeVideoInfo(16, kYuy2);
    EXPECT_EQ(device->ClaimEngine(&sink, &info), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device->claimFlag, 0);
    EXPECT_EQ(device->layout, nullptr);
    Verifier::ClearFaults();
    EXPECT_EQ(device->ClaimEngine(&sink, &info), STATUS_SUCCESS);
}

TEST_F(VcamDeviceTest, DeviceWithoutEngineRefusesTheClaimAndDropsPushes) {
    FrameEngine* engine = device->engine;
    device->engine = nullptr;
    KS_VIDEOINFOHEADER info = MakeVideoInfo(16, kYuy2);
    EXPECT_EQ(device->ClaimEngine(&sink, &info), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device->claimFlag, 0);
    const UCHAR frame[16] = {};
    device->PushFrame(frame, sizeof(frame));  // dropped, no crash
    device->engine = engine;
}

TEST_F(VcamDeviceTest, TopDownAndBottomUpHeightsStartTheSameRowCount) {
    for (LONG height : {-720, 720}) {
        KS_VIDEOINFOHEADER info = MakeVideoInfo(16, kYuy2, height);
        ASSERT_EQ(device->ClaimEngine(&sink, &info), STATUS_SUCCESS);
        ASSERT_EQ(device->StartStreaming(), STATUS_SUCCESS);
        EXPECT_EQ(device->engine->height, 720u) << "biHeight " << height;
        EXPECT_EQ(device->engine->width, 1280u);
        EXPECT_EQ(device->engine->framePeriod, kPeriod);
        EXPECT_EQ(device->engine->imageSize, 1843200u);
        EXPECT_EQ(device->engine->layout, device->layout);
        device->StopStreaming();
        device->ReleaseEngine();
    }
}

TEST_F(VcamDeviceTest, TickCountsBecomePerTickDifferencesModulo2To32) {
    KS_VIDEOINFOHEADER info = MakeVideoInfo(16, kYuy2);
    ASSERT_EQ(device->ClaimEngine(&sink, &info), STATUS_SUCCESS);
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    for (ULONG running : {1u, 1u, 3u}) {
        device->engine->completedFrames = running;
        device->OnFrameTick();
    }
    EXPECT_EQ(sink.counts, (std::vector<ULONG>{1, 0, 2}));

    sink.counts.clear();
    device->lastCompletedCount = 0xFFFFFFFFu;
    device->engine->completedFrames = 0;
    device->OnFrameTick();
    EXPECT_EQ(sink.counts, (std::vector<ULONG>{1}));
    device->engine->completedFrames = 0;
}

TEST_F(VcamDeviceTest, RestartCountsOnlyFramesOfTheNewRun) {
    KS_VIDEOINFOHEADER info = MakeVideoInfo(16, kYuy2);
    ASSERT_EQ(device->ClaimEngine(&sink, &info), STATUS_SUCCESS);
    ASSERT_EQ(device->StartStreaming(), STATUS_SUCCESS);
    // Three buffers queued, three ticks: one filled per tick.
    std::vector<UCHAR> buffers(3 * 1843200);
    KSSTREAM_HEADER header = {};
    header.Size = sizeof(KSSTREAM_HEADER);
    KSSTREAM_POINTER pointer = {};
    pointer.StreamHeader = &header;
    PUCHAR cursor = buffers.data();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(device->QueueBuffer(&pointer, &cursor, 1843200), 1843200u);
    }
    RunTicks(3);
    EXPECT_EQ(sink.counts, (std::vector<ULONG>{1, 1, 1}));
    device->StopStreaming();

    sink.counts.clear();
    ASSERT_EQ(device->StartStreaming(), STATUS_SUCCESS);
    RunTicks(2);
    EXPECT_EQ(sink.counts, (std::vector<ULONG>{0, 0}));
    cursor = buffers.data();
    ASSERT_EQ(device->QueueBuffer(&pointer, &cursor, 1843200), 1843200u);
    RunTicks(1);
    EXPECT_EQ(sink.counts, (std::vector<ULONG>{0, 0, 1}));
}

TEST_F(VcamDeviceTest, PauseAndResumeGoThroughToTheEngine) {
    KS_VIDEOINFOHEADER info = MakeVideoInfo(16, kYuy2);
    ASSERT_EQ(device->ClaimEngine(&sink, &info), STATUS_SUCCESS);
    ASSERT_EQ(device->StartStreaming(), STATUS_SUCCESS);
    EXPECT_EQ(device->SetPaused(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(device->engine->state, EnginePaused);
    const size_t ticksAtPause = sink.counts.size();
    EXPECT_EQ(ticksAtPause, 1u);  // the acknowledging tick
    HostKernel::AdvanceBy(10 * kPeriod);
    EXPECT_EQ(sink.counts.size(), ticksAtPause);  // no tick while paused
    EXPECT_EQ(device->SetPaused(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(device->engine->state, EngineRunning);
    RunTicks(1);
    EXPECT_EQ(sink.counts.size(), ticksAtPause + 1);
}

}  // namespace
