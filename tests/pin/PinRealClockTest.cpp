// The capture pin on the real clock: the engine's ticks run on the DPC
// thread at DISPATCH_LEVEL and Process on the pin's processing thread, at the
// same time, while the client submits from its own thread. Frames must still
// come back whole, in order and numbered without gaps. (The waits only bound
// a hang; no test here measures time.)

#include <gtest/gtest.h>

#include <chrono>

#include "pin/PinHarness.h"

using host::PinHandle;

namespace pintest {
namespace {

class PinRealClock : public PinHarness {
  protected:
    PinRealClock() : PinHarness(host::ClockMode::Real) {}

    // Waits for `count` frames in all (a generous bound per frame).
    static std::vector<host::CompletedFrame> Collect(PinHandle* pin, size_t count) {
        std::vector<host::CompletedFrame> frames;
        while (frames.size() < count) {
            if (pin->WaitForCompletion(std::chrono::milliseconds(10000)) != STATUS_SUCCESS) {
                break;
            }
            host::CompletedFrame frame;
            while (pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
                frames.push_back(frame);
            }
        }
        return frames;
    }
};

TEST_F(PinRealClock, StreamedFramesComeBackInOrderNumberedWithoutGaps) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const size_t kFrames = 12;
    std::vector<uint64_t> tickets;
    // Two in flight at a time, as the framing asks; the rest follow as
    // frames come back.
    std::vector<host::CompletedFrame> frames;
    for (size_t i = 0; i < kFrames; ++i) {
        if (i >= 2) {
            std::vector<host::CompletedFrame> one = Collect(pin, 1);
            ASSERT_FALSE(one.empty()) << "no frame came back";
            frames.insert(frames.end(), one.begin(), one.end());
        }
        CaptureBuffer& buffer = Buffer();
        uint64_t ticket = 0;
        ASSERT_EQ(pin->Submit(buffer.data(), buffer.size(), &ticket), STATUS_SUCCESS);
        tickets.push_back(ticket);
    }
    std::vector<host::CompletedFrame> rest = Collect(pin, kFrames - frames.size());
    frames.insert(frames.end(), rest.begin(), rest.end());
    ASSERT_EQ(frames.size(), kFrames);

    for (size_t i = 0; i < kFrames; ++i) {
        EXPECT_EQ(frames[i].ticket, tickets[i]);
        EXPECT_EQ(frames[i].header.DataUsed, kImageSize);
        EXPECT_EQ(frames[i].header.OptionsFlags, 0x110u);
        EXPECT_EQ(frames[i].frameInfo.PictureNumber, static_cast<LONGLONG>(i + 1));
        if (i > 0) {
            // Never earlier than the frame before; two frames may share a
            // time when a tick that filled one came before Process handed it
            // over in full, and the next tick completes both.
            EXPECT_GE(frames[i].header.PresentationTime.Time,
                      frames[i - 1].header.PresentationTime.Time);
        }
    }
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(PinRealClock, StoppingWhileFramesAreInFlightReturnsThemAll) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < 6; ++i) {
        CaptureBuffer& buffer = Buffer();
        ASSERT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 6u);
    // Filled ones carry the whole image, the rest nothing; filled come first.
    bool emptySeen = false;
    for (const auto& frame : frames) {
        if (frame.header.DataUsed == 0) {
            emptySeen = true;
        } else {
            EXPECT_EQ(frame.header.DataUsed, kImageSize);
            EXPECT_FALSE(emptySeen) << "a filled frame came back after an unfilled one";
        }
    }
}

}  // namespace
}  // namespace pintest
