#include "driver/injection/FrameInjection.h"

#include "driver/device/VcamDevice.h"

const GUID FrameInjectionSetId = VCAM_GUID(STATIC_VCAM_PROPSETID_FrameInjection);

const KSPROPERTY_ITEM FrameInjectionItem = {
    VCAM_PROPERTY_FRAME,  // PropertyId: the set's one property
    {GetFrameProperty},   // a get answers the signature
    sizeof(KSPROPERTY),   // MinProperty: the dispatcher refuses shorter requests
    0,                    // MinData: a set may be empty (then it does nothing)
    {SetFrameProperty},   // a set pushes one frame
    nullptr,              // Values: none
    0,                    // RelationsCount
    nullptr,              // Relations
    nullptr,              // SupportHandler: none
    0,                    // SerializedSize
};

const KSPROPERTY_SET FrameInjectionSet = {
    &FrameInjectionSetId,  // the frame source finds the camera by this set
    1,                     // one property
    &FrameInjectionItem,
    0,  // no fast I/O
    nullptr,
};

const KSAUTOMATION_TABLE FilterAutomationTable = {
    1,                        // PropertySetsCount: FrameInjectionSet only
    sizeof(KSPROPERTY_ITEM),  // PropertyItemSize
    &FrameInjectionSet,
    0,                      // MethodSetsCount
    sizeof(KSMETHOD_ITEM),  // MethodItemSize
    nullptr,
    0,                     // EventSetsCount
    sizeof(KSEVENT_ITEM),  // EventItemSize
    nullptr,
};

VCAM_PAGE NTSTATUS GetFrameProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    PAGED_CODE();
    (void)request;
    // MinData is 0, so the dispatcher lets a short buffer through; never write
    // past what the caller gave.
    const ULONG length =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = sizeof(ULONG);
    if (length < sizeof(ULONG) || data == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG signature = VCAM_SIGNATURE;
    RtlCopyMemory(data, &signature, sizeof(signature));
    return STATUS_SUCCESS;
}

VCAM_PAGE NTSTATUS SetFrameProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    PAGED_CODE();
    (void)request;
    const ULONG length =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (length == 0 || data == nullptr) {
        return STATUS_SUCCESS;
    }
    // The request addresses a filter of this device; the filter's device's
    // context is the VcamDevice (the filter's own context, a VcamFilter, names
    // that same KSFILTER, so going straight to the device is equivalent).
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    VcamDevice* device = static_cast<VcamDevice*>(KsGetDevice(filter)->Context);
    device->PushFrame(static_cast<const UCHAR*>(data), length);
    return STATUS_SUCCESS;
}
