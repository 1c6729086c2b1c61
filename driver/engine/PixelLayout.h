// PixelLayout: the pixel format of the running stream, as the one figure the
// frame engine needs from it (bytes per pixel, averaged over the image).
//
// Layouts are built zero-filled in NonPagedPoolNx by the VcamDevice when a pin
// claims the engine and destroyed through the virtual deleting destructor,
// which returns the memory to the pool. BytesPerPixel runs at DISPATCH_LEVEL
// under the engine's queue lock, so every layout class is resident code.
#pragma once

#include "driver/platform/Platform.h"

class PixelLayout {
  public:
    // Any IRQL; non-blocking; resident.
    virtual float BytesPerPixel() const = 0;
    // PASSIVE_LEVEL; the deleting form frees the object's pool block.
    virtual ~PixelLayout();

    // Layouts live in pool memory; deleting one returns it there.
    static void operator delete(void* block);

  protected:
    PixelLayout() = default;
};

// Row length the engine derives from a layout: BytesPerPixel x width in
// single precision, truncated toward zero.
inline LONG LayoutLineBytes(const PixelLayout* layout, ULONG width) {
    return static_cast<LONG>(layout->BytesPerPixel() * static_cast<float>(width));
}
