// Images as the camera's two clients see them: the uniform frames a frame
// source pushes (I420 and 24-bit RGB in B, G, R order), the YUY2 colour each
// must become in the stream, and the check a capture client makes of a
// buffer that came back filled. Header-only; plain C++, no driver code.
#pragma once

#include <host/ksmedia.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace camtest {

// The stream's one format: YUY2, 1280 x 720, 29.97 frames per second.
constexpr ULONG kWidth = 1280;
constexpr ULONG kHeight = 720;
constexpr ULONG kLine = kWidth * 2;                    // bytes of one YUY2 row
constexpr ULONG kImageSize = kLine * kHeight;          // 1843200
constexpr ULONG kI420Size = kWidth * kHeight * 3 / 2;  // a whole I420 push
constexpr ULONG kRgbSize = kWidth * kHeight * 3;       // a whole RGB24 push
constexpr LONGLONG kFramePeriod = 333667;              // 100 ns units
constexpr ULONG kTimeAndDurationValid = 0x110;         // TIMEVALID | DURATIONVALID

// One YUY2 colour: every pixel pair of a uniform image reads Y U Y V.
struct Yuy2Colour {
    uint8_t y;
    uint8_t u;
    uint8_t v;
};

// What an engine shows before anything was pushed.
constexpr Yuy2Colour kBlack{0x00, 0x80, 0x80};

// A uniform I420 push of `length` bytes into `frame` (resized, its capacity
// kept): the Y plane, then U, then V; bytes past a whole frame (a too-long
// push) are `pad`, and a too-short push is the same frame cut off.
inline void MakeUniformI420(std::vector<uint8_t>* frame, uint8_t y, uint8_t u, uint8_t v,
                            size_t length = kI420Size, uint8_t pad = 0xEE) {
    frame->resize(length);
    const size_t luma = static_cast<size_t>(kWidth) * kHeight;
    const size_t bounds[5] = {0, luma, luma * 5 / 4, kI420Size, length};
    const uint8_t values[4] = {y, u, v, pad};
    for (int part = 0; part < 4; ++part) {
        const size_t begin = bounds[part] < length ? bounds[part] : length;
        const size_t end = bounds[part + 1] < length ? bounds[part + 1] : length;
        if (begin < end) {
            std::memset(frame->data() + begin, values[part], end - begin);
        }
    }
}

inline std::vector<uint8_t> UniformI420(uint8_t y, uint8_t u, uint8_t v, size_t length = kI420Size,
                                        uint8_t pad = 0xEE) {
    std::vector<uint8_t> frame;
    MakeUniformI420(&frame, y, u, v, length, pad);
    return frame;
}

// A uniform RGB24 push of `length` bytes (B, G, R per pixel) into `frame`,
// padded or cut as MakeUniformI420 does.
inline void MakeUniformBgr(std::vector<uint8_t>* frame, uint8_t b, uint8_t g, uint8_t r,
                           size_t length = kRgbSize, uint8_t pad = 0xEE) {
    frame->resize(length);
    const size_t pixels = length < kRgbSize ? length : kRgbSize;
    const uint8_t pixel[3] = {b, g, r};
    uint8_t* data = frame->data();
    // Doubling copies from the start: each lands at a multiple of 3 bytes.
    size_t done = pixels < 3 ? pixels : 3;
    std::memcpy(data, pixel, done);
    while (done < pixels) {
        const size_t step = done < pixels - done ? done : pixels - done;
        std::memcpy(data + done, data, step);
        done += step;
    }
    if (pixels < length) {
        std::memset(data + pixels, pad, length - pixels);
    }
}

inline std::vector<uint8_t> UniformBgr(uint8_t b, uint8_t g, uint8_t r, size_t length = kRgbSize,
                                       uint8_t pad = 0xEE) {
    std::vector<uint8_t> frame;
    MakeUniformBgr(&frame, b, g, r, length, pad);
    return frame;
}

// The YUY2 colour of a uniform RGB image: BT.601 limited range, rounded.
// The driver's fixed-point arithmetic may differ from this by one step, so
// compare with a slack of 1.
inline Yuy2Colour Bt601FromBgr(uint8_t b, uint8_t g, uint8_t r) {
    auto clamp = [](double value) {
        const long rounded = std::lround(value);
        return static_cast<uint8_t>(rounded < 0 ? 0 : (rounded > 255 ? 255 : rounded));
    };
    return Yuy2Colour{clamp(16 + (66.0 * r + 129.0 * g + 25.0 * b) / 256),
                      clamp(128 + (-38.0 * r - 74.0 * g + 112.0 * b) / 256),
                      clamp(128 + (112.0 * r - 94.0 * g - 18.0 * b) / 256)};
}

// What a capture buffer holds before the driver writes into it: a pattern of
// period 3, which no uniform YUY2 image (period 4) reproduces over a row.
inline uint8_t UnwrittenByte(size_t offset) {
    return offset % 3 == 0 ? 0xA5 : 0x3C;
}

// The first `size` bytes of that pattern (kept between calls; tests that use
// it run on one thread).
inline const uint8_t* UnwrittenPattern(size_t size) {
    static std::vector<uint8_t> pattern;
    if (pattern.size() < size) {
        pattern.resize(size);
        for (size_t i = 0; i < size; ++i) {
            pattern[i] = UnwrittenByte(i);
        }
    }
    return pattern.data();
}

inline void FillUnwritten(uint8_t* data, size_t size) {
    if (size != 0) {
        std::memcpy(data, UnwrittenPattern(size), size);
    }
}

// Empty when `data` still holds FillUnwritten's pattern from `from` to
// `size`; else where it was written.
inline std::string CheckUnwritten(const uint8_t* data, size_t from, size_t size) {
    if (from >= size || std::memcmp(data + from, UnwrittenPattern(size) + from, size - from) == 0) {
        return std::string();
    }
    size_t i = from;
    while (data[i] == UnwrittenByte(i)) {
        ++i;
    }
    return "byte " + std::to_string(i) + " of " + std::to_string(size) + " was written";
}

// Checks a buffer of `size` bytes that came back filled: every whole row
// that fits (at most kHeight rows of kLine bytes) is the same uniform YUY2
// image, whose colour is `expected` within `slack`; every byte after those
// rows is as FillUnwritten left it. Empty when it holds; else what is wrong.
inline std::string CheckFilledBuffer(const uint8_t* data, ULONG size, Yuy2Colour expected,
                                     int slack) {
    char text[200];
    ULONG rows = size / kLine;
    if (rows > kHeight) {
        rows = kHeight;
    }
    if (rows != 0) {
        const uint8_t* group = data;
        if (group[0] != group[2] || std::abs(group[0] - expected.y) > slack ||
            std::abs(group[1] - expected.u) > slack || std::abs(group[3] - expected.v) > slack) {
            std::snprintf(text, sizeof text,
                          "first pixel pair reads %02x %02x %02x %02x, expected about %02x %02x "
                          "%02x %02x",
                          group[0], group[1], group[2], group[3], expected.y, expected.u,
                          expected.y, expected.v);
            return text;
        }
        std::vector<uint8_t> row(kLine);
        for (ULONG i = 0; i < kLine; i += 4) {
            std::memcpy(&row[i], group, 4);
        }
        for (ULONG r = 0; r < rows; ++r) {
            if (std::memcmp(data + static_cast<size_t>(r) * kLine, row.data(), kLine) != 0) {
                std::snprintf(text, sizeof text,
                              "torn image: row %u differs from the first pixel pair %02x %02x "
                              "%02x %02x",
                              r, group[0], group[1], group[2], group[3]);
                return text;
            }
        }
    }
    const std::string tail = CheckUnwritten(data, static_cast<size_t>(rows) * kLine, size);
    if (!tail.empty()) {
        return tail + ", past the " + std::to_string(rows) + " whole rows the buffer takes";
    }
    return std::string();
}

}  // namespace camtest
