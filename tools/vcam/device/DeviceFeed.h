// `vcam feed`: pushes a source's frames into an installed camera through the
// frame injection property, paced in absolute time: push k is due at
// start + k x (source period), waited for on the transport's clock, so a
// late push does not shift the ones after it. A producer that falls more
// than four camera periods behind (a slow pipe) starts its schedule again
// from now instead of pushing back to back. The signature is checked before
// the first push. A live progress line goes to standard error on a
// terminal; the summary goes to `out` at the end, also when the input
// turns out bad (frames already pushed stay pushed).
#pragma once

#include "tools/vcam/SourceFactory.h"
#include "tools/vcam/device/KsTransport.h"

#include <cstdint>
#include <cstdio>

namespace vcam {

struct FeedOptions {
    SourceOptions source;  // what to push; the pattern when input is empty
    uint64_t frames = 0;   // stop after this many pushes; 0: until the source ends
    double seconds = -1;   // stop after this much time; < 0: no limit
};

struct FeedSummary {
    uint64_t pushed = 0;       // frames the camera took
    uint64_t late = 0;         // pushes made more than a camera period after their due time
    uint64_t rebased = 0;      // times the schedule started again from now
    double seconds = 0;        // from the first push's due time to the last push
    bool interrupted = false;  // Ctrl-C ended the run
};

class DeviceFeed {
  public:
    DeviceFeed(FeedOptions options, KsTransport& transport, std::FILE* out)
        : options_(std::move(options)), transport_(transport), out_(out) {}
    // Runs the feed. Throws ToolError: usage and input for the source (after
    // printing the summary of what was pushed), camera for a refused push.
    FeedSummary Run();

  private:
    void PrintSummary(const FeedSummary& summary, const std::string& source) const;

    FeedOptions options_;     // as given
    KsTransport& transport_;  // the open camera
    std::FILE* out_;          // where the summary goes
};

}  // namespace vcam
