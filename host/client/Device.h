// A device of a loaded driver, driven through Plug and Play (start, stop,
// remove) and opened through its device interfaces. Every call runs at
// PASSIVE_LEVEL on the caller's thread and returns NTSTATUS.
#pragma once

#include <host/ks.h>

#include "host/client/DeviceInterface.h"

#include <memory>
#include <vector>

namespace host {

namespace ks {
class KsDeviceObject;
}

class FilterHandle;

class Device {
  public:
    // Closes whatever is still open on the device and removes it.
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // IRP_MN_START_DEVICE: the driver's Start runs (resource lists NULL);
    // KSDEVICE.Started is set once it succeeded. A start of a started device
    // reaches the driver's Start again, with Started set.
    NTSTATUS Start();
    // IRP_MN_STOP_DEVICE: STATUS_INVALID_DEVICE_STATE when not started or
    // while filters are open; else the driver's Stop runs, Started is cleared
    // and factories made with KSCREATE_ITEM_FREEONSTOP go away.
    NTSTATUS Stop();
    // IRP_MN_REMOVE_DEVICE: refused while filters are open; stops a started
    // device, runs the driver's Remove, frees the factories and the device's bag.
    NTSTATUS Remove();
    bool Started() const;
    // System sleep and wake: running pins are paused, then the driver's
    // SetPower(D3) runs; on wake SetPower(D0), then those pins run again.
    // STATUS_INVALID_DEVICE_STATE unless started (Sleep) or asleep (Wake);
    // Wake returns the first failure of a pin's way back to RUN.
    NTSTATUS Sleep();
    NTSTATUS Wake();

    // The interfaces filters can be opened through now (none unless started):
    // one per category of each filter factory, with its reference string.
    std::vector<DeviceInterface> Interfaces() const;
    // Opens a filter: STATUS_DEVICE_NOT_READY while not started,
    // STATUS_OBJECT_NAME_NOT_FOUND for no such interface, else the status of
    // the driver's filter Create. Several filters may be open at once.
    NTSTATUS OpenFilter(const GUID& category, std::unique_ptr<FilterHandle>* filter);
    NTSTATUS OpenFilter(const DeviceInterface& deviceInterface,
                        std::unique_ptr<FilterHandle>* filter);

    // For inspection by tests: the KSDEVICE as the driver sees it.
    PKSDEVICE KsDevice() const;

  private:
    friend class Driver;
    explicit Device(std::unique_ptr<ks::KsDeviceObject> device);
    NTSTATUS Open(const GUID& category, const std::u16string* referenceString,
                  std::unique_ptr<FilterHandle>* filter);

    std::unique_ptr<ks::KsDeviceObject> device_;  // the class library's device
};

}  // namespace host
