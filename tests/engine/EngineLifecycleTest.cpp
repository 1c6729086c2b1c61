// Start and Stop: what Start refuses, what it allocates and how it fills the
// image slots, failures under fault injection, and the counters Stop leaves.
#include "engine/EngineHarness.h"

#include <algorithm>

using host::HostKernel;
using host::Verifier;
using namespace enginetest;

namespace {

class EngineLifecycleTest : public EngineTest {
  protected:
    // Sizes of the "AVSh" blocks outstanding, smallest first.
    static std::vector<size_t> BufferBlockSizes() {
        std::vector<size_t> sizes;
        for (const auto& block : Verifier::OutstandingList()) {
            if (block.tag == kBufferTag) {
                sizes.push_back(block.size);
            }
        }
        std::sort(sizes.begin(), sizes.end());
        return sizes;
    }

    void ExpectStoppedWithNothingAllocated() {
        EXPECT_EQ(engine->state, EngineStopped);
        EXPECT_EQ(engine->images, nullptr);
        EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), 0u);
        EXPECT_EQ(HostKernel::NextDueTime(), -1);
        HostKernel::AdvanceBy(10 * kPeriod);
        EXPECT_TRUE(owner.ticks.empty());
    }
};

TEST_F(EngineLifecycleTest, Yuy2StartMakesTwoBlackYuy2SlotsAndNoOtherBuffer) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    EXPECT_EQ(engine->state, EngineRunning);
    EXPECT_EQ(BufferBlockSizes(), (std::vector<size_t>{kYuy2Size, kRgbSize}));
    for (const UCHAR* slot : {engine->images->slots[0], engine->images->slots[1]}) {
        for (ULONG i = 0; i < kYuy2Size; i += 2) {
            ASSERT_EQ(slot[i], 0x00) << "byte " << i;
            ASSERT_EQ(slot[i + 1], 0x80) << "byte " << i + 1;
        }
    }
    EXPECT_EQ(engine->CompletedFrameCount(), 0u);
    EXPECT_EQ(engine->queuedCount, 0u);
    EXPECT_EQ(engine->queuedBytes, 0u);
    EXPECT_EQ(engine->tickIndex, 0u);
}

TEST_F(EngineLifecycleTest, I420SizedStartMakesI420Black) {
    ASSERT_EQ(engine->Start(&i420, kPeriod, kWidth, kHeight, kI420Size), STATUS_SUCCESS);
    for (const UCHAR* slot : {engine->images->slots[0], engine->images->slots[1]}) {
        EXPECT_EQ(std::count(slot, slot + 921600, 0x00), 921600);
        EXPECT_EQ(std::count(slot + 921600, slot + kI420Size, 0x80), 460800);
    }
    EXPECT_EQ(BufferBlockSizes(), (std::vector<size_t>{kI420Size, kRgbSize}));
}

TEST_F(EngineLifecycleTest, RgbSizedStartMakesAllZeroBlack) {
    ASSERT_EQ(engine->Start(&rgb24, kPeriod, kWidth, kHeight, kRgbSize), STATUS_SUCCESS);
    for (const UCHAR* slot : {engine->images->slots[0], engine->images->slots[1]}) {
        EXPECT_EQ(std::count(slot, slot + kRgbSize, 0x00), kRgbSize);
    }
}

TEST_F(EngineLifecycleTest, PeriodsFromOneMillisecondToTheLastWithAPositiveScheduleAreAccepted) {
    ASSERT_EQ(engine->Start(&yuy2, FrameEngine::ShortestPeriod, kWidth, kHeight, kYuy2Size),
              STATUS_SUCCESS);
    AdvanceTicks(3);
    EXPECT_EQ(owner.ticks.size(), 3u);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    owner.ticks.clear();

    // Every due time is origin + k x period for a 32-bit tick number k; the
    // origin is the interrupt time at Start.
    const LONGLONG longest =
        static_cast<LONGLONG>((0x7FFFFFFFFFFFFFFFull - KeQueryInterruptTime()) >> 32);
    EXPECT_EQ(engine->Start(&yuy2, longest + 1, kWidth, kHeight, kYuy2Size),
              STATUS_INVALID_PARAMETER);
    ExpectStoppedWithNothingAllocated();
    ASSERT_EQ(engine->Start(&yuy2, longest, kWidth, kHeight, kYuy2Size), STATUS_SUCCESS);
    // Its first tick is 3.5 minutes off: Stop cancels it rather than wait.
    const LONGLONG stopAt = HostKernel::Now();
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), stopAt);
    EXPECT_TRUE(owner.ticks.empty());
    ExpectStoppedWithNothingAllocated();

    // The slowest rate a format may ask for, one frame in 64 s, keeps its
    // schedule exactly: tick 1 falls due one whole period after Start (a
    // whole number of clock interrupts, so it is seen right then).
    constexpr LONGLONG kSlowest = 640000000;
    LARGE_INTEGER origin;
    KeQuerySystemTime(&origin);  // the clock interrupt Start sees
    ASSERT_EQ(engine->Start(&yuy2, kSlowest, kWidth, kHeight, kYuy2Size), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::NextDueTime(), origin.QuadPart + kSlowest);
    HostKernel::AdvanceTo(origin.QuadPart + kSlowest - 1);
    EXPECT_TRUE(owner.ticks.empty());
    HostKernel::AdvanceBy(1);
    EXPECT_EQ(owner.ticks.size(), 1u);
}

TEST_F(EngineLifecycleTest, StartRefusesBadPeriodsAndOversizedImagesWithoutAllocating) {
    struct Case {
        const char* what;
        LONGLONG period;
        ULONG width, height, imageSize;
    };
    const Case cases[] = {
        {"zero period", 0, kWidth, kHeight, kYuy2Size},
        {"negative period", -333667, kWidth, kHeight, kYuy2Size},
        {"period of one unit", 1, kWidth, kHeight, kYuy2Size},
        {"period just under 1 ms", FrameEngine::ShortestPeriod - 1, kWidth, kHeight, kYuy2Size},
        // startTime + 2^32 periods must stay a signed 64-bit time.
        {"period too long for the schedule", 0x7FFFFFFFFFFFFFFFLL / 2, kWidth, kHeight, kYuy2Size},
        {"image larger than width x height x 3", kPeriod, kWidth, kHeight, kRgbSize + 1},
        // 65536 x 65536 x 3 is 0x300000000: as a 32-bit product it would be 0.
        {"frame buffer size beyond 32 bits", kPeriod, 65536, 65536, 0},
        {"frame buffer size beyond 32 bits, wrapping to a small size", kPeriod, 65536, 21846, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t allocations = Verifier::AllocationCount();
        EXPECT_EQ(engine->Start(&yuy2, c.period, c.width, c.height, c.imageSize),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Verifier::AllocationCount(), allocations);
        ExpectStoppedWithNothingAllocated();
    }
    const uint64_t allocations = Verifier::AllocationCount();
    EXPECT_EQ(engine->Start(nullptr, kPeriod, kWidth, kHeight, kYuy2Size),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Verifier::AllocationCount(), allocations);
    ExpectStoppedWithNothingAllocated();
}

TEST_F(EngineLifecycleTest, StartAcceptsAnImageOfExactlyWidthTimesHeightTimesThree) {
    EXPECT_EQ(engine->Start(&rgb24, kPeriod, kWidth, kHeight, kRgbSize), STATUS_SUCCESS);
}

TEST_F(EngineLifecycleTest, AStartWhoseAllocationFailsKeepsNothingAndNeverTicks) {
    // The image store, its slot 0 and its slot 1 are the first, second and
    // third allocation of a Start.
    for (uint64_t failing = 1; failing <= 3; ++failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing) + " of Start fails");
        Verifier::FailNth(Verifier::AllocationCount() + failing);
        EXPECT_EQ(StartYuy2(), STATUS_INSUFFICIENT_RESOURCES);
        Verifier::ClearFaults();
        ExpectStoppedWithNothingAllocated();
        // Pushes into the failed engine are dropped without touching memory.
        std::vector<UCHAR> frame(kI420Size, 0x55);
        engine->WriteFrame(frame.data(), static_cast<ULONG>(frame.size()));
        EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), 0u);
    }

    Verifier::FailTag(kBufferTag);
    EXPECT_EQ(StartYuy2(), STATUS_INSUFFICIENT_RESOURCES);
    Verifier::ClearFaults();
    ExpectStoppedWithNothingAllocated();

    // The engine is as good as new: the next Start works.
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    AdvanceTicks(1);
    EXPECT_EQ(owner.ticks.size(), 1u);
}

TEST_F(EngineLifecycleTest, CompletedFrameCountIsZeroAfterStartAndAfterStop) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    EXPECT_EQ(engine->CompletedFrameCount(), 0u);
    CaptureBuffer& a = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& b = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(a.QueueOn(*engine), kYuy2Size);
    ASSERT_EQ(b.QueueOn(*engine), kYuy2Size);
    AdvanceTicks(2);
    EXPECT_EQ(engine->CompletedFrameCount(), 2u);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(engine->CompletedFrameCount(), 0u);

    // A new run counts from zero again.
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    EXPECT_EQ(engine->CompletedFrameCount(), 0u);
}

TEST_F(EngineLifecycleTest, StopOfAPausedEngineReturnsAllThreeQueuedEntriesAndZeroesCounters) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    CaptureBuffer& a = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& b = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& c = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    for (CaptureBuffer* buffer : {&a, &b, &c}) {
        ASSERT_EQ(buffer->QueueOn(*engine), kYuy2Size);
    }
    EXPECT_EQ(Verifier::OutstandingBlocks(kEntryTag), 3u);
    EXPECT_EQ(engine->queuedCount, 3u);
    EXPECT_EQ(engine->queuedBytes, 3 * kYuy2Size);

    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(engine->queuedCount, 0u);
    EXPECT_EQ(engine->queuedBytes, 0u);
    EXPECT_EQ(engine->completedFrames, 0u);
    EXPECT_EQ(Verifier::OutstandingBlocks(kEntryTag), 0u);
    // Drained, not filled: the buffers were never written.
    for (CaptureBuffer* buffer : {&a, &b, &c}) {
        EXPECT_EQ(std::count(buffer->memory.begin(), buffer->memory.end(), 0xEE),
                  static_cast<long>(buffer->memory.size()));
    }
}

TEST_F(EngineLifecycleTest, StopOfARunningEngineFillsTheHeadAndDrainsTheRest) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    CaptureBuffer& a = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& b = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& c = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    for (CaptureBuffer* buffer : {&a, &b, &c}) {
        ASSERT_EQ(buffer->QueueOn(*engine), kYuy2Size);
    }
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(owner.ticks[0].completed, 1u);
    EXPECT_EQ(a.data()[1], 0x80);
    EXPECT_EQ(b.data()[1], 0xEE);
    EXPECT_EQ(c.data()[1], 0xEE);
    EXPECT_EQ(engine->queuedCount, 0u);
    EXPECT_EQ(engine->queuedBytes, 0u);
    EXPECT_EQ(engine->completedFrames, 0u);
    EXPECT_EQ(Verifier::OutstandingBlocks(kEntryTag), 0u);
}

TEST_F(EngineLifecycleTest, ARestartBeginsWithBlackAgain) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    std::vector<UCHAR> frame(kI420Size, 0x33);
    engine->WriteFrame(frame.data(), kI420Size);
    ASSERT_EQ(PublishedImage(*engine)[0], 0x33);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);

    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    EXPECT_EQ(PublishedImage(*engine)[0], 0x00);
    EXPECT_EQ(PublishedImage(*engine)[1], 0x80);
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);
    AdvanceTicks(1);
    EXPECT_EQ(buffer.data()[0], 0x00);
    EXPECT_EQ(buffer.data()[kYuy2Size - 1], 0x80);
}

TEST_F(EngineLifecycleTest, StopOnAStoppedEngineDoesNothing) {
    EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(engine->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), 0u);
}

}  // namespace
