// The pixel conversions against outside references: libyuv's I420ToYUY2 byte
// for byte, libyuv's RGB24 -> ARGB -> YUY2 path (BT.601 limited range, chroma
// of each pixel pair averaged) within one code value, the RGB24 formulas of
// FrameConversion.h byte for byte on every vector path (a plain reference
// here, every colour for luma), and the rules for odd widths and heights as
// the driver defines them.
#include "driver/engine/FrameConversion.h"
#include "support/KernelTestFixture.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>
#include <libyuv/convert_from_argb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Noise(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2246822519u + 3266489917u;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    return bytes;
}

// Three planes and a destination with their own strides, each plane inside a
// block with guard bytes around it.
struct I420Case {
    int width, height, yStride, uStride, vStride, destinationStride;
};

class FrameConversionTest : public KernelTestFixture {
  protected:
    // Runs ours and libyuv's on the same planes into two destinations that
    // start with the same fill, and requires identical blocks (the padding
    // between rows included).
    void ExpectSameAsLibyuv(const I420Case& c, uint32_t seed) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " strides " +
                     std::to_string(c.yStride) + "/" + std::to_string(c.uStride) + "/" +
                     std::to_string(c.vStride) + " -> " + std::to_string(c.destinationStride));
        const int chromaHeight = (c.height + 1) / 2;
        const std::vector<uint8_t> y = Noise(static_cast<size_t>(c.yStride) * c.height, seed);
        const std::vector<uint8_t> u =
            Noise(static_cast<size_t>(c.uStride) * chromaHeight, seed + 1);
        const std::vector<uint8_t> v =
            Noise(static_cast<size_t>(c.vStride) * chromaHeight, seed + 2);
        const size_t destinationSize = static_cast<size_t>(c.destinationStride) * c.height;
        std::vector<uint8_t> ours(destinationSize, 0x5A), theirs(destinationSize, 0x5A);

        ConvertI420ToYuy2(y.data(), c.yStride, u.data(), c.uStride, v.data(), c.vStride,
                          ours.data(), c.destinationStride, c.width, c.height);
        ASSERT_EQ(libyuv::I420ToYUY2(y.data(), c.yStride, u.data(), c.uStride, v.data(), c.vStride,
                                     theirs.data(), c.destinationStride, c.width, c.height),
                  0);
        ASSERT_EQ(ours.size(), theirs.size());
        for (size_t i = 0; i < ours.size(); ++i) {
            ASSERT_EQ(ours[i], theirs[i])
                << "byte " << i << " (row " << i / c.destinationStride << ")";
        }
    }
};

TEST_F(FrameConversionTest, I420ToYuy2MatchesLibyuvForEvenSizesWithTightStrides) {
    uint32_t seed = 1;
    for (int width : {2, 4, 6, 8, 14, 16, 18, 30, 32, 34, 48, 62, 64, 66, 96, 126, 130, 640}) {
        for (int height : {2, 4, 6, 10, 16, 34}) {
            ExpectSameAsLibyuv({width, height, width, width / 2, width / 2, width * 2}, seed++);
        }
    }
    ExpectSameAsLibyuv({1280, 720, 1280, 640, 640, 2560}, seed++);
    ExpectSameAsLibyuv({1920, 1080, 1920, 960, 960, 3840}, seed++);
}

TEST_F(FrameConversionTest, I420ToYuy2MatchesLibyuvWithOddAndPaddedStrides) {
    uint32_t seed = 100;
    for (int width : {2, 6, 16, 34, 66, 94, 1280}) {
        for (int height : {2, 8, 22}) {
            // Odd strides everywhere, and padding between destination rows.
            ExpectSameAsLibyuv(
                {width, height, width + 3, width / 2 + 1, width / 2 + 5, width * 2 + 7}, seed++);
            ExpectSameAsLibyuv(
                {width, height, width + 64, width / 2 + 33, width / 2 + 17, width * 2 + 129},
                seed++);
        }
    }
}

TEST_F(FrameConversionTest, I420ToYuy2MatchesLibyuvWithBottomUpPlanes) {
    // Negative strides walk the planes backwards from their last row.
    const int width = 64, height = 8;
    const std::vector<uint8_t> y = Noise(width * height, 7);
    const std::vector<uint8_t> u = Noise(width / 2 * height / 2, 8);
    const std::vector<uint8_t> v = Noise(width / 2 * height / 2, 9);
    std::vector<uint8_t> ours(width * 2 * height, 0), theirs(width * 2 * height, 0);
    const uint8_t* yLast = y.data() + width * (height - 1);
    const uint8_t* uLast = u.data() + width / 2 * (height / 2 - 1);
    const uint8_t* vLast = v.data() + width / 2 * (height / 2 - 1);
    uint8_t* oursLast = ours.data() + width * 2 * (height - 1);
    uint8_t* theirsLast = theirs.data() + width * 2 * (height - 1);
    ConvertI420ToYuy2(yLast, -width, uLast, -width / 2, vLast, -width / 2, oursLast, -width * 2,
                      width, height);
    libyuv::I420ToYUY2(yLast, -width, uLast, -width / 2, vLast, -width / 2, theirsLast, -width * 2,
                       width, height);
    EXPECT_EQ(ours, theirs);
}

TEST_F(FrameConversionTest, I420ToYuy2IgnoresNullPlanesAndEmptySizes) {
    const std::vector<uint8_t> planes = Noise(64, 3);
    std::vector<uint8_t> out(64, 0x77);
    const uint8_t* p = planes.data();
    ConvertI420ToYuy2(nullptr, 4, p, 2, p, 2, out.data(), 8, 4, 2);
    ConvertI420ToYuy2(p, 4, nullptr, 2, p, 2, out.data(), 8, 4, 2);
    ConvertI420ToYuy2(p, 4, p, 2, nullptr, 2, out.data(), 8, 4, 2);
    ConvertI420ToYuy2(p, 4, p, 2, p, 2, nullptr, 8, 4, 2);
    ConvertI420ToYuy2(p, 4, p, 2, p, 2, out.data(), 8, 0, 2);
    ConvertI420ToYuy2(p, 4, p, 2, p, 2, out.data(), 8, -4, 2);
    ConvertI420ToYuy2(p, 4, p, 2, p, 2, out.data(), 8, 4, 0);
    ConvertI420ToYuy2(p, 4, p, 2, p, 2, out.data(), 8, 4, -3);
    PackYuy2Row(p, p, p, out.data(), 0);
    PackYuy2Row(nullptr, p, p, out.data(), 4);
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0x77));
}

TEST_F(FrameConversionTest, TheFourByTwoExample) {
    // Y rows a b c d / e f g h, U p q, V s t.
    const std::string y = "abcdefgh", u = "pq", v = "st";
    std::string out(16, '.');
    ConvertI420ToYuy2(
        reinterpret_cast<const UCHAR*>(y.data()), 4, reinterpret_cast<const UCHAR*>(u.data()), 2,
        reinterpret_cast<const UCHAR*>(v.data()), 2, reinterpret_cast<PUCHAR>(&out[0]), 8, 4, 2);
    EXPECT_EQ(out, "apbscqdtepfsgqht");
}

TEST_F(FrameConversionTest, AnOddHeightTakesItsLastRowsChromaFromTheNextChromaRow) {
    // Height 3: luma rows 0 and 1 use chroma row 0, row 2 uses chroma row 1.
    const std::string y = "abcdefghijkl", u = "pqPQ", v = "stST";
    std::string out(24, '.');
    ConvertI420ToYuy2(
        reinterpret_cast<const UCHAR*>(y.data()), 4, reinterpret_cast<const UCHAR*>(u.data()), 2,
        reinterpret_cast<const UCHAR*>(v.data()), 2, reinterpret_cast<PUCHAR>(&out[0]), 8, 4, 3);
    EXPECT_EQ(out, "apbscqdtepfsgqhtiPjSkQlT");

    // Height 1: one row with chroma row 0.
    std::string one(8, '.');
    ConvertI420ToYuy2(
        reinterpret_cast<const UCHAR*>(y.data()), 4, reinterpret_cast<const UCHAR*>(u.data()), 2,
        reinterpret_cast<const UCHAR*>(v.data()), 2, reinterpret_cast<PUCHAR>(&one[0]), 8, 4, 1);
    EXPECT_EQ(one, "apbscqdt");
}

TEST_F(FrameConversionTest, AnOddWidthEndsEveryRowWithYU0V) {
    // Width 5, rows padded to 16 bytes so each row's last group stays visible.
    const std::string y = "abcdeABCDE", u = "pqrPQR", v = "stuSTU";
    std::string out(32, '.');
    ConvertI420ToYuy2(
        reinterpret_cast<const UCHAR*>(y.data()), 5, reinterpret_cast<const UCHAR*>(u.data()), 3,
        reinterpret_cast<const UCHAR*>(v.data()), 3, reinterpret_cast<PUCHAR>(&out[0]), 16, 5, 2);
    EXPECT_EQ(out, std::string("apbscqdter") + '\0' + "u...." + "ApBsCqDtEr" + '\0' + "u....");
}

TEST_F(FrameConversionTest, AnOddWidthAtTheTightStrideHasEachRowOverwriteThePreviousSpill) {
    // Stride 2 x 5 = 10: row 0's last group (8..11) is half overwritten by
    // row 1, and row 1's last group reaches two bytes past the image.
    const std::string y = "abcdeABCDE", u = "pqr", v = "stu";
    std::string out(24, '.');
    ConvertI420ToYuy2(
        reinterpret_cast<const UCHAR*>(y.data()), 5, reinterpret_cast<const UCHAR*>(u.data()), 3,
        reinterpret_cast<const UCHAR*>(v.data()), 3, reinterpret_cast<PUCHAR>(&out[0]), 10, 5, 2);
    EXPECT_EQ(out, std::string("apbscqdter") + "ApBsCqDtEr" + '\0' + "u..");
}

TEST_F(FrameConversionTest, PackYuy2RowFollowsThePairRuleForEveryWidth) {
    for (int width = 1; width <= 100; ++width) {
        SCOPED_TRACE(width);
        const std::vector<uint8_t> y = Noise(width, width), u = Noise((width + 1) / 2, width + 500),
                                   v = Noise((width + 1) / 2, width + 900);
        const size_t groups = (width + 1) / 2;
        std::vector<uint8_t> out(groups * 4 + 8, 0xCC);
        PackYuy2Row(y.data(), u.data(), v.data(), out.data(), width);
        for (size_t k = 0; k < groups; ++k) {
            const bool last = 2 * k + 1 == static_cast<size_t>(width);
            ASSERT_EQ(out[4 * k], y[2 * k]);
            ASSERT_EQ(out[4 * k + 1], u[k]);
            ASSERT_EQ(out[4 * k + 2], last ? 0 : y[2 * k + 1]);
            ASSERT_EQ(out[4 * k + 3], v[k]);
        }
        for (size_t i = groups * 4; i < out.size(); ++i) {
            ASSERT_EQ(out[i], 0xCC) << "wrote past the row at " << i;
        }
    }
}

// ---- RGB24 (B, G, R) to YUY2 ------------------------------------------------

// libyuv's path to the same output: 24-bit RGB in B, G, R memory order to
// ARGB, then ARGB to YUY2 (BT.601 limited range, chroma of each pair averaged).
std::vector<uint8_t> LibyuvRgb24ToYuy2(const std::vector<uint8_t>& rgb, int width, int height) {
    std::vector<uint8_t> argb(static_cast<size_t>(width) * height * 4);
    std::vector<uint8_t> yuy2(static_cast<size_t>(width) * height * 2);
    libyuv::RGB24ToARGB(rgb.data(), width * 3, argb.data(), width * 4, width, height);
    libyuv::ARGBToYUY2(argb.data(), width * 4, yuy2.data(), width * 2, width, height);
    return yuy2;
}

void ExpectWithinOneOfLibyuv(const std::vector<uint8_t>& rgb, int width, int height) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    std::vector<uint8_t> ours(static_cast<size_t>(width) * height * 2, 0);
    ConvertRgb24ToYuy2(rgb.data(), width * 3, ours.data(), width * 2, width, height);
    const std::vector<uint8_t> theirs = LibyuvRgb24ToYuy2(rgb, width, height);
    for (size_t i = 0; i < ours.size(); ++i) {
        ASSERT_LE(std::abs(int(ours[i]) - int(theirs[i])), 1) << "byte " << i;
    }
}

TEST_F(FrameConversionTest, Rgb24ToYuy2IsWithinOneCodeValueOfLibyuv) {
    uint32_t seed = 40;
    for (int width : {2, 4, 8, 16, 30, 64, 318, 1280}) {
        for (int height : {2, 4, 7, 32}) {
            ExpectWithinOneOfLibyuv(Noise(static_cast<size_t>(width) * height * 3, seed++), width,
                                    height);
        }
    }
    ExpectWithinOneOfLibyuv(Noise(1280 * 720 * 3, seed++), 1280, 720);
}

TEST_F(FrameConversionTest, Rgb24ToYuy2IsWithinOneCodeValueOfLibyuvOnRampsAndExtremes) {
    // Every grey level, every channel alone at every level, and black/white
    // pairs whose chroma averages two very different pixels.
    const int width = 256, height = 6;
    std::vector<uint8_t> rgb(width * height * 3);
    for (int x = 0; x < width; ++x) {
        for (int row = 0; row < height; ++row) {
            uint8_t* p = &rgb[(row * width + x) * 3];
            const uint8_t level = static_cast<uint8_t>(x);
            switch (row) {
                case 0:
                    p[0] = p[1] = p[2] = level;
                    break;
                case 1:
                    p[0] = level;
                    p[1] = p[2] = 0;
                    break;
                case 2:
                    p[1] = level;
                    p[0] = p[2] = 0;
                    break;
                case 3:
                    p[2] = level;
                    p[0] = p[1] = 0;
                    break;
                case 4:
                    p[0] = p[1] = p[2] = (x % 2 != 0) ? 255 : 0;
                    break;
                default:
                    p[0] = (x % 2 != 0) ? 255 : 0;
                    p[1] = 0;
                    p[2] = (x % 2 != 0) ? 0 : 255;
            }
        }
    }
    ExpectWithinOneOfLibyuv(rgb, width, height);
}

TEST_F(FrameConversionTest, Rgb24ToYuy2GivesTheLimitedRangeEndsForBlackAndWhite) {
    const std::vector<uint8_t> rgb = {0, 0, 0, 255, 255, 255};  // black, white
    std::vector<uint8_t> out(4);
    ConvertRgb24ToYuy2(rgb.data(), 6, out.data(), 4, 2, 1);
    EXPECT_EQ(out[0], 16);   // black luma
    EXPECT_EQ(out[2], 235);  // white luma
    EXPECT_EQ(out[1], 128);  // grey average: no colour
    EXPECT_EQ(out[3], 128);
}

TEST_F(FrameConversionTest, Rgb24ToYuy2ReadsRowsTopDownAndHonoursStrides) {
    // Two rows at a padded source stride into a padded destination: row 0
    // (pure blue) goes to destination row 0.
    const int width = 4, sourceStride = 4 * 3 + 5, destinationStride = 4 * 2 + 3;
    std::vector<uint8_t> rgb(sourceStride * 2, 0x11);
    for (int x = 0; x < width; ++x) {
        uint8_t* top = &rgb[x * 3];
        top[0] = 255, top[1] = 0, top[2] = 0;  // blue
        uint8_t* bottom = &rgb[sourceStride + x * 3];
        bottom[0] = 0, bottom[1] = 0, bottom[2] = 255;  // red
    }
    std::vector<uint8_t> out(destinationStride * 2, 0x99);
    ConvertRgb24ToYuy2(rgb.data(), sourceStride, out.data(), destinationStride, width, 2);
    EXPECT_NEAR(out[0], 16 + 24.966, 1.0);                      // blue luma
    EXPECT_NEAR(out[1], 128 + 112.0, 1.0);                      // blue: U at its top
    EXPECT_NEAR(out[destinationStride], 16 + 65.481, 1.0);      // red luma
    EXPECT_NEAR(out[destinationStride + 3], 128 + 112.0, 1.0);  // red: V at its top
    // Row padding untouched.
    for (int i = width * 2; i < destinationStride; ++i) {
        EXPECT_EQ(out[i], 0x99);
        EXPECT_EQ(out[destinationStride + i], 0x99);
    }
}

TEST_F(FrameConversionTest, Rgb24ToYuy2EndsAnOddRowWithTheLastPixelsOwnColour) {
    // Width 3: a pair, then the lone third pixel as Y, U, 0, V.
    const std::vector<uint8_t> rgb = {0, 0, 0, 0, 0, 0, 255, 0, 0};  // black, black, blue
    std::vector<uint8_t> out(8, 0xCC);
    ConvertRgb24ToYuy2(rgb.data(), 9, out.data(), 8, 3, 1);
    EXPECT_EQ(out[0], 16);
    EXPECT_EQ(out[2], 16);
    EXPECT_NEAR(out[4], 16 + 24.966, 1.0);
    EXPECT_NEAR(out[5], 240, 1.0);
    EXPECT_EQ(out[6], 0);
    EXPECT_NEAR(out[7], 128 - 18.214, 1.0);
}

TEST_F(FrameConversionTest, Rgb24ToYuy2IgnoresNullBuffersAndEmptySizes) {
    const std::vector<uint8_t> rgb(24, 0x40);
    std::vector<uint8_t> out(16, 0x77);
    ConvertRgb24ToYuy2(nullptr, 12, out.data(), 8, 4, 2);
    ConvertRgb24ToYuy2(rgb.data(), 12, nullptr, 8, 4, 2);
    ConvertRgb24ToYuy2(rgb.data(), 12, out.data(), 8, 0, 2);
    ConvertRgb24ToYuy2(rgb.data(), 12, out.data(), 8, 4, 0);
    ConvertRgb24ToYuy2(rgb.data(), 12, out.data(), 8, -4, 2);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0x77));
}

// ---- RGB24 to YUY2, byte for byte on every vector path ----------------------

// The formulas of FrameConversion.h, written out plainly: 8.8 fixed point,
// rounded; chroma from the channel sums of each pair, so the 1/512 of the
// sums is the 1/256 of the pair's mean.
uint8_t ReferenceLuma(int b, int g, int r) {
    return static_cast<uint8_t>((66 * r + 129 * g + 25 * b + 128) / 256 + 16);
}
uint8_t ReferenceU(int bSum, int gSum, int rSum) {
    return static_cast<uint8_t>((112 * bSum - 74 * gSum - 38 * rSum + 256 + 128 * 512) / 512);
}
uint8_t ReferenceV(int bSum, int gSum, int rSum) {
    return static_cast<uint8_t>((112 * rSum - 94 * gSum - 18 * bSum + 256 + 128 * 512) / 512);
}

// One row by the reference: pairs Y U Y V, an odd width ends Y U 0 V from
// the last pixel alone.
void ReferenceRgb24Row(const uint8_t* in, uint8_t* out, int width) {
    for (int x = 0; x + 1 < width; x += 2) {
        const uint8_t* p = in + 3 * x;
        uint8_t* group = out + 2 * x;
        const int b = p[0] + p[3], g = p[1] + p[4], r = p[2] + p[5];
        group[0] = ReferenceLuma(p[0], p[1], p[2]);
        group[1] = ReferenceU(b, g, r);
        group[2] = ReferenceLuma(p[3], p[4], p[5]);
        group[3] = ReferenceV(b, g, r);
    }
    if (width % 2 != 0) {
        const uint8_t* p = in + 3 * (width - 1);
        uint8_t* group = out + 2 * (width - 1);
        group[0] = ReferenceLuma(p[0], p[1], p[2]);
        group[1] = ReferenceU(2 * p[0], 2 * p[1], 2 * p[2]);
        group[2] = 0;
        group[3] = ReferenceV(2 * p[0], 2 * p[1], 2 * p[2]);
    }
}

// The paths this processor can run: each is checked, not just the fastest.
std::vector<Rgb24Path> PathsOfThisProcessor() {
    std::vector<Rgb24Path> paths = {Rgb24Path::Sse2};
    if (__builtin_cpu_supports("ssse3")) {
        paths.push_back(Rgb24Path::Ssse3);
    }
    return paths;
}

const char* NameOf(Rgb24Path path) {
    return path == Rgb24Path::Ssse3 ? "SSSE3" : "SSE2";
}

// An image with its own strides (negative: bottom-up, the pointer then at
// the last row) converted by `path` and by the reference into blocks of the
// same fill; the blocks, padding and spill included, must be identical.
void ExpectRgb24SameAsReference(Rgb24Path path, int width, int height, int sourcePadding,
                                int destinationPadding, bool bottomUp, uint32_t seed) {
    SCOPED_TRACE(std::string(NameOf(path)) + " " + std::to_string(width) + "x" +
                 std::to_string(height) + " padding " + std::to_string(sourcePadding) + "/" +
                 std::to_string(destinationPadding) + (bottomUp ? " bottom-up" : ""));
    const int sourceStride = 3 * width + sourcePadding;
    // Room for the odd width's fourth byte of each row's last group.
    const int rowBytes = 4 * ((width + 1) / 2);
    const int destinationStride = rowBytes + destinationPadding;
    const std::vector<uint8_t> source = Noise(static_cast<size_t>(sourceStride) * height, seed);
    const size_t destinationSize = static_cast<size_t>(destinationStride) * height + 32;
    std::vector<uint8_t> ours(destinationSize, 0xA5), reference(destinationSize, 0xA5);

    const int firstRow = bottomUp ? height - 1 : 0;
    const int step = bottomUp ? -1 : 1;
    ConvertRgb24ToYuy2On(path, source.data() + static_cast<size_t>(firstRow) * sourceStride,
                         step * sourceStride,
                         ours.data() + 16 + static_cast<size_t>(firstRow) * destinationStride,
                         step * destinationStride, width, height);
    for (int row = 0; row < height; ++row) {
        const int sourceRow = firstRow + step * row;
        ReferenceRgb24Row(
            source.data() + static_cast<size_t>(sourceRow) * sourceStride,
            reference.data() + 16 + static_cast<size_t>(sourceRow) * destinationStride, width);
    }
    for (size_t i = 0; i < ours.size(); ++i) {
        ASSERT_EQ(int(ours[i]), int(reference[i])) << "byte " << i;
    }
}

TEST_F(FrameConversionTest, Rgb24ToYuy2EveryPathMatchesTheFormulasForEveryWidthAndLayout) {
    // Every width up to 70 (the vector steps are 8 and 16 pixels), widths
    // around larger multiples of 16, and a whole 720p frame; one row, two
    // rows and an odd count; tight, padded and bottom-up strides.
    std::vector<int> widths;
    for (int width = 1; width <= 70; ++width) {
        widths.push_back(width);
    }
    for (int width : {127, 128, 129, 130, 255, 256, 257, 1279, 1281}) {
        widths.push_back(width);
    }
    uint32_t seed = 700;
    for (Rgb24Path path : PathsOfThisProcessor()) {
        for (int width : widths) {
            for (int height : {1, 2, 5}) {
                ExpectRgb24SameAsReference(path, width, height, 0, 0, false, seed++);
                ExpectRgb24SameAsReference(path, width, height, 7, 5, false, seed++);
                ExpectRgb24SameAsReference(path, width, height, 1, 3, true, seed++);
            }
        }
        ExpectRgb24SameAsReference(path, 1280, 720, 0, 0, false, seed++);
    }
}

TEST_F(FrameConversionTest, Rgb24ToYuy2EveryPathGivesTheFormulasLumaForEveryColour) {
    // All 2^24 colours, 4096 per row (blue and the low green bits vary along
    // it); the chroma of each pair of neighbours is checked on the way.
    constexpr int kWidth = 4096;
    std::vector<uint8_t> row(kWidth * 3), out(kWidth * 2);
    for (Rgb24Path path : PathsOfThisProcessor()) {
        SCOPED_TRACE(NameOf(path));
        for (uint32_t rowIndex = 0; rowIndex < (1u << 24) / kWidth; ++rowIndex) {
            for (int x = 0; x < kWidth; ++x) {
                const uint32_t colour = rowIndex * kWidth + x;
                row[3 * x] = static_cast<uint8_t>(colour);
                row[3 * x + 1] = static_cast<uint8_t>(colour >> 8);
                row[3 * x + 2] = static_cast<uint8_t>(colour >> 16);
            }
            ConvertRgb24ToYuy2On(path, row.data(), kWidth * 3, out.data(), kWidth * 2, kWidth, 1);
            for (int x = 0; x < kWidth; x += 2) {
                const uint8_t* p = &row[3 * x];
                const uint8_t* group = &out[2 * x];
                const int b = p[0] + p[3], g = p[1] + p[4], r = p[2] + p[5];
                if (group[0] != ReferenceLuma(p[0], p[1], p[2]) ||
                    group[2] != ReferenceLuma(p[3], p[4], p[5]) ||
                    group[1] != ReferenceU(b, g, r) || group[3] != ReferenceV(b, g, r)) {
                    FAIL() << "colours " << rowIndex * kWidth + x << " and the next: got "
                           << int(group[0]) << " " << int(group[1]) << " " << int(group[2]) << " "
                           << int(group[3]);
                }
            }
        }
    }
}

TEST_F(FrameConversionTest, Rgb24ToYuy2EveryPathGivesTheFormulasChromaForRandomAndExtremePairs) {
    // Four million random pairs, then pairs of the channel extremes (every
    // mix of 0 and 255 against every mix), where the sums reach their ends.
    constexpr int kWidth = 2048;
    std::vector<uint8_t> out(kWidth * 2), reference(kWidth * 2);
    for (Rgb24Path path : PathsOfThisProcessor()) {
        SCOPED_TRACE(NameOf(path));
        for (uint32_t block = 0; block < 2048; ++block) {
            const std::vector<uint8_t> row = Noise(kWidth * 3, 9000 + block);
            ConvertRgb24ToYuy2On(path, row.data(), kWidth * 3, out.data(), kWidth * 2, kWidth, 1);
            ReferenceRgb24Row(row.data(), reference.data(), kWidth);
            ASSERT_EQ(0, std::memcmp(out.data(), reference.data(), out.size()))
                << "block " << block;
        }
        std::vector<uint8_t> extremes;
        for (int first = 0; first < 8; ++first) {
            for (int second = 0; second < 8; ++second) {
                for (int mix : {first, second}) {
                    for (int channel = 0; channel < 3; ++channel) {
                        extremes.push_back((mix >> channel & 1) != 0 ? 255 : 0);
                    }
                }
            }
        }
        const int width = static_cast<int>(extremes.size() / 3);
        std::vector<uint8_t> ours(width * 2), expected(width * 2);
        ConvertRgb24ToYuy2On(path, extremes.data(), width * 3, ours.data(), width * 2, width, 1);
        ReferenceRgb24Row(extremes.data(), expected.data(), width);
        EXPECT_EQ(ours, expected);
    }
}

TEST_F(FrameConversionTest, Rgb24ToYuy2TakesTheFastestPathThisProcessorHas) {
    // CPUID's answer, as the compiler's own probe reads it.
    EXPECT_EQ(Rgb24PathOfThisProcessor(),
              __builtin_cpu_supports("ssse3") ? Rgb24Path::Ssse3 : Rgb24Path::Sse2);
    EXPECT_EQ(Rgb24PathOfThisProcessor(), Rgb24PathOfThisProcessor());  // the cached answer

    const std::vector<uint8_t> rgb = Noise(66 * 3 * 3, 31);
    std::vector<uint8_t> plain(66 * 2 * 3, 0), onPath(66 * 2 * 3, 0);
    ConvertRgb24ToYuy2(rgb.data(), 66 * 3, plain.data(), 66 * 2, 66, 3);
    ConvertRgb24ToYuy2On(Rgb24PathOfThisProcessor(), rgb.data(), 66 * 3, onPath.data(), 66 * 2, 66,
                         3);
    EXPECT_EQ(plain, onPath);
}

TEST_F(FrameConversionTest, Rgb24ToYuy2OnIgnoresNullBuffersAndEmptySizesOnEveryPath) {
    const std::vector<uint8_t> rgb(48, 0x40);
    std::vector<uint8_t> out(32, 0x77);
    for (Rgb24Path path : PathsOfThisProcessor()) {
        ConvertRgb24ToYuy2On(path, nullptr, 24, out.data(), 16, 8, 2);
        ConvertRgb24ToYuy2On(path, rgb.data(), 24, nullptr, 16, 8, 2);
        ConvertRgb24ToYuy2On(path, rgb.data(), 24, out.data(), 16, 0, 2);
        ConvertRgb24ToYuy2On(path, rgb.data(), 24, out.data(), 16, 8, 0);
        ConvertRgb24ToYuy2On(path, rgb.data(), 24, out.data(), 16, -8, 2);
        ConvertRgb24ToYuy2On(path, rgb.data(), 24, out.data(), 16, 8, -2);
    }
    EXPECT_EQ(out, std::vector<uint8_t>(32, 0x77));
}

}  // namespace
