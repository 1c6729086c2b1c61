// The device's Plug and Play dispatch: Add makes the VcamDevice, the frame
// engine and the filter factory; Start and Stop have nothing to do.
#pragma once

#include "driver/platform/Platform.h"

extern const KSDEVICE_DISPATCH VcamDeviceDispatch;
extern const KSDEVICE_DESCRIPTOR VcamDeviceDescriptor;

// PASSIVE_LEVEL, pageable; the class library once the KSDEVICE exists. Takes
// the device mutex. STATUS_INSUFFICIENT_RESOURCES, the bag's status when it
// refuses the VcamDevice (which is then freed; Context stays unset) or the
// engine, or the filter factory's status; on failure the device fails and
// its bag frees what was put in it.
NTSTATUS DeviceAdd(PKSDEVICE device);
