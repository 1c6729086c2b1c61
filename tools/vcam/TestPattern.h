// The built-in frame source: a moving I420 test picture that carries its own
// push sequence number, so the capture side can tell which push a delivered
// frame shows.
//
// Picture (1280 x 720):
//   rows   0..31   the sequence number, 32 bits, most significant first, as
//                  32 x 32 luma squares at x = 32 i: white (235) for 1,
//                  black (16) for 0; right of them the number in digits;
//   rows  32..63   the same 32 squares holding the bitwise complement, so a
//                  decoder can tell a real code from picture content;
//   rows  64..479  75% colour bars scrolling left by 4 pixels per frame, with
//                  a white box bouncing across them;
//   rows 480..559  a horizontal luma ramp from 16 to 235 (grey);
//   rows 560..719  dark grey with the sequence number in large digits.
// The code squares are 32 pixels wide and tall, so they survive the 4:2:0 to
// 4:2:2 trip and any chroma change untouched: only luma is read back.
#pragma once

#include "tools/vcam/FrameSource.h"

#include <cstdint>
#include <optional>

namespace vcam {

class TestPattern : public FrameSource {
  public:
    explicit TestPattern(FrameRate rate) : rate_(rate) {}

    PixelFormat Format() const override { return PixelFormat::I420; }
    FrameRate Rate() const override { return rate_; }
    // Draws the picture for the next sequence number (0, 1, 2, ...).
    bool Next(std::vector<uint8_t>& frame) override;
    bool Finite() const override { return false; }
    std::string Describe() const override;

    // Draws the picture for `sequence` into an I420 frame of kI420Bytes.
    static void Draw(uint32_t sequence, uint8_t* i420);
    // Reads the sequence number back from a delivered YUY2 frame (kYuy2Bytes,
    // rows kWidth * 2 bytes apart, top row first). Empty when the code rows do
    // not hold a number and its complement, e.g. the black picture shown
    // before the first push.
    static std::optional<uint32_t> DecodeYuy2(const uint8_t* yuy2);

  private:
    FrameRate rate_;             // pacing of the pushes
    uint32_t nextSequence_ = 0;  // number drawn by the next call of Next
};

}  // namespace vcam
