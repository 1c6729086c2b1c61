// Pin state changes stepped through neighbouring states one at a time with
// SetDeviceState(to, from) per step; a refused step ends the walk in the old
// state; a pin is walked down to STOP before it closes; STOP flushes.
#include "KsMiniDriver.h"

#include "host/ks/KsDeviceObject.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using ::testing::ElementsAre;

using KsPinStateTest = KsTest;

std::vector<std::string> States(const std::vector<std::string>& log) {
    std::vector<std::string> out;
    for (const std::string& entry : log) {
        if (entry.rfind("State", 0) == 0 || entry.rfind("PinClose", 0) == 0 ||
            entry.rfind("SetPower", 0) == 0) {
            out.push_back(entry);
        }
    }
    return out;
}

TEST_F(KsPinStateTest, AChangeWalksUpThroughEveryNeighbouringState) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // During each call DeviceState is still the state being left.
    EXPECT_THAT(States(Mini().Log()),
                ElementsAre("State 1<-0 device=0", "State 2<-1 device=1", "State 3<-2 device=2"));
    EXPECT_EQ(rig.pin->State(), KSSTATE_RUN);
    EXPECT_EQ(rig.pin->KsPin()->DeviceState, KSSTATE_RUN);
    EXPECT_EQ(rig.pin->KsPin()->ClientState, KSSTATE_RUN);
}

TEST_F(KsPinStateTest, AChangeWalksDownTheSameWay) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Mini().ClearLog();
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_THAT(States(Mini().Log()),
                ElementsAre("State 2<-3 device=3", "State 1<-2 device=2", "State 0<-1 device=1"));
    // A change to the state it is in calls nothing.
    Mini().ClearLog();
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_TRUE(States(Mini().Log()).empty());
}

TEST_F(KsPinStateTest, ARefusedStepEndsTheWalkInTheOldState) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    Mini().setDeviceState = [](PKSPIN, KSSTATE to, KSSTATE) {
        return to == KSSTATE_PAUSE ? STATUS_SHARING_VIOLATION : STATUS_SUCCESS;
    };
    EXPECT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SHARING_VIOLATION);
    EXPECT_THAT(States(Mini().Log()), ElementsAre("State 1<-0 device=0", "State 2<-1 device=1"));
    EXPECT_EQ(rig.pin->State(), KSSTATE_ACQUIRE);
    EXPECT_EQ(rig.pin->KsPin()->DeviceState, KSSTATE_ACQUIRE);
    EXPECT_EQ(rig.pin->KsPin()->ClientState, KSSTATE_STOP) << "the failed request is taken back";
    EXPECT_EQ(Mini().processCalls.load(), 0);
}

TEST_F(KsPinStateTest, CloseWalksThePinDownToStopFirst) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Mini().ClearLog();
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    EXPECT_THAT(States(Mini().Log()), ElementsAre("State 2<-3 device=3", "State 1<-2 device=2",
                                                  "State 0<-1 device=1", "PinClose state=0"));
}

TEST_F(KsPinStateTest, CloseStopsThePinEvenWhenTheDriverRefusesAStep) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    Mini().setDeviceState = [](PKSPIN, KSSTATE, KSSTATE) { return STATUS_UNSUCCESSFUL; };
    Mini().ClearLog();
    ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
    EXPECT_THAT(States(Mini().Log()),
                ElementsAre("State 1<-2 device=2", "State 0<-1 device=1", "PinClose state=0"));
}

TEST_F(KsPinStateTest, SetDeviceStateMayNotPend) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    Mini().setDeviceState = [](PKSPIN, KSSTATE, KSSTATE) { return STATUS_PENDING; };
    EXPECT_FALSE(NT_SUCCESS(rig.pin->SetState(KSSTATE_ACQUIRE)));
    EXPECT_EQ(rig.pin->State(), KSSTATE_STOP);
    // The report names the driver's routine.
    std::vector<host::Violation> violations = host::Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u);
    ExpectSiteIs(violations[0].site, reinterpret_cast<const void*>(&PinSetDeviceState));
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsPinStateTest, AStoppedPinTakesNoFramesAndStopFlushesTheQueue) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    UCHAR buffer[2][64];
    EXPECT_EQ(rig.pin->Submit(buffer[0], sizeof buffer[0]), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    uint64_t first = 0;
    uint64_t second = 0;
    ASSERT_EQ(rig.pin->Submit(buffer[0], sizeof buffer[0], &first), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->Submit(buffer[1], sizeof buffer[1], &second), STATUS_SUCCESS);
    // With KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY nothing processed them.
    EXPECT_EQ(Mini().processCalls.load(), 0);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    host::CompletedFrame frame;
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.ticket, first);
    EXPECT_EQ(frame.status, STATUS_CANCELLED);
    EXPECT_EQ(frame.header.DataUsed, 0u);
    EXPECT_EQ(frame.data, buffer[0]);
    ASSERT_EQ(rig.pin->TakeCompleted(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.ticket, second);
    EXPECT_EQ(rig.pin->TakeCompleted(&frame), STATUS_NO_MORE_ENTRIES);
}

TEST_F(KsPinStateTest, SleepPausesARunningPinUnderTheDeviceMutexAndWakeRunsItAgain) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // Shared with the hook, which a failed assertion's tear-down still calls.
    auto deviceMutexHeld = std::make_shared<std::vector<bool>>();
    Mini().setDeviceState = [deviceMutexHeld](PKSPIN pin, KSSTATE, KSSTATE) {
        PDEVICE_OBJECT fdo = KsPinGetDevice(pin)->FunctionalDeviceObject;
        deviceMutexHeld->push_back(
            host::ks::KsDeviceObject::FromDeviceObject(fdo)->Mutex().HeldByCurrentThread());
        return STATUS_SUCCESS;
    };
    Mini().ClearLog();
    ASSERT_EQ(rig.device->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(rig.pin->State(), KSSTATE_PAUSE);
    EXPECT_EQ(rig.pin->KsPin()->ClientState, KSSTATE_RUN) << "the client asked for nothing";
    EXPECT_EQ(rig.device->Sleep(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(rig.device->Wake(), STATUS_SUCCESS);
    EXPECT_EQ(rig.pin->State(), KSSTATE_RUN);
    EXPECT_THAT(States(Mini().Log()), ElementsAre("State 2<-3 device=3", "SetPower D3<-D0",
                                                  "SetPower D0<-D3", "State 3<-2 device=2"));
    Mini().setDeviceState = nullptr;
    EXPECT_THAT(*deviceMutexHeld, ElementsAre(true, true));
    EXPECT_EQ(rig.device->Wake(), STATUS_INVALID_DEVICE_STATE);
    // A pin that was not running is left where it is.
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Mini().ClearLog();
    ASSERT_EQ(rig.device->Sleep(), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Wake(), STATUS_SUCCESS);
    EXPECT_THAT(States(Mini().Log()), ElementsAre("SetPower D3<-D0", "SetPower D0<-D3"));
}

}  // namespace
}  // namespace ksmini
