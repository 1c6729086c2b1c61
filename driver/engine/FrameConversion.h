// Frame conversion: the pixel work behind FrameEngine::WriteFrame. Pushed
// frames arrive as planar I420 or packed 24-bit RGB and are turned into the
// stream's packed YUY2 rows (Y0 U Y1 V per pixel pair).
//
// Every routine here is pageable and runs at PASSIVE_LEVEL in the thread that
// pushed the frame; none takes a lock or allocates, and each touches only the
// memory it is given (the RGB24 path choice also keeps one cached CPUID answer). Strides, widths
// and heights are signed 32-bit; a stride may be negative (the rows then run backwards in memory).
#pragma once

#include "driver/platform/Platform.h"

// PASSIVE_LEVEL, pageable; called by FrameEngine::WriteFrame (and tests).
// Converts a planar 4:2:0 image into packed YUY2 rows destinationStride bytes
// apart. Luma rows 2j and 2j + 1 share chroma row j; with an odd height the last
// luma row uses chroma row (height - 1) / 2. Does nothing when a pointer is null,
// when width is not positive or when height is not positive. Each output row is
// 4 x ((width + 1) / 2) bytes (see PackYuy2Row for an odd width).
void ConvertI420ToYuy2(const UCHAR* yPlane, LONG yStride, const UCHAR* uPlane, LONG uStride,
                       const UCHAR* vPlane, LONG vStride, PUCHAR destination,
                       LONG destinationStride, LONG width, LONG height);

// PASSIVE_LEVEL, pageable. Packs one row of `width` pixels: pixels 2k and
// 2k + 1 become Y[2k], U[k], Y[2k + 1], V[k]. An odd width ends with one more
// group Y[width - 1], U[width / 2], 0, V[width / 2]: the missing second luma
// value is written as 0. Does nothing when a pointer is null or width < 1.
void PackYuy2Row(const UCHAR* yRow, const UCHAR* uRow, const UCHAR* vRow, PUCHAR destinationRow,
                 LONG width);

// PASSIVE_LEVEL, pageable; called by FrameEngine::WriteFrame. Converts packed
// 24-bit RGB (bytes B, G, R per pixel, the Windows order; source row 0 is the
// top of the picture) into YUY2 with the BT.601 limited-range matrix, in
// 8.8 fixed point, rounded:
//   Y = 16 + (66 R + 129 G + 25 B) / 256                  per pixel
//   U = 128 + (-38 R - 74 G + 112 B) / 256                per pixel pair,
//   V = 128 + (112 R - 94 G - 18 B) / 256                 R, G, B the pair's mean
// An odd width ends each row with Y, U, 0, V from the last pixel alone, as
// PackYuy2Row does. Does nothing when a pointer is null or width or height is
// not positive.
//
// Runs on the fastest path this processor has (Rgb24PathOfThisProcessor).
void ConvertRgb24ToYuy2(const UCHAR* source, LONG sourceStride, PUCHAR destination,
                        LONG destinationStride, LONG width, LONG height);

// The vector code behind ConvertRgb24ToYuy2. Every path writes the same bytes.
enum class Rgb24Path : LONG {
    Sse2 = 1,   // Every x64 processor has it.
    Ssse3 = 2,  // Byte shuffles and byte multiplies; only where CPUID reports SSSE3.
};

// PASSIVE_LEVEL, pageable; ConvertRgb24ToYuy2 and tests. The fastest path
// this processor runs: Ssse3 when CPUID leaf 1 reports SSSE3, else Sse2.
// Probes CPUID on first use and keeps the answer (see the cache's comment).
Rgb24Path Rgb24PathOfThisProcessor();

// PASSIVE_LEVEL, pageable; ConvertRgb24ToYuy2 and tests (which compare the
// paths). ConvertRgb24ToYuy2 on the path given; a path this processor lacks
// is taken as Sse2, so no caller can make it run an instruction it does not have.
void ConvertRgb24ToYuy2On(Rgb24Path path, const UCHAR* source, LONG sourceStride,
                          PUCHAR destination, LONG destinationStride, LONG width, LONG height);
