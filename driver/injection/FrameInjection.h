// The frame injection property set: the camera's only inbound data path. A
// frame source opens the capture filter and sends IOCTL_KS_PROPERTY requests
// for VCAM_PROPERTY_FRAME of FrameInjectionSet:
//   get -> the 4 bytes of VCAM_SIGNATURE (77 AA 77 AA), Information 4;
//   set -> one whole frame (I420 or RGB24, told apart by its length) that
//          becomes the current image while the engine runs.
// The set belongs to the filter's automation table, so it works whether or
// not a capture pin exists.
#pragma once

#include "driver/platform/Platform.h"

// {CB043957-7B35-456E-9B61-5513930F4D8E}
#define STATIC_VCAM_PROPSETID_FrameInjection \
    0xCB043957, 0x7B35, 0x456E, 0x9B, 0x61, 0x55, 0x13, 0x93, 0x0F, 0x4D, 0x8E

#define VCAM_PROPERTY_FRAME 0
#define VCAM_SIGNATURE 0xAA77AA77UL

extern const GUID FrameInjectionSetId;
extern const KSPROPERTY_ITEM FrameInjectionItem;
extern const KSPROPERTY_SET FrameInjectionSet;
extern const KSAUTOMATION_TABLE FilterAutomationTable;

// PASSIVE_LEVEL, pageable; the class library's property dispatch, after its
// MinProperty check. Writes VCAM_SIGNATURE when the data buffer holds at
// least 4 bytes; a shorter buffer gets nothing written and
// STATUS_BUFFER_TOO_SMALL with Information 4 (the size it needs).
NTSTATUS GetFrameProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);

// PASSIVE_LEVEL, pageable; the class library's property dispatch. Hands the
// data buffer, used in place, to the device's engine. Always STATUS_SUCCESS;
// Information is not touched.
NTSTATUS SetFrameProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);
