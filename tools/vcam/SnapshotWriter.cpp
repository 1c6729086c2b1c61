#include "tools/vcam/SnapshotWriter.h"

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/ToolError.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace vcam {

namespace {

uint8_t Clamp(int value) {
    return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// BT.601, limited range (Y 16..235, C 16..240), in 8.8 fixed point:
//   R = 1.164 (Y - 16) + 1.596 (V - 128)
//   G = 1.164 (Y - 16) - 0.392 (U - 128) - 0.813 (V - 128)
//   B = 1.164 (Y - 16) + 2.017 (U - 128)
void ToRgb(int y, int u, int v, uint8_t* rgb) {
    const int c = 298 * (y - 16) + 128;
    const int d = u - 128;
    const int e = v - 128;
    rgb[0] = Clamp((c + 409 * e) >> 8);
    rgb[1] = Clamp((c - 100 * d - 208 * e) >> 8);
    rgb[2] = Clamp((c + 516 * d) >> 8);
}

}  // namespace

std::vector<uint8_t> SnapshotWriter::Yuy2ToRgb(const uint8_t* yuy2) {
    std::vector<uint8_t> rgb(kLumaBytes * 3);
    for (size_t pair = 0; pair < kLumaBytes / 2; ++pair) {
        const uint8_t* g = yuy2 + 4 * pair;
        ToRgb(g[0], g[1], g[3], &rgb[6 * pair]);
        ToRgb(g[2], g[1], g[3], &rgb[6 * pair + 3]);
    }
    return rgb;
}

void SnapshotWriter::WriteYuy2(const std::string& path, const uint8_t* yuy2) {
    const std::vector<uint8_t> rgb = Yuy2ToRgb(yuy2);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw ToolError(kExitInput, path + ": " + std::strerror(errno));

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::fclose(file);
        throw ToolError(kExitInput, path + ": libpng could not start");
    }
    // libpng reports errors by longjmp; nothing with a destructor is created
    // between here and the end of the writing.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        throw ToolError(kExitInput, path + ": libpng failed to write the image");
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 6);
    png_write_info(png, info);
    for (int row = 0; row < kHeight; ++row) {
        png_write_row(png, rgb.data() + static_cast<size_t>(row) * kWidth * 3);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) throw ToolError(kExitInput, path + ": " + std::strerror(errno));
}

}  // namespace vcam
