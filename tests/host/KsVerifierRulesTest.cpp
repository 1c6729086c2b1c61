// The verifier's AVStream rules as the class library model reports them:
// clones deleted once and only clones deleted, no double lock or unlock, no
// stream pointer left locked at STOP, no clone left at close, offsets used
// within the frame, KS calls at the IRQL they allow, callbacks that may not pend.
#include "KsMiniDriver.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using ::testing::HasSubstr;

class KsVerifierRulesTest : public KsTest {
  protected:
    // A running capture pin with one frame queued; Process does what the
    // test sets in Mini().process (nothing by default).
    void Run() {
        if (!Mini().process) {
            Mini().process = [](PKSPIN) { return STATUS_PENDING; };
        }
        ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(rig.pin->Submit(buffer, sizeof buffer), STATUS_SUCCESS);
        pin = rig.pin->KsPin();
    }
    PKSSTREAM_POINTER LockedEdge() {
        return KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    }

    UCHAR buffer[256] = {};
    PKSPIN pin = nullptr;
};

TEST_F(KsVerifierRulesTest, AcloneDeletedTwiceIsCaught) {
    Run();
    PKSSTREAM_POINTER edge = LockedEdge();
    PKSSTREAM_POINTER clone = nullptr;
    ASSERT_EQ(KsStreamPointerClone(edge, nullptr, 8, &clone), STATUS_SUCCESS);
    KsStreamPointerUnlock(edge, FALSE);
    KsStreamPointerDelete(clone);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
    KsStreamPointerDelete(clone);
    EXPECT_THAT(FirstDetail(), HasSubstr("already deleted"));
    ExpectViolations({host::Rule::StreamPointer});
    // The frame went back once.
    EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), nullptr);
}

TEST_F(KsVerifierRulesTest, TheLeadingEdgeCannotBeDeleted) {
    Run();
    PKSSTREAM_POINTER edge = LockedEdge();
    KsStreamPointerDelete(edge);
    EXPECT_THAT(FirstDetail(), HasSubstr("leading edge"));
    ExpectViolations({host::Rule::StreamPointer});
    // The edge is still there.
    KsStreamPointerUnlock(edge, FALSE);
    EXPECT_EQ(LockedEdge(), edge);
    KsStreamPointerUnlock(edge, FALSE);
}

TEST_F(KsVerifierRulesTest, DoubleUnlockAndDoubleLockAreCaught) {
    Run();
    PKSSTREAM_POINTER edge = LockedEdge();
    KsStreamPointerUnlock(edge, FALSE);
    KsStreamPointerUnlock(edge, FALSE);
    ExpectViolations({host::Rule::StreamPointer});
    LockedEdge();
    LockedEdge();
    ExpectViolations({host::Rule::StreamPointer});
    KsStreamPointerUnlock(edge, FALSE);
}

TEST_F(KsVerifierRulesTest, AStreamPointerLeftLockedAtStopIsCaught) {
    // Process takes the edge locked and leaves it so.
    Mini().process = [](PKSPIN pin) {
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
        return STATUS_PENDING;
    };
    Run();
    ASSERT_EQ(Mini().processCalls.load(), 1);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_THAT(FirstDetail(), HasSubstr("still locked"));
    ExpectViolations({host::Rule::StreamPointer});
}

TEST_F(KsVerifierRulesTest, ClonesStillOutstandingAtPinCloseAreCaught) {
    Mini().process = [](PKSPIN pin) {
        PKSSTREAM_POINTER edge =
            KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
        PKSSTREAM_POINTER clone = nullptr;
        if (edge != nullptr && NT_SUCCESS(KsStreamPointerClone(edge, nullptr, 8, &clone))) {
            KsStreamPointerUnlock(clone, FALSE);
        }
        if (edge != nullptr) {
            KsStreamPointerUnlock(edge, FALSE);
        }
        return STATUS_PENDING;
    };
    Run();
    ASSERT_NE(KsPinGetFirstCloneStreamPointer(pin), nullptr);
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    EXPECT_THAT(FirstDetail(), HasSubstr("outstanding"));
    ExpectViolations({host::Rule::StreamPointer});
    // The frame the clone held came back anyway.
    EXPECT_EQ(rig.pin->CompletedCount(), 1u);
}

TEST_F(KsVerifierRulesTest, OffsetsAreUsedOnlyOnALockedPointerAndWithinTheFrame) {
    Run();
    PKSSTREAM_POINTER edge = LockedEdge();
    KsStreamPointerUnlock(edge, FALSE);
    KsStreamPointerAdvanceOffsets(edge, 0, 10, FALSE);
    ExpectViolations({host::Rule::StreamPointer});
    edge = LockedEdge();
    EXPECT_EQ(KsStreamPointerAdvanceOffsets(edge, 0, sizeof buffer + 1, FALSE),
              STATUS_DEVICE_NOT_READY);
    ExpectViolations({host::Rule::StreamPointer});
}

TEST_F(KsVerifierRulesTest, StreamPointerCallsAboveDispatchLevelAreCaught) {
    Run();
    {
        host::ScopedIrql high(HIGH_LEVEL);
        EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), nullptr);
        EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    }
    ExpectViolations({host::Rule::IrqlTooHigh, host::Rule::IrqlTooHigh});
    // At DISPATCH_LEVEL they are allowed.
    host::ScopedIrql dispatch(DISPATCH_LEVEL);
    PKSSTREAM_POINTER edge = LockedEdge();
    ASSERT_NE(edge, nullptr);
    KsStreamPointerUnlock(edge, FALSE);
    KsPinAttemptProcessing(pin, TRUE);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
}

TEST_F(KsVerifierRulesTest, PassiveOnlyCallsAtDispatchLevelAreCaught) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    PKSDEVICE device = rig.device->KsDevice();
    TestItem* item = NewItem("late");
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KsAddItemToObjectBag(device->Bag, item, FreeItem);
    }
    // Neither at PASSIVE_LEVEL nor under the device mutex that guards the bag.
    ExpectViolations({host::Rule::IrqlTooHigh, host::Rule::KsObject});
}

TEST_F(KsVerifierRulesTest, SetDataFormatMayNotPend) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    Mini().setDataFormatStatus = STATUS_PENDING;
    std::vector<UCHAR> format = FormatA();
    EXPECT_FALSE(NT_SUCCESS(rig.filter->CreatePin(kCapturePin, format.data(),
                                                  static_cast<ULONG>(format.size()), &rig.pin)));
    EXPECT_EQ(rig.pin, nullptr);
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsVerifierRulesTest, AClosedPinIsNoLongerAPin) {
    Run();
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    KsPinAttemptProcessing(pin, TRUE);
    EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
    ExpectViolations({host::Rule::KsObject, host::Rule::KsObject});
}

}  // namespace
}  // namespace ksmini
