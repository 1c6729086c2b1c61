// The pin's queue as the driver sees it through the stream pointer calls:
// the leading edge, clones with their contexts, offset advances (which never
// write DataUsed on a pin without GENERATE_MAPPINGS: that is the driver's),
// STATUS_DEVICE_NOT_READY past the last frame, and frames coming back only
// when no edge and no clone holds them, in the order they are freed, with
// their headers as the driver left them and the client wrote them. The test plays the driver: its
// Process does nothing, and the test thread makes the calls (PASSIVE_LEVEL).
#include "KsMiniDriver.h"
#include "support/ScopedVariant.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using ::testing::ElementsAre;

class KsStreamQueueTest : public KsTest {
  protected:
    void SetUp() override {
        KsTest::SetUp();
        Mini().process = [](PKSPIN) { return STATUS_PENDING; };
        ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        pin = rig.pin->KsPin();
    }

    uint64_t Submit(UCHAR* buffer, ULONG size) {
        uint64_t ticket = 0;
        EXPECT_EQ(rig.pin->Submit(buffer, size, &ticket), STATUS_SUCCESS);
        return ticket;
    }

    std::vector<uint64_t> TakeAll() {
        std::vector<uint64_t> tickets;
        host::CompletedFrame frame;
        while (rig.pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
            tickets.push_back(frame.ticket);
        }
        return tickets;
    }

    PKSSTREAM_POINTER Clone(PKSSTREAM_POINTER from, ULONG contextSize = 8) {
        PKSSTREAM_POINTER clone = nullptr;
        EXPECT_EQ(KsStreamPointerClone(from, nullptr, contextSize, &clone), STATUS_SUCCESS);
        return clone;
    }

    PKSPIN pin = nullptr;
    UCHAR buffers[4][1000] = {};
};

TEST_F(KsStreamQueueTest, TheLeadingEdgeIsNullUntilAFrameArrivesThenPointsAtIt) {
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    Submit(buffers[0], 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->Pin, pin);
    EXPECT_EQ(edge->Context, nullptr);
    EXPECT_EQ(edge->Offset, &edge->OffsetOut);
    PKSSTREAM_HEADER header = edge->StreamHeader;
    EXPECT_EQ(header->Size, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(header->FrameExtent, 1000u);
    EXPECT_EQ(header->DataUsed, 0u);
    EXPECT_EQ(header->Data, buffers[0]);
    // What the driver must write arrives as the client left it: the host
    // client's fill pattern, so a write the driver forgets shows.
    EXPECT_EQ(static_cast<ULONGLONG>(header->PresentationTime.Time), 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(static_cast<ULONGLONG>(header->Duration), 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(header->OptionsFlags, 0xA5A5A5A5u);
    const auto* info = reinterpret_cast<const KS_FRAME_INFO*>(header + 1);
    EXPECT_EQ(info->PictureNumber, static_cast<LONGLONG>(0xA5A5A5A5A5A5A5A5ull));
    EXPECT_EQ(info->dwFrameFlags, 0xA5A5A5A5u);
    EXPECT_EQ(info->lSurfacePitch, 0);  // no surface described
    EXPECT_EQ(edge->OffsetOut.Data, buffers[0]);
    EXPECT_EQ(edge->OffsetOut.Count, 1000u);
    EXPECT_EQ(edge->OffsetOut.Remaining, 1000u);
    KsStreamPointerUnlock(edge, FALSE);
}

TEST_F(KsStreamQueueTest, UnlockedTheLeadingEdgeIsThereEvenOnNoFrame) {
    // Frameless, the edge got unlocked is the edge, with no header and no
    // bytes; got locked, it is NULL.
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->StreamHeader, nullptr);
    EXPECT_EQ(edge->OffsetOut.Remaining, 0u);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    // The same pointer for life: once a frame arrives it is on it.
    Submit(buffers[0], 1000);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED), edge);
    EXPECT_EQ(edge->StreamHeader->Data, buffers[0]);
    // Used up, it is frameless again, and still there unlocked.
    ASSERT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), edge);
    EXPECT_EQ(KsStreamPointerAdvance(edge), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED), edge);
    EXPECT_EQ(edge->StreamHeader, nullptr);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

TEST_F(KsStreamQueueTest, HeadersHaveThePinsSizeOrTheOneTheClientAsksFor) {
    uint64_t ticket = 0;
    EXPECT_EQ(rig.pin->SubmitWithHeaderSize(buffers[0], 10, sizeof(KSSTREAM_HEADER), &ticket),
              STATUS_SUCCESS);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->StreamHeader->Size, sizeof(KSSTREAM_HEADER));
    EXPECT_EQ(rig.pin->SubmitWithHeaderSize(buffers[1], 10, sizeof(KSSTREAM_HEADER) - 8),
              STATUS_INVALID_PARAMETER);
}

TEST_F(KsStreamQueueTest, OnAGenerateMappingsPinTheEdgeLeavingAFrameSetsItsDataUsed) {
    // A pin whose own descriptor asks for mappings, edited in its Create (where
    // the platform holds the filter control mutex that guards the pin's bag).
    rig.pin.reset();
    Mini().pinCreated = [](PKSPIN created) {
        ASSERT_EQ(KsEdit(created, &created->Descriptor, host::PoolTag("TDsc")), STATUS_SUCCESS);
        const_cast<PKSPIN_DESCRIPTOR_EX>(created->Descriptor)->Flags |=
            KSPIN_FLAG_GENERATE_MAPPINGS;
    };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    pin = rig.pin->KsPin();
    Submit(buffers[0], 1000);
    Submit(buffers[1], 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER clone = Clone(edge);
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(clone, 0, 500, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(edge->StreamHeader->DataUsed, 0u);  // edges only (the default)
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 300, TRUE), STATUS_SUCCESS);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 300u);  // Count - Remaining of OffsetOut
    {
        // any-pointer: the clone leaving its frame sets it too.
        ScopedVariant any(host::Variant::MappingsDataUsedPointers, "any-pointer");
        ASSERT_EQ(KsStreamPointerAdvanceOffsets(clone, 0, 100, TRUE), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(edge->StreamHeader->DataUsed, 100u);
    }
    {
        // offset-in: an output pin's OffsetIn never moves: 0.
        ScopedVariant in(host::Variant::MappingsDataUsedOffset, "offset-in");
        ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 700, TRUE), STATUS_DEVICE_NOT_READY);
    }
    KsStreamPointerDelete(clone);
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u);
}

TEST_F(KsStreamQueueTest, AClientsOwnHeaderContentsArriveAsGiven) {
    rig.pin.reset();
    host::PinOptions options;
    options.headerFill = 0;
    options.submitDataUsed = 77;
    ASSERT_EQ(OpenCapturePin(options), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    pin = rig.pin->KsPin();
    Submit(buffers[0], 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->StreamHeader->DataUsed, 77u);
    EXPECT_EQ(edge->StreamHeader->PresentationTime.Time, 0);
    EXPECT_EQ(edge->StreamHeader->OptionsFlags, 0u);
}

TEST_F(KsStreamQueueTest, AnOutOffsetAdvanceMovesTheOffsetAndLeavesDataUsedToTheDriver) {
    Submit(buffers[0], 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 300, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(edge->StreamHeader->DataUsed, 0u);
    EXPECT_EQ(edge->OffsetOut.Count, 1000u);
    EXPECT_EQ(edge->OffsetOut.Remaining, 700u);
    EXPECT_EQ(edge->OffsetOut.Data, buffers[0] + 300);

    // A clone starts with the edge's offsets; its advances leave DataUsed.
    PKSSTREAM_POINTER clone = Clone(edge);
    EXPECT_EQ(clone->OffsetOut.Remaining, 700u);
    EXPECT_EQ(clone->OffsetOut.Data, buffers[0] + 300);
    EXPECT_EQ(clone->StreamHeader, edge->StreamHeader);
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(clone, 0, 200, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(clone->OffsetOut.Remaining, 500u);
    EXPECT_EQ(edge->OffsetOut.Remaining, 700u);
    EXPECT_EQ(edge->StreamHeader->DataUsed, 0u);
    KsStreamPointerDelete(clone);
    KsStreamPointerUnlock(edge, FALSE);
}

TEST_F(KsStreamQueueTest, AClonesContextFollowsItAndItStartsWithItsParentsLock) {
    Submit(buffers[0], 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER clone = Clone(edge, 8);
    EXPECT_EQ(clone->Context, reinterpret_cast<UCHAR*>(clone) + sizeof(KSSTREAM_POINTER));
    EXPECT_EQ(clone->Pin, pin);
    // Locked like its parent: unlocking it is no double unlock.
    KsStreamPointerUnlock(clone, FALSE);
    KsStreamPointerUnlock(edge, FALSE);
    // Made from an unlocked edge, a clone starts unlocked.
    PKSSTREAM_POINTER unlockedClone = Clone(edge, 0);
    EXPECT_EQ(unlockedClone->Context, nullptr);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
    KsStreamPointerUnlock(unlockedClone, FALSE);
    ExpectViolations({host::Rule::StreamPointer});
    KsStreamPointerDelete(clone);
    KsStreamPointerDelete(unlockedClone);
}

TEST_F(KsStreamQueueTest, UsingUpAFrameMovesToTheNextAndPastTheLastIsNotReady) {
    Submit(buffers[0], 1000);
    Submit(buffers[1], 500);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    // One call never moves past the start of the next frame.
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 1000, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(edge->StreamHeader->Data, buffers[1]);
    EXPECT_EQ(edge->OffsetOut.Remaining, 500u);
    EXPECT_THAT(TakeAll(), ElementsAre(1u));
    // Relocked on the next frame: one unlock is allowed, and nothing more.
    EXPECT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 500, FALSE), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    EXPECT_THAT(TakeAll(), ElementsAre(2u));
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);

    // The edge waits for the next frame, and is not locked there.
    Submit(buffers[2], 10);
    edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->StreamHeader->Data, buffers[2]);
    KsStreamPointerUnlock(edge, FALSE);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
}

TEST_F(KsStreamQueueTest, AdvanceMovesToTheNextFrameWhateverIsLeft) {
    Submit(buffers[0], 1000);
    Submit(buffers[1], 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 10, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(KsStreamPointerAdvance(edge), STATUS_SUCCESS);
    EXPECT_EQ(edge->StreamHeader->Data, buffers[1]);
    EXPECT_EQ(edge->OffsetOut.Remaining, 1000u);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u);
    // An eject moves on after a partial use too.
    EXPECT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 1, TRUE), STATUS_DEVICE_NOT_READY);
}

TEST_F(KsStreamQueueTest, AFrameComesBackOnlyWhenNoEdgeAndNoCloneHoldsIt) {
    Submit(buffers[0], 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER clone = Clone(edge);
    EXPECT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 1000, FALSE), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(rig.pin->CompletedCount(), 0u);
    // The driver stamps the header through its clone before letting go.
    PKSSTREAM_HEADER header = clone->StreamHeader;
    header->PresentationTime.Time = 4242;
    header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
    auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    info->PictureNumber = 17;
    KsStreamPointerDelete(clone);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u);  // not written by this driver
    EXPECT_EQ(static_cast<ULONGLONG>(frame.header.Duration), 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(frame.header.PresentationTime.Time, 4242);
    EXPECT_EQ(frame.header.OptionsFlags, static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_TIMEVALID));
    ASSERT_TRUE(frame.hasFrameInfo);
    EXPECT_EQ(frame.frameInfo.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_EQ(frame.frameInfo.PictureNumber, 17);
    EXPECT_EQ(frame.headerBytes.size(), sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(frame.data, buffers[0]);
    EXPECT_EQ(frame.bufferSize, 1000u);
}

TEST_F(KsStreamQueueTest, FramesComeBackInTheOrderTheyAreLetGo) {
    PKSSTREAM_POINTER clones[3];
    for (int i = 0; i < 3; ++i) {
        Submit(buffers[i], 100);
    }
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    for (int i = 0; i < 3; ++i) {
        clones[i] = Clone(edge);
        KsStreamPointerAdvanceOffsets(edge, 0, 100, FALSE);
    }
    EXPECT_EQ(rig.pin->CompletedCount(), 0u);
    KsStreamPointerDelete(clones[1]);
    KsStreamPointerDelete(clones[0]);
    KsStreamPointerDelete(clones[2]);
    EXPECT_THAT(TakeAll(), ElementsAre(2u, 1u, 3u));
}

TEST_F(KsStreamQueueTest, ClonesAreWalkedInTheOrderTheyWereMade) {
    Submit(buffers[0], 100);
    Submit(buffers[1], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), nullptr);
    PKSSTREAM_POINTER a = Clone(edge);
    KsStreamPointerAdvanceOffsets(edge, 0, 100, FALSE);
    PKSSTREAM_POINTER b = Clone(edge);
    PKSSTREAM_POINTER c = Clone(edge);
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), a);
    EXPECT_EQ(KsStreamPointerGetNextClone(a), b);
    EXPECT_EQ(KsStreamPointerGetNextClone(b), c);
    EXPECT_EQ(KsStreamPointerGetNextClone(c), nullptr);
    KsStreamPointerDelete(a);
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), b);
    EXPECT_THAT(TakeAll(), ElementsAre(1u));
    KsStreamPointerDelete(b);
    KsStreamPointerDelete(c);
    KsStreamPointerUnlock(edge, FALSE);
}

TEST_F(KsStreamQueueTest, AnAdvancedCloneTakesItsHoldToTheNextFrame) {
    Submit(buffers[0], 100);
    Submit(buffers[1], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER clone = Clone(edge);
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 100, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(rig.pin->CompletedCount(), 0u);
    ASSERT_EQ(KsStreamPointerAdvance(clone), STATUS_SUCCESS);
    EXPECT_EQ(clone->StreamHeader->Data, buffers[1]);
    EXPECT_THAT(TakeAll(), ElementsAre(1u));
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 100, FALSE), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(rig.pin->CompletedCount(), 0u);
    // Past the last frame the clone holds nothing, and the frame goes back.
    EXPECT_EQ(KsStreamPointerAdvance(clone), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(clone->StreamHeader, nullptr);
    EXPECT_THAT(TakeAll(), ElementsAre(2u));
    KsStreamPointerDelete(clone);
}

TEST_F(KsStreamQueueTest, AFrameWithoutDataHasNoBytesToUse) {
    Submit(nullptr, 1000);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->StreamHeader->Data, nullptr);
    EXPECT_EQ(edge->StreamHeader->FrameExtent, 1000u);
    EXPECT_EQ(edge->OffsetOut.Data, nullptr);
    EXPECT_EQ(edge->OffsetOut.Remaining, 0u);
    EXPECT_EQ(KsStreamPointerAdvance(edge), STATUS_DEVICE_NOT_READY);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.data, nullptr);
    EXPECT_EQ(frame.header.DataUsed, 0u);
}

TEST_F(KsStreamQueueTest, StopFlushesQueuedFramesButFramesHeldByClonesWait) {
    Submit(buffers[0], 100);
    Submit(buffers[1], 100);
    Submit(buffers[2], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER clone = Clone(edge);
    ASSERT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 100, FALSE), STATUS_SUCCESS);
    KsStreamPointerUnlock(edge, FALSE);
    KsStreamPointerUnlock(clone, FALSE);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.ticket, 2u);
    EXPECT_EQ(frame.status, STATUS_CANCELLED);
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.ticket, 3u);
    EXPECT_EQ(rig.pin->CompletedCount(), 0u);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    KsStreamPointerDelete(clone);
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.ticket, 1u);
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u);
}

TEST_F(KsStreamQueueTest, WithTheEdgeKeptAtStopOnlyTheFramesBehindItGoBack) {
    ScopedVariant kept(host::Variant::LeadingEdgeAtStop, "kept");
    Submit(buffers[0], 100);
    Submit(buffers[1], 100);
    Submit(buffers[2], 100);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_THAT(TakeAll(), ElementsAre(2u, 3u));
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
    ASSERT_NE(edge, nullptr);
    EXPECT_EQ(edge->StreamHeader->Data, buffers[0]);
}

// A Cancel callback that deletes its clone, as the documentation asks.
std::atomic<int> gCancels{0};
KIRQL gCancelIrql = PASSIVE_LEVEL;
void DeleteOnCancel(PKSSTREAM_POINTER clone) {
    ++gCancels;
    gCancelIrql = KeGetCurrentIrql();
    KsStreamPointerDelete(clone);
}

TEST_F(KsStreamQueueTest, StopFramesDecidesWhatHappensToClonesLeftAtStop) {
    Submit(buffers[0], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER clone = nullptr;
    ASSERT_EQ(KsStreamPointerClone(edge, DeleteOnCancel, 0, &clone), STATUS_SUCCESS);
    KsStreamPointerUnlock(clone, FALSE);
    KsStreamPointerUnlock(edge, TRUE);  // eject: the edge leaves the frame
    gCancels = 0;
    {
        ScopedVariant cancel(host::Variant::StopFrames, "cancel-clones");
        ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    EXPECT_EQ(gCancels.load(), 1);
    EXPECT_EQ(gCancelIrql, DISPATCH_LEVEL);
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), nullptr);
    EXPECT_THAT(TakeAll(), ElementsAre(1u));

    // Under wait-for-clones a clone left at STOP would hang the stop.
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Submit(buffers[1], 100);
    edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    clone = Clone(edge);
    KsStreamPointerUnlock(clone, FALSE);
    KsStreamPointerUnlock(edge, FALSE);
    {
        ScopedVariant wait(host::Variant::StopFrames, "wait-for-clones");
        ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    ExpectViolations({host::Rule::StreamPointer});
    KsStreamPointerDelete(clone);
}

// ---- a client cancelling its reads ----------------------------------------

// A Cancel callback that leaves its clone alive.
void KeepOnCancel(PKSSTREAM_POINTER) {
    ++gCancels;
}
// A Cancel callback that makes a queue call besides deleting its clone.
void WalkOnCancel(PKSSTREAM_POINTER clone) {
    ++gCancels;
    EXPECT_EQ(KsStreamPointerGetNextClone(clone), nullptr);  // refused: reported
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(clone->Pin), nullptr);
    KsStreamPointerDelete(clone);
}

struct Done {
    uint64_t ticket;
    NTSTATUS status;
    bool operator==(const Done& other) const {
        return ticket == other.ticket && status == other.status;
    }
};
std::ostream& operator<<(std::ostream& out, const Done& done) {
    return out << "{" << done.ticket << ", 0x" << std::hex << static_cast<ULONG>(done.status)
               << std::dec << "}";
}

class KsStreamQueueCancelTest : public KsStreamQueueTest {
  protected:
    std::vector<Done> TakeDone() {
        std::vector<Done> done;
        host::CompletedFrame frame;
        while (rig.pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
            done.push_back({frame.ticket, frame.status});
        }
        return done;
    }
    PKSSTREAM_POINTER CloneWith(PKSSTREAM_POINTER from, PFNKSSTREAMPOINTER cancel) {
        PKSSTREAM_POINTER clone = nullptr;
        EXPECT_EQ(KsStreamPointerClone(from, cancel, 0, &clone), STATUS_SUCCESS);
        return clone;
    }
    PKSSTREAM_POINTER Edge() {
        return KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
    }
};

TEST_F(KsStreamQueueCancelTest, AnUnlockedReadIsCancelledAtOnceAndTheEdgeLeavesItsFrame) {
    const uint64_t first = Submit(buffers[0], 100);
    const uint64_t second = Submit(buffers[1], 100);
    const uint64_t third = Submit(buffers[2], 100);
    // Queued ahead of the edge: straight back.
    EXPECT_EQ(rig.pin->CancelRead(second), STATUS_SUCCESS);
    EXPECT_THAT(TakeDone(), ElementsAre(Done{second, STATUS_CANCELLED}));
    EXPECT_EQ(Edge()->StreamHeader->Data, buffers[0]);
    // At the (unlocked) edge: the edge moves to the next live frame.
    EXPECT_EQ(rig.pin->CancelRead(first), STATUS_SUCCESS);
    EXPECT_THAT(TakeDone(), ElementsAre(Done{first, STATUS_CANCELLED}));
    EXPECT_EQ(Edge()->StreamHeader->Data, buffers[2]);
    // Moved unlocked: locking it is no second lock.
    ASSERT_NE(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    KsStreamPointerUnlock(Edge(), FALSE);
    // The last one: the edge is on no frame.
    EXPECT_EQ(rig.pin->CancelRead(third), STATUS_SUCCESS);
    EXPECT_THAT(TakeDone(), ElementsAre(Done{third, STATUS_CANCELLED}));
    EXPECT_EQ(Edge()->StreamHeader, nullptr);
    // Reads no longer pending, or never sent, are not found.
    EXPECT_EQ(rig.pin->CancelRead(first), STATUS_NOT_FOUND);
    EXPECT_EQ(rig.pin->CancelRead(99), STATUS_NOT_FOUND);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

TEST_F(KsStreamQueueCancelTest, ALockedFrameIsCancelledWhenItsLastLockGoes) {
    const uint64_t first = Submit(buffers[0], 100);
    Submit(buffers[1], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER clone = CloneWith(edge, nullptr);  // locked, as its parent
    EXPECT_EQ(rig.pin->CancelRead(first), STATUS_SUCCESS);
    EXPECT_TRUE(TakeDone().empty());
    KsStreamPointerUnlock(edge, FALSE);
    // The clone still locks it: the edge stays, nothing comes back.
    EXPECT_EQ(edge->StreamHeader->Data, buffers[0]);
    EXPECT_TRUE(TakeDone().empty());
    KsStreamPointerUnlock(clone, FALSE);
    // Now it is cancelled: the edge moved on; the clone, which has no
    // callback, keeps the frame and cannot lock it again.
    EXPECT_EQ(edge->StreamHeader->Data, buffers[1]);
    EXPECT_TRUE(TakeDone().empty());
    EXPECT_EQ(clone->StreamHeader->Data, buffers[0]);
    EXPECT_EQ(KsStreamPointerLock(clone), STATUS_DEVICE_NOT_READY);
    KsStreamPointerDelete(clone);
    EXPECT_THAT(TakeDone(), ElementsAre(Done{first, STATUS_CANCELLED}));
    // A live frame can be locked again.
    PKSSTREAM_POINTER other = CloneWith(edge, nullptr);
    EXPECT_EQ(KsStreamPointerLock(other), STATUS_SUCCESS);
    KsStreamPointerDelete(other);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

TEST_F(KsStreamQueueCancelTest, UnlockedClonesGetTheirCancelAtDispatchUnderTheQueueLock) {
    const uint64_t first = Submit(buffers[0], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER unlocked = CloneWith(edge, DeleteOnCancel);
    PKSSTREAM_POINTER locked = CloneWith(edge, DeleteOnCancel);
    KsStreamPointerUnlock(unlocked, FALSE);
    KsStreamPointerUnlock(edge, TRUE);  // the edge leaves the frame
    gCancels = 0;
    gCancelIrql = PASSIVE_LEVEL;
    EXPECT_EQ(rig.pin->CancelRead(first), STATUS_SUCCESS);
    // Locked by a clone: no callback yet.
    EXPECT_EQ(gCancels.load(), 0);
    KsStreamPointerUnlock(locked, FALSE);
    // Both clones are unlocked now; each callback deleted its own clone.
    EXPECT_EQ(gCancels.load(), 2);
    EXPECT_EQ(gCancelIrql, DISPATCH_LEVEL);
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), nullptr);
    EXPECT_THAT(TakeDone(), ElementsAre(Done{first, STATUS_CANCELLED}));
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

TEST_F(KsStreamQueueCancelTest, ACancelThatKeepsItsCloneOrCallsTheQueueIsReported) {
    const uint64_t first = Submit(buffers[0], 100);
    const uint64_t second = Submit(buffers[1], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    PKSSTREAM_POINTER keeper = CloneWith(edge, KeepOnCancel);
    KsStreamPointerUnlock(keeper, FALSE);
    ASSERT_EQ(KsStreamPointerAdvance(edge), STATUS_SUCCESS);
    PKSSTREAM_POINTER walker = CloneWith(edge, WalkOnCancel);
    KsStreamPointerUnlock(walker, FALSE);
    KsStreamPointerUnlock(edge, TRUE);
    gCancels = 0;

    // The clone outlives its callback: the frame stays until it is deleted.
    EXPECT_EQ(rig.pin->CancelRead(first), STATUS_SUCCESS);
    EXPECT_EQ(gCancels.load(), 1);
    ExpectViolations({host::Rule::StreamPointer});
    EXPECT_TRUE(TakeDone().empty());
    KsStreamPointerDelete(keeper);
    EXPECT_THAT(TakeDone(), ElementsAre(Done{first, STATUS_CANCELLED}));

    // Queue calls other than the clone's own delete are refused, reported,
    // and do not hang the queue.
    EXPECT_EQ(rig.pin->CancelRead(second), STATUS_SUCCESS);
    EXPECT_EQ(gCancels.load(), 2);
    ExpectViolations({host::Rule::StreamPointer, host::Rule::StreamPointer});
    EXPECT_THAT(TakeDone(), ElementsAre(Done{second, STATUS_CANCELLED}));
}

TEST_F(KsStreamQueueCancelTest, FailedRelockOnACancelledFrameLeavesThePointerAsTheVariantSays) {
    for (const char* option : {"left-where-it-was", "unlocked-on-new-spot"}) {
        SCOPED_TRACE(option);
        ScopedVariant relock(host::Variant::FailedRelock, option);
        const bool leftWhereItWas = std::string(option) == "left-where-it-was";
        const uint64_t first = Submit(buffers[0], 100);
        const uint64_t second = Submit(buffers[1], 100);
        const uint64_t third = Submit(buffers[2], 100);
        // A clone runs ahead onto the second frame and lets it go unlocked;
        // the second read is cancelled, the clone (no callback) keeps it.
        PKSSTREAM_POINTER edge =
            KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
        PKSSTREAM_POINTER ahead = CloneWith(edge, nullptr);
        ASSERT_EQ(KsStreamPointerAdvance(ahead), STATUS_SUCCESS);
        KsStreamPointerUnlock(ahead, FALSE);
        ASSERT_EQ(rig.pin->CancelRead(second), STATUS_SUCCESS);
        PKSSTREAM_POINTER behind = CloneWith(edge, nullptr);  // locked on the first

        // The edge uses up the first frame; its relock on the second fails.
        EXPECT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, 100, FALSE), STATUS_DEVICE_NOT_READY);
        if (leftWhereItWas) {
            // Unlocked where it was: on the used-up first frame.
            EXPECT_EQ(edge->StreamHeader->Data, buffers[0]);
            EXPECT_EQ(edge->OffsetOut.Remaining, 0u);
            EXPECT_EQ(edge->OffsetOut.Count, 100u);
        } else {
            // Unlocked on the new spot, which the edge never rests on: it
            // moved on to the next live frame.
            EXPECT_EQ(edge->StreamHeader->Data, buffers[2]);
        }
        // A clone relocking onto the cancelled frame fails the same way.
        EXPECT_EQ(KsStreamPointerAdvance(behind), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(behind->StreamHeader->Data, leftWhereItWas ? buffers[0] : buffers[1]);
        // Unlocked either way: an unlock now would be a second one.
        EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
        KsStreamPointerDelete(ahead);
        KsStreamPointerDelete(behind);
        if (leftWhereItWas) {
            EXPECT_THAT(TakeDone(), ElementsAre(Done{second, STATUS_CANCELLED}));
            // The edge is moved on by hand (unlocked: no relock to fail).
            EXPECT_EQ(KsStreamPointerAdvance(edge), STATUS_SUCCESS);
            EXPECT_EQ(edge->StreamHeader->Data, buffers[2]);
            EXPECT_THAT(TakeDone(), ElementsAre(Done{first, STATUS_SUCCESS}));
        } else {
            EXPECT_THAT(TakeDone(),
                        ElementsAre(Done{first, STATUS_SUCCESS}, Done{second, STATUS_CANCELLED}));
        }
        // Past the last frame there is nothing to relock either: the edge is
        // past it, or stays on the frame until an unlocked move takes it on.
        ASSERT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), edge);
        EXPECT_EQ(KsStreamPointerAdvance(edge), STATUS_DEVICE_NOT_READY);
        if (leftWhereItWas) {
            EXPECT_EQ(edge->StreamHeader->Data, buffers[2]);
            EXPECT_TRUE(TakeDone().empty());
            EXPECT_EQ(KsStreamPointerAdvance(edge), STATUS_SUCCESS);  // unlocked
        }
        EXPECT_EQ(edge->StreamHeader, nullptr);
        EXPECT_THAT(TakeDone(), ElementsAre(Done{third, STATUS_SUCCESS}));
        EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
    }
}

TEST_F(KsStreamQueueTest, ACloneFailureCanBeInjected) {
    Submit(buffers[0], 100);
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    host::KsFaults::FailClone(2);
    PKSSTREAM_POINTER first = Clone(edge);
    PKSSTREAM_POINTER second = reinterpret_cast<PKSSTREAM_POINTER>(1);
    EXPECT_EQ(KsStreamPointerClone(edge, nullptr, 8, &second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), first);
    EXPECT_EQ(KsStreamPointerGetNextClone(first), nullptr);
    KsStreamPointerDelete(first);
    KsStreamPointerUnlock(edge, FALSE);
}

}  // namespace
}  // namespace ksmini
