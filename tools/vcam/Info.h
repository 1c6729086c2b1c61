// `vcam info`: what a capture application sees of the camera, laid out like
// a V4L2 device listing: the device interfaces with their categories, the
// filter, the capture pin (name, data flow, instances, each data range field
// by field), the format the intersection yields, the allocator framing and
// stream header size of a created pin, and the frame injection set with its
// signature. Everything is asked through the client calls.
#pragma once

#include <cstdio>

namespace vcam {

class Info {
  public:
    // Brings the camera up on the real clock, prints, tears it down.
    // Returns the exit code; throws ToolError (camera) for a refused step.
    static int Print(std::FILE* out);
};

}  // namespace vcam
