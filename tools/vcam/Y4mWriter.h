// Writes captured YUY2 frames as a YUV4MPEG2 stream in planar 4:2:2 (C422):
// the luma and both chroma planes at the camera's full vertical resolution,
// so nothing the camera delivered is lost or resampled. ffmpeg and ffplay
// read it directly; "-" writes standard output for a live pipe.
#pragma once

#include "tools/vcam/FrameRate.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vcam {

class Y4mWriter {
  public:
    // Opens `path` ("-" is standard output) and writes the stream header
    // with `rate`. Throws ToolError (input/output) when it cannot.
    Y4mWriter(const std::string& path, FrameRate rate);
    ~Y4mWriter();
    Y4mWriter(const Y4mWriter&) = delete;
    Y4mWriter& operator=(const Y4mWriter&) = delete;

    // Appends one frame from a packed YUY2 picture of kYuy2Bytes. Returns
    // false when the reader has gone away (a closed pipe), so a live run can
    // end quietly; throws ToolError for any other write failure.
    bool WriteYuy2(const uint8_t* yuy2);
    // Flushes and closes; throws ToolError when the data could not be written.
    void Close();

    uint64_t FramesWritten() const { return framesWritten_; }

  private:
    bool WriteAll(const void* data, size_t length);

    std::string path_;             // for messages
    std::FILE* file_;              // the output; owned unless it is stdout
    bool ownsFile_;                // file_ was opened here
    bool readerGone_ = false;      // a write saw EPIPE; nothing more is written
    std::vector<uint8_t> planar_;  // one frame rearranged as Y, U, V planes
    uint64_t framesWritten_ = 0;   // complete frames written
};

}  // namespace vcam
