// `vcam check`: a conformance run against the camera in the style of a
// compliance suite, through the client calls only, so that the same checks
// can one day run against an installed camera. Sections:
//   identity   device interfaces and categories, the filter, the capture pin
//              factory, the frame injection signature;
//   formats    the data range field by field, the intersection and its size
//              query, ranges and formats that must be refused;
//   pin        instances, stream header size and framing, the legal state
//              path, format changes by state, the one-pin claim;
//   streaming  N frames: monotonic presentation times, PictureNumber 1, 2,
//              3, ..., Duration 333667, DataUsed, flags; pause and resume;
//              every buffer back at stop;
//   injection  pushes change what is captured (I420 exactly, RGB24 by the
//              BT.601 matrix, top row first), pushes while paused or without
//              a running stream do not.
// Every check that fails prints its expression and place; the run ends with
// the totals line and exits non-zero when anything failed.
//
// Self-test: with VCAM_CHECK_BREAK=1 in the environment the streaming
// section expects a Duration one unit off, so exactly that check must fail;
// the test run uses it to show the suite can fail.
#pragma once

#include "tools/vcam/Camera.h"
#include "tools/vcam/CheckLog.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace vcam {

struct ConformanceOptions {
    unsigned frames = 30;       // frames streamed in the streaming section
    bool virtualClock = false;  // run on the virtual clock instead of the real one
};

class Conformance {
  public:
    Conformance(ConformanceOptions options, std::FILE* out);
    // Runs every section; returns 0 when every check held, kExitNonConformant
    // otherwise. Throws ToolError (camera) when the camera cannot be brought up.
    int Run();

  private:
    // One delivered buffer as the checks look at it.
    struct Delivery {
        NTSTATUS status;
        KSSTREAM_HEADER header;
        bool hasFrameInfo;
        KS_FRAME_INFO frameInfo;
        std::vector<uint8_t> picture;  // kept only when asked for
    };
    // A capture pin streaming with buffers always queued.
    struct Stream {
        std::unique_ptr<host::PinHandle> pin;
        std::vector<std::vector<uint8_t>> buffers;
    };

    void Identity();
    void Formats();
    void Pin();
    void Streaming();
    void Injection();

    // Creates the capture pin with the negotiated format on `filter`, queues
    // `bufferCount` buffers and runs it. Records a failed step as a failed
    // check and returns false.
    bool StartStream(host::FilterHandle& filter, Stream* stream, unsigned bufferCount = 4);
    // Waits for the next delivered buffer (queueing it again), up to a
    // second of stream time. False on a time-out.
    bool Next(Stream& stream, Delivery* delivery, bool keepPicture);
    // Drops what is already delivered and returns the second delivery
    // after now: the first one whose tick started after the call.
    bool Fresh(Stream& stream, Delivery* delivery);
    // Pushes one frame through the frame injection property.
    NTSTATUS Push(host::FilterHandle& filter, const std::vector<uint8_t>& frame);

    ConformanceOptions options_;                  // as given
    CheckLog log_;                                // outcomes and the report
    std::unique_ptr<Camera> camera_;              // up for the whole run
    std::unique_ptr<host::FilterHandle> filter_;  // opened by KSCATEGORY_VIDEO_CAMERA
    ULONG pinId_ = 0;                             // the capture pin factory
    std::vector<uint8_t> format_;                 // the intersected format
    bool broken_ = false;                         // VCAM_CHECK_BREAK=1: one expectation is off
};

}  // namespace vcam
