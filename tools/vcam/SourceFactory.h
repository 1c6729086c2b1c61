// Opens the frame source a command line names: the built-in pattern, a Y4M
// file or stream, or raw I420 / RGB24 frames from a file or standard input,
// paced at the source's own rate unless a rate is given. Shared by `vcam
// run` and `vcam feed`.
#pragma once

#include "tools/vcam/FrameSource.h"

#include <memory>
#include <string>

namespace vcam {

struct SourceOptions {
    std::string input;        // "" the built-in pattern, "-" standard input, else a file
    std::string inputFormat;  // "" (y4m for files, i420 for stdin), "i420", "rgb24", "y4m"
    std::string rate;         // "" the source's own rate (raw input: 30000/1001)
    bool loop = false;        // start a file again at its end
};

class SourceFactory {
  public:
    // Throws ToolError: usage for options that do not fit together, input
    // for a file that cannot be opened or read.
    static std::unique_ptr<FrameSource> Open(const SourceOptions& options);
};

}  // namespace vcam
