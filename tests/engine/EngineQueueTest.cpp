// The buffer queue and the fill: QueueBuffer's bookkeeping, FIFO delivery one
// buffer per tick, surface pitches, and the bounds that keep every write
// inside the capture buffer and every read inside the image slot.
#include "engine/EngineHarness.h"

#include <algorithm>

using host::HostKernel;
using host::Verifier;
using namespace enginetest;

namespace {

class EngineQueueTest : public EngineTest {
  protected:
    // Starts a YUY2 engine and makes a patterned image current, so that a
    // fill can be told from black and rows from one another.
    void StartWithPatternImage() {
        ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
        PushPattern(1);
    }
    void PushPattern(uint32_t seed) {
        std::vector<UCHAR> frame = PatternBytes(kI420Size, seed);
        engine->WriteFrame(frame.data(), kI420Size);
        image.assign(PublishedImage(*engine), PublishedImage(*engine) + engine->imageSize);
    }
    // Checks that `buffer` holds image rows r at r x stride for the first
    // `rows` rows and that every other byte kept the fill.
    void ExpectRows(const CaptureBuffer& buffer, uint64_t stride, ULONG rows, ULONG lineBytes) {
        std::vector<UCHAR> expected(buffer.memory.size(), 0xEE);
        for (ULONG r = 0; r < rows; ++r) {
            std::copy(image.begin() + static_cast<size_t>(r) * lineBytes,
                      image.begin() + static_cast<size_t>(r + 1) * lineBytes,
                      expected.begin() + static_cast<size_t>(r * stride));
        }
        ASSERT_EQ(buffer.memory.size(), expected.size());
        const auto mismatch =
            std::mismatch(buffer.memory.begin(), buffer.memory.end(), expected.begin());
        EXPECT_TRUE(mismatch.first == buffer.memory.end())
            << "first difference at byte " << (mismatch.first - buffer.memory.begin());
    }

    std::vector<UCHAR> image;  // the image current when the test pushed it
};

TEST_F(EngineQueueTest, QueueBufferRecordsTheBufferAtTheTailAndAdvancesTheCursor) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    CaptureBuffer& first = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& second = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(first.QueueOn(*engine), kYuy2Size);
    EXPECT_EQ(first.cursor, first.memory.data() + kYuy2Size);
    ASSERT_EQ(second.QueueOn(*engine), kYuy2Size);
    EXPECT_EQ(second.cursor, second.memory.data() + kYuy2Size);

    EXPECT_EQ(engine->queuedCount, 2u);
    EXPECT_EQ(engine->queuedBytes, 2 * kYuy2Size);
    const QueuedBuffer* head = CONTAINING_RECORD(engine->queue.Flink, QueuedBuffer, link);
    const QueuedBuffer* tail = CONTAINING_RECORD(engine->queue.Blink, QueuedBuffer, link);
    EXPECT_EQ(head->streamPointer, &first.pointer);
    EXPECT_EQ(head->target, first.memory.data());
    EXPECT_EQ(tail->streamPointer, &second.pointer);
    EXPECT_EQ(tail->target, second.memory.data());
    EXPECT_EQ(tail->byteCount, kYuy2Size);
    EXPECT_EQ(Verifier::OutstandingBlocks(kEntryTag), 2u);
}

TEST_F(EngineQueueTest, QueueBufferWithoutAnEntryToBeHadRecordsNothing) {
    ASSERT_EQ(StartYuy2(), STATUS_SUCCESS);
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    Verifier::FailTag(kEntryTag);
    EXPECT_EQ(buffer.QueueOn(*engine), 0u);
    Verifier::ClearFaults();
    EXPECT_EQ(buffer.cursor, buffer.memory.data());
    EXPECT_EQ(engine->queuedCount, 0u);
    EXPECT_EQ(engine->queuedBytes, 0u);
    EXPECT_TRUE(IsListEmpty(&engine->queue));
    // The buffer can be offered again and then goes through.
    EXPECT_EQ(buffer.QueueOn(*engine), kYuy2Size);
}

TEST_F(EngineQueueTest, AWholeBufferReceivesThePublishedImageByteForByte) {
    StartWithPatternImage();
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);
    AdvanceTicks(1);
    ASSERT_EQ(owner.ticks.size(), 1u);
    EXPECT_EQ(std::memcmp(PublishedImage(*engine), image.data(), kYuy2Size), 0);
    ExpectRows(buffer, kLine, kHeight, kLine);
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    EXPECT_EQ(engine->queuedCount, 0u);
    EXPECT_EQ(engine->queuedBytes, 0u);
    EXPECT_EQ(Verifier::OutstandingBlocks(kEntryTag), 0u);
}

TEST_F(EngineQueueTest, PitchesZeroMinusAndPlusRowLengthAllGiveTheSameContiguousImage) {
    StartWithPatternImage();
    CaptureBuffer& withoutFrameInfo =
        Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 777);  // pitch not read
    CaptureBuffer& zero = Buffer(kYuy2Size, sizeof(HeaderWithFrameInfo), 0);
    CaptureBuffer& negative = Buffer(kYuy2Size, sizeof(HeaderWithFrameInfo), -2560);
    CaptureBuffer& positive = Buffer(kYuy2Size, sizeof(HeaderWithFrameInfo), 2560);
    for (CaptureBuffer* buffer : {&withoutFrameInfo, &zero, &negative, &positive}) {
        ASSERT_EQ(buffer->QueueOn(*engine), kYuy2Size);
    }
    AdvanceTicks(4);
    EXPECT_EQ(engine->CompletedFrameCount(), 4u);
    for (CaptureBuffer* buffer : {&withoutFrameInfo, &zero, &negative, &positive}) {
        ExpectRows(*buffer, kLine, kHeight, kLine);
    }
}

TEST_F(EngineQueueTest, APitchOf3000PlacesRowsAt3000BytesAndLeavesTheGapsAlone) {
    StartWithPatternImage();
    const ULONG byteCount = 719 * 3000 + kLine;
    CaptureBuffer& buffer = Buffer(byteCount, sizeof(HeaderWithFrameInfo), 3000);
    ASSERT_EQ(buffer.QueueOn(*engine), byteCount);
    AdvanceTicks(1);
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    // Every row at 3000 r; the 440 bytes after each row keep 0xEE.
    ExpectRows(buffer, 3000, kHeight, kLine);
    for (ULONG r = 0; r + 1 < kHeight; ++r) {
        const UCHAR* gap = buffer.data() + r * 3000 + kLine;
        ASSERT_EQ(std::count(gap, gap + 440, 0xEE), 440) << "row " << r;
    }
}

TEST_F(EngineQueueTest, TwoBuffersAreFilledOnTwoTicksInQueueOrder) {
    StartWithPatternImage();
    const std::vector<UCHAR> firstImage = image;
    CaptureBuffer& first = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& second = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(first.QueueOn(*engine), kYuy2Size);
    ASSERT_EQ(second.QueueOn(*engine), kYuy2Size);

    AdvanceTicks(1);
    ExpectRows(first, kLine, kHeight, kLine);
    EXPECT_EQ(std::count(second.memory.begin(), second.memory.end(), 0xEE),
              static_cast<long>(second.memory.size()));
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    EXPECT_EQ(engine->queuedCount, 1u);
    EXPECT_EQ(engine->queuedBytes, kYuy2Size);

    PushPattern(2);
    ASSERT_NE(image, firstImage);
    AdvanceTicks(1);
    ExpectRows(second, kLine, kHeight, kLine);
    EXPECT_EQ(engine->CompletedFrameCount(), 2u);
    EXPECT_EQ(engine->queuedCount, 0u);
}

TEST_F(EngineQueueTest, ATickWithNothingQueuedChangesNothing) {
    StartWithPatternImage();
    AdvanceTicks(3);
    EXPECT_EQ(owner.ticks.size(), 3u);
    EXPECT_EQ(engine->CompletedFrameCount(), 0u);
    EXPECT_EQ(engine->queuedCount, 0u);
    // Every Running tick counted itself in on the published slot and out
    // again; the image is untouched.
    EXPECT_EQ(engine->images->handover.ReadersOf(0), 0);
    EXPECT_EQ(engine->images->handover.ReadersOf(1), 0);
    EXPECT_EQ(std::memcmp(PublishedImage(*engine), image.data(), kYuy2Size), 0);
}

TEST_F(EngineQueueTest, ALoneBufferSmallerThanTheImageStaysQueuedUntouched) {
    StartWithPatternImage();
    CaptureBuffer& buffer = Buffer(1000000, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), 1000000u);
    AdvanceTicks(5);
    EXPECT_EQ(owner.ticks.size(), 5u);
    EXPECT_EQ(engine->CompletedFrameCount(), 0u);
    EXPECT_EQ(engine->queuedCount, 1u);
    EXPECT_EQ(engine->queuedBytes, 1000000u);
    EXPECT_EQ(std::count(buffer.memory.begin(), buffer.memory.end(), 0xEE),
              static_cast<long>(buffer.memory.size()));
}

TEST_F(EngineQueueTest, AShortHeadBufferGetsOnlyTheRowsThatFitAndCountsAsCompleted) {
    StartWithPatternImage();
    // Together they hold more than an image, but the head takes 390 rows.
    CaptureBuffer& head = Buffer(1000000, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& next = Buffer(1000000, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(head.QueueOn(*engine), 1000000u);
    ASSERT_EQ(next.QueueOn(*engine), 1000000u);
    AdvanceTicks(1);
    ExpectRows(head, kLine, 1000000 / kLine, kLine);
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    EXPECT_EQ(engine->queuedCount, 1u);
    EXPECT_EQ(engine->queuedBytes, 1000000u);
    // The second, alone and short of an image, waits untouched.
    AdvanceTicks(1);
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    EXPECT_EQ(std::count(next.memory.begin(), next.memory.end(), 0xEE),
              static_cast<long>(next.memory.size()));
}

TEST_F(EngineQueueTest, APitchWiderThanTheBufferAllowsWritesOnlyTheRowsInsideIt) {
    StartWithPatternImage();
    // An image-sized buffer whose pitch claims 3000 bytes a row: rows r with
    // 3000 r + 2560 <= 1843200 fit, that is rows 0..613.
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(HeaderWithFrameInfo), 3000);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);
    AdvanceTicks(1);
    ExpectRows(buffer, 3000, 614, kLine);
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    EXPECT_EQ(engine->queuedCount, 0u);
    EXPECT_EQ(engine->queuedBytes, 0u);
}

TEST_F(EngineQueueTest, TheMostNegativePitchWritesTheFirstRowOnly) {
    StartWithPatternImage();
    // |pitch| = 2^31 (a magnitude that 32-bit negation cannot even form):
    // row 1 would start 2 GiB in, far outside the buffer.
    CaptureBuffer& buffer =
        Buffer(kYuy2Size, sizeof(HeaderWithFrameInfo), static_cast<LONG>(0x80000000u));
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);
    AdvanceTicks(1);
    ExpectRows(buffer, 0x80000000ull, 1, kLine);
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
}

TEST_F(EngineQueueTest, AnImageSizeBeyondHeightRowsFillsOneBufferPerTickWithHeightRows) {
    const ULONG imageSize = kYuy2Size + 5120;
    ASSERT_EQ(engine->Start(&yuy2, kPeriod, kWidth, kHeight, imageSize), STATUS_SUCCESS);
    PushPattern(3);
    CaptureBuffer& first = Buffer(imageSize, sizeof(KSSTREAM_HEADER), 0);
    CaptureBuffer& second = Buffer(imageSize, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(first.QueueOn(*engine), imageSize);
    ASSERT_EQ(second.QueueOn(*engine), imageSize);

    AdvanceTicks(1);
    // 720 rows; the 5120 bytes past them stay as they were.
    ExpectRows(first, kLine, kHeight, kLine);
    EXPECT_EQ(std::count(second.memory.begin(), second.memory.end(), 0xEE),
              static_cast<long>(second.memory.size()));
    EXPECT_EQ(engine->CompletedFrameCount(), 1u);
    EXPECT_EQ(engine->queuedCount, 1u);
    EXPECT_EQ(engine->queuedBytes, imageSize);

    AdvanceTicks(1);
    ExpectRows(second, kLine, kHeight, kLine);
    EXPECT_EQ(engine->CompletedFrameCount(), 2u);
    EXPECT_EQ(engine->queuedCount, 0u);
    EXPECT_EQ(engine->queuedBytes, 0u);
}

TEST_F(EngineQueueTest, RowLengthFollowsTheLayout) {
    // RGB24: 3840-byte rows, the whole 2764800-byte image.
    {
        ASSERT_EQ(engine->Start(&rgb24, kPeriod, kWidth, kHeight, kRgbSize), STATUS_SUCCESS);
        std::vector<UCHAR> frame = PatternBytes(kRgbSize, 4);
        engine->WriteFrame(frame.data(), kRgbSize);
        image.assign(PublishedImage(*engine), PublishedImage(*engine) + kRgbSize);
        CaptureBuffer& buffer = Buffer(kRgbSize, sizeof(KSSTREAM_HEADER), 0);
        ASSERT_EQ(buffer.QueueOn(*engine), kRgbSize);
        AdvanceTicks(1);
        ExpectRows(buffer, 3840, kHeight, 3840);
        ASSERT_EQ(engine->Stop(), STATUS_SUCCESS);
    }
    // I420 at width 641: 1.5 x 641 = 961.5 truncates to 961-byte rows.
    {
        const ULONG width = 641, height = 2, imageSize = (641 * 2 * 3) / 2;  // 1923
        ASSERT_EQ(engine->Start(&i420, kPeriod, width, height, imageSize), STATUS_SUCCESS);
        image.assign(PublishedImage(*engine), PublishedImage(*engine) + imageSize);
        CaptureBuffer& buffer = Buffer(imageSize, sizeof(KSSTREAM_HEADER), 0);
        ASSERT_EQ(buffer.QueueOn(*engine), imageSize);
        AdvanceTicks(1);
        ExpectRows(buffer, 961, height, 961);
        EXPECT_EQ(buffer.data()[1922], 0xEE);
    }
}

TEST_F(EngineQueueTest, QueuedBuffersWaitThroughAPauseAndAreFilledAfterTheResume) {
    StartWithPatternImage();
    ASSERT_EQ(engine->SetPaused(TRUE), STATUS_SUCCESS);
    CaptureBuffer& buffer = Buffer(kYuy2Size, sizeof(KSSTREAM_HEADER), 0);
    ASSERT_EQ(buffer.QueueOn(*engine), kYuy2Size);
    AdvanceTicks(5);
    EXPECT_EQ(engine->queuedCount, 1u);
    EXPECT_EQ(buffer.data()[0], 0xEE);
    ASSERT_EQ(engine->SetPaused(FALSE), STATUS_SUCCESS);
    AdvanceTicks(1);
    ExpectRows(buffer, kLine, kHeight, kLine);
}

}  // namespace
