// Reads headerless frames of one fixed layout (I420 or RGB24, 1280 x 720)
// back to back from standard input or a file, as `ffmpeg -f rawvideo` writes
// them. Raw data carries no rate, so the caller says at which rate the
// frames are to be shown.
#pragma once

#include "tools/vcam/FrameSource.h"

#include <string>

namespace vcam {

class RawFrameReader : public FrameSource {
  public:
    // `path` "-" is standard input. `loop` starts again at the end (files
    // only). Throws ToolError (input) when the file cannot be opened.
    RawFrameReader(const std::string& path, PixelFormat format, FrameRate rate, bool loop);
    ~RawFrameReader() override;
    RawFrameReader(const RawFrameReader&) = delete;
    RawFrameReader& operator=(const RawFrameReader&) = delete;

    PixelFormat Format() const override { return format_; }
    FrameRate Rate() const override { return rate_; }
    // Reads exactly one frame. A stream that ends between two frames ends
    // the source; one that ends inside a frame is an input error that names
    // the byte count, since it means the producer's size or format differs.
    bool Next(std::vector<uint8_t>& frame) override;
    bool Finite() const override { return !loop_; }
    std::string Describe() const override;

  private:
    // Reads up to `length` bytes, retrying short reads; returns the count.
    size_t ReadFully(uint8_t* data, size_t length);

    std::string path_;           // for messages
    int fd_;                     // descriptor read from; owned unless it is 0
    bool ownsFd_;                // fd_ was opened here
    PixelFormat format_;         // layout of every frame
    FrameRate rate_;             // rate given by the caller
    bool loop_;                  // rewind at the end instead of ending
    uint64_t framesRead_ = 0;    // frames returned so far
    uint64_t framesInPass_ = 0;  // frames since the last rewind
};

}  // namespace vcam
