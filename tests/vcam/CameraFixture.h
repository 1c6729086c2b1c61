// A started camera on the host kernel with its filter open through the video
// camera interface, for the tests of what vcam.exe sends: the driver loaded
// through DriverEntry, its device added and started by Plug and Play. The
// filter, the device and the driver go away before the kernel fixture's
// verifier and leak checks run.
#pragma once

#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "support/KernelTestFixture.h"

#include <memory>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

class CameraFixture : public KernelTestFixture {
  protected:
    void SetUp() override {
        KernelTestFixture::SetUp();
        ASSERT_EQ(host::Driver::Load(DriverEntry, &driver_), STATUS_SUCCESS);
        ASSERT_EQ(driver_->AddDevice(&device_), STATUS_SUCCESS);
        ASSERT_EQ(device_->Start(), STATUS_SUCCESS);
        const GUID camera = {
            0xE5323777, 0xF976, 0x4F5B, {0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44}};
        ASSERT_EQ(device_->OpenFilter(camera, &filter_), STATUS_SUCCESS);
    }

    void TearDown() override {
        filter_.reset();
        if (device_) {
            device_->Stop();
            device_->Remove();
            device_.reset();
        }
        driver_.reset();
        KernelTestFixture::TearDown();
    }

    std::unique_ptr<host::Driver> driver_;
    std::unique_ptr<host::Device> device_;
    std::unique_ptr<host::FilterHandle> filter_;
};
