// The device's Plug and Play dispatch on the class library model: Add makes
// the relay, the one engine and the filter factory under the device mutex;
// Start and Stop touch neither bags nor factories, so the device starts,
// stops and starts again cleanly whether or not the class library holds the
// device mutex around Start, and wherever it sets Started.
#include "driver/device/DeviceDispatch.h"
#include "driver/device/VcamDevice.h"
#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/ks/KsFaults.h"
#include "host/variants/Variants.h"
#include "support/KernelTestFixture.h"

#include <memory>
#include <string>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

using host::PoolTag;
using host::Variant;
using host::Variants;
using host::Verifier;

const GUID kVideo = VCAM_GUID(STATIC_KSCATEGORY_VIDEO);

// One run per combination of the two open points of a start.
struct StartOptions {
    int deviceMutexAtStart;  // held | not-held
    int startedFlag;         // before-start | after-start | after-post-start
};

class DeviceDispatchTest : public KernelTestFixture,
                           public ::testing::WithParamInterface<StartOptions> {
  protected:
    void SetUp() override {
        KernelTestFixture::SetUp();
        Variants::Set(Variant::DeviceMutexAtStart, GetParam().deviceMutexAtStart);
        Variants::Set(Variant::StartedFlag, GetParam().startedFlag);
        ASSERT_EQ(host::Driver::Load(DriverEntry, &driver), STATUS_SUCCESS);
    }
    void TearDown() override {
        filter.reset();
        if (device) {
            device->Remove();
            device.reset();
        }
        driver.reset();
        Variants::Reset();
        KernelTestFixture::TearDown();
    }

    std::unique_ptr<host::Driver> driver;
    std::unique_ptr<host::Device> device;
    std::unique_ptr<host::FilterHandle> filter;
};

TEST_P(DeviceDispatchTest, AddMakesTheOneEngineAndFactoryStartAndStopTouchNeither) {
    ASSERT_EQ(driver->AddDevice(&device), STATUS_SUCCESS);
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("HSim")), 1u) << "the engine, made at Add";
    const VcamDevice* relay = static_cast<VcamDevice*>(device->KsDevice()->Context);
    ASSERT_NE(relay, nullptr);
    FrameEngine* const engine = relay->engine;
    ASSERT_NE(engine, nullptr);
    // Not started: no interface is offered and a create is refused.
    EXPECT_TRUE(device->Interfaces().empty());
    EXPECT_EQ(device->OpenFilter(kVideo, &filter), STATUS_DEVICE_NOT_READY);

    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(device->Start(), STATUS_SUCCESS) << "round " << round;
        EXPECT_EQ(device->Interfaces().size(), 3u);
        ASSERT_EQ(device->OpenFilter(kVideo, &filter), STATUS_SUCCESS);
        ASSERT_EQ(filter->Close(), STATUS_SUCCESS);
        filter.reset();
        ASSERT_EQ(device->Stop(), STATUS_SUCCESS);
        EXPECT_TRUE(device->Interfaces().empty());
        EXPECT_EQ(device->OpenFilter(kVideo, &filter), STATUS_DEVICE_NOT_READY);
        // One engine for the device's life, whatever the starts.
        EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("HSim")), 1u);
        EXPECT_EQ(relay->engine, engine);
    }
    // The fixture fails the test on any violation: a bag change or a factory
    // made without the device mutex, or the mutex taken twice.
}

TEST_P(DeviceDispatchTest, AFailedFactoryFailsTheDeviceAndLeavesNothing) {
    host::KsFaults::FailFilterFactoryCreation(true);
    EXPECT_EQ(driver->AddDevice(&device), STATUS_INSUFFICIENT_RESOURCES);
    host::KsFaults::FailFilterFactoryCreation(false);
    device.reset();
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("HSim")), 0u);
    EXPECT_EQ(Verifier::OutstandingBlocks(PoolTag("CDev")), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Options, DeviceDispatchTest,
    ::testing::Values(StartOptions{0, 0}, StartOptions{0, 1}, StartOptions{0, 2},
                      StartOptions{1, 0}, StartOptions{1, 1}, StartOptions{1, 2}),
    ([](const ::testing::TestParamInfo<StartOptions>& info) {
        static const char* const mutex[] = {"Held", "NotHeld"};
        static const char* const started[] = {"BeforeStart", "AfterStart", "AfterPostStart"};
        return std::string(mutex[info.param.deviceMutexAtStart]) + started[info.param.startedFlag];
    }));

}  // namespace
