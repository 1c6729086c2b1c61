#include "tools/vcam/Camera.h"

#include <host/verifier/Verifier.h>

#include "tools/vcam/Names.h"
#include "tools/vcam/ToolError.h"

#include <cstdlib>

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace vcam {

namespace {

std::string& DriverImagePath() {
    static std::string path;  // set once by main before any Camera
    return path;
}

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
    std::string path = DriverImagePath();
    if (path.empty() && std::getenv("VCAM_DRIVER") != nullptr) {
        path = std::getenv("VCAM_DRIVER");
    }
    if (path.empty()) {
        Require(host::Driver::Load(DriverEntry, &driver_), "loading the driver (DriverEntry)");
    } else {
        std::string error;
        NTSTATUS status = host::Driver::LoadImage(path, &driver_, &error);
        if (status == STATUS_INVALID_IMAGE_FORMAT && !error.empty()) {
            throw ToolError(kExitInput, "driver image refused: " + error);
        }
        Require(status, "loading the driver image " + path + " (DriverEntry)");
    }
    Require(driver_->AddDevice(&device_), "adding the device (AddDevice)");
    Require(device_->Start(), "starting the device (IRP_MN_START_DEVICE)");
}

void Camera::UseDriverImage(const std::string& path) {
    DriverImagePath() = path;
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
