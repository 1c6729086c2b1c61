#include "driver/engine/Rgb24Layout.h"

// Any IRQL, resident: called under the engine's queue lock.
float Rgb24Layout::BytesPerPixel() const {
    return 3.0f;
}
