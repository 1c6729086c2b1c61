#include "driver/engine/FrameConversion.h"

// SSE2 is part of x64 itself, and the x64 kernel saves the XMM registers
// across the thread switches a PASSIVE_LEVEL thread may see, so pageable
// kernel code may use these intrinsics without saving any state. No AVX.
#include <emmintrin.h>

namespace {

// Loads and stores that make no alignment assumption: pushed frames and
// capture buffers come with whatever alignment their owners chose.
inline __m128i Load16(const UCHAR* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
inline __m128i Load8(const UCHAR* at) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
}
inline void Store16(PUCHAR at, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), value);
}

// Offset of row `row` of a plane whose rows lie `stride` bytes apart. Formed
// in pointer width so that large images and negative strides stay exact.
inline LONG_PTR RowOffset(LONG row, LONG stride) {
    return static_cast<LONG_PTR>(row) * static_cast<LONG_PTR>(stride);
}

// Writes pixels [from, width) of one row the plain way, `from` even; an odd
// width ends with the group Y, U, 0, V.
inline void PackRowTail(const UCHAR* yRow, const UCHAR* uRow, const UCHAR* vRow, PUCHAR out,
                        LONG from, LONG width) {
    LONG pair = from / 2;
    for (; 2 * pair + 1 < width; ++pair) {
        out[4 * pair] = yRow[2 * pair];
        out[4 * pair + 1] = uRow[pair];
        out[4 * pair + 2] = yRow[2 * pair + 1];
        out[4 * pair + 3] = vRow[pair];
    }
    if ((width & 1) != 0) {
        out[4 * pair] = yRow[width - 1];
        out[4 * pair + 1] = uRow[pair];
        out[4 * pair + 2] = 0;
        out[4 * pair + 3] = vRow[pair];
    }
}

// Packs one row, or two rows that share their chroma row (Rows == 2), 32
// pixels per step: the chroma bytes are interleaved once and woven into the
// luma of each row. Returns the first pixel not yet written (always even).
template <int Rows>
inline LONG PackRowsSse2(const UCHAR* y0, const UCHAR* y1, const UCHAR* uRow, const UCHAR* vRow,
                         PUCHAR out0, PUCHAR out1, LONG width) {
    LONG x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m128i u = Load16(uRow + x / 2);
        const __m128i v = Load16(vRow + x / 2);
        const __m128i uvLow = _mm_unpacklo_epi8(u, v);
        const __m128i uvHigh = _mm_unpackhi_epi8(u, v);
        const __m128i a0 = Load16(y0 + x);
        const __m128i b0 = Load16(y0 + x + 16);
        Store16(out0 + 2 * x, _mm_unpacklo_epi8(a0, uvLow));
        Store16(out0 + 2 * x + 16, _mm_unpackhi_epi8(a0, uvLow));
        Store16(out0 + 2 * x + 32, _mm_unpacklo_epi8(b0, uvHigh));
        Store16(out0 + 2 * x + 48, _mm_unpackhi_epi8(b0, uvHigh));
        if (Rows == 2) {
            const __m128i a1 = Load16(y1 + x);
            const __m128i b1 = Load16(y1 + x + 16);
            Store16(out1 + 2 * x, _mm_unpacklo_epi8(a1, uvLow));
            Store16(out1 + 2 * x + 16, _mm_unpackhi_epi8(a1, uvLow));
            Store16(out1 + 2 * x + 32, _mm_unpacklo_epi8(b1, uvHigh));
            Store16(out1 + 2 * x + 48, _mm_unpackhi_epi8(b1, uvHigh));
        }
    }
    if (x + 16 <= width) {
        const __m128i uv = _mm_unpacklo_epi8(Load8(uRow + x / 2), Load8(vRow + x / 2));
        const __m128i a0 = Load16(y0 + x);
        Store16(out0 + 2 * x, _mm_unpacklo_epi8(a0, uv));
        Store16(out0 + 2 * x + 16, _mm_unpackhi_epi8(a0, uv));
        if (Rows == 2) {
            const __m128i a1 = Load16(y1 + x);
            Store16(out1 + 2 * x, _mm_unpacklo_epi8(a1, uv));
            Store16(out1 + 2 * x + 16, _mm_unpackhi_epi8(a1, uv));
        }
        x += 16;
    }
    return x;
}

inline void PackOneRow(const UCHAR* yRow, const UCHAR* uRow, const UCHAR* vRow, PUCHAR out,
                       LONG width) {
    const LONG done = PackRowsSse2<1>(yRow, nullptr, uRow, vRow, out, nullptr, width);
    PackRowTail(yRow, uRow, vRow, out, done, width);
}

// BT.601 limited range in 8.8 fixed point; the constants fold the +16 / +128
// offsets and the rounding half into one term, and keep every intermediate
// sum positive.
inline UCHAR LumaOf(ULONG b, ULONG g, ULONG r) {
    return static_cast<UCHAR>((66 * r + 129 * g + 25 * b + 0x1080) >> 8);
}
inline UCHAR BlueDifferenceOf(LONG b, LONG g, LONG r) {
    return static_cast<UCHAR>((112 * b - 74 * g - 38 * r + 0x8080) >> 8);
}
inline UCHAR RedDifferenceOf(LONG b, LONG g, LONG r) {
    return static_cast<UCHAR>((-18 * b - 94 * g + 112 * r + 0x8080) >> 8);
}

// One row of B, G, R pixels into YUY2; chroma from each pair's rounded mean.
inline void ConvertRgb24Row(const UCHAR* in, PUCHAR out, LONG width) {
    LONG pair = 0;
    for (; 2 * pair + 1 < width; ++pair) {
        const UCHAR* p = in + 6 * pair;
        const ULONG b0 = p[0], g0 = p[1], r0 = p[2];
        const ULONG b1 = p[3], g1 = p[4], r1 = p[5];
        const LONG b = static_cast<LONG>((b0 + b1 + 1) >> 1);
        const LONG g = static_cast<LONG>((g0 + g1 + 1) >> 1);
        const LONG r = static_cast<LONG>((r0 + r1 + 1) >> 1);
        PUCHAR group = out + 4 * pair;
        group[0] = LumaOf(b0, g0, r0);
        group[1] = BlueDifferenceOf(b, g, r);
        group[2] = LumaOf(b1, g1, r1);
        group[3] = RedDifferenceOf(b, g, r);
    }
    if ((width & 1) != 0) {
        const UCHAR* p = in + 3 * (width - 1);
        PUCHAR group = out + 4 * pair;
        group[0] = LumaOf(p[0], p[1], p[2]);
        group[1] = BlueDifferenceOf(p[0], p[1], p[2]);
        group[2] = 0;
        group[3] = RedDifferenceOf(p[0], p[1], p[2]);
    }
}

}  // namespace

// PASSIVE_LEVEL, pageable; FrameEngine::WriteFrame and tests.
VCAM_PAGE void PackYuy2Row(const UCHAR* yRow, const UCHAR* uRow, const UCHAR* vRow,
                           PUCHAR destinationRow, LONG width) {
    PAGED_CODE();
    if (yRow == nullptr || uRow == nullptr || vRow == nullptr || destinationRow == nullptr ||
        width < 1) {
        return;
    }
    PackOneRow(yRow, uRow, vRow, destinationRow, width);
}

// PASSIVE_LEVEL, pageable; FrameEngine::WriteFrame and tests.
VCAM_PAGE void ConvertI420ToYuy2(const UCHAR* yPlane, LONG yStride, const UCHAR* uPlane,
                                 LONG uStride, const UCHAR* vPlane, LONG vStride,
                                 PUCHAR destination, LONG destinationStride, LONG width,
                                 LONG height) {
    PAGED_CODE();
    if (yPlane == nullptr || uPlane == nullptr || vPlane == nullptr || destination == nullptr ||
        width < 1 || height < 1) {
        return;
    }
    // Two rows that share a chroma row are packed in one pass when their
    // outputs cannot overlap: an even width writes exactly 2 x width bytes a
    // row. Otherwise (an odd width spills its last group into the next row,
    // or rows closer than a row's length) the rows go strictly one after the
    // other, so a later row overwrites an earlier one as the order says.
    const LONG_PTR rowBytes = 2 * static_cast<LONG_PTR>(width);
    const LONG_PTR strideMagnitude =
        destinationStride < 0 ? -static_cast<LONG_PTR>(destinationStride) : destinationStride;
    const bool pairs = (width & 1) == 0 && strideMagnitude >= rowBytes;

    for (LONG j = 0; j < height / 2; ++j) {
        const UCHAR* y0 = yPlane + RowOffset(2 * j, yStride);
        const UCHAR* y1 = yPlane + RowOffset(2 * j + 1, yStride);
        const UCHAR* u = uPlane + RowOffset(j, uStride);
        const UCHAR* v = vPlane + RowOffset(j, vStride);
        PUCHAR out0 = destination + RowOffset(2 * j, destinationStride);
        PUCHAR out1 = destination + RowOffset(2 * j + 1, destinationStride);
        if (pairs) {
            const LONG done = PackRowsSse2<2>(y0, y1, u, v, out0, out1, width);
            PackRowTail(y0, u, v, out0, done, width);
            PackRowTail(y1, u, v, out1, done, width);
        } else {
            PackOneRow(y0, u, v, out0, width);
            PackOneRow(y1, u, v, out1, width);
        }
    }
    if ((height & 1) != 0) {
        const LONG last = height - 1;
        PackOneRow(yPlane + RowOffset(last, yStride), uPlane + RowOffset(last / 2, uStride),
                   vPlane + RowOffset(last / 2, vStride),
                   destination + RowOffset(last, destinationStride), width);
    }
}

// PASSIVE_LEVEL, pageable; FrameEngine::WriteFrame and tests.
VCAM_PAGE void ConvertRgb24ToYuy2(const UCHAR* source, LONG sourceStride, PUCHAR destination,
                                  LONG destinationStride, LONG width, LONG height) {
    PAGED_CODE();
    if (source == nullptr || destination == nullptr || width < 1 || height < 1) {
        return;
    }
    for (LONG row = 0; row < height; ++row) {
        ConvertRgb24Row(source + RowOffset(row, sourceStride),
                        destination + RowOffset(row, destinationStride), width);
    }
}
