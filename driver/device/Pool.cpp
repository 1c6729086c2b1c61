#include "driver/device/Pool.h"

// Resident: objects are made and freed from DISPATCH_LEVEL paths too (bag
// free callbacks run wherever the class library frees its objects).
VCAM_RESIDENT PVOID PoolAllocateZeroed(SIZE_T size, POOL_TYPE poolType, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(poolType, size, tag);
    if (block != nullptr) {
        RtlZeroMemory(block, size);
    }
    return block;
}

VCAM_RESIDENT void PoolFree(PVOID block) {
    if (block != nullptr) {
        ExFreePool(block);
    }
}
