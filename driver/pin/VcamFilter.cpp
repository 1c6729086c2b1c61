#include "driver/pin/VcamFilter.h"

#include "driver/device/Pool.h"

VCAM_PAGE NTSTATUS VcamFilter::DispatchCreate(PKSFILTER filter, PIRP irp) {
    PAGED_CODE();
    (void)irp;
    VcamFilter* context = static_cast<VcamFilter*>(
        PoolAllocateZeroed(sizeof(VcamFilter), NonPagedPoolNx, VCAM_TAG_FILTER));
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->ksFilter = filter;
    const NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, BagFree);
    if (!NT_SUCCESS(status)) {
        // The bag does not own it, so nothing else will free it.
        PoolFree(context);
        return status;
    }
    filter->Context = context;
    return status;
}

VCAM_RESIDENT void VcamFilter::BagFree(PVOID item) {
    PoolFree(item);
}
