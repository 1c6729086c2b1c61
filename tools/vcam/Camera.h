// The camera as a user-mode program finds it on the host kernel: the kernel
// booted on one of its two clocks, the driver loaded through its entry point,
// its device added and started by Plug and Play, and filters opened through
// the device's interfaces. Everything goes through host/client, the calls a
// real capture application makes; nothing reaches into the driver.
#pragma once

#include <host/executive/HostKernel.h>

#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/client/PinHandle.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vcam {

// What the verifier saw over the camera's life, taken after the device was
// removed.
struct VerifierVerdict {
    uint64_t violations = 0;      // rule violations recorded (leaks not included)
    uint64_t poolBlocksLeft = 0;  // pool blocks still allocated after removal
    std::string description;      // the violations and leaked blocks, one per line
};

class Camera {
  public:
    // Boots the host kernel on `mode`, resets the verifier, loads the driver
    // and adds and starts its device. Throws ToolError (camera) naming the
    // step that failed and its status.
    explicit Camera(host::ClockMode mode);
    // The driver every Camera of this process loads: the built image (.sys)
    // at `path` (vcam --driver), or, when empty, VCAM_DRIVER's image if that is
    // set, else the host build of the driver. A refused image throws
    // ToolError (input) naming what was refused.
    static void UseDriverImage(const std::string& path);
    // Tears down whatever is still up (best effort) and stops the kernel's
    // real-clock threads.
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    host::Device& Device() { return *device_; }
    host::Driver& Driver() { return *driver_; }
    host::ClockMode Mode() const { return mode_; }

    // Opens a filter through the interface of `category`; throws ToolError
    // (camera) when that fails.
    std::unique_ptr<host::FilterHandle> OpenFilter(const GUID& category);

    // Stops and removes the device and unloads the driver, then asks the
    // verifier for its verdict: violations, and pool blocks left behind.
    // Filters and pins must be closed first. Throws ToolError (camera) when
    // the device refuses to stop or go away.
    VerifierVerdict Shutdown();

  private:
    host::ClockMode mode_;                  // the clock the kernel was booted on
    std::unique_ptr<host::Driver> driver_;  // the loaded driver
    std::unique_ptr<host::Device> device_;  // its one device; null once removed
    bool kernelUp_ = false;                 // HostKernel::Shutdown still to be called
};

}  // namespace vcam
