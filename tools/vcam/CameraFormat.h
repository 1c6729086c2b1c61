// The one picture geometry the camera streams, and the byte sizes of the
// frames that travel through it. vcam.exe (Windows) sees no driver header,
// so the numbers are written here; the host build checks them against the
// driver's own descriptor constants so the tool cannot drift from the driver.
#pragma once

#if defined(VCAM_HOST)
#include "driver/pin/Descriptors.h"
#endif

#include <cstddef>
#include <cstdint>

namespace vcam {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
// Pushed frames: planar I420 (Y, then U, then V) or packed 24-bit RGB.
constexpr size_t kLumaBytes = static_cast<size_t>(kWidth) * kHeight;
constexpr size_t kI420Bytes = kLumaBytes * 3 / 2;  // 1382400
constexpr size_t kRgb24Bytes = kLumaBytes * 3;     // 2764800
// Delivered frames: packed YUY2, two bytes per pixel.
constexpr size_t kYuy2Bytes = kLumaBytes * 2;  // 1843200
// The stream's frame period in 100 ns units (29.97 frames per second).
constexpr int64_t kFramePeriod = 333667;

#if defined(VCAM_HOST)
static_assert(kWidth == VCAM_WIDTH && kHeight == VCAM_HEIGHT, "the driver's picture size");
static_assert(kYuy2Bytes == VCAM_IMAGE_SIZE, "the driver's image size");
static_assert(kFramePeriod == VCAM_FRAME_INTERVAL, "the driver's frame interval");
#endif

enum class PixelFormat { I420, Rgb24 };

constexpr size_t FrameBytes(PixelFormat format) {
    return format == PixelFormat::I420 ? kI420Bytes : kRgb24Bytes;
}

}  // namespace vcam
