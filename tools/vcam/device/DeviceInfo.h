// `vcam info` against a camera reached through a transport: where it was
// found, the frame injection signature, the pin factories and their data
// ranges, the intersected format, and the capture pin's state and framing.
#pragma once

#include "tools/vcam/device/KsTransport.h"

#include <cstdio>

namespace vcam {

class DeviceInfo {
  public:
    // Prints the report; returns 0. Throws ToolError (camera) when the
    // camera cannot be queried at all.
    static int Print(KsTransport& transport, std::FILE* out);
};

}  // namespace vcam
