// The host's pool: tracked blocks from the C library (see PoolTracker), with
// the verifier's IRQL checks, fault injection and the live-object check on
// free. ExAllocatePoolWithTag/ExFreePool and the lookaside lists' default
// routines come through here.
#pragma once

#include <host/ntddk.h>

namespace host {

class Pool {
  public:
    // At most DISPATCH_LEVEL (paged pool: APC_LEVEL). `counted` makes the
    // call one allocation for fault injection; lookaside lists count their own
    // allocations and pass false. `caller` is the driver's call site.
    static PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool counted, const void* caller);
    // At most DISPATCH_LEVEL. Reports double and unknown frees (and leaves the
    // memory alone), and live executive objects inside the block.
    static void Free(PVOID block, const char* routine, const void* caller);
};

}  // namespace host
