// Saves one captured YUY2 frame as an 8-bit RGB PNG, converting with the
// BT.601 limited-range matrix the camera's pixels are defined in. Each chroma
// pair is shared by the two pixels it belongs to (no interpolation), so the
// picture shows exactly what was delivered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcam {

class SnapshotWriter {
  public:
    // Writes `yuy2` (kYuy2Bytes, top row first) to `path` as PNG. Throws
    // ToolError (input/output) when the file cannot be written.
    static void WriteYuy2(const std::string& path, const uint8_t* yuy2);

    // The conversion alone: packed RGB (R, G, B per pixel, top row first),
    // kWidth * kHeight * 3 bytes.
    static std::vector<uint8_t> Yuy2ToRgb(const uint8_t* yuy2);
};

}  // namespace vcam
