// `vcam check` against a camera reached through a transport: the checks of
// the host conformance run that a user-mode client can make on an installed
// camera, through the same requests (KsWire) on both platforms. Sections:
//   identity   the frame injection signature (and a short or wrong request
//              refused), the one capture pin factory: data flow, category,
//              instances;
//   formats    the data range, the intersection and its size query;
//   pin        creation, the one-instance limit, the state path up and down
//              one step at a time, the allocator framing;
//   streaming  N frames read with KSSTREAM_HEADER + KS_FRAME_INFO: DataUsed,
//              Duration, flags, rising times, PictureNumber 1, 2, 3, ...;
//              every read back at stop;
//   injection  a pushed I420 picture is what the reads deliver (its luma
//              exactly, its drawn sequence number).
// Self-test: VCAM_CHECK_BREAK=1 expects a Duration one unit off, so exactly
// that check fails.
#pragma once

#include "tools/vcam/CheckLog.h"
#include "tools/vcam/device/DeviceCamera.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace vcam {

class DeviceCheck {
  public:
    DeviceCheck(KsTransport& transport, unsigned frames, std::FILE* out);
    // Runs every section; 0 when every check held, kExitNonConformant
    // otherwise. Throws ToolError (camera) when the camera cannot be queried.
    int Run();

  private:
    // A running capture pin with reads kept queued.
    struct Stream {
        std::unique_ptr<KsPinChannel> pin;
        std::vector<std::unique_ptr<KsRead>> reads;
    };

    void Identity();
    void Formats();
    void Pin();
    void Streaming();
    void Injection();
    bool StartStream(Stream* stream);
    // The next read back (queued again after it is looked at); false on a
    // time-out of a second.
    bool Next(Stream& stream, WireFrameHeader* header, std::vector<uint8_t>* picture);
    void StopStream(Stream& stream);

    DeviceCamera camera_;          // the camera under test
    unsigned frames_;              // frames in the streaming section
    std::FILE* out_;               // where the report goes
    CheckLog log_;                 // outcomes and the report
    uint32_t pinId_ = 0;           // the capture pin factory
    std::vector<uint8_t> format_;  // the intersected format
    bool broken_ = false;          // VCAM_CHECK_BREAK=1
};

}  // namespace vcam
