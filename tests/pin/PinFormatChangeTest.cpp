// A format change proposed for a created pin: refused outside KSSTATE_STOP,
// taken as a fresh copy of the video info in KSSTATE_STOP, and what a copy
// that cannot be made leaves behind.

#include <gtest/gtest.h>

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
    static NTSTATUS Propose(PinHandle* pin, const std::vector<uint8_t>& format) {
        return pin->SetFormat(format.data(), static_cast<ULONG>(format.size()));
    }
};

TEST_F(PinFormatChange, ChangeInStopTakesANewCopyAndKeepsTheOld) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    PKS_VIDEOINFOHEADER first = Vcam(pin)->videoInfo;
    const size_t buffers = Verifier::OutstandingBlocks(kBufferTag);

    ASSERT_EQ(Propose(pin, SlowerFormat()), STATUS_SUCCESS);
    PKS_VIDEOINFOHEADER second = Vcam(pin)->videoInfo;
    EXPECT_NE(second, first);
    EXPECT_EQ(second->AvgTimePerFrame, 666667);
    // The earlier copy stays in the bag, untouched, until the pin goes.
    EXPECT_EQ(first->AvgTimePerFrame, kPeriod);
    EXPECT_EQ(Verifier::OutstandingBlocks(kBufferTag), buffers + 1);
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
