#include "driver/device/DeviceDispatch.h"

#include "driver/device/Pool.h"
#include "driver/device/VcamDevice.h"
#include "driver/engine/FrameEngine.h"
#include "driver/pin/Descriptors.h"

const KSDEVICE_DISPATCH VcamDeviceDispatch = {
    DeviceAdd,    // Add: the VcamDevice
    DeviceStart,  // Start: the filter factory and the frame engine
    nullptr,      // PostStart
    nullptr,      // QueryStop
    nullptr,      // CancelStop
    DeviceStop,   // Stop: nothing to undo
    nullptr,      // QueryRemove
    nullptr,      // CancelRemove
    nullptr,      // Remove: the device bag frees everything
    nullptr,      // QueryCapabilities
    nullptr,      // SurpriseRemoval
    nullptr,      // QueryPower
    nullptr,      // SetPower: no hardware to power
    nullptr,      // QueryInterface
};

const KSDEVICE_DESCRIPTOR VcamDeviceDescriptor = {
    &VcamDeviceDispatch,  // Dispatch
    0,                    // FilterDescriptorsCount: Start makes the one factory
    nullptr,              // FilterDescriptors
    0,                    // Version
};

namespace {

// Bag free callback for engines: their memory only. The pin has stopped the
// engine long before the device can be freed, so there is nothing to undo.
VCAM_RESIDENT void EngineBagFree(PVOID item) {
    PoolFree(item);
}

}  // namespace

VCAM_PAGE NTSTATUS DeviceAdd(PKSDEVICE device) {
    PAGED_CODE();
    PVOID block = PoolAllocateZeroed(sizeof(VcamDevice), NonPagedPoolNx, VCAM_TAG_DEVICE);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    VcamDevice* vcamDevice = new (block) VcamDevice(device);

    KsAcquireDevice(device);
    const NTSTATUS status = KsAddItemToObjectBag(device->Bag, vcamDevice, VcamDevice::BagFree);
    KsReleaseDevice(device);

    if (!NT_SUCCESS(status)) {
        VcamDevice::BagFree(vcamDevice);
        return status;
    }
    device->Context = vcamDevice;
    return status;
}

VCAM_PAGE NTSTATUS DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                               PCM_RESOURCE_LIST untranslatedResources) {
    PAGED_CODE();
    (void)irp;
    (void)translatedResources;
    (void)untranslatedResources;
    VcamDevice* vcamDevice = static_cast<VcamDevice*>(device->Context);
    if (device->Started) {
        return STATUS_SUCCESS;
    }

    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(
        device->FunctionalDeviceObject, &CaptureFilterDescriptor, CaptureReferenceString, nullptr,
        KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // A start after a stop makes a new engine; the earlier one stays in the
    // bag, stopped, until the device is freed.
    PVOID block = PoolAllocateZeroed(sizeof(FrameEngine), NonPagedPoolNx, VCAM_TAG_ENGINE);
    if (block == nullptr) {
        vcamDevice->engine = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FrameEngine* engine = new (block) FrameEngine(vcamDevice);
    vcamDevice->engine = engine;

    status = KsAddItemToObjectBag(device->Bag, engine, EngineBagFree);
    if (!NT_SUCCESS(status)) {
        PoolFree(engine);
        vcamDevice->engine = nullptr;
    }
    return status;
}

VCAM_PAGE void DeviceStop(PKSDEVICE device, PIRP irp) {
    PAGED_CODE();
    (void)device;
    (void)irp;
}
