#include "driver/engine/PixelLayout.h"

// PASSIVE_LEVEL. Nothing to release beyond the block itself.
PixelLayout::~PixelLayout() {}

// Layouts are built in pool memory (by the VcamDevice's claim); the deleting
// destructor hands the block straight back.
void PixelLayout::operator delete(void* block) {
    ExFreePool(block);
}
