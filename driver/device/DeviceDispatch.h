// The device's Plug and Play dispatch: Add makes the VcamDevice, Start makes
// the filter factory and the frame engine, Stop has nothing to undo.
#pragma once

#include "driver/platform/Platform.h"

extern const KSDEVICE_DISPATCH VcamDeviceDispatch;
extern const KSDEVICE_DESCRIPTOR VcamDeviceDescriptor;

// PASSIVE_LEVEL, pageable; the class library once the KSDEVICE exists.
// STATUS_INSUFFICIENT_RESOURCES, or the bag's status when it refuses the
// VcamDevice (which is then freed; Context stays unset).
NTSTATUS DeviceAdd(PKSDEVICE device);

// PASSIVE_LEVEL, pageable; the class library's start request. The resource
// lists are ignored (the device is virtual). Success at once if the device is
// already started; otherwise the filter factory's status, or
// STATUS_INSUFFICIENT_RESOURCES / the bag's status for the engine.
NTSTATUS DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources);

// PASSIVE_LEVEL, pageable; the class library's stop. The filter factory goes
// by itself (FREEONSTOP); the engine stays with the device.
void DeviceStop(PKSDEVICE device, PIRP irp);
