#include "driver/engine/I420Layout.h"

// Any IRQL, resident: called under the engine's queue lock.
float I420Layout::BytesPerPixel() const {
    return 1.5f;
}
