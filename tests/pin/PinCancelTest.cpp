// A capture client cancelling single reads while the pin streams (its
// CancelIo, or the end of the thread that sent them): a read queued ahead of
// the leading edge, one at the edge whose piece the engine refused, one
// already handed to the engine, one held while the pin is paused. Every read
// comes back exactly once, filled or STATUS_CANCELLED; no buffer is written
// after its read came back; nothing is reported and nothing leaks. The pin's
// clones stay locked, so a read the engine holds is cancelled only once its
// clone is deleted (filled, or returned at the way down).
//
// Each case runs under both failed-relock options and every stop-frames
// option.

#include <gtest/gtest.h>

#include "pin/PinHarness.h"
#include "support/ScopedVariant.h"

#include <map>
#include <memory>
#include <string>
#include <tuple>

using host::PinHandle;
using host::PinOptions;
using host::Verifier;

namespace pintest {
namespace {

using Options = std::tuple<const char*, const char*>;  // failed-relock, stop-frames

class PinCancel : public PinHarness, public ::testing::WithParamInterface<Options> {
  protected:
    void SetUp() override {
        PinHarness::SetUp();
        relock_ =
            std::make_unique<ScopedVariant>(host::Variant::FailedRelock, std::get<0>(GetParam()));
        stop_ = std::make_unique<ScopedVariant>(host::Variant::StopFrames, std::get<1>(GetParam()));
    }
    void TearDown() override {
        PinHarness::TearDown();
        stop_.reset();
        relock_.reset();
    }

    PinHandle* PinIn(KSSTATE state) {
        PinOptions options;
        options.clock = PinOptions::Clock::BeforeAcquire;
        PinHandle* pin = NewPin(options);
        EXPECT_NE(pin, nullptr);
        if (pin != nullptr) {
            EXPECT_EQ(pin->SetState(state), STATUS_SUCCESS);
        }
        return pin;
    }

    struct Read {
        CaptureBuffer* buffer = nullptr;
        uint64_t ticket = 0;
    };
    Read Submit(PinHandle* pin, uint8_t fill) {
        Read read;
        read.buffer = &Buffer(kImageSize, fill);
        EXPECT_EQ(pin->Submit(read.buffer->data(), read.buffer->size(), &read.ticket),
                  STATUS_SUCCESS);
        return read;
    }

    // Takes what came back, once per ticket, with a copy of its buffer as it
    // was when the read completed.
    void Collect(PinHandle* pin) {
        for (const host::CompletedFrame& frame : TakeAll(pin)) {
            EXPECT_EQ(back_.count(frame.ticket), 0u)
                << "read " << frame.ticket << " came back twice";
            const auto* bytes = static_cast<const uint8_t*>(frame.data);
            back_[frame.ticket] = {frame, std::vector<uint8_t>(bytes, bytes + frame.bufferSize)};
        }
    }
    // Ticks until `count` reads are back (at most `limit` ticks).
    void TickUntilBack(PinHandle* pin, size_t count, int limit = 20) {
        Collect(pin);
        for (int i = 0; i < limit && back_.size() < count; ++i) {
            Tick();
            Collect(pin);
        }
        ASSERT_EQ(back_.size(), count);
    }
    const host::CompletedFrame& Back(const Read& read) {
        static const host::CompletedFrame none{};
        auto it = back_.find(read.ticket);
        EXPECT_NE(it, back_.end()) << "read " << read.ticket << " never came back";
        return it != back_.end() ? it->second.frame : none;
    }
    // No buffer changed after its read came back.
    void ExpectNoWriteAfterCompletion() {
        for (const auto& [ticket, done] : back_) {
            const auto* bytes = static_cast<const uint8_t*>(done.frame.data);
            EXPECT_TRUE(std::equal(done.bytes.begin(), done.bytes.end(), bytes))
                << "read " << ticket << " was written after it came back";
        }
    }
    static bool Untouched(const Read& read, uint8_t fill) {
        return std::all_of(read.buffer->bytes.begin(), read.buffer->bytes.end(),
                           [fill](uint8_t b) { return b == fill; });
    }

    struct Done {
        host::CompletedFrame frame;
        std::vector<uint8_t> bytes;
    };
    std::map<uint64_t, Done> back_;
    std::unique_ptr<ScopedVariant> relock_;
    std::unique_ptr<ScopedVariant> stop_;
};

TEST_P(PinCancel, ReadsCancelledWhileStreamingComeBackExactlyOnce) {
    PinHandle* pin = PinIn(KSSTATE_RUN);
    ASSERT_NE(pin, nullptr);
    std::vector<Read> reads;
    for (int i = 0; i < 4; ++i) {
        reads.push_back(Submit(pin, static_cast<uint8_t>(0x10 + i)));
    }
    ASSERT_EQ(Engine()->queuedCount, 4u);
    // The engine can get no queue entry: the fifth waits at the edge with its
    // clone refused; two more queue behind it.
    Verifier::FailTag(kEntryTag);
    reads.push_back(Submit(pin, 0x14));
    ASSERT_NE(Vcam(pin)->pendingClone, nullptr);
    reads.push_back(Submit(pin, 0x15));
    reads.push_back(Submit(pin, 0x16));

    // Queued ahead of the edge: back at once.
    EXPECT_EQ(pin->CancelRead(reads[5].ticket), STATUS_SUCCESS);
    Collect(pin);
    EXPECT_EQ(back_.size(), 1u);
    EXPECT_EQ(Back(reads[5]).status, STATUS_CANCELLED);
    // At the edge with the refused piece, and in the engine: their clones
    // hold them locked, so they wait.
    EXPECT_EQ(pin->CancelRead(reads[4].ticket), STATUS_SUCCESS);
    EXPECT_EQ(pin->CancelRead(reads[1].ticket), STATUS_SUCCESS);
    EXPECT_EQ(pin->CancelRead(reads[3].ticket), STATUS_SUCCESS);
    EXPECT_EQ(pin->CompletedCount(), 0u);

    Verifier::ClearFaults();
    TickUntilBack(pin, reads.size());
    // The cancelled ones still locked when cancelled came back once their
    // clone let go (filled by then), cancelled; the others filled.
    for (int i : {0, 2, 6}) {
        EXPECT_EQ(Back(reads[i]).status, STATUS_SUCCESS) << i;
        EXPECT_EQ(Back(reads[i]).header.DataUsed, kImageSize) << i;
    }
    for (int i : {1, 3, 4}) {
        EXPECT_EQ(Back(reads[i]).status, STATUS_CANCELLED) << i;
    }
    // The one cancelled ahead of the edge was never handed over.
    EXPECT_TRUE(Untouched(reads[5], 0x15));
    EXPECT_EQ(Back(reads[5]).header.DataUsed, 0u);
    Ticks(3);
    ExpectNoWriteAfterCompletion();
    EXPECT_TRUE(Clones(pin).empty());
    EXPECT_EQ(pin->CancelRead(reads[0].ticket), STATUS_NOT_FOUND);
}

TEST_P(PinCancel, ReadsCancelledBeforeRunAreNeverHandedOver) {
    PinHandle* pin = PinIn(KSSTATE_PAUSE);
    ASSERT_NE(pin, nullptr);
    Read a = Submit(pin, 0x21);
    Read b = Submit(pin, 0x22);
    Read c = Submit(pin, 0x23);
    // No Process before RUN: the edge is on the first, unlocked. Cancelling
    // it moves the edge on.
    EXPECT_EQ(pin->CancelRead(a.ticket), STATUS_SUCCESS);
    EXPECT_EQ(pin->CancelRead(b.ticket), STATUS_SUCCESS);
    Collect(pin);
    ASSERT_EQ(back_.size(), 2u);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Clones(pin).size(), 1u);
    TickUntilBack(pin, 3);
    EXPECT_EQ(Back(a).status, STATUS_CANCELLED);
    EXPECT_EQ(Back(b).status, STATUS_CANCELLED);
    EXPECT_TRUE(Untouched(a, 0x21));
    EXPECT_TRUE(Untouched(b, 0x22));
    EXPECT_EQ(Back(c).status, STATUS_SUCCESS);
    EXPECT_EQ(Back(c).header.DataUsed, kImageSize);
    EXPECT_EQ(Back(c).frameInfo.PictureNumber, 1);
    ExpectNoWriteAfterCompletion();
}

TEST_P(PinCancel, AReadCancelledWhilePausedWaitsForTheResumeOrTheStop) {
    PinHandle* pin = PinIn(KSSTATE_RUN);
    ASSERT_NE(pin, nullptr);
    // The pause waits for the engine's last tick, which may fill the oldest
    // read: three go in, the later two are still in the engine after it.
    std::vector<Read> reads;
    for (uint8_t fill : {0x31, 0x32, 0x33}) {
        reads.push_back(Submit(pin, fill));
    }
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Collect(pin);
    ASSERT_LE(back_.size(), 1u);
    const Read held = reads[1];  // a copy: reads grows below
    EXPECT_EQ(pin->CancelRead(held.ticket), STATUS_SUCCESS);
    Ticks(3);
    EXPECT_EQ(pin->CompletedCount(), 0u);  // the engine holds it, paused
    // The resume fills it; it comes back cancelled once its clone lets go.
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    TickUntilBack(pin, 3);
    EXPECT_EQ(Back(held).status, STATUS_CANCELLED);
    EXPECT_EQ(Back(held).header.DataUsed, kImageSize);
    EXPECT_EQ(Back(reads[2]).status, STATUS_SUCCESS);
    EXPECT_EQ(Back(reads[2]).header.DataUsed, kImageSize);

    // Paused again with reads in the engine, one cancelled: the stop returns
    // what is left, unfilled.
    for (uint8_t fill : {0x34, 0x35, 0x36}) {
        reads.push_back(Submit(pin, fill));
    }
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Collect(pin);
    ASSERT_LE(back_.size(), 4u);
    const Read& stopped = reads[4];
    EXPECT_EQ(pin->CancelRead(stopped.ticket), STATUS_SUCCESS);
    Ticks(2);
    EXPECT_EQ(pin->CompletedCount(), 0u);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    Collect(pin);
    ASSERT_EQ(back_.size(), reads.size());
    EXPECT_EQ(Back(stopped).status, STATUS_CANCELLED);
    EXPECT_EQ(Back(stopped).header.DataUsed, 0u);
    EXPECT_TRUE(Untouched(stopped, 0x35));
    EXPECT_EQ(Back(reads[5]).status, STATUS_SUCCESS);
    EXPECT_EQ(Back(reads[5]).header.DataUsed, 0u);
    Ticks(2);
    ExpectNoWriteAfterCompletion();
}

// A client that reads one buffer at a time: each read is the last frame of
// the queue, so a locked advance off it could only fail to relock, and the
// class library may then leave the edge on it, holding the client's only
// read. The pin moves the edge on without a relock.
TEST_P(PinCancel, OneReadAtATimeComesBackFilledEachTime) {
    PinHandle* pin = PinIn(KSSTATE_RUN);
    ASSERT_NE(pin, nullptr);
    for (UCHAR fill = 0x41; fill < 0x45; ++fill) {
        Read read = Submit(pin, fill);
        TickUntilBack(pin, back_.size() + 1);
        ASSERT_EQ(Back(read).status, STATUS_SUCCESS);
        EXPECT_EQ(Back(read).header.DataUsed, kImageSize);
        EXPECT_EQ(Back(read).frameInfo.PictureNumber, fill - 0x40);
    }
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
    ExpectNoWriteAfterCompletion();
}

std::string OptionsName(const ::testing::TestParamInfo<Options>& info) {
    std::string name = std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
    for (char& ch : name) {
        if (ch == '-') ch = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Variants, PinCancel,
                         ::testing::Combine(::testing::Values("unlocked-on-new-spot",
                                                              "left-where-it-was"),
                                            ::testing::Values("complete-unreferenced",
                                                              "cancel-clones", "wait-for-clones")),
                         OptionsName);

}  // namespace
}  // namespace pintest
