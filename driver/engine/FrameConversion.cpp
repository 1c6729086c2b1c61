#include "driver/engine/FrameConversion.h"

// SSE2 is part of x64 itself, and the x64 kernel saves the XMM registers
// across the thread switches a PASSIVE_LEVEL thread may see, so pageable
// kernel code may use these intrinsics without saving any state. SSSE3 uses
// the same registers (no new state to save) but not every x64 processor has
// it: its code is compiled for it routine by routine (VCAM_SSSE3) and runs
// only after CPUID said yes. No AVX: its wider registers are state the
// kernel does not save for us.
#include <emmintrin.h>
#include <tmmintrin.h>

// CPUID: the compiler's <cpuid.h> on the host, the platform's __cpuid
// intrinsic (as the WDK spells it) in the kernel build.
#if defined(VCAM_HOST)
#include <cpuid.h>
#else
#include <intrin.h>
#endif

// Compiles one routine for SSSE3; callers reach it only on a processor that has it.
#define VCAM_SSSE3 __attribute__((target("ssse3")))

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

// Packs 64 pixels per step: 32 chroma bytes of each plane are interleaved
// into U V pairs and woven into 64 luma bytes, eight 16-byte stores. Rows are
// packed one at a time, each a single pass over three sources and one
// destination, which is what the caches stream best. Returns the first pixel
// not yet written (always even).
inline LONG PackRowSse2(const UCHAR* yRow, const UCHAR* uRow, const UCHAR* vRow, PUCHAR out,
                        LONG width) {
    LONG x = 0;
    for (; x + 64 <= width; x += 64) {
        const UCHAR* u = uRow + x / 2;
        const UCHAR* v = vRow + x / 2;
        const __m128i u0 = Load16(u);
        const __m128i v0 = Load16(v);
        const __m128i u1 = Load16(u + 16);
        const __m128i v1 = Load16(v + 16);
        const __m128i uv0 = _mm_unpacklo_epi8(u0, v0);
        const __m128i uv1 = _mm_unpackhi_epi8(u0, v0);
        const __m128i uv2 = _mm_unpacklo_epi8(u1, v1);
        const __m128i uv3 = _mm_unpackhi_epi8(u1, v1);
        const __m128i y0 = Load16(yRow + x);
        const __m128i y1 = Load16(yRow + x + 16);
        const __m128i y2 = Load16(yRow + x + 32);
        const __m128i y3 = Load16(yRow + x + 48);
        PUCHAR d = out + 2 * x;
        Store16(d, _mm_unpacklo_epi8(y0, uv0));
        Store16(d + 16, _mm_unpackhi_epi8(y0, uv0));
        Store16(d + 32, _mm_unpacklo_epi8(y1, uv1));
        Store16(d + 48, _mm_unpackhi_epi8(y1, uv1));
        Store16(d + 64, _mm_unpacklo_epi8(y2, uv2));
        Store16(d + 80, _mm_unpackhi_epi8(y2, uv2));
        Store16(d + 96, _mm_unpacklo_epi8(y3, uv3));
        Store16(d + 112, _mm_unpackhi_epi8(y3, uv3));
    }
    for (; x + 16 <= width; x += 16) {
        const __m128i uv = _mm_unpacklo_epi8(Load8(uRow + x / 2), Load8(vRow + x / 2));
        const __m128i y = Load16(yRow + x);
        Store16(out + 2 * x, _mm_unpacklo_epi8(y, uv));
        Store16(out + 2 * x + 16, _mm_unpackhi_epi8(y, uv));
    }
    return x;
}

inline void PackOneRow(const UCHAR* yRow, const UCHAR* uRow, const UCHAR* vRow, PUCHAR out,
                       LONG width) {
    PackRowTail(yRow, uRow, vRow, out, PackRowSse2(yRow, uRow, vRow, out, width), width);
}

// BT.601 limited range in 8.8 fixed point. Luma per pixel:
//   Y = (66 R + 129 G + 25 B + 0x1080) >> 8
// chroma per pair, from the sums of the pair's channels (one more bit of
// precision than averaging first):
//   U = (112 Bs - 74 Gs - 38 Rs + 0x10100) >> 9
//   V = (-18 Bs - 94 Gs + 112 Rs + 0x10100) >> 9
// The constants fold the +16 / +128 offsets and the rounding half in, and
// keep every sum positive. The scalar and both vector paths compute exactly
// this. The vector paths keep chroma in 16 bits: every coefficient of the
// sums formula is even, so with w = 56 Bs - 37 Gs - 19 Rs (in -28560..28560)
//   U = (2 w + 0x10100) >> 9 = (w + 0x8080) >> 8
// exactly: the high byte of a 16-bit sum (w + 0x8080 lies in 4336..61456);
// V likewise with w = -9 Bs - 47 Gs + 56 Rs.
inline UCHAR LumaOf(ULONG b, ULONG g, ULONG r) {
    return static_cast<UCHAR>((66 * r + 129 * g + 25 * b + 0x1080) >> 8);
}
inline UCHAR BlueDifferenceOfSums(LONG b, LONG g, LONG r) {
    return static_cast<UCHAR>((112 * b - 74 * g - 38 * r + 0x10100) >> 9);
}
inline UCHAR RedDifferenceOfSums(LONG b, LONG g, LONG r) {
    return static_cast<UCHAR>((-18 * b - 94 * g + 112 * r + 0x10100) >> 9);
}

// Pixels [from, width) of one B, G, R row the plain way, `from` even. An odd
// width ends with Y, U, 0, V of the last pixel alone (its own colour: the
// sums of a pair of two equal pixels). Both vector paths call it, so the
// compiler may keep it out of line: it is placed with them, pageable.
VCAM_PAGE inline void ConvertRgb24RowTail(const UCHAR* in, PUCHAR out, LONG from, LONG width) {
    LONG pair = from / 2;
    for (; 2 * pair + 1 < width; ++pair) {
        const UCHAR* p = in + 6 * pair;
        PUCHAR group = out + 4 * pair;
        const LONG b = p[0] + p[3], g = p[1] + p[4], r = p[2] + p[5];
        group[0] = LumaOf(p[0], p[1], p[2]);
        group[1] = BlueDifferenceOfSums(b, g, r);
        group[2] = LumaOf(p[3], p[4], p[5]);
        group[3] = RedDifferenceOfSums(b, g, r);
    }
    if ((width & 1) != 0) {
        const UCHAR* p = in + 3 * (width - 1);
        PUCHAR group = out + 4 * pair;
        group[0] = LumaOf(p[0], p[1], p[2]);
        group[1] = BlueDifferenceOfSums(2 * p[0], 2 * p[1], 2 * p[2]);
        group[2] = 0;
        group[3] = RedDifferenceOfSums(2 * p[0], 2 * p[1], 2 * p[2]);
    }
}

// ---- SSE2: pixels spread to 32-bit lanes, channels to 16-bit lanes --------
//
// Each pixel's channels as 16-bit values, eight pixels a register, then the
// formulas above with 16-bit multiplies:
//   Y = 25 B + 66 R + (G << 7) + G (at most 56100), plus 0x1080: the high byte;
//   U, V from the pair's channel sums (PairSums) as w above, whose partial
//   sums stay within -28560..28560.

// Four pixels at `p`, one per 32-bit lane as B, G, R and the next pixel's
// B. Reads p[0..12], four bytes at a time.
inline __m128i SpreadFourPixels(const UCHAR* p) {
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(_mm_loadu_si32(p), _mm_loadu_si32(p + 3)),
                              _mm_unpacklo_epi32(_mm_loadu_si32(p + 6), _mm_loadu_si32(p + 9)));
}

// Each 16-bit lane plus its pair partner's (lanes 2k and 2k + 1), in both.
inline __m128i PairSums(__m128i lanes) {
    const __m128i partners = _mm_shufflehi_epi16(
        _mm_shufflelo_epi16(lanes, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_add_epi16(lanes, partners);
}

// Eight pixels at `p` to their YUY2 bytes at `out` (16). Reads p[0..24]: one
// byte past the eight pixels.
inline void ConvertEightPixelsSse2(const UCHAR* p, PUCHAR out) {
    const __m128i low = SpreadFourPixels(p);
    const __m128i high = SpreadFourPixels(p + 12);
    // The lanes' low halves (B | G << 8), sign-extended so the pack is exact.
    const __m128i blueGreen = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(low, 16), 16),
                                              _mm_srai_epi32(_mm_slli_epi32(high, 16), 16));
    const __m128i byteMask = _mm_set1_epi32(0xFF);
    const __m128i blue = _mm_and_si128(blueGreen, _mm_set1_epi16(0xFF));
    const __m128i green = _mm_srli_epi16(blueGreen, 8);
    const __m128i red = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(low, 16), byteMask),
                                        _mm_and_si128(_mm_srli_epi32(high, 16), byteMask));

    const __m128i luma = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(blue, _mm_set1_epi16(25)),
                                                     _mm_mullo_epi16(red, _mm_set1_epi16(66))),
                                       _mm_add_epi16(_mm_slli_epi16(green, 7), green));
    // Even lanes U, odd lanes V of each pair.
    const __m128i chroma = _mm_add_epi16(
        _mm_add_epi16(
            _mm_mullo_epi16(PairSums(blue), _mm_set_epi16(-9, 56, -9, 56, -9, 56, -9, 56)),
            _mm_mullo_epi16(PairSums(green),
                            _mm_set_epi16(-47, -37, -47, -37, -47, -37, -47, -37))),
        _mm_mullo_epi16(PairSums(red), _mm_set_epi16(56, -19, 56, -19, 56, -19, 56, -19)));

    const __m128i y = _mm_srli_epi16(_mm_add_epi16(luma, _mm_set1_epi16(0x1080)), 8);
    const __m128i c =
        _mm_and_si128(_mm_add_epi16(chroma, _mm_set1_epi16(static_cast<short>(0x8080))),
                      _mm_set1_epi16(static_cast<short>(0xFF00)));
    Store16(out, _mm_or_si128(y, c));
}

// ---- SSSE3: byte shuffles into pixel pairs, byte multiplies -----------------
//
// The same formulas, rearranged for pmaddubsw (unsigned bytes times signed
// byte coefficients, adjacent products summed into 16 bits):
//   Luma: 129 G does not fit a signed byte, so G is split 67 + 62 between
//   the byte pairs (B, G) and (R, G):
//     Y = (25 B + 67 G) + (66 R + 62 G), at most 23460 + 32640 per pair
//   (no saturation); the sum plus 0x1080 stays below 65536 and is taken
//   unsigned, so Y is its high byte.
//   Chroma: w as above, whose partial sums stay within -28560..28560, so no
//   byte product pair saturates and no 16-bit sum wraps before the bias.

// A 16-bit lane of byte coefficients: `first` multiplies the lane's low byte.
constexpr short CoefficientPair(int first, int second) {
    return static_cast<short>(static_cast<USHORT>((first & 0xFF) | ((second & 0xFF) << 8)));
}

// Eight pixels at `p` (24 bytes) to their YUY2 bytes Y0 U0 Y1 V0 .. Y7 V3 at
// `out`. Reads p[0..23] and writes out[0..15], nothing else.
VCAM_SSSE3 inline void ConvertEightPixelsSsse3(const UCHAR* p, PUCHAR out) {
    // Byte pairs (B, G) of pixels 0..3, then (R, G) of pixels 0..3; the
    // second load starts at byte 8 and finds pixels 4..7 at its bytes 4..15.
    const __m128i firstFour = _mm_setr_epi8(0, 1, 3, 4, 6, 7, 9, 10, 2, 1, 5, 4, 8, 7, 11, 10);
    const __m128i secondFour =
        _mm_setr_epi8(4, 5, 7, 8, 10, 11, 13, 14, 6, 5, 9, 8, 12, 11, 15, 14);
    const __m128i low = _mm_shuffle_epi8(Load16(p), firstFour);
    const __m128i high = _mm_shuffle_epi8(Load16(p + 8), secondFour);
    const __m128i blueGreen = _mm_unpacklo_epi64(low, high);  // (B, G) of pixels 0..7
    const __m128i redGreen = _mm_unpackhi_epi64(low, high);   // (R, G) of pixels 0..7

    const __m128i luma =
        _mm_add_epi16(_mm_maddubs_epi16(blueGreen, _mm_set1_epi16(CoefficientPair(25, 67))),
                      _mm_maddubs_epi16(redGreen, _mm_set1_epi16(CoefficientPair(66, 62))));

    // Chroma lane 2k holds pair k's U sum, lane 2k + 1 its V sum, from three
    // products of byte pairs: each lane's own (B, G), its partner's (B, G)
    // (the other lane of the pair), and (R, partner's R). The partner's
    // products are taken in the partner's lane, with the coefficients of the
    // lane they are for, and moved one lane over.
    const short uBlueGreen = CoefficientPair(56, -37), uRed = CoefficientPair(-19, -19);
    const short vBlueGreen = CoefficientPair(-9, -47), vRed = CoefficientPair(56, 56);
    const __m128i redPairs = _mm_shuffle_epi8(
        redGreen, _mm_setr_epi8(0, 2, 2, 0, 4, 6, 6, 4, 8, 10, 10, 8, 12, 14, 14, 12));
    const __m128i own =
        _mm_maddubs_epi16(blueGreen, _mm_set_epi16(vBlueGreen, uBlueGreen, vBlueGreen, uBlueGreen,
                                                   vBlueGreen, uBlueGreen, vBlueGreen, uBlueGreen));
    const __m128i forPartner =
        _mm_maddubs_epi16(blueGreen, _mm_set_epi16(uBlueGreen, vBlueGreen, uBlueGreen, vBlueGreen,
                                                   uBlueGreen, vBlueGreen, uBlueGreen, vBlueGreen));
    const __m128i red =
        _mm_maddubs_epi16(redPairs, _mm_set_epi16(vRed, uRed, vRed, uRed, vRed, uRed, vRed, uRed));
    const __m128i partner = _mm_shuffle_epi8(
        forPartner, _mm_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
    const __m128i chroma = _mm_add_epi16(_mm_add_epi16(own, red), partner);

    // Luma's high byte into each lane's low byte, chroma's high byte kept:
    // lanes Y0 U0, Y1 V0, ...
    const __m128i y = _mm_srli_epi16(_mm_add_epi16(luma, _mm_set1_epi16(0x1080)), 8);
    const __m128i c =
        _mm_and_si128(_mm_add_epi16(chroma, _mm_set1_epi16(static_cast<short>(0x8080))),
                      _mm_set1_epi16(static_cast<short>(0xFF00)));
    Store16(out, _mm_or_si128(y, c));
}

}  // namespace

// PASSIVE_LEVEL, pageable; ConvertRgb24ToYuy2On on a processor with SSSE3.
// Each row in 16- and 8-pixel steps, the rest (fewer than 8 pixels) the plain
// way; rows strictly top to bottom, as ConvertI420ToYuy2 does.
VCAM_PAGE VCAM_SSSE3 static void ConvertRgb24FrameSsse3(const UCHAR* source, LONG sourceStride,
                                                        PUCHAR destination, LONG destinationStride,
                                                        LONG width, LONG height) {
    PAGED_CODE();
    for (LONG row = 0; row < height; ++row) {
        const UCHAR* in = source + RowOffset(row, sourceStride);
        PUCHAR out = destination + RowOffset(row, destinationStride);
        LONG x = 0;
        for (; x + 16 <= width; x += 16) {
            ConvertEightPixelsSsse3(in + 3 * x, out + 2 * x);
            ConvertEightPixelsSsse3(in + 3 * x + 24, out + 2 * x + 16);
        }
        if (x + 8 <= width) {
            ConvertEightPixelsSsse3(in + 3 * x, out + 2 * x);
            x += 8;
        }
        ConvertRgb24RowTail(in, out, x, width);
    }
}

// PASSIVE_LEVEL, pageable; ConvertRgb24ToYuy2On on any processor.
VCAM_PAGE static void ConvertRgb24FrameSse2(const UCHAR* source, LONG sourceStride,
                                            PUCHAR destination, LONG destinationStride, LONG width,
                                            LONG height) {
    PAGED_CODE();
    for (LONG row = 0; row < height; ++row) {
        const UCHAR* in = source + RowOffset(row, sourceStride);
        PUCHAR out = destination + RowOffset(row, destinationStride);
        // A step reads one byte past its 8 pixels: it runs while 9 remain.
        LONG x = 0;
        for (; x + 9 <= width; x += 8) {
            ConvertEightPixelsSse2(in + 3 * x, out + 2 * x);
        }
        ConvertRgb24RowTail(in, out, x, width);
    }
}

namespace {

// What CPUID leaf 1 says about SSSE3 (ECX bit 9).
bool ProcessorHasSsse3() {
#if defined(VCAM_HOST)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(1, eax, ebx, ecx, edx);
    return (ecx & (1u << 9)) != 0;
#else
    int info[4] = {0, 0, 0, 0};
    __cpuid(info, 1);
    return (info[2] & (1 << 9)) != 0;
#endif
}

// The answer of Rgb24PathOfThisProcessor: 0 until the first probe, then a
// Rgb24Path value. Owned by Rgb24PathOfThisProcessor alone; read and written
// at PASSIVE_LEVEL with interlocked operations by whichever threads convert
// first. Every probe finds the same answer, so a race only repeats the probe.
// Resident data (.bss), a LONG: nothing to free.
LONG volatile rgb24PathCache = 0;

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
    // Rows strictly top to bottom: with an odd width (or rows closer than a
    // row's length) a later row overwrites what an earlier one spilled.
    for (LONG j = 0; j < height / 2; ++j) {
        const UCHAR* u = uPlane + RowOffset(j, uStride);
        const UCHAR* v = vPlane + RowOffset(j, vStride);
        PackOneRow(yPlane + RowOffset(2 * j, yStride), u, v,
                   destination + RowOffset(2 * j, destinationStride), width);
        PackOneRow(yPlane + RowOffset(2 * j + 1, yStride), u, v,
                   destination + RowOffset(2 * j + 1, destinationStride), width);
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
    ConvertRgb24ToYuy2On(Rgb24PathOfThisProcessor(), source, sourceStride, destination,
                         destinationStride, width, height);
}

// PASSIVE_LEVEL, pageable; ConvertRgb24ToYuy2 and tests.
VCAM_PAGE Rgb24Path Rgb24PathOfThisProcessor() {
    PAGED_CODE();
    LONG known = InterlockedCompareExchange(&rgb24PathCache, 0, 0);
    if (known == 0) {
        known = static_cast<LONG>(ProcessorHasSsse3() ? Rgb24Path::Ssse3 : Rgb24Path::Sse2);
        InterlockedExchange(&rgb24PathCache, known);
    }
    return static_cast<Rgb24Path>(known);
}

// PASSIVE_LEVEL, pageable; ConvertRgb24ToYuy2 and tests.
VCAM_PAGE void ConvertRgb24ToYuy2On(Rgb24Path path, const UCHAR* source, LONG sourceStride,
                                    PUCHAR destination, LONG destinationStride, LONG width,
                                    LONG height) {
    PAGED_CODE();
    if (source == nullptr || destination == nullptr || width < 1 || height < 1) {
        return;
    }
    if (path == Rgb24Path::Ssse3 && Rgb24PathOfThisProcessor() == Rgb24Path::Ssse3) {
        ConvertRgb24FrameSsse3(source, sourceStride, destination, destinationStride, width, height);
    } else {
        ConvertRgb24FrameSse2(source, sourceStride, destination, destinationStride, width, height);
    }
}
