// When Process runs: one call at a time at PASSIVE_LEVEL, only in RUN for a
// pin with KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY (from PAUSE otherwise), when a
// frame arrives at an empty leading edge, after the pin enters its processing
// state with frames queued, and after KsPinAttemptProcessing; again at once
// after STATUS_SUCCESS while frames remain (a Process that keeps answering
// STATUS_SUCCESS without moving the leading edge is reported as a spin).
// Process may run during SetDeviceState (overlapping) or not (serialized).
// The platform never writes DataUsed for a pin without GENERATE_MAPPINGS. Virtual clock: at the end
// of the client call that triggered it, or right after the DPC that asked for it; real clock: on
// the pin's own processing thread, concurrently with submissions and DPC completions.
#include "KsMiniDriver.h"
#include "host/ks/KsPinProcessor.h"
#include "support/ScopedVariant.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using ::testing::ElementsAre;

using KsProcessTriggerTest = KsTest;
using KsProcessRealClockTest = KsRealClockTest;

// A one-shot timer whose DPC runs `action` (test code standing in for a
// driver's DPC, e.g. a frame engine's tick).
class TestTimer {
  public:
    explicit TestTimer(std::function<void()> action) : action_(std::move(action)) {
        KeInitializeTimer(&timer_);
        KeInitializeDpc(&dpc_, &TestTimer::Routine, this);
    }
    ~TestTimer() {
        KeCancelTimer(&timer_);
        KeRemoveQueueDpc(&dpc_);
    }
    void SetIn(LONGLONG delay) {
        LARGE_INTEGER due;
        due.QuadPart = -delay;
        KeSetTimer(&timer_, due, &dpc_);
    }
    void Cancel() { KeCancelTimer(&timer_); }

  private:
    static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
        static_cast<TestTimer*>(context)->action_();
    }
    std::function<void()> action_;
    KTIMER timer_;
    KDPC dpc_;
};

std::vector<std::string> Filtered(const std::vector<std::string>& log) {
    std::vector<std::string> out;
    for (const std::string& entry : log) {
        if (entry == "Process" || entry.rfind("dpc", 0) == 0 || entry.rfind("State", 0) == 0) {
            out.push_back(entry);
        }
    }
    return out;
}

TEST_F(KsProcessTriggerTest, ARunOnlyPinIsNotProcessedBeforeRunThenProcessedOnEnteringIt) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    UCHAR buffers[2][64];
    ASSERT_EQ(rig.pin->Submit(buffers[0], 64), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->Submit(buffers[1], 64), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 0);

    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // Synchronously, before SetState returned, on this thread.
    EXPECT_EQ(Mini().processCalls.load(), 1);
    EXPECT_EQ(Mini().processThread, std::this_thread::get_id());
    EXPECT_EQ(Mini().processAtRaisedIrql.load(), 0);
    PKSPIN pin = rig.pin->KsPin();
    PKSSTREAM_POINTER first = KsPinGetFirstCloneStreamPointer(pin);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->StreamHeader->Data, buffers[0]);
    PKSSTREAM_POINTER second = KsStreamPointerGetNextClone(first);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->StreamHeader->Data, buffers[1]);
    EXPECT_EQ(DeleteOldestClones(pin, 2), 2);
}

TEST_F(KsProcessTriggerTest, AFrameArrivingAtAnEmptyLeadingEdgeIsProcessedBeforeSubmitReturns) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 0);  // entering RUN with nothing queued
    UCHAR buffer[64];
    ASSERT_EQ(rig.pin->Submit(buffer, sizeof buffer), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 1);
    PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(rig.pin->KsPin());
    ASSERT_NE(clone, nullptr);
    // The edge's offset advance moved over the whole frame; DataUsed is
    // still what the client submitted: the minidriver's to write.
    EXPECT_EQ(clone->StreamHeader->DataUsed, 0u);
    PVOID cursor = nullptr;
    std::memcpy(&cursor, clone->Context, sizeof cursor);
    EXPECT_EQ(cursor, buffer);
    EXPECT_EQ(DeleteOldestClones(rig.pin->KsPin(), 1), 1);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u);
}

TEST_F(KsProcessTriggerTest, AFrameQueuedBehindAnotherIsNoTrigger) {
    Mini().process = [](PKSPIN) { return STATUS_PENDING; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    UCHAR buffers[2][16];
    ASSERT_EQ(rig.pin->Submit(buffers[0], 16), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 1);
    ASSERT_EQ(rig.pin->Submit(buffers[1], 16), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 1);
}

TEST_F(KsProcessTriggerTest, APinWithoutTheRunOnlyFlagIsProcessedFromPause) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    Mini().cloneFrames = false;
    std::vector<UCHAR> format = MakeFormat(kMajorVideo, kSubC, kSpecifierOther);
    ASSERT_EQ(rig.filter->CreatePin(kLoosePin, format.data(), static_cast<ULONG>(format.size()),
                                    &rig.pin),
              STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    UCHAR buffers[2][16];
    ASSERT_EQ(rig.pin->Submit(buffers[0], 16), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 0);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 1);
    EXPECT_EQ(rig.pin->CompletedCount(), 1u);
    ASSERT_EQ(rig.pin->Submit(buffers[1], 16), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 2);
    // PAUSE to RUN is no entry into the processing state.
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 2);
}

TEST_F(KsProcessTriggerTest, SuccessIsCalledAgainWhileFramesRemainAtTheEdge) {
    Mini().cloneFrames = false;
    Mini().chunk = 100;
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    int before = Mini().processCalls.load();
    UCHAR buffer[300];
    ASSERT_EQ(rig.pin->Submit(buffer, sizeof buffer), STATUS_SUCCESS);
    // 100 bytes per call: the third call uses the frame up.
    EXPECT_EQ(Mini().processCalls.load() - before, 3);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u);  // no GENERATE_MAPPINGS: never the platform's
}

TEST_F(KsProcessTriggerTest, SuccessWithoutMovingTheLeadingEdgeIsReportedAsASpin) {
    Mini().process = [](PKSPIN) { return STATUS_SUCCESS; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    UCHAR buffer[16];
    ASSERT_EQ(rig.pin->Submit(buffer, sizeof buffer), STATUS_SUCCESS);
    // Called again at once while the frame is at the pin, until the verifier
    // calls it a spin (a real processor would never leave the loop).
    EXPECT_EQ(Mini().processCalls.load(), host::ks::KsPinProcessor::kSpinLimit);
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsProcessTriggerTest, AnErrorFromProcessActsAsTheVariantSays) {
    Mini().process = [](PKSPIN) { return STATUS_UNSUCCESSFUL; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    UCHAR buffer[16];
    ASSERT_EQ(rig.pin->Submit(buffer, sizeof buffer), STATUS_SUCCESS);
    EXPECT_EQ(Mini().processCalls.load(), 1);  // like-pending: wait for a trigger
    ScopedVariant variant(host::Variant::ProcessError, "like-success");
    KsPinAttemptProcessing(rig.pin->KsPin(), TRUE);
    host::HostKernel::DrainDpcs();
    // like-success: called again while the frame is at the pin, a spin.
    EXPECT_EQ(Mini().processCalls.load(), 1 + host::ks::KsPinProcessor::kSpinLimit);
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsProcessTriggerTest, AttemptProcessingFromADpcRunsRightAfterThatDpcAtPassiveLevel) {
    Mini().process = [](PKSPIN) { return STATUS_PENDING; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    KIRQL dpcIrql = PASSIVE_LEVEL;
    TestTimer first([&] {
        dpcIrql = KeGetCurrentIrql();
        Mini().Log("dpc1");
        KsPinAttemptProcessing(pin, TRUE);
        Mini().Log("dpc1 returns");
    });
    TestTimer second([&] { Mini().Log("dpc2"); });
    // On consecutive clock interrupts (two timers due at one would queue
    // both DPCs before dpc1's work item).
    const int64_t tick = host::HostKernel::TickInterval();
    first.SetIn(tick);
    second.SetIn(2 * tick);
    Mini().ClearLog();
    host::HostKernel::AdvanceBy(3 * tick);
    EXPECT_EQ(dpcIrql, DISPATCH_LEVEL);
    EXPECT_THAT(Filtered(Mini().Log()), ElementsAre("dpc1", "dpc1 returns", "Process", "dpc2"));
    EXPECT_EQ(Mini().processAtRaisedIrql.load(), 0);
    EXPECT_EQ(Mini().processThread, std::this_thread::get_id());
}

TEST_F(KsProcessTriggerTest, AttemptProcessingDoesNothingOutsideTheProcessingState) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    TestTimer timer([&] { KsPinAttemptProcessing(pin, TRUE); });
    timer.SetIn(1000);
    host::HostKernel::AdvanceBy(2000);
    KsPinAttemptProcessing(pin, TRUE);
    host::HostKernel::DrainDpcs();
    EXPECT_EQ(Mini().processCalls.load(), 0);
}

TEST_F(KsProcessTriggerTest, AttemptProcessingAtPassiveOutsideAClientCallRunsAtTheNextDrain) {
    Mini().process = [](PKSPIN) { return STATUS_PENDING; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Mini().processCalls.load(), 0);
    KsPinAttemptProcessing(rig.pin->KsPin(), TRUE);
    // Asynchronous: not inside the call.
    EXPECT_EQ(Mini().processCalls.load(), 0);
    host::HostKernel::DrainDpcs();
    EXPECT_EQ(Mini().processCalls.load(), 1);
}

TEST_F(KsProcessTriggerTest, AttemptProcessingFromProcessItselfRunsItOnceMoreOrIsIgnored) {
    Mini().process = [](PKSPIN pin) {
        if (Mini().processCalls.load() == 1) {
            KsPinAttemptProcessing(pin, TRUE);
        }
        return STATUS_PENDING;
    };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KsPinAttemptProcessing(rig.pin->KsPin(), TRUE);
    host::HostKernel::DrainDpcs();
    EXPECT_EQ(Mini().processCalls.load(), 2);  // rerun-after
    EXPECT_EQ(Mini().processOverlaps.load(), 0);

    ScopedVariant variant(host::Variant::AttemptDuringProcess, "ignored");
    Mini().processCalls = 0;
    KsPinAttemptProcessing(rig.pin->KsPin(), TRUE);
    host::HostKernel::DrainDpcs();
    EXPECT_EQ(Mini().processCalls.load(), 1);
}

TEST_F(KsProcessTriggerTest, AttemptWhileTheDriverHoldsTheProcessingMutexFollowsTheVariant) {
    Mini().process = [](PKSPIN) { return STATUS_PENDING; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    // retried-at-release (default): the attempt runs once the driver lets go.
    KsPinAcquireProcessingMutex(pin);
    KsPinAttemptProcessing(pin, TRUE);
    host::HostKernel::DrainDpcs();
    EXPECT_EQ(Mini().processCalls.load(), 0);
    KsPinReleaseProcessingMutex(pin);
    host::HostKernel::DrainDpcs();
    EXPECT_EQ(Mini().processCalls.load(), 1);
    {
        ScopedVariant variant(host::Variant::AttemptUnderProcessingMutex, "dropped");
        KsPinAcquireProcessingMutex(pin);
        KsPinAttemptProcessing(pin, TRUE);
        KsPinReleaseProcessingMutex(pin);
        host::HostKernel::DrainDpcs();
        EXPECT_EQ(Mini().processCalls.load(), 1);
    }
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
}

TEST_F(KsProcessTriggerTest, TheDriversProcessingMutexRulesAreChecked) {
    Mini().process = [](PKSPIN pin) {
        KsPinAcquireProcessingMutex(pin);  // inside Process: it is already held
        return STATUS_PENDING;
    };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    KsPinAttemptProcessing(pin, TRUE);
    host::HostKernel::DrainDpcs();
    ExpectViolations({host::Rule::KsObject});

    // Held for more than 100 ms of system time.
    KsPinAcquireProcessingMutex(pin);
    host::HostKernel::AdvanceBy(100 * 10000 + 1);
    KsPinReleaseProcessingMutex(pin);
    ExpectViolations({host::Rule::KsObject});
    // At DISPATCH_LEVEL.
    {
        host::ScopedIrql dpc(DISPATCH_LEVEL);
        KsPinAcquireProcessingMutex(pin);
    }
    KsPinReleaseProcessingMutex(pin);
    ExpectViolations({host::Rule::IrqlTooHigh});
}

TEST_F(KsProcessTriggerTest, ATickDuringAStateChangeMayRunProcessInsideTheCallback) {
    Mini().process = [](PKSPIN) { return STATUS_PENDING; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    KEVENT paused;
    KeInitializeEvent(&paused, NotificationEvent, FALSE);
    TestTimer tick([&] {
        Mini().Log("dpc tick");
        KsPinAttemptProcessing(pin, TRUE);
        KeSetEvent(&paused, 0, FALSE);
    });
    Mini().setDeviceState = [&](PKSPIN, KSSTATE to, KSSTATE from) {
        if (to == KSSTATE_PAUSE && from == KSSTATE_RUN) {
            tick.SetIn(1000);
            KeWaitForSingleObject(&paused, Executive, KernelMode, FALSE, nullptr);
            // The callback goes on while the queued work runs (on a real
            // machine, on another processor).
            host::HostKernel::DrainDpcs();
            Mini().Log("State returns");
        }
        return STATUS_SUCCESS;
    };
    Mini().ClearLog();
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    // overlapping (default): SetDeviceState holds the control mutex, not the
    // processing mutex, and the pin is still in RUN while it runs.
    EXPECT_THAT(Filtered(Mini().Log()),
                ElementsAre("State 2<-3 device=3", "dpc tick", "Process", "State returns"));
}

TEST_F(KsProcessTriggerTest,
       ATickDuringAStateChangeDoesNotRunProcessInsideTheCallbackWhenSerialized) {
    ScopedVariant serialized(host::Variant::ProcessDuringStateChange, "serialized");
    Mini().process = [](PKSPIN) { return STATUS_PENDING; };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    KEVENT paused;
    KeInitializeEvent(&paused, NotificationEvent, FALSE);
    // The "tick" asks for processing and lets the pause go on, the way an
    // engine's last tick answers a pause request.
    TestTimer tick([&] {
        Mini().Log("dpc tick");
        KsPinAttemptProcessing(pin, TRUE);
        KeSetEvent(&paused, 0, FALSE);
    });
    Mini().setDeviceState = [&](PKSPIN, KSSTATE to, KSSTATE from) {
        if (to == KSSTATE_PAUSE && from == KSSTATE_RUN) {
            tick.SetIn(1000);
            KeWaitForSingleObject(&paused, Executive, KernelMode, FALSE, nullptr);
            host::HostKernel::DrainDpcs();
        }
        return STATUS_SUCCESS;
    };
    Mini().ClearLog();
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    host::HostKernel::DrainDpcs();
    // The tick came inside the callback; the pass waited for the state
    // change, which left RUN: nothing ran.
    EXPECT_THAT(Filtered(Mini().Log()), ElementsAre("State 2<-3 device=3", "dpc tick"));
    EXPECT_EQ(Mini().processOverlaps.load(), 0);
}

TEST_F(KsProcessRealClockTest, ProcessRunsOnThePinsOwnThreadAtPassiveLevel) {
    Mini().cloneFrames = false;
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    UCHAR buffer[256];
    ASSERT_EQ(rig.pin->Submit(buffer, sizeof buffer), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->WaitForCompletion(std::chrono::seconds(20)), STATUS_SUCCESS);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.header.FrameExtent, sizeof buffer);
    std::lock_guard<std::mutex> lock(Mini().mutex);
    EXPECT_NE(Mini().processThread, std::this_thread::get_id());
    EXPECT_EQ(Mini().processAtRaisedIrql.load(), 0);
}

TEST_F(KsProcessRealClockTest, SubmissionsProcessingAndDpcCompletionsRunTogether) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PKSPIN pin = rig.pin->KsPin();
    std::atomic<bool> ticking{true};
    TestTimer* self = nullptr;
    // A tick every millisecond completes up to two frames and asks for
    // processing, as a frame engine's DPC does.
    TestTimer tick([&] {
        DeleteOldestClones(pin, 2);
        KsPinAttemptProcessing(pin, TRUE);
        if (ticking.load()) {
            self->SetIn(10000);
        }
    });
    self = &tick;
    tick.SetIn(10000);

    constexpr int kFrames = 40;
    std::vector<std::vector<UCHAR>> buffers(kFrames, std::vector<UCHAR>(512));
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(rig.pin->Submit(buffers[i].data(), 512), STATUS_SUCCESS);
    }
    std::vector<uint64_t> tickets;
    while (tickets.size() < static_cast<size_t>(kFrames)) {
        ASSERT_EQ(rig.pin->WaitForCompletion(std::chrono::seconds(20)), STATUS_SUCCESS);
        host::CompletedFrame frame;
        while (rig.pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
            EXPECT_EQ(frame.header.FrameExtent, 512u);
            tickets.push_back(frame.ticket);
        }
    }
    ticking.store(false);
    tick.Cancel();
    host::HostKernel::WaitForDpcIdle();
    tick.Cancel();
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(tickets[i], static_cast<uint64_t>(i + 1));
    }
    EXPECT_EQ(Mini().processOverlaps.load(), 0);
    EXPECT_EQ(Mini().processAtRaisedIrql.load(), 0);
}

}  // namespace
}  // namespace ksmini
