// Pushed frames becoming the current image: which pushes are taken and how,
// which are dropped, and what the image slots hold afterwards. Every push is
// made from a heap block of exactly its length, so a read past it shows under
// AddressSanitizer.
#include "engine/EngineHarness.h"

#include <algorithm>
#include <memory>

using host::HostKernel;
using host::Verifier;
using namespace enginetest;

namespace {

class EngineWriteFrameTest : public EngineTest {
  protected:
    // Pushes `bytes` from a block of exactly that size.
    void Push(const std::vector<UCHAR>& bytes) {
        std::unique_ptr<UCHAR[]> exact(new UCHAR[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        engine->WriteFrame(exact.get(), static_cast<ULONG>(bytes.size()));
    }
    std::vector<UCHAR> Current(size_t count) const {
        const UCHAR* image = PublishedImage(*engine);
        return std::vector<UCHAR>(image, image + count);
    }
    // The YUY2 that a pixel pair of one colour gives: Y, U, Y, V within one
    // code value of the BT.601 limited-range figures.
    static void ExpectColour(const UCHAR* group, double b, double g, double r) {
        EXPECT_NEAR(group[0], LumaOf(b, g, r), 1.0);
        EXPECT_NEAR(group[1], BlueDifferenceOf(b, g, r), 1.0);
        EXPECT_NEAR(group[2], LumaOf(b, g, r), 1.0);
        EXPECT_NEAR(group[3], RedDifferenceOf(b, g, r), 1.0);
    }
};

TEST_F(EngineWriteFrameTest, AnI420PushBecomesTheYuy2ImageOfTheFollowingTicks) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    const std::vector<UCHAR> frame = PatternBytes(kI420Size, 10);
    Push(frame);
    const std::vector<UCHAR> expected =
        ReferencePushedI420(frame.data(), kWidth, kHeight, kYuy2Size);
    EXPECT_EQ(Current(kYuy2Size), expected);

    CaptureBuffer& first = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& second = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(first.QueueOn(*engine), kYuy2Size);
    ASSERT_EQ(second.QueueOn(*engine), kYuy2Size);
    AdvanceTicks(2);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), first.memory.begin()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), second.memory.begin()));
}

TEST_F(EngineWriteFrameTest, TheLengthChoosesTheLayout) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    // One byte short of an RGB24 frame: I420.
    std::vector<UCHAR> almost = PatternBytes(kRgbSize - 1, 11);
    Push(almost);
    EXPECT_EQ(Current(kYuy2Size), ReferencePushedI420(almost.data(), kWidth, kHeight, kYuy2Size));

    // Exactly an RGB24 frame, and one byte more: RGB24 (uniform green).
    for (ULONG length : {kRgbSize, kRgbSize + 1}) {
        SCOPED_TRACE(length);
        std::vector<UCHAR> rgb(length);
        for (ULONG i = 0; i + 2 < kRgbSize; i += 3) {
            rgb[i] = 0x00;      // B
            rgb[i + 1] = 0xFF;  // G
            rgb[i + 2] = 0x00;  // R
        }
        if (length > kRgbSize) {
            rgb[kRgbSize] = 0xFF;  // ignored
        }
        Push(rgb);
        const std::vector<UCHAR> image = Current(kYuy2Size);
        ExpectColour(image.data(), 0, 255, 0);
        ExpectColour(image.data() + kYuy2Size - 4, 0, 255, 0);
    }
}

TEST_F(EngineWriteFrameTest, AYuy2SizedPushIsI420AndOnlyItsI420BytesAreRead) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    std::vector<UCHAR> frame = PatternBytes(kYuy2Size, 12);
    Push(frame);
    const std::vector<UCHAR> first = Current(kYuy2Size);
    EXPECT_EQ(first, ReferencePushedI420(frame.data(), kWidth, kHeight, kYuy2Size));
    // Changing the bytes past 1382400 changes nothing.
    std::fill(frame.begin() + kI420Size, frame.end(), 0xA5);
    Push(frame);
    EXPECT_EQ(Current(kYuy2Size), first);
}

TEST_F(EngineWriteFrameTest, APushShorterThanItsI420PlanesIsDropped) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    const std::vector<UCHAR> black = Current(kYuy2Size);
    const LONG stateBefore = engine->images->handover.state;
    Push(PatternBytes(kI420Size - 1, 13));
    Push(PatternBytes(1, 14));
    EXPECT_EQ(engine->images->handover.state, stateBefore);
    EXPECT_EQ(Current(kYuy2Size), black);
    // The exact size goes through.
    Push(PatternBytes(kI420Size, 15));
    EXPECT_NE(Current(kYuy2Size), black);
}

TEST_F(EngineWriteFrameTest, PushesWhilePausedOrStoppedAreDropped) {
    // Before any Start: nothing to write into, nothing allocated.
    const uint64_t allocations = Verifier::AllocationCount();
    Push(PatternBytes(kI420Size, 16));
    EXPECT_EQ(Verifier::AllocationCount(), allocations);

    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    const std::vector<UCHAR> frame = PatternBytes(kI420Size, 17);
    Push(frame);
    const std::vector<UCHAR> pushed = Current(kYuy2Size);
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    const LONG stateBefore = engine->images->handover.state;
    const std::vector<UCHAR> backBefore(engine->images->slots[1],
                                        engine->images->slots[1] + kYuy2Size);
    const std::vector<UCHAR> frontBefore(engine->images->slots[0],
                                         engine->images->slots[0] + kYuy2Size);
    Push(PatternBytes(kI420Size, 18));
    EXPECT_EQ(engine->images->handover.state, stateBefore);
    EXPECT_TRUE(std::equal(backBefore.begin(), backBefore.end(), engine->images->slots[1]));
    EXPECT_TRUE(std::equal(frontBefore.begin(), frontBefore.end(), engine->images->slots[0]));

    // After the resume the image from before the pause is still delivered.
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);
    HostKernel::AdvanceBy(kPeriod);
    EXPECT_TRUE(std::equal(pushed.begin(), pushed.end(), buffer.memory.begin()));

    ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    Push(PatternBytes(kI420Size, 19));
    EXPECT_EQ(engine->images, nullptr);
}

TEST_F(EngineWriteFrameTest, TheFourByTwoExample) {
    ASSERT_EQ(engine->Start(&yuy2, kPeriod, 4, 2, 16), STATUS_SUCCESS);
    // Y rows a b c d / e f g h, then U p q, then V s t (V at 2 x (4 + 1)).
    const std::vector<UCHAR> frame = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'p', 'q', 's', 't'};
    Push(frame);
    const std::string image(reinterpret_cast<const char*>(PublishedImage(*engine)), 16);
    EXPECT_EQ(image, "apbscqdtepfsgqht");
}

TEST_F(EngineWriteFrameTest, AnOddWidthIsWrittenOnlyWhenItsSpillFitsTheImage) {
    // 5 x 2: each row ends Y U 0 V; row 0's spill lands on row 1's first two
    // bytes (then overwritten) and row 1's spill two bytes past 20.
    const std::vector<UCHAR> frame = PatternBytes(5 * 2 * 3 - 1, 20);  // I420
    {
        ASSERT_EQ(engine->Start(&yuy2, kPeriod, 5, 2, 22), STATUS_SUCCESS);
        Push(frame);
        const std::vector<UCHAR> expected = ReferencePushedI420(frame.data(), 5, 2, 22);
        std::vector<UCHAR> image = Current(22);
        EXPECT_EQ(image, expected);
        EXPECT_EQ(image[8], frame[4]);   // row 0's last group: Y of pixel 4 ...
        EXPECT_EQ(image[10], frame[5]);  // ... its 0 overwritten by row 1's first Y
        EXPECT_EQ(image[18], frame[9]);  // row 1's last group: Y of pixel 4, U, 0, V
        EXPECT_EQ(image[20], 0);
        ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    }
    {
        // imageSize 20 leaves no room for the spill: the push is dropped.
        ASSERT_EQ(engine->Start(&yuy2, kPeriod, 5, 2, 20), STATUS_SUCCESS);
        const std::vector<UCHAR> black = Current(20);
        Push(frame);
        EXPECT_EQ(Current(20), black);
    }
}

TEST_F(EngineWriteFrameTest, AnRgbPushIntoAYuy2StreamIsConvertedTopRowFirst) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    // Top half red, bottom half blue, in B, G, R byte order.
    std::vector<UCHAR> rgb(kRgbSize);
    for (ULONG row = 0; row < kHeight; ++row) {
        for (ULONG x = 0; x < kWidth; ++x) {
            UCHAR* pixel = rgb.data() + (row * kWidth + x) * 3;
            const bool top = row < kHeight / 2;
            pixel[0] = top ? 0 : 255;
            pixel[1] = 0;
            pixel[2] = top ? 255 : 0;
        }
    }
    Push(rgb);
    const std::vector<UCHAR> image = Current(kYuy2Size);
    ExpectColour(image.data(), 0, 0, 255);                  // top-left: red
    ExpectColour(image.data() + kYuy2Size - 4, 255, 0, 0);  // bottom-right: blue
    ExpectColour(image.data() + 359 * kLine + kLine - 4, 0, 0, 255);
    ExpectColour(image.data() + 360 * kLine, 255, 0, 0);
}

TEST_F(EngineWriteFrameTest, AnRgbPushIntoAnRgbStreamIsStoredBottomUp) {
    ASSERT_EQ(engine->Start(&rgb24, kPeriod, kWidth, kHeight, kRgbSize), STATUS_SUCCESS);
    const std::vector<UCHAR> rgb = PatternBytes(kRgbSize, 21);
    Push(rgb);
    const std::vector<UCHAR> image = Current(kRgbSize);
    // Bytes 0..3839 of the push at 2760960..2764799, and the other way round.
    EXPECT_TRUE(std::equal(rgb.begin(), rgb.begin() + 3840, image.begin() + 2760960));
    EXPECT_TRUE(std::equal(rgb.begin() + 2760960, rgb.end(), image.begin()));
    for (ULONG i = 0; i < kHeight; ++i) {
        ASSERT_TRUE(std::equal(rgb.begin() + i * 3840, rgb.begin() + (i + 1) * 3840,
                               image.begin() + (kHeight - 1 - i) * 3840))
            << "row " << i;
    }
}

TEST_F(EngineWriteFrameTest, AnRgbStreamWithASmallerImageDropsRgbPushes) {
    // An RGB24 layout whose image is only YUY2-sized cannot hold the rows.
    ASSERT_EQ(engine->Start(&rgb24, kPeriod, kWidth, kHeight, kYuy2Size), STATUS_SUCCESS);
    const std::vector<UCHAR> black = Current(kYuy2Size);
    Push(PatternBytes(kRgbSize, 22));
    EXPECT_EQ(Current(kYuy2Size), black);
}

TEST_F(EngineWriteFrameTest, AnI420StreamDropsPushesItsImageCannotHold) {
    ASSERT_EQ(engine->Start(&i420, kPeriod, kWidth, kHeight, kI420Size), STATUS_SUCCESS);
    const std::vector<UCHAR> black = Current(kI420Size);
    // YUY2 output (1843200 bytes) does not fit a 1382400-byte image.
    Push(PatternBytes(kI420Size, 23));
    EXPECT_EQ(Current(kI420Size), black);
    // An I420 stream has no RGB form: RGB pushes are dropped.
    Push(PatternBytes(kRgbSize, 24));
    EXPECT_EQ(Current(kI420Size), black);
}

TEST_F(EngineWriteFrameTest, AZeroHeightEngineWritesNothing) {
    ASSERT_EQ(engine->Start(&yuy2, kPeriod, kWidth, 0, 0), STATUS_SUCCESS);
    const LONG stateBefore = engine->images->handover.state;
    // Every push is at least the RGB size (0 bytes here), yet none is taken.
    Push(PatternBytes(16, 25));
    EXPECT_EQ(engine->images->handover.state, stateBefore);
    // The ticks still run and leave a queued buffer as it was.
    CaptureBuffer& buffer = Buffer(64, sizeof(KSSTREAM_HEADER), 0);
    buffer.QueueOn(*engine);
    AdvanceTicks(1);
    EXPECT_EQ(owner.ticks.size(), 1u);
    EXPECT_TRUE(std::all_of(buffer.memory.begin(), buffer.memory.end(),
                            [](UCHAR byte) { return byte == 0xEE; }));
}

TEST_F(EngineWriteFrameTest, EachPushPublishesTheOtherSlotAndLeavesTheOldImageWhole) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    const std::vector<UCHAR> a = PatternBytes(kI420Size, 26);
    const std::vector<UCHAR> b = PatternBytes(kI420Size, 27);
    ASSERT_EQ(engine->images->handover.state & 1, 0);
    Push(a);
    ASSERT_EQ(engine->images->handover.state & 1, 1);
    const std::vector<UCHAR> imageA = Current(kYuy2Size);
    Push(b);
    ASSERT_EQ(engine->images->handover.state & 1, 0);
    // The slot that was published before still holds A, untouched.
    EXPECT_TRUE(std::equal(imageA.begin(), imageA.end(), engine->images->slots[1]));
    EXPECT_EQ(Current(kYuy2Size), ReferencePushedI420(b.data(), kWidth, kHeight, kYuy2Size));
    // No reader counts are left behind by ticks.
    HostKernel::AdvanceBy(3 * kPeriod);
    EXPECT_EQ(engine->images->handover.state & ~1, 0);
}

}  // namespace
