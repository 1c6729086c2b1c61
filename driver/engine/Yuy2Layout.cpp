#include "driver/engine/Yuy2Layout.h"

// Any IRQL, resident: called under the engine's queue lock.
float Yuy2Layout::BytesPerPixel() const {
    return 2.0f;
}
