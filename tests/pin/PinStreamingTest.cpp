// Capture buffers through the pin: each frame reaching the leading edge gets
// one clone that is queued to the engine; filled frames come back oldest
// first, stamped with DataUsed (the class library never writes it for this
// pin), duration, presentation time and frame number. The host client fills
// every field the driver must write with a pattern, so a field it forgets
// shows here.
//
// Most of this is watched from the client's side. Process's return value and
// FramesCompleted with a chosen count are not visible there; those few checks
// call the pin directly, at the IRQL the platform would use.

#include <gtest/gtest.h>

#include "pin/PinHarness.h"
#include "support/ScopedVariant.h"

#include <thread>

using host::HostKernel;
using host::KsFaults;
using host::PinHandle;
using host::PinOptions;
using host::Verifier;

namespace pintest {
namespace {

class PinStreaming : public PinHarness {
  protected:
    // A pin in KSSTATE_RUN (with a clock unless told otherwise).
    PinHandle* RunningPin(bool clock = true) {
        PinOptions options;
        options.clock = clock ? PinOptions::Clock::BeforeAcquire : PinOptions::Clock::None;
        PinHandle* pin = NewPin(options);
        EXPECT_NE(pin, nullptr);
        if (pin != nullptr) {
            EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
        return pin;
    }
    // FramesCompleted as the device calls it: from the tick, at DISPATCH_LEVEL.
    static void Complete(VcamPin* vcam, ULONG count) {
        host::ScopedIrql dpc(DISPATCH_LEVEL);
        vcam->FramesCompleted(count);
    }
    static PUCHAR Cursor(PKSSTREAM_POINTER clone) { return VcamPin::ContextOf(clone)->writeCursor; }
    static ULONG HandedOver(PKSSTREAM_POINTER clone) {
        return VcamPin::ContextOf(clone)->handedOver;
    }

    // Buffers too small for an image: the engine queues them but never fills
    // one, so a test that calls FramesCompleted itself decides alone which
    // frames are done (and no later tick reaches a header the test released).
    static constexpr ULONG kUnfillable = 4096;
};

// ---- Process -----------------------------------------------------------------------

TEST_F(PinStreaming, ProcessOnAnEmptyQueuePendsUntilTheNextTick) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    VcamPin* vcam = Vcam(pin);
    // Entering RUN with nothing queued runs no Process.
    EXPECT_FALSE(vcam->processPending);
    EXPECT_EQ(vcam->Process(), STATUS_PENDING);
    EXPECT_TRUE(vcam->processPending);

    // Every completion call asks for processing while the flag is set; only
    // a Process clears it, so an attempt the class library drops (one made
    // while Process runs, or while the processing mutex is held) is made
    // again at the next tick.
    Complete(vcam, 0);
    EXPECT_TRUE(vcam->processPending);
    {
        ScopedVariant dropped(host::Variant::AttemptUnderProcessingMutex, "dropped");
        KsPinAcquireProcessingMutex(pin->KsPin());
        Complete(vcam, 0);  // dropped
        KsPinReleaseProcessingMutex(pin->KsPin());
        HostKernel::DrainDpcs();
        EXPECT_TRUE(vcam->processPending);
        CaptureBuffer& a = Buffer(kUnfillable);
        // Frames reach the edge without a trigger while the mutex is held.
        // The client submits from a thread of its own, as a client does (a
        // client never holds the driver's processing mutex).
        KsPinAcquireProcessingMutex(pin->KsPin());
        NTSTATUS submitted = STATUS_UNSUCCESSFUL;
        std::thread client([&] { submitted = pin->Submit(a.data(), a.size()); });
        client.join();
        KsPinReleaseProcessingMutex(pin->KsPin());
        ASSERT_EQ(submitted, STATUS_SUCCESS);
        HostKernel::DrainDpcs();
        EXPECT_TRUE(Clones(pin).empty());
        Complete(vcam, 0);  // the next tick asks again, and this time it is heard
        HostKernel::DrainDpcs();
        EXPECT_EQ(Clones(pin).size(), 1u);
    }
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

TEST_F(PinStreaming, EachFrameGetsOneCloneQueuedWithItsWholeBuffer) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    const uint64_t clonesBefore = KsFaults::Clones();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);

    EXPECT_EQ(KsFaults::Clones(), clonesBefore + 2);
    std::vector<PKSSTREAM_POINTER> clones = Clones(pin);
    ASSERT_EQ(clones.size(), 2u);
    EXPECT_EQ(clones[0]->StreamHeader->Data, a.data());
    EXPECT_EQ(clones[1]->StreamHeader->Data, b.data());
    // Each cursor moved past the piece the engine took, and the pin's own
    // count says the whole frame was handed over; DataUsed is still the
    // client's (no image is in the buffer yet).
    EXPECT_EQ(Cursor(clones[0]), a.bytes.data() + kImageSize);
    EXPECT_EQ(Cursor(clones[1]), b.bytes.data() + kImageSize);
    EXPECT_EQ(HandedOver(clones[0]), kImageSize);
    EXPECT_EQ(HandedOver(clones[1]), kImageSize);
    EXPECT_EQ(clones[0]->StreamHeader->DataUsed, 0u);
    EXPECT_EQ(Engine()->queuedCount, 2u);
    EXPECT_EQ(Engine()->queuedBytes, 2 * kImageSize);
    EXPECT_EQ(Vcam(pin)->pendingClone, nullptr);
}

TEST_F(PinStreaming, UsedUpQueueEndsProcessWithSuccessAndLeavesTheFlag) {
    // Frames queued before RUN: the first Process hands them all over and
    // finds the queue used up, leaving processPending as it was (clear).
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    EXPECT_TRUE(Clones(pin).empty());  // no Process before RUN
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Clones(pin).size(), 2u);
    EXPECT_FALSE(Vcam(pin)->processPending);

    // Once set (by a Process with nothing queued), the next Process, which
    // hands everything over, clears it.
    EXPECT_EQ(Vcam(pin)->Process(), STATUS_PENDING);
    ASSERT_TRUE(Vcam(pin)->processPending);
    CaptureBuffer& c = Buffer();
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    EXPECT_EQ(Clones(pin).size(), 3u);
    EXPECT_FALSE(Vcam(pin)->processPending);
}

TEST_F(PinStreaming, FramesWithoutDataArePassedOverWithoutACloneOrTheEngine) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    const uint64_t clonesBefore = KsFaults::Clones();
    uint64_t empty1 = 0, real = 0, empty2 = 0;
    ASSERT_EQ(pin->Submit(nullptr, kImageSize, &empty1), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(a.data(), a.size(), &real), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(nullptr, kImageSize, &empty2), STATUS_SUCCESS);

    EXPECT_EQ(KsFaults::Clones(), clonesBefore + 1);
    EXPECT_EQ(Engine()->queuedCount, 1u);
    // The empty frames went straight back, marked as holding nothing (over
    // the client's fill pattern) and not numbered.
    std::vector<host::CompletedFrame> early = TakeAll(pin);
    ASSERT_EQ(early.size(), 2u);
    EXPECT_EQ(early[0].ticket, empty1);
    EXPECT_EQ(early[1].ticket, empty2);
    for (const auto& frame : early) {
        EXPECT_EQ(frame.header.DataUsed, 0u);
        EXPECT_EQ(frame.header.OptionsFlags, 0u);
        EXPECT_EQ(frame.header.Duration, 0);
        EXPECT_EQ(frame.header.PresentationTime.Time, 0);
    }
    Ticks(2);
    std::vector<host::CompletedFrame> later = TakeAll(pin);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].ticket, real);
    EXPECT_EQ(later[0].frameInfo.PictureNumber, 1);
}

TEST_F(PinStreaming, EmptyBufferIsPassedOverLikeAMissingOne) {
    // A frame with no room is no piece the engine could fill.
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& none = Buffer(1);
    const uint64_t clonesBefore = KsFaults::Clones();
    ASSERT_EQ(pin->Submit(none.data(), 0), STATUS_SUCCESS);
    EXPECT_EQ(KsFaults::Clones(), clonesBefore);
    EXPECT_EQ(Engine()->queuedCount, 0u);
    EXPECT_EQ(pin->CompletedCount(), 1u);
    EXPECT_EQ(Vcam(pin)->pendingClone, nullptr);
}

TEST_F(PinStreaming, RefusedPieceWaitsInPendingCloneWithItsCursor) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    VcamPin* vcam = Vcam(pin);
    CaptureBuffer& a = Buffer();

    // The engine can get no queue entry.
    Verifier::FailTag(kEntryTag);
    const uint64_t clonesBefore = KsFaults::Clones();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    EXPECT_EQ(KsFaults::Clones(), clonesBefore + 1);
    ASSERT_NE(vcam->pendingClone, nullptr);
    PKSSTREAM_POINTER refused = vcam->pendingClone;
    EXPECT_EQ(Cursor(refused), a.bytes.data());
    EXPECT_EQ(refused->StreamHeader->DataUsed, 0u);  // the edge did not move
    EXPECT_TRUE(vcam->processPending);
    EXPECT_EQ(Engine()->queuedCount, 0u);
    // Offered again while still refused: pending again, same clone, no new one.
    EXPECT_EQ(vcam->Process(), STATUS_PENDING);
    EXPECT_EQ(vcam->pendingClone, refused);
    EXPECT_EQ(KsFaults::Clones(), clonesBefore + 1);

    // Entries to be had again: the next tick's completion call asks for
    // processing, which hands the same clone over with the same cursor.
    Verifier::ClearFaults();
    Tick();
    EXPECT_EQ(vcam->pendingClone, nullptr);
    EXPECT_EQ(KsFaults::Clones(), clonesBefore + 1);
    ASSERT_EQ(Engine()->queuedCount, 1u);
    std::vector<PKSSTREAM_POINTER> clones = Clones(pin);
    ASSERT_EQ(clones.size(), 1u);
    EXPECT_EQ(clones[0], refused);
    EXPECT_EQ(Cursor(refused), a.bytes.data() + kImageSize);

    // And it is filled and comes back whole.
    Ticks(2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header.DataUsed, kImageSize);
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
}

TEST_F(PinStreaming, FailedCloneUnlocksTheEdgeAndPends) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    KsFaults::FailAllClones(true);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    EXPECT_TRUE(Vcam(pin)->processPending);
    EXPECT_EQ(Vcam(pin)->Process(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Vcam(pin)->pendingClone, nullptr);
    EXPECT_EQ(Engine()->queuedCount, 0u);
    KsFaults::FailAllClones(false);
    // The next tick asks for processing; the frame gets its clone then.
    Ticks(3);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header.DataUsed, kImageSize);
    // STOP finds no stream pointer left locked (the verifier would say).
}

TEST_F(PinStreaming, RefusedCloneIsNotReusedAfterTheWayDown) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    Verifier::FailTag(kEntryTag);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_NE(Vcam(pin)->pendingClone, nullptr);
    Verifier::ClearFaults();

    // Down to ACQUIRE deletes every clone, the refused one too.
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->pendingClone, nullptr);
    EXPECT_TRUE(Clones(pin).empty());

    // The frame is still at the leading edge: back in RUN it gets a new clone
    // and is delivered (a deleted clone handed over again would be reported).
    const uint64_t clonesBefore = KsFaults::Clones();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(KsFaults::Clones(), clonesBefore + 1);
    Ticks(2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header.DataUsed, kImageSize);
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
}

// ---- FramesCompleted --------------------------------------------------------------

TEST_F(PinStreaming, FramesComeBackOldestFirstNumberedFromOne) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    std::vector<CaptureBuffer*> buffers;
    for (int i = 0; i < 3; ++i) {
        buffers.push_back(&Buffer(kImageSize, static_cast<uint8_t>(0x10 + i)));
    }
    std::vector<uint64_t> tickets(3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(pin->Submit(buffers[i]->data(), buffers[i]->size(), &tickets[i]), STATUS_SUCCESS);
    }
    Ticks(4);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(frames[i].ticket, tickets[i]);
        EXPECT_EQ(frames[i].status, STATUS_SUCCESS);
        EXPECT_EQ(frames[i].header.DataUsed, kImageSize);
        ASSERT_TRUE(frames[i].hasFrameInfo);
        EXPECT_EQ(frames[i].frameInfo.PictureNumber, i + 1);
        EXPECT_EQ(frames[i].frameInfo.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
        EXPECT_EQ(frames[i].frameInfo.dwFrameFlags, 0u);
        EXPECT_EQ(frames[i].frameInfo.DropCount, 0);
        // The image went in: the buffer no longer holds what the client put there.
        EXPECT_NE(buffers[i]->bytes[0], 0x10 + i);
    }
}

TEST_F(PinStreaming, WithAClockFramesCarryItsStreamTimeAndExactlyBothValidFlags) {
    const int64_t runStart = HostKernel::Now();
    PinHandle* pin = RunningPin(true);
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    // Whatever the flags held before are replaced.
    std::vector<PKSSTREAM_POINTER> clones = Clones(pin);
    ASSERT_EQ(clones.size(), 1u);
    clones[0]->StreamHeader->OptionsFlags = 0xFFFF0001;
    clones[0]->StreamHeader->PresentationTime.Numerator = 7;

    int64_t tickTime = -1;
    for (int i = 0; i < 4 && pin->CompletedCount() == 0; ++i) {
        tickTime = HostKernel::NextExpiry();  // the interrupt at which the tick runs
        Tick();
    }
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    const KSSTREAM_HEADER& header = frames[0].header;
    EXPECT_EQ(header.OptionsFlags, 0x110u);
    // Stream time at the tick: the time run since the pin entered RUN.
    EXPECT_EQ(header.PresentationTime.Time, tickTime - runStart);
    EXPECT_EQ(header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(header.PresentationTime.Denominator, 1u);
    EXPECT_EQ(header.Duration, kPeriod);
}

TEST_F(PinStreaming, WithoutAClockTimeIsZeroAndOnlyTheDurationIsValid) {
    PinHandle* pin = RunningPin(false);
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    std::vector<PKSSTREAM_POINTER> clones = Clones(pin);
    ASSERT_EQ(clones.size(), 1u);
    clones[0]->StreamHeader->OptionsFlags = 0x5;
    clones[0]->StreamHeader->PresentationTime.Time = 123456;
    Ticks(2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    const KSSTREAM_HEADER& header = frames[0].header;
    EXPECT_EQ(header.OptionsFlags, static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_DURATIONVALID));
    EXPECT_EQ(header.DataUsed, kImageSize);
    EXPECT_EQ(header.PresentationTime.Time, 0);
    EXPECT_EQ(header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(header.PresentationTime.Denominator, 1u);
    EXPECT_EQ(header.Duration, kPeriod);
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
}

TEST_F(PinStreaming, ShortHeadersGetNoFrameInfoButStillCount) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    CaptureBuffer& c = Buffer();
    // A bare KSSTREAM_HEADER, and one a byte short of holding a KS_FRAME_INFO.
    ASSERT_EQ(pin->SubmitWithHeaderSize(a.data(), a.size(), sizeof(KSSTREAM_HEADER)),
              STATUS_SUCCESS);
    ASSERT_EQ(pin->SubmitWithHeaderSize(b.data(), b.size(), 127), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    Ticks(4);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_FALSE(frames[0].hasFrameInfo);
    EXPECT_EQ(frames[0].header.Duration, kPeriod);  // stamped all the same
    ASSERT_EQ(frames[1].headerBytes.size(), 127u);
    for (size_t i = sizeof(KSSTREAM_HEADER); i < 127; ++i) {
        EXPECT_EQ(frames[1].headerBytes[i], 0) << "byte " << i << " behind a short header";
    }
    ASSERT_TRUE(frames[2].hasFrameInfo);
    EXPECT_EQ(frames[2].frameInfo.PictureNumber, 3);
}

TEST_F(PinStreaming, CountZeroTouchesNoCloneAndAsksForProcessing) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    VcamPin* vcam = Vcam(pin);
    vcam->processPending = TRUE;
    Complete(vcam, 0);
    EXPECT_EQ(Clones(pin).size(), 1u);
    EXPECT_EQ(vcam->frameNumber, 0);
    EXPECT_EQ(pin->CompletedCount(), 0u);
    EXPECT_TRUE(vcam->processPending);  // until a Process runs
    HostKernel::DrainDpcs();
    EXPECT_TRUE(vcam->processPending);  // the requested Process ran, found nothing new
}

TEST_F(PinStreaming, CountBeyondTheClonesCompletesThemAllAndStops) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer(kUnfillable);
    CaptureBuffer& b = Buffer(kUnfillable);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    // Both pieces were handed over whole (the pin's count shows it); say
    // three are done.
    Complete(Vcam(pin), 3);
    EXPECT_TRUE(Clones(pin).empty());
    EXPECT_EQ(Vcam(pin)->frameNumber, 2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.Data, a.data());
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
    EXPECT_EQ(frames[1].header.Data, b.data());
    EXPECT_EQ(frames[1].frameInfo.PictureNumber, 2);
}

TEST_F(PinStreaming, CountBelowTheClonesLeavesTheYoungerOnes) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer(kUnfillable);
    CaptureBuffer& b = Buffer(kUnfillable);
    CaptureBuffer& c = Buffer(kUnfillable);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    Complete(Vcam(pin), 2);
    std::vector<PKSSTREAM_POINTER> left = Clones(pin);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0]->StreamHeader->Data, c.data());
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.Data, a.data());
    EXPECT_EQ(frames[1].header.Data, b.data());
}

TEST_F(PinStreaming, PartlyFilledCloneStaysAndEndsTheWalk) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer(kUnfillable);
    CaptureBuffer& b = Buffer(kUnfillable);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    std::vector<PKSSTREAM_POINTER> clones = Clones(pin);
    ASSERT_EQ(clones.size(), 2u);
    // The older frame as a tick would see it while only part of it is noted
    // as handed over.
    VcamPin::ContextOf(clones[0])->handedOver = 1000;

    Complete(Vcam(pin), 5);
    std::vector<PKSSTREAM_POINTER> after = Clones(pin);
    ASSERT_EQ(after.size(), 2u);  // the younger, complete one was not looked at
    EXPECT_EQ(after[0], clones[0]);
    EXPECT_EQ(Vcam(pin)->frameNumber, 0);
    EXPECT_EQ(pin->CompletedCount(), 0u);
    EXPECT_EQ(static_cast<ULONGLONG>(clones[1]->StreamHeader->Duration), 0xA5A5A5A5A5A5A5A5ull);

    // Once the rest is in, a later call completes both, in order.
    VcamPin::ContextOf(clones[0])->handedOver = kUnfillable;
    Complete(Vcam(pin), 2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.Data, a.data());
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
    EXPECT_EQ(frames[1].frameInfo.PictureNumber, 2);
}

TEST_F(PinStreaming, FillReportedBeforeTheEdgeMovedIsCompletedOnTheNextTick) {
    // A tick fills a piece that Process has queued but not yet moved the
    // leading edge past: the report of that fill must not be lost, or the
    // frame would lag a tick behind and come back empty at stop.
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer(kUnfillable);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    std::vector<PKSSTREAM_POINTER> clones = Clones(pin);
    ASSERT_EQ(clones.size(), 1u);
    // As between the engine's taking the piece and Process noting it.
    VcamPin::ContextOf(clones[0])->handedOver = 0;

    Complete(Vcam(pin), 1);
    EXPECT_EQ(pin->CompletedCount(), 0u);
    EXPECT_EQ(Vcam(pin)->owedCompletions, 1u);

    // Noted now; the next tick reports no new fill.
    VcamPin::ContextOf(clones[0])->handedOver = kUnfillable;
    Complete(Vcam(pin), 0);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
    EXPECT_EQ(Vcam(pin)->owedCompletions, 0u);
}

TEST_F(PinStreaming, CompletionRunsAtDispatchLevelWithoutPageableCode) {
    // A whole stream on the virtual clock: ticks call FramesCompleted from
    // the DPC; the verifier reports pageable code run there.
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    for (int i = 0; i < 6; ++i) {
        CaptureBuffer& buffer = Buffer();
        ASSERT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
    }
    Ticks(8);
    EXPECT_EQ(pin->CompletedCount(), 6u);
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

// ---- the clock ------------------------------------------------------------------

TEST_F(PinStreaming, AClockAssignedAfterAcquireIsPickedUpOnTheWayToRun) {
    PinOptions options;
    options.clock = PinOptions::Clock::BeforePause;  // late: after the pin acquired
    PinHandle* pin = NewPin(options);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->referenceClock, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_NE(Vcam(pin)->referenceClock, nullptr);
    CaptureBuffer& a = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    Ticks(2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header.OptionsFlags, 0x110u);
    EXPECT_GT(frames[0].header.PresentationTime.Time, 0);
}

TEST_F(PinStreaming, UnderPassiveOnlyClockCallsTheTickMakesNone) {
    // FramesCompleted runs in the engine's DPC: it extrapolates from the
    // correlation Process took at PASSIVE_LEVEL and calls no clock there.
    ScopedVariant passiveOnly(host::Variant::ClockCallIrql, "passive-only");
    const int64_t runStart = HostKernel::Now();
    PinHandle* pin = RunningPin(true);
    ASSERT_NE(pin, nullptr);
    std::vector<int64_t> tickTimes;
    for (int i = 0; i < 3; ++i) {
        CaptureBuffer& buffer = Buffer();
        ASSERT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
    }
    for (int i = 0; i < 4 && pin->CompletedCount() < 3; ++i) {
        // The tick runs at the clock interrupt where its timer expires.
        tickTimes.push_back(HostKernel::NextExpiry());
        Tick();
    }
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    for (size_t i = 0; i < frames.size(); ++i) {
        // Exact on the virtual clock: stream time at the tick that filled it.
        EXPECT_EQ(frames[i].header.PresentationTime.Time, tickTimes[i] - runStart);
    }
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

TEST_F(PinStreaming, AfterAResumeTheFirstTickStampsFromTheCorrelationTakenEnteringRun) {
    // Stream time stood still while paused. The pin correlates as it enters
    // RUN, before the engine resumes, so the first tick after the resume
    // stamps its frame at once; the first Process in RUN then takes the
    // run's own correlation.
    const int64_t runStart = HostKernel::Now();
    PinHandle* pin = RunningPin(true);
    ASSERT_NE(pin, nullptr);
    for (int i = 0; i < 3; ++i) {
        CaptureBuffer& buffer = Buffer();
        ASSERT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
    }
    Tick();
    // The pause's last tick fills the second.
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    const int64_t pausedAt = HostKernel::Now();
    std::vector<host::CompletedFrame> before = TakeAll(pin);
    ASSERT_EQ(before.size(), 2u);
    HostKernel::AdvanceBy(10 * kPeriod);
    const int64_t resumedAt = HostKernel::Now();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // Every frame was with the engine already: no Process ran on the resume.
    EXPECT_TRUE(Vcam(pin)->clockCorrelated);
    EXPECT_FALSE(Vcam(pin)->clockRefined);
    const int64_t tickTime = HostKernel::NextExpiry();
    Tick();
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header.OptionsFlags, 0x110u);
    // Stream time went on from where the pause left it, not counting the
    // system time that passed while paused.
    // (Within one clock interrupt interval: the pin extrapolates with the
    // interrupt time of the last clock interrupt.)
    EXPECT_NEAR(frames[0].header.PresentationTime.Time,
                (pausedAt - runStart) + (tickTime - resumedAt), HostKernel::TickInterval());
    CaptureBuffer& more = Buffer();
    ASSERT_EQ(pin->Submit(more.data(), more.size()), STATUS_SUCCESS);
    EXPECT_TRUE(Vcam(pin)->clockRefined);
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

// ---- the way down ------------------------------------------------------------------

TEST_F(PinStreaming, AProcessAfterTheWayDownHandsTheStoppedEngineNothing) {
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    CaptureBuffer& a = Buffer();
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);  // no Process in ACQUIRE
    // A Process that began before the state change and goes on after it,
    // as on another processor: the stream gate is shut.
    KsPinAcquireProcessingMutex(pin->KsPin());
    EXPECT_EQ(Vcam(pin)->Process(), STATUS_PENDING);
    KsPinReleaseProcessingMutex(pin->KsPin());
    EXPECT_TRUE(Clones(pin).empty());
    EXPECT_EQ(Vcam(pin)->pendingClone, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

TEST_F(PinStreaming, AStoppedEngineRefusesAPieceCleanly) {
    CaptureBuffer& a = Buffer();
    PUCHAR cursor = a.bytes.data();
    // Never started: its entry list does not exist yet.
    EXPECT_EQ(Engine()->QueueBuffer(nullptr, &cursor, a.size()), 0u);
    // Started and stopped again: its entry list is gone.
    PinHandle* pin = RunningPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Engine()->QueueBuffer(nullptr, &cursor, a.size()), 0u);
    EXPECT_EQ(cursor, a.bytes.data());
    EXPECT_EQ(Verifier::ViolationCount(), 0u) << Verifier::Describe();
}

}  // namespace
}  // namespace pintest
