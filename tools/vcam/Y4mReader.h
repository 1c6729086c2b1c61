// Reads a YUV4MPEG2 (Y4M) stream of 1280 x 720 8-bit 4:2:0 frames, the
// layout ffmpeg writes with -f yuv4mpegpipe or a .y4m file name. The frame
// planes are exactly what the camera takes as an I420 push; the chroma
// siting variants (C420, C420jpeg, C420paldv, C420mpeg2) only differ in where
// the samples sit, not in their layout, so all four are taken. Anything else
// is refused with a message that names what was found.
#pragma once

#include "tools/vcam/FrameSource.h"

#include <cstdio>
#include <string>

namespace vcam {

class Y4mReader : public FrameSource {
  public:
    // Opens `path` ("-" reads standard input) and parses its stream header.
    // `loop` starts again at the first frame at the end (files only).
    // Throws ToolError (input) for a missing file, a malformed header, a
    // frame size other than 1280 x 720 or a colour space other than 4:2:0.
    Y4mReader(const std::string& path, bool loop);
    ~Y4mReader() override;
    Y4mReader(const Y4mReader&) = delete;
    Y4mReader& operator=(const Y4mReader&) = delete;

    PixelFormat Format() const override { return PixelFormat::I420; }
    FrameRate Rate() const override { return rate_; }
    bool Next(std::vector<uint8_t>& frame) override;
    bool Finite() const override { return !loop_; }
    std::string Describe() const override;

    // The colour space tag as found ("420jpeg" when the header has none).
    const std::string& Colorspace() const { return colorspace_; }

  private:
    void ParseHeader(const std::string& line);
    // Reads one '\n'-terminated line of at most `limit` bytes into `line`;
    // false at a clean end of file before any byte.
    bool ReadLine(std::string* line, size_t limit);

    std::string path_;           // as given on the command line, for messages
    std::FILE* file_;            // the open stream; owned unless it is stdin
    bool ownsFile_;              // file_ was opened here and is closed here
    bool loop_;                  // rewind at the end instead of ending
    FrameRate rate_;             // from the F tag
    std::string colorspace_;     // from the C tag
    long firstFrameOffset_;      // file offset of the first FRAME marker (for looping)
    uint64_t framesRead_ = 0;    // frames returned so far, over every loop
    uint64_t framesInPass_ = 0;  // frames returned since the last rewind
};

}  // namespace vcam
