// The driver's two pool helpers: every object of the driver is allocated
// through PoolAllocateZeroed and every block returned through PoolFree.
// Both are resident and callable at IRQL <= DISPATCH_LEVEL.
#pragma once

#include "driver/platform/Platform.h"
#include "driver/platform/PoolTags.h"

// Allocates `size` bytes of `poolType` with `tag` and clears them; null when
// the pool has no memory. Any IRQL <= DISPATCH_LEVEL.
PVOID PoolAllocateZeroed(SIZE_T size, POOL_TYPE poolType, ULONG tag);

// Returns a block to the pool; null is ignored. Any IRQL <= DISPATCH_LEVEL.
void PoolFree(PVOID block);
