// VcamFilter: the capture filter's context, one per filter instance, in
// KSFILTER.Context, owned by the filter's object bag.
#pragma once

#include "driver/platform/Platform.h"

struct VcamFilter {
    // The filter instance it belongs to; not owned.
    PKSFILTER ksFilter;

    // PASSIVE_LEVEL, pageable; the filter dispatch Create. Attaches a
    // VcamFilter to the new filter. STATUS_INSUFFICIENT_RESOURCES when it
    // cannot be had, or the bag's status when the bag refuses it; either way
    // the filter is not made.
    static NTSTATUS DispatchCreate(PKSFILTER filter, PIRP irp);

    // Bag free callback; resident. Frees the block; null is ignored.
    static void BagFree(PVOID item);
};
