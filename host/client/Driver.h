// Loading a driver, as the I/O manager does: a driver object and a registry
// path are handed to the driver's entry point, and the driver's devices are
// added through the class library's AddDevice. Every call returns NTSTATUS
// and runs at PASSIVE_LEVEL on the caller's thread.
#pragma once

#include <host/ks.h>

#include <memory>
#include <string>

namespace host {

namespace ks {
class KsDriverRecord;
}
namespace loader {
class DriverImage;
}

class Device;

// The driver's entry point, as the real driver exports it.
using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

class Driver {
  public:
    // Calls `entry` with a new driver object and the service's registry path
    // (\Registry\Machine\System\CurrentControlSet\Services\<service>). The
    // driver is loaded only if the entry point succeeds; *driver is set then.
    // Once the entry point has returned, an entry inside a loaded driver image
    // has the image's discardable (INIT) sections freed, as the I/O manager
    // does.
    static NTSTATUS Load(DriverEntryRoutine entry, std::unique_ptr<Driver>* driver,
                         const std::u16string& service = u"VantriCamera");
    // Maps the driver image (.sys) at `path` (host/loader/DriverImage) and
    // loads it through its entry point; the driver keeps the image mapped.
    // STATUS_INVALID_IMAGE_FORMAT with *error set when the image is refused.
    static NTSTATUS LoadImage(const std::string& path, std::unique_ptr<Driver>* driver,
                              std::string* error, const std::u16string& service = u"VantriCamera");
    // The driver a test or tool runs: the image named by the environment
    // variable VCAM_DRIVER when it is set (the shipped .sys), else `builtIn`
    // (the host build of the same sources). A refused image is reported on
    // stderr.
    static NTSTATUS LoadChosen(DriverEntryRoutine builtIn, std::unique_ptr<Driver>* driver,
                               const std::u16string& service = u"VantriCamera");
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Plug and Play found a device for the driver: the KS device is made and
    // the driver's Add runs. STATUS_INVALID_DEVICE_REQUEST when the entry
    // point did not register with KsInitializeDriver; else Add's status.
    NTSTATUS AddDevice(std::unique_ptr<Device>* device);

    PDRIVER_OBJECT DriverObject() { return &driverObject_; }
    const std::u16string& RegistryPath() const { return registryPathText_; }

  private:
    Driver();

    std::unique_ptr<loader::DriverImage> image_;  // the mapped .sys, if any; unmapped last
    DRIVER_OBJECT driverObject_;                  // handed to DriverEntry
    std::u16string registryPathText_;             // backs registryPath_
    UNICODE_STRING registryPath_;                 // handed to DriverEntry
    std::unique_ptr<ks::KsDriverRecord> record_;  // what KsInitializeDriver registered
};

}  // namespace host
