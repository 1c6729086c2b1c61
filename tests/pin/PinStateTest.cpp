// The capture pin's stream states: the claim on the device's engine and the
// reference clock on the way up from KSSTATE_STOP, start, pause and resume,
// and the way down that stops the engine, returns every frame and releases
// what the pin holds.

#include <gtest/gtest.h>

#include "pin/PinHarness.h"
#include "support/ScopedVariant.h"

#include <host/executive/Suspension.h>
#include <host/verifier/Verifier.h>

#include <atomic>
#include <thread>

using host::HostKernel;
using host::PinHandle;
using host::PinOptions;

namespace pintest {
namespace {

class PinStates : public PinHarness {};

// ---- KSSTATE_STOP -> KSSTATE_ACQUIRE ----------------------------------------------

TEST_F(PinStates, AcquireClaimsTheEngineForThePinsCopyAndTakesTheClock) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    VcamPin* vcam = Vcam(pin);
    EXPECT_TRUE(vcam->engineClaimed);
    EXPECT_EQ(Relay()->claimFlag, 1);
    EXPECT_EQ(Relay()->sink, static_cast<CompletionSink*>(vcam));
    EXPECT_EQ(Relay()->claimedVideoInfo, vcam->videoInfo);
    ASSERT_NE(vcam->referenceClock, nullptr);
    // The pin's own reference and the one the driver holds.
    EXPECT_EQ(References(vcam->referenceClock), 2u);
    // Acquiring touches no engine yet.
    EXPECT_EQ(Engine()->state, EngineStopped);
    EXPECT_EQ(vcam->streamingState, EngineStopped);
}

TEST_F(PinStates, PinWithoutAClockStillAcquires) {
    PinOptions noClock;
    noClock.clock = PinOptions::Clock::None;
    PinHandle* pin = NewPin(noClock);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_TRUE(Vcam(pin)->engineClaimed);
    EXPECT_EQ(Vcam(pin)->referenceClock, nullptr);
}

TEST_F(PinStates, SecondPinOnAnotherFilterCannotAcquireWhileTheFirstHoldsTheEngine) {
    PinHandle* first = NewPin();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->SetState(KSSTATE_RUN), STATUS_SUCCESS);

    host::FilterHandle* otherFilter = OpenSecondFilter();
    PinHandle* second = nullptr;
    ASSERT_EQ(CreatePin(&second, nullptr, otherFilter), STATUS_SUCCESS);
    EXPECT_EQ(second->SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(second->State(), KSSTATE_STOP);
    EXPECT_FALSE(Vcam(second)->engineClaimed);
    EXPECT_EQ(Vcam(second)->referenceClock, nullptr);
    // The holder's claim is untouched and it keeps streaming.
    EXPECT_EQ(Relay()->sink, static_cast<CompletionSink*>(Vcam(first)));
    EXPECT_EQ(Engine()->state, EngineRunning);

    // Once the first is back in STOP, the second can have the engine.
    ASSERT_EQ(first->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(second->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Relay()->sink, static_cast<CompletionSink*>(Vcam(second)));
}

TEST_F(PinStates, FormatTheEngineCannotServeFailsTheClaimAndTakesNoClock) {
    // 24 bits a pixel with YUY2 passes the format check (the image is large
    // enough) but names no layout the device has.
    std::vector<uint8_t> format = format_;
    KS_BITMAPINFOHEADER& bitmap =
        reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
    bitmap.biBitCount = 24;
    bitmap.biSizeImage = 1280 * 720 * 3;
    PinHandle* pin = nullptr;
    ASSERT_EQ(CreatePin(&pin, &format), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pin->State(), KSSTATE_STOP);
    EXPECT_FALSE(Vcam(pin)->engineClaimed);
    EXPECT_EQ(Vcam(pin)->referenceClock, nullptr);
    EXPECT_EQ(Relay()->claimFlag, 0);
}

// ---- the way up to KSSTATE_RUN, pause and resume ----------------------------------

TEST_F(PinStates, PauseFromAcquireTouchesNoEngine) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->streamingState, EngineStopped);
    EXPECT_EQ(Engine()->state, EngineStopped);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);  // no tick armed
}

TEST_F(PinStates, RunStartsTheEngine) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    const int64_t startedAt = HostKernel::InterruptTime();  // the schedule's origin
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->streamingState, EngineRunning);
    EXPECT_EQ(Engine()->state, EngineRunning);
    EXPECT_EQ(Engine()->startTime, startedAt);
    EXPECT_EQ(Engine()->framePeriod, kPeriod);
    EXPECT_EQ(Engine()->width, 1280u);
    EXPECT_EQ(Engine()->height, 720u);
    EXPECT_EQ(Engine()->imageSize, kImageSize);
}

TEST_F(PinStates, PauseAndResumeNeverStartTheEngineASecondTime) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const int64_t startTime = Engine()->startTime;
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    Ticks(2);
    ASSERT_EQ(Engine()->CompletedFrameCount(), 1u);

    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->streamingState, EnginePaused);
    EXPECT_EQ(Engine()->state, EnginePaused);
    HostKernel::AdvanceBy(10 * kPeriod);

    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->streamingState, EngineRunning);
    EXPECT_EQ(Engine()->state, EngineRunning);
    // A start would have moved the schedule's origin and restarted the count.
    EXPECT_EQ(Engine()->startTime, startTime);
    EXPECT_EQ(Engine()->CompletedFrameCount(), 1u);

    // Frames keep flowing after the resume, numbered from 1 again.
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    Ticks(3);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
    EXPECT_EQ(frames[1].frameInfo.PictureNumber, 1);
    EXPECT_EQ(Engine()->CompletedFrameCount(), 2u);
}

// System sleep pauses the running pin (the device mutex held by the class
// library) and wake runs it again: the stream goes on where it stood.
TEST_F(PinStates, SleepAndWakeCarryTheStreamOn) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    CaptureBuffer& c = Buffer();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    ASSERT_EQ(device_->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(Engine()->state, EnginePaused);
    HostKernel::AdvanceBy(5 * kPeriod);
    EXPECT_EQ(pin->CompletedCount(), 1u) << "the pause's last tick only";
    ASSERT_EQ(device_->Wake(), STATUS_SUCCESS);
    EXPECT_EQ(Engine()->state, EngineRunning);
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    Ticks(2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& frame : frames) EXPECT_EQ(frame.header.DataUsed, kImageSize);
    EXPECT_EQ(frames[2].header.Data, c.data());
}

TEST_F(PinStates, ClonesSurviveAPauseAndCompleteAfterTheResume) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    CaptureBuffer& c = Buffer();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    ASSERT_EQ(Clones(pin).size(), 3u);
    // The pause's last tick fills the oldest; the other two wait.
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(pin->CompletedCount(), 1u);
    EXPECT_EQ(Clones(pin).size(), 2u);
    HostKernel::AdvanceBy(5 * kPeriod);
    EXPECT_EQ(Clones(pin).size(), 2u);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Ticks(3);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame.header.DataUsed, kImageSize);
    }
    EXPECT_EQ(frames[0].header.Data, a.data());
    EXPECT_EQ(frames[1].header.Data, b.data());
    EXPECT_EQ(frames[2].header.Data, c.data());
    // Numbering restarts at the pause.
    EXPECT_EQ(frames[1].frameInfo.PictureNumber, 1);
    EXPECT_EQ(frames[2].frameInfo.PictureNumber, 2);
}

// ---- the way down -------------------------------------------------------------------

TEST_F(PinStates, WayDownToAcquireStopsTheEngineAndReturnsEveryFrameEmpty) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<uint64_t> tickets(4);
    for (auto& ticket : tickets) {
        CaptureBuffer& buffer = Buffer();
        ASSERT_EQ(pin->Submit(buffer.data(), buffer.size(), &ticket), STATUS_SUCCESS);
    }
    ASSERT_EQ(Clones(pin).size(), 4u);
    // The pause waits for one more tick, which still fills the oldest frame.
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    std::vector<host::CompletedFrame> filled = TakeAll(pin);
    ASSERT_EQ(filled.size(), 1u);
    EXPECT_EQ(filled[0].ticket, tickets[0]);
    EXPECT_EQ(filled[0].header.DataUsed, kImageSize);
    ASSERT_EQ(Clones(pin).size(), 3u);

    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Engine()->state, EngineStopped);
    EXPECT_EQ(Vcam(pin)->streamingState, EngineStopped);
    EXPECT_EQ(HostKernel::NextDueTime(), -1);
    EXPECT_TRUE(Clones(pin).empty());
    // Every outstanding frame is back, oldest first, with nothing in it.
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].ticket, tickets[i + 1]);
        EXPECT_EQ(frames[i].status, STATUS_SUCCESS);
        EXPECT_EQ(frames[i].header.DataUsed, 0u);
    }
    // The claim and the clock stay until STOP.
    EXPECT_TRUE(Vcam(pin)->engineClaimed);
    EXPECT_NE(Vcam(pin)->referenceClock, nullptr);
}

TEST_F(PinStates, StopReleasesTheClockAndTheEngineOnce) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = Vcam(pin)->referenceClock;
    ASSERT_NE(clock, nullptr);
    ASSERT_EQ(References(clock), 2u);

    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(References(clock), 2u);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    // Only the pin's own reference is left.
    EXPECT_EQ(References(clock), 1u);
    EXPECT_EQ(Vcam(pin)->referenceClock, nullptr);
    EXPECT_FALSE(Vcam(pin)->engineClaimed);
    EXPECT_EQ(Relay()->claimFlag, 0);
    EXPECT_EQ(Relay()->sink, nullptr);
    EXPECT_EQ(Relay()->layout, nullptr);

    // The pin can go round again.
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(References(clock), 2u);
}

TEST_F(PinStates, RunStraightToStopStopsReturnsAndReleases) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Engine()->state, EngineStopped);
    EXPECT_EQ(Relay()->claimFlag, 0);
    EXPECT_EQ(Vcam(pin)->referenceClock, nullptr);
    // The pause on the way fills the oldest; the other comes back empty.
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.DataUsed, kImageSize);
    EXPECT_EQ(frames[1].header.DataUsed, 0u);
    EXPECT_EQ(frames[1].status, STATUS_SUCCESS);
}

TEST_F(PinStates, StopFromAnyStateTakesTheWholeWayDown) {
    // The class library steps through ACQUIRE on its way to STOP; the pin's
    // STOP handling does not rely on it and is complete when called from RUN.
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    PIKSREFERENCECLOCK clock = Vcam(pin)->referenceClock;
    ASSERT_NE(clock, nullptr);

    EXPECT_EQ(Vcam(pin)->SetDeviceState(KSSTATE_STOP, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Engine()->state, EngineStopped);
    EXPECT_EQ(Vcam(pin)->streamingState, EngineStopped);
    EXPECT_TRUE(Clones(pin).empty());
    // The stop's last tick still filled the oldest; the other came back empty.
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.DataUsed, kImageSize);
    EXPECT_EQ(frames[1].header.DataUsed, 0u);
    EXPECT_EQ(Vcam(pin)->referenceClock, nullptr);
    EXPECT_EQ(References(clock), 1u);
    EXPECT_FALSE(Vcam(pin)->engineClaimed);
    EXPECT_EQ(Relay()->claimFlag, 0);
}

TEST_F(PinStates, StopWithoutAClaimReleasesNothing) {
    // The first pin holds the engine; the second, which never got it, is
    // told to stop (as from a failed way up): the holder keeps its claim.
    PinHandle* first = NewPin();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PinHandle* second = nullptr;
    ASSERT_EQ(CreatePin(&second, nullptr, OpenSecondFilter()), STATUS_SUCCESS);

    EXPECT_EQ(Vcam(second)->SetDeviceState(KSSTATE_STOP, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Relay()->claimFlag, 1);
    EXPECT_EQ(Relay()->sink, static_cast<CompletionSink*>(Vcam(first)));
    EXPECT_NE(Relay()->layout, nullptr);
    EXPECT_EQ(Engine()->state, EngineRunning);
}

TEST_F(PinStates, UnknownStateChangesNothing) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // The class library's 32-bit value, outside the four states.
    EXPECT_EQ(Vcam(pin)->SetDeviceState(7, KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->streamingState, EngineRunning);
    EXPECT_EQ(Engine()->state, EngineRunning);
    EXPECT_TRUE(Vcam(pin)->engineClaimed);
}

TEST_F(PinStates, FrameNumberRestartsAtAcquireAndPause) {
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& a = Buffer();
    CaptureBuffer& b = Buffer();
    CaptureBuffer& c = Buffer();
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(a.data(), a.size()), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(b.data(), b.size()), STATUS_SUCCESS);
    Ticks(3);
    EXPECT_EQ(Vcam(pin)->frameNumber, 2);
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Vcam(pin)->frameNumber, 0);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->Submit(c.data(), c.size()), STATUS_SUCCESS);
    Ticks(2);
    std::vector<host::CompletedFrame> frames = TakeAll(pin);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].frameInfo.PictureNumber, 1);
    EXPECT_EQ(frames[1].frameInfo.PictureNumber, 2);
    EXPECT_EQ(frames[2].frameInfo.PictureNumber, 1);
}

// A client's read starts Process on the client's thread, and that thread is
// suspended inside it (stopped in a debugger), at each of its suspension
// points in turn, while another thread stops the pin. The way down waits for
// the processing mutex the suspended Process holds, so it never deletes a
// clone that Process is about to hand to the engine, and every read comes
// back once the thread runs on. (Where the platform serializes Process with
// state changes, it waits itself.)
TEST_F(PinStates, AStopWaitsForAProcessSuspendedAnywhereInIt) {
    ScopedVariant overlapping(host::Variant::ProcessDuringStateChange, "overlapping");
    PinHandle* pin = NewPin();
    ASSERT_NE(pin, nullptr);
    CaptureBuffer& buffer = Buffer();
    CaptureBuffer& next = Buffer();
    int suspendedAt = 0;
    for (int point = 1;; ++point) {
        SCOPED_TRACE("suspended at suspension point " + std::to_string(point));
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        std::atomic<bool> armed{false};
        std::thread client([&] {
            host::Suspension::Arm(point, -1);
            armed.store(true);
            EXPECT_EQ(pin->Submit(buffer.data(), buffer.size()), STATUS_SUCCESS);
            host::Suspension::Disarm();
        });
        while (!armed.load()) std::this_thread::yield();
        const bool suspended = host::Suspension::WaitUntilSuspended(1);
        std::thread stopper;
        if (suspended) {
            ++suspendedAt;
            std::atomic<bool> stopped{false};
            stopper = std::thread([&] {
                EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
                stopped.store(true);
            });
            // The way down either waits for the processing mutex the
            // suspended Process holds, or (without it) goes all the way.
            while (!stopped.load() && pin->ProcessingMutexWaiters() == 0) {
                std::this_thread::yield();
            }
            host::Suspension::ResumeAll();
            stopper.join();
        }
        client.join();
        if (!suspended) ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        EXPECT_TRUE(Clones(pin).empty());
        EXPECT_EQ(TakeAll(pin).size(), 1u);
        // And the next run streams as ever.
        ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(pin->Submit(next.data(), next.size()), STATUS_SUCCESS);
        Tick();
        std::vector<host::CompletedFrame> frames = TakeAll(pin);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].header.DataUsed, kImageSize);
        ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
        if (!suspended) break;
    }
    EXPECT_GT(suspendedAt, 0);
}

}  // namespace
}  // namespace pintest
