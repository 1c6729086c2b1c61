// What vcam pushes into the camera: a sequence of whole frames in one of the
// two layouts the frame injection property takes (I420 or RGB24, told apart
// by their length), at a frame rate. A source is read by one thread.
#pragma once

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/FrameRate.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vcam {

class FrameSource {
  public:
    virtual ~FrameSource() = default;

    virtual PixelFormat Format() const = 0;
    // The rate at which the source's frames are meant to be shown.
    virtual FrameRate Rate() const = 0;
    // Fills `frame` (resized to FrameBytes(Format())) with the next frame.
    // Returns false at the end of a finite source. Throws ToolError (input)
    // when the source is malformed, e.g. a frame cut short.
    virtual bool Next(std::vector<uint8_t>& frame) = 0;
    // False for a source that never ends (the pattern, a looped file).
    virtual bool Finite() const = 0;
    // One line for the summary: "built-in pattern", "clip.y4m (30/1 fps)".
    virtual std::string Describe() const = 0;
};

}  // namespace vcam
