// A format change proposed for a created pin: refused outside KSSTATE_STOP,
// taken as a fresh copy of the video info in KSSTATE_STOP that replaces (and
// frees) the pin's previous copy, and what a copy that cannot be made leaves
// behind.

#include <gtest/gtest.h>

#include <algorithm>

#include "pin/PinHarness.h"

using host::KsFaults;
using host::PinHandle;
using host::Verifier;

namespace pintest {
namespace {

class PinFormatChange : public PinHarness {
  protected:
    // The default format with another frame time (64 s at most is allowed
    // by the range; the check does not bound it anyway).
    std::vector<uint8_t> SlowerFormat(LONGLONG frameTime = 666667) const {
        std::vector<uint8_t> format = format_;
        reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())
            ->VideoInfoHeader.AvgTimePerFrame = frameTime;
        return format;
    }
    // The default format with `extra` bytes of bitmap header beyond the
    // fixed 40 (filled with `fill`), so the pin's copy is 88 + extra bytes.
    std::vector<uint8_t> LongHeaderFormat(LONGLONG frameTime, ULONG extra,
                                          uint8_t fill = 0xA5) const {
        std::vector<uint8_t> format = SlowerFormat(frameTime);
        format.resize(format.size() + extra, fill);
        auto* header = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
        header->DataFormat.FormatSize = static_cast<ULONG>(format.size());
        header->VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER) + extra;
        return format;
    }
    static NTSTATUS Propose(PinHandle* pin, const std::vector<uint8_t>& format) {
        return pin->SetFormat(format.data(), static_cast<ULONG>(format.size()));
    }
    static bool IsLive(const void* block) {
        const std::vector<host::PoolBlockInfo> live = Verifier::OutstandingList();
        return std::any_of(live.begin(), live.end(), [block](const host::PoolBlockInfo& info) {
            return info.address == block;
        });
    }
    // The pin's format copies: the "AVSh" blocks made since `mark` other than
    // its own descriptor and framing (the pin's other blocks with that tag).
    static std::vector<const void*> FormatCopies(PinHandle* pin, uint64_t mark) {
        const KSPIN_DESCRIPTOR_EX* descriptor = pin->KsPin()->Descriptor;
        std::vector<const void*> copies;
        for (const host::PoolBlockInfo& block : Verifier::OutstandingSince(mark)) {
            if (block.tag == kBufferTag && block.address != descriptor &&
                block.address != descriptor->AllocatorFraming) {
                copies.push_back(block.address);
            }
        }
        return copies;
    }
    // Runs the pin, has one frame filled and returns its duration; the pin
    // is stopped again afterwards.
    LONGLONG StreamOneFrame(PinHandle* pin) {
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        CaptureBuffer& buffer = Buffer();
        EXPECT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
        Ticks(2);
        std::vector<host::CompletedFrame> frames = TakeAll(pin);
        EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? -1 : frames[0].header.Duration;
    }
};

TEST_F(PinFormatChange, ChangeInStopTakesANewCopyAndFreesTheOld) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKS_VIDEOINFOHEADER first = Vcam(pin)->videoInfo;
    const size_t buffers = Verifier::OutstandingBlocks(kBufferTag);

    ASSERT_EQ(Propose(pin, SlowerFormat()), STATUS_SUCCESS);
    PKS_VIDEOINFOHEADER second = Vcam(pin)->videoInfo;
    EXPECT_NE(second, first);
    EXPECT_EQ(second->AvgTimePerFrame, 666667);
    // The earlier copy went back to the pool as the new one took its place.
    EXPECT_FALSE(IsLive(first));
    EXPECT_TRUE(IsLive(second));
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffers);
}

TEST_F(PinFormatChange, NextClaimAndEveryFrameUseTheNewCopy) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(Propose(pin, SlowerFormat()), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Relay()->claimedVideoInfo, Vcam(pin)->videoInfo);
    EXPECT_EQ(Engine()->framePeriod, 666667);

    CaptureBuffer& buffer = Buffer();
    ASSERT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
    Ticks(2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header.Duration, 666667);
}

TEST_F(PinFormatChange, ChangeIsRefusedOutsideStop) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKS_VIDEOINFOHEADER before = Vcam(pin)->videoInfo;
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        ASSERT_EQ(pin->SetState(state), STATUS_SUCCESS);
        EXPECT_EQ(Propose(pin, SlowerFormat()), STATUS_INVALID_DEVICE_STATE) << "state " << state;
        EXPECT_EQ(Vcam(pin)->videoInfo, before);
        EXPECT_EQ(Vcam(pin)->videoInfo->AvgTimePerFrame, kPeriod);
    }
    // The same change, back in STOP, is taken.
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Propose(pin, SlowerFormat()), STATUS_SUCCESS);
    EXPECT_NE(Vcam(pin)->videoInfo, before);
}

TEST_F(PinFormatChange, RefusedFormatLeavesTheCopyAlone) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKS_VIDEOINFOHEADER before = Vcam(pin)->videoInfo;
    std::vector<uint8_t> shortImage = format_;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(shortImage.data())
        ->VideoInfoHeader.bmiHeader.biSizeImage = kImageSize - 1;
    EXPECT_EQ(Propose(pin, shortImage), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Vcam(pin)->videoInfo, before);
}

// ---- one copy at a time --------------------------------------------------------

TEST_F(PinFormatChange, AFrameTimeUnderAMillisecondIsTakenButCannotRun) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    // The format check does not bound the frame time; the engine does, when
    // the pin starts it: a tick every 100 ns would never leave the processor.
    for (LONGLONG frameTime : {LONGLONG{1}, FrameEngine::ShortestPeriod - 1}) {
        SCOPED_TRACE("frame time " + std::to_string(frameTime));
        ASSERT_EQ(Propose(pin, SlowerFormat(frameTime)), STATUS_SUCCESS);
        ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(pin->KsPin()->DeviceState, KSSTATE_PAUSE);
        EXPECT_EQ(Engine()->state, EngineStopped);
        EXPECT_EQ(host::HostKernel::NextDueTime(), -1);
        ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    // One millisecond runs, and so does the camera's own rate afterwards.
    ASSERT_EQ(Propose(pin, SlowerFormat(FrameEngine::ShortestPeriod)), STATUS_SUCCESS);
    EXPECT_EQ(StreamOneFrame(pin), FrameEngine::ShortestPeriod);
    ASSERT_EQ(Propose(pin, SlowerFormat(kPeriod)), STATUS_SUCCESS);
    EXPECT_EQ(StreamOneFrame(pin), kPeriod);
}

TEST_F(PinFormatChange, RepeatedChangesKeepOneCopyAndTheLastFormatStreams) {
    const uint64_t mark = Verifier::AllocationMark();
    const size_t buffersBefore = Verifier::OutstandingBlocks(kBufferTag);
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    const size_t buffersOpen = Verifier::OutstandingBlocks(kBufferTag);

    // Each change with a long bitmap header, as a client that keeps setting
    // the format could send: kept copies would add up to megabytes.
    const ULONG kChanges = 64;
    const ULONG kExtra = 64 * 1024;
    LONGLONG lastFrameTime = 0;
    for (ULONG i = 1; i <= kChanges; ++i) {
        lastFrameTime = 400000 + i;
        ASSERT_EQ(Propose(pin, LongHeaderFormat(lastFrameTime, kExtra + i)), STATUS_SUCCESS)
            << "change " << i;
        ASSERT_EQ(FormatCopies(pin, mark),
                  std::vector<const void*>{static_cast<const void*>(Vcam(pin)->videoInfo)})
            << "change " << i;
        ASSERT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffersOpen) << "change " << i;
    }
    const PKS_VIDEOINFOHEADER last = Vcam(pin)->videoInfo;
    EXPECT_EQ(last->AvgTimePerFrame, lastFrameTime);
    EXPECT_EQ(last->bmiHeader.biSize, sizeof(KS_BITMAPINFOHEADER) + kExtra + kChanges);

    // The pin claims with the copy it kept and every frame carries its time.
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Relay()->claimedVideoInfo, last);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(StreamOneFrame(pin), lastFrameTime);
    EXPECT_EQ(Engine()->framePeriod, lastFrameTime);

    // Closing leaves nothing the pin made behind.
    ASSERT_EQ(pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffersBefore);
    EXPECT_EQ(Verifier::OutstandingBlocks(kPinTag), 0u);
    EXPECT_TRUE(Verifier::OutstandingSince(mark).empty())
        << Verifier::DescribeBlocks(Verifier::OutstandingSince(mark));
}

TEST_F(PinFormatChange, ChangeAfterStreamingFreesTheCopyTheClaimHadUsed) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKS_VIDEOINFOHEADER streamed = Vcam(pin)->videoInfo;
    EXPECT_EQ(StreamOneFrame(pin), kPeriod);
    // Back in STOP the device no longer holds the claim, nor its copy.
    EXPECT_EQ(Relay()->claimedVideoInfo, nullptr);

    ASSERT_EQ(Propose(pin, SlowerFormat()), STATUS_SUCCESS);
    EXPECT_FALSE(IsLive(streamed));
    EXPECT_EQ(StreamOneFrame(pin), 666667);
}

// ---- a copy that cannot be made -------------------------------------------------

TEST_F(PinFormatChange, NoMemoryForTheCopyKeepsThePreviousCopy) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKS_VIDEOINFOHEADER before = Vcam(pin)->videoInfo;
    const size_t buffers = Verifier::OutstandingBlocks(kBufferTag);

    Verifier::FailTag(kBufferTag);
    EXPECT_EQ(Propose(pin, SlowerFormat()), STATUS_INSUFFICIENT_RESOURCES);
    Verifier::ClearFaults();
    EXPECT_EQ(Vcam(pin)->videoInfo, before);
    EXPECT_EQ(Vcam(pin)->videoInfo->AvgTimePerFrame, kPeriod);
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffers);

    // The pin still claims and streams with the copy it kept.
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Relay()->claimedVideoInfo, before);
    EXPECT_EQ(Engine()->framePeriod, kPeriod);
}

TEST_F(PinFormatChange, FailedCopyAfterChangesKeepsTheLastGoodCopyAndStreamsWithIt) {
    const uint64_t mark = Verifier::AllocationMark();
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(Propose(pin, LongHeaderFormat(500000, 256)), STATUS_SUCCESS);
    PKS_VIDEOINFOHEADER good = Vcam(pin)->videoInfo;

    // The copy is the change's first allocation; then every copy fails.
    Verifier::FailNth(Verifier::AllocationCount() + 1);
    EXPECT_EQ(Propose(pin, LongHeaderFormat(600000, 512)), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Verifier::InjectedFailures(), 1u);
    Verifier::ClearFaults();
    Verifier::FailTag(kBufferTag);
    EXPECT_EQ(Propose(pin, LongHeaderFormat(700000, 1024)), STATUS_INSUFFICIENT_RESOURCES);
    Verifier::ClearFaults();

    // Neither failure touched the copy in place, nor freed it.
    EXPECT_EQ(Vcam(pin)->videoInfo, good);
    EXPECT_TRUE(IsLive(good));
    EXPECT_EQ(good->AvgTimePerFrame, 500000);
    EXPECT_EQ(good->bmiHeader.biSize, sizeof(KS_BITMAPINFOHEADER) + 256);
    EXPECT_EQ(FormatCopies(pin, mark), std::vector<const void*>{good});

    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Relay()->claimedVideoInfo, good);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(StreamOneFrame(pin), 500000);

    // The next change that gets its copy replaces it as usual.
    ASSERT_EQ(Propose(pin, SlowerFormat()), STATUS_SUCCESS);
    EXPECT_FALSE(IsLive(good));
    EXPECT_EQ(FormatCopies(pin, mark),
              std::vector<const void*>{static_cast<const void*>(Vcam(pin)->videoInfo)});
}

TEST_F(PinFormatChange, BagRefusingTheCopyReturnsItAndKeepsThePreviousCopy) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKS_VIDEOINFOHEADER before = Vcam(pin)->videoInfo;
    const size_t buffers = Verifier::OutstandingBlocks(kBufferTag);

    KsFaults::FailBagInsertionsInto(pin->KsPin()->Bag);
    EXPECT_EQ(Propose(pin, SlowerFormat()), STATUS_INSUFFICIENT_RESOURCES);
    KsFaults::FailBagInsertionsInto(nullptr);
    EXPECT_EQ(Vcam(pin)->videoInfo, before);
    // The block the bag would not take went straight back to the pool.
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffers);

    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Relay()->claimedVideoInfo, before);
}

}  // namespace
}  // namespace pintest
