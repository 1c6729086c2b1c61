#include "tools/vcam/TestPattern.h"

#include <cstring>

namespace vcam {

namespace {

constexpr int kCodeBits = 32;
constexpr int kCodeCell = 32;            // pixels per code square, each way
constexpr int kBarsTop = 2 * kCodeCell;  // 64
constexpr int kRampTop = 480;
constexpr int kLabelTop = 560;
constexpr int kBarWidth = kWidth / 8;
constexpr int kScrollPerFrame = 4;
constexpr int kBoxSize = 96;
constexpr uint8_t kBlack = 16;
constexpr uint8_t kWhite = 235;

struct Yuv {
    uint8_t y, u, v;
};

// 75% colour bars in BT.601 limited range: white, yellow, cyan, green,
// magenta, red, blue, black.
constexpr Yuv kBars[8] = {
    {180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
    {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128},
};

// 5 x 7 digits, one byte per row, bit 4 the leftmost pixel.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};

struct Planes {
    uint8_t* y;
    uint8_t* u;
    uint8_t* v;
};

void FillRect(const Planes& p, int x0, int y0, int w, int h, Yuv c) {
    for (int row = y0; row < y0 + h; ++row) {
        std::memset(p.y + static_cast<size_t>(row) * kWidth + x0, c.y, w);
    }
    // Chroma for the 2 x 2 blocks the rectangle covers (callers keep to even edges).
    for (int row = y0 / 2; row < (y0 + h) / 2; ++row) {
        std::memset(p.u + static_cast<size_t>(row) * (kWidth / 2) + x0 / 2, c.u, w / 2);
        std::memset(p.v + static_cast<size_t>(row) * (kWidth / 2) + x0 / 2, c.v, w / 2);
    }
}

// Luma-only digits at `scale` pixels per font pixel; returns the width drawn.
int DrawNumber(const Planes& p, uint32_t value, int x0, int y0, int scale, uint8_t luma) {
    char text[16];
    int length = 0;
    do {
        text[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    int x = x0;
    for (int i = length - 1; i >= 0; --i) {
        const uint8_t* glyph = kDigits[text[i] - '0'];
        for (int gy = 0; gy < 7; ++gy) {
            for (int gx = 0; gx < 5; ++gx) {
                if ((glyph[gy] & (0x10 >> gx)) == 0) continue;
                for (int sy = 0; sy < scale; ++sy) {
                    uint8_t* row = p.y + static_cast<size_t>(y0 + gy * scale + sy) * kWidth;
                    std::memset(row + x + gx * scale, luma, scale);
                }
            }
        }
        x += 6 * scale;
    }
    return x - x0;
}

int DigitCount(uint32_t value) {
    int count = 1;
    while (value >= 10) {
        value /= 10;
        ++count;
    }
    return count;
}

}  // namespace

bool TestPattern::Next(std::vector<uint8_t>& frame) {
    frame.resize(kI420Bytes);
    Draw(nextSequence_++, frame.data());
    return true;
}

std::string TestPattern::Describe() const {
    return "built-in pattern (I420, " + rate_.ToString() + " fps)";
}

void TestPattern::Draw(uint32_t sequence, uint8_t* i420) {
    const Planes p{i420, i420 + kLumaBytes, i420 + kLumaBytes + kLumaBytes / 4};

    // Code rows: the number, then its complement, on neutral chroma.
    FillRect(p, 0, 0, kWidth, kBarsTop, {40, 128, 128});
    for (int bit = 0; bit < kCodeBits; ++bit) {
        bool one = (sequence >> (kCodeBits - 1 - bit)) & 1u;
        FillRect(p, bit * kCodeCell, 0, kCodeCell, kCodeCell, {one ? kWhite : kBlack, 128, 128});
        FillRect(p, bit * kCodeCell, kCodeCell, kCodeCell, kCodeCell,
                 {one ? kBlack : kWhite, 128, 128});
    }
    DrawNumber(p, sequence, kCodeBits * kCodeCell + 16, 18, 4, kWhite);

    // Scrolling colour bars: every row is the same, so one row of each plane
    // is drawn and copied down.
    const int shift =
        static_cast<int>((static_cast<uint64_t>(sequence) * kScrollPerFrame) % kWidth);
    uint8_t* firstY = p.y + static_cast<size_t>(kBarsTop) * kWidth;
    for (int x = 0; x < kWidth; ++x) firstY[x] = kBars[((x + shift) % kWidth) / kBarWidth].y;
    for (int row = kBarsTop + 1; row < kRampTop; ++row) {
        std::memcpy(p.y + static_cast<size_t>(row) * kWidth, firstY, kWidth);
    }
    uint8_t* firstU = p.u + static_cast<size_t>(kBarsTop / 2) * (kWidth / 2);
    uint8_t* firstV = p.v + static_cast<size_t>(kBarsTop / 2) * (kWidth / 2);
    for (int cx = 0; cx < kWidth / 2; ++cx) {
        const Yuv& bar = kBars[((2 * cx + shift) % kWidth) / kBarWidth];
        firstU[cx] = bar.u;
        firstV[cx] = bar.v;
    }
    for (int row = kBarsTop / 2 + 1; row < kRampTop / 2; ++row) {
        std::memcpy(p.u + static_cast<size_t>(row) * (kWidth / 2), firstU, kWidth / 2);
        std::memcpy(p.v + static_cast<size_t>(row) * (kWidth / 2), firstV, kWidth / 2);
    }

    // A box bouncing over the bars: a triangle wave in x and y.
    const int spanX = kWidth - kBoxSize;
    const int spanY = kRampTop - kBarsTop - kBoxSize;
    const int px = static_cast<int>((static_cast<uint64_t>(sequence) * 12) % (2 * spanX));
    const int py = static_cast<int>((static_cast<uint64_t>(sequence) * 6) % (2 * spanY));
    const int boxX = (px < spanX ? px : 2 * spanX - px) & ~1;
    const int boxY = kBarsTop + ((py < spanY ? py : 2 * spanY - py) & ~1);
    FillRect(p, boxX, boxY, kBoxSize, kBoxSize, {kBlack, 128, 128});
    FillRect(p, boxX + 8, boxY + 8, kBoxSize - 16, kBoxSize - 16, {kWhite, 128, 128});

    // Luma ramp on neutral chroma.
    uint8_t* ramp = p.y + static_cast<size_t>(kRampTop) * kWidth;
    for (int x = 0; x < kWidth; ++x) {
        ramp[x] = static_cast<uint8_t>(kBlack + (kWhite - kBlack) * x / (kWidth - 1));
    }
    for (int row = kRampTop + 1; row < kLabelTop; ++row) {
        std::memcpy(p.y + static_cast<size_t>(row) * kWidth, ramp, kWidth);
    }
    for (int row = kRampTop / 2; row < kLabelTop / 2; ++row) {
        std::memset(p.u + static_cast<size_t>(row) * (kWidth / 2), 128, kWidth / 2);
        std::memset(p.v + static_cast<size_t>(row) * (kWidth / 2), 128, kWidth / 2);
    }

    // The number in large digits, centred on dark grey.
    FillRect(p, 0, kLabelTop, kWidth, kHeight - kLabelTop, {40, 128, 128});
    const int scale = 16;
    const int width = DigitCount(sequence) * 6 * scale - scale;
    DrawNumber(p, sequence, (kWidth - width) / 2, kLabelTop + (kHeight - kLabelTop - 7 * scale) / 2,
               scale, kWhite);
}

std::optional<uint32_t> TestPattern::DecodeYuy2(const uint8_t* yuy2) {
    // Average the luma of the 16 x 16 centre of each square: the edges may
    // blur in a converted picture, the centre does not.
    auto squareIsWhite = [yuy2](int bit, int rowOfSquares) {
        unsigned sum = 0;
        const int x0 = bit * kCodeCell + kCodeCell / 4;
        const int y0 = rowOfSquares * kCodeCell + kCodeCell / 4;
        for (int y = y0; y < y0 + kCodeCell / 2; ++y) {
            const uint8_t* row = yuy2 + static_cast<size_t>(y) * kWidth * 2;
            for (int x = x0; x < x0 + kCodeCell / 2; ++x) sum += row[2 * x];
        }
        return sum / (kCodeCell / 2 * kCodeCell / 2) > (kBlack + kWhite) / 2;
    };
    uint32_t value = 0;
    uint32_t complement = 0;
    for (int bit = 0; bit < kCodeBits; ++bit) {
        value = (value << 1) | (squareIsWhite(bit, 0) ? 1u : 0u);
        complement = (complement << 1) | (squareIsWhite(bit, 1) ? 1u : 0u);
    }
    if (complement != ~value) return std::nullopt;
    return value;
}

}  // namespace vcam
