// How a client creates a pin.
#pragma once

namespace host {

struct PinOptions {
    // The graph gives the pin a reference clock. Without one, the driver's
    // KsPinGetReferenceClockInterface fails (STATUS_DEVICE_NOT_READY).
    bool referenceClock = true;
};

}  // namespace host
