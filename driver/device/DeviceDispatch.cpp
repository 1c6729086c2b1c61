#include "driver/device/DeviceDispatch.h"

#include "driver/device/Pool.h"
#include "driver/device/VcamDevice.h"
#include "driver/engine/FrameEngine.h"
#include "driver/pin/Descriptors.h"

const KSDEVICE_DISPATCH VcamDeviceDispatch = {
    DeviceAdd,  // Add: the VcamDevice, the frame engine and the filter factory
    nullptr,    // Start: nothing to do; the class library sets Started
    nullptr,    // PostStart
    nullptr,    // QueryStop
    nullptr,    // CancelStop
    nullptr,    // Stop: nothing to undo; the factory stays for the next start
    nullptr,    // QueryRemove
    nullptr,    // CancelRemove
    nullptr,    // Remove: the device bag frees everything
    nullptr,    // QueryCapabilities
    nullptr,    // SurpriseRemoval
    nullptr,    // QueryPower
    nullptr,    // SetPower: no hardware to power
    nullptr,    // QueryInterface
};

const KSDEVICE_DESCRIPTOR VcamDeviceDescriptor = {
    &VcamDeviceDispatch,  // Dispatch
    0,                    // FilterDescriptorsCount: Add makes the one factory
    nullptr,              // FilterDescriptors
    0,                    // Version
};

namespace {

// Bag free callback for the engine: its memory only. The pin has stopped the
// engine long before the device can be freed, so there is nothing to undo.
VCAM_RESIDENT void EngineBagFree(PVOID item) {
    PoolFree(item);
}

}  // namespace

// Everything the device owns is made here, once, with the device mutex held
// as the documentation requires for bag changes and KsCreateFilterFactory.
// Add is not among the requests during which the class library holds that
// mutex, so taking it here cannot deadlock. Start and Stop then touch neither
// bags nor factories, which keeps them sound whether or not the class
// library holds the device mutex around Start: the factory's interface
// exists from here on, and filter creates through it fail with
// STATUS_DEVICE_NOT_READY until the device is started.
VCAM_PAGE NTSTATUS DeviceAdd(PKSDEVICE device) {
    PAGED_CODE();
    PVOID block = PoolAllocateZeroed(sizeof(VcamDevice), NonPagedPoolNx, VCAM_TAG_DEVICE);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    VcamDevice* vcamDevice = new (block) VcamDevice(device);

    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, vcamDevice, VcamDevice::BagFree);
    if (!NT_SUCCESS(status)) {
        KsReleaseDevice(device);
        VcamDevice::BagFree(vcamDevice);
        return status;
    }
    device->Context = vcamDevice;

    // From here on a failure fails the device, and its bag frees what is in it.
    PVOID engineBlock = PoolAllocateZeroed(sizeof(FrameEngine), NonPagedPoolNx, VCAM_TAG_ENGINE);
    if (engineBlock == nullptr) {
        KsReleaseDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FrameEngine* engine = new (engineBlock) FrameEngine(vcamDevice);
    status = KsAddItemToObjectBag(device->Bag, engine, EngineBagFree);
    if (!NT_SUCCESS(status)) {
        KsReleaseDevice(device);
        PoolFree(engine);
        return status;
    }
    vcamDevice->engine = engine;

    // Lives as long as the device (no KSCREATE_ITEM_FREEONSTOP).
    status = KsCreateFilterFactory(device->FunctionalDeviceObject, &CaptureFilterDescriptor,
                                   CaptureReferenceString, nullptr, 0, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    return status;
}
