// A KS device: the KSDEVICE with its functional and physical device objects,
// its bag and device mutex, its filter factories and the filters opened
// through them, driven through Plug and Play as the platform does it:
//  - Add: the driver's Add runs once the KSDEVICE exists; failing it fails
//    the device (its bag is freed);
//  - Start: the driver's Start runs with both resource lists NULL; Started is
//    set while the start request is processed: before Start, after it
//    succeeds, or after PostStart (variant started-flag); the device mutex is
//    held around Start and PostStart or not (variant device-mutex-at-start);
//  - Stop: the driver's Stop runs, Started is cleared and every factory made
//    with KSCREATE_ITEM_FREEONSTOP is freed (with its bag and interfaces);
//  - Remove: stops a started device first, runs the driver's Remove, frees
//    every factory and then the device's bag.
// Stop and Remove are refused (STATUS_INVALID_DEVICE_STATE) while filters are
// open. Filter opens fail with STATUS_DEVICE_NOT_READY while not started.
// The device mutex is held around filter Create and Close. The device's bag
// changes only with the device mutex held (checked by the bag routines).
#pragma once

#include <host/ks.h>

#include "host/ks/KsDeviceMutex.h"
#include "host/ks/KsObjectBag.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host::ks {

class KsDriverRecord;
class KsFilterFactoryObject;
class KsFilterObject;
class KsPinObject;

struct KsInterfaceInfo {
    GUID category;                   // the interface class
    std::u16string referenceString;  // the factory's reference string
};

class KsDeviceObject {
  public:
    // PASSIVE_LEVEL. Makes the device of a driver whose DriverEntry called
    // KsInitializeDriver and runs its Add; the device exists only on success.
    static NTSTATUS Add(KsDriverRecord* driver, std::unique_ptr<KsDeviceObject>* device);
    // PASSIVE_LEVEL. A device not yet removed has its filters closed and is
    // removed (without the driver's veto).
    ~KsDeviceObject();
    KsDeviceObject(const KsDeviceObject&) = delete;
    KsDeviceObject& operator=(const KsDeviceObject&) = delete;

    // PASSIVE_LEVEL client requests; see the file comment.
    NTSTATUS Start();
    NTSTATUS Stop();
    // System sleep, then wake (st/power-and-state-changes-in-avstream), the
    // device mutex held throughout as the class library holds it for
    // IRP_MN_SET_POWER and pin sleep and wake: Sleep pauses every running
    // pin, then calls SetPower(D3); Wake calls SetPower(D0) first, then runs
    // those pins again. STATUS_INVALID_DEVICE_STATE unless started (Sleep)
    // or asleep (Wake).
    NTSTATUS Sleep();
    NTSTATUS Wake();
    NTSTATUS Remove();
    bool Started() const { return started_.load(); }
    bool Removed() const { return removed_.load(); }
    // The interfaces through which filters can be opened now (none unless
    // the device is started).
    std::vector<KsInterfaceInfo> Interfaces();
    // Opens a filter through the interface of `category` (and reference
    // string, when given): STATUS_DEVICE_NOT_READY while not started,
    // STATUS_OBJECT_NAME_NOT_FOUND when no such interface exists, else the
    // status of the driver's filter Create.
    NTSTATUS OpenFilter(const GUID& category, const std::u16string* referenceString,
                        std::shared_ptr<KsFilterObject>* filter);
    // Closes an open filter (its pins first).
    void CloseFilter(const std::shared_ptr<KsFilterObject>& filter);

    PKSDEVICE KsDevice() { return &ksDevice_; }
    // Any IRQL. The device whose functional device object this is, or nullptr.
    static KsDeviceObject* FromDeviceObject(PDEVICE_OBJECT deviceObject);

    // KsCreateFilterFactory on this device; PASSIVE_LEVEL, checked by the caller.
    NTSTATUS CreateFilterFactory(const KSFILTER_DESCRIPTOR* descriptor, PCWSTR referenceString,
                                 ULONG createItemFlags, PKSFILTERFACTORY* factory);
    KsDeviceMutex& Mutex() { return mutex_; }

  private:
    class PlatformHold;
    explicit KsDeviceObject(const KSDEVICE_DESCRIPTOR* descriptor);
    // The factories the descriptor lists (at Add, before or after the driver's).
    void CreateDescriptorFactories();
    // With pnpMutex_ held. KSDEVICE.Started and its mirror.
    void SetStarted(bool started);
    const KSDEVICE_DISPATCH* Dispatch() const;
    // With pnpMutex_ held. The stop sequence of a started device.
    void StopLocked();
    // With pnpMutex_ held. Removes the device; `force` skips the vetoes.
    NTSTATUS RemoveLocked(bool force);
    // Frees the factories made with KSCREATE_ITEM_FREEONSTOP, or all.
    void FreeFactories(bool onlyFreeOnStop);
    size_t OpenFilterCount();

    KSDEVICE ksDevice_;               // the driver's view; fields written under pnpMutex_
    DEVICE_OBJECT functionalDevice_;  // FDO; HostDevice = this
    DEVICE_OBJECT physicalDevice_;    // PDO (the bus's device, below the FDO)
    KsObjectBag bag_;                 // the device's bag
    KsDeviceMutex mutex_;             // KsAcquireDevice/KsReleaseDevice
    std::mutex pnpMutex_;             // serialises PnP requests and filter opens and closes
    std::mutex listMutex_;            // guards factories_ and filters_ (taken briefly)
    std::vector<std::unique_ptr<KsFilterFactoryObject>> factories_;  // listMutex_
    std::vector<std::shared_ptr<KsFilterObject>> filters_;           // open filters; listMutex_
    std::atomic<bool> started_;  // mirror of ksDevice_.Started for other threads
    std::atomic<bool> removed_;  // Remove has run; nothing more is accepted
    bool asleep_ = false;        // between Sleep and Wake; pnpMutex_
    // Every pin open on the device now.
    std::vector<std::shared_ptr<KsPinObject>> OpenPins();
    void SetPower(DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
};

}  // namespace host::ks
