#include "tools/vcam/Camera.h"

#include <host/verifier/Verifier.h>

#include "tools/vcam/Names.h"
#include "tools/vcam/ToolError.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace vcam {

namespace {

void Require(NTSTATUS status, const std::string& step) {
    if (!NT_SUCCESS(status)) {
        throw ToolError(kExitCamera, step + " failed: " + Names::Status(status));
    }
}

}  // namespace

Camera::Camera(host::ClockMode mode) : mode_(mode) {
    host::HostKernel::Boot(mode);
    kernelUp_ = true;
    host::Verifier::Reset();
    Require(host::Driver::Load(DriverEntry, &driver_), "loading the driver (DriverEntry)");
    Require(driver_->AddDevice(&device_), "adding the device (AddDevice)");
    Require(device_->Start(), "starting the device (IRP_MN_START_DEVICE)");
}

Camera::~Camera() {
    if (device_) {
        device_->Stop();
        device_->Remove();
        device_.reset();
    }
    driver_.reset();
    if (kernelUp_) host::HostKernel::Shutdown();
}

std::unique_ptr<host::FilterHandle> Camera::OpenFilter(const GUID& category) {
    std::unique_ptr<host::FilterHandle> filter;
    Require(device_->OpenFilter(category, &filter),
            "opening the filter through " + Names::NamedGuid(category));
    return filter;
}

VerifierVerdict Camera::Shutdown() {
    if (device_) {
        Require(device_->Stop(), "stopping the device (IRP_MN_STOP_DEVICE)");
        Require(device_->Remove(), "removing the device (IRP_MN_REMOVE_DEVICE)");
        device_.reset();
    }
    driver_.reset();
    VerifierVerdict verdict;
    verdict.poolBlocksLeft = host::Verifier::OutstandingBlocks();
    host::Verifier::CheckUnload();
    verdict.violations = host::Verifier::ViolationCount();
    if (verdict.violations != 0) verdict.description = host::Verifier::Describe();
    if (verdict.poolBlocksLeft != 0) {
        verdict.description += host::Verifier::DescribeBlocks(host::Verifier::OutstandingList());
    }
    host::HostKernel::Shutdown();
    kernelUp_ = false;
    return verdict;
}

}  // namespace vcam
