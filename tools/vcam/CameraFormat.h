// The one picture geometry the camera streams, and the byte sizes of the
// frames that travel through it. The numbers come from the driver's own
// descriptor constants so the tool cannot drift from the driver.
#pragma once

#include "driver/pin/Descriptors.h"

#include <cstddef>
#include <cstdint>

namespace vcam {

constexpr int kWidth = VCAM_WIDTH;
constexpr int kHeight = VCAM_HEIGHT;
// Pushed frames: planar I420 (Y, then U, then V) or packed 24-bit RGB.
constexpr size_t kLumaBytes = static_cast<size_t>(kWidth) * kHeight;
constexpr size_t kI420Bytes = kLumaBytes * 3 / 2;  // 1382400
constexpr size_t kRgb24Bytes = kLumaBytes * 3;     // 2764800
// Delivered frames: packed YUY2, two bytes per pixel.
constexpr size_t kYuy2Bytes = VCAM_IMAGE_SIZE;  // 1843200
// The stream's frame period in 100 ns units (29.97 frames per second).
constexpr int64_t kFramePeriod = VCAM_FRAME_INTERVAL;

enum class PixelFormat { I420, Rgb24 };

constexpr size_t FrameBytes(PixelFormat format) {
    return format == PixelFormat::I420 ? kI420Bytes : kRgb24Bytes;
}

}  // namespace vcam
