#include "tools/vcam/FrameRate.h"

#include "tools/vcam/ToolError.h"

#include <cmath>
#include <cstdlib>

namespace vcam {

FrameRate::FrameRate(uint32_t numerator, uint32_t denominator)
    : numerator_(numerator), denominator_(denominator) {
    if (numerator == 0 || denominator == 0) {
        throw ToolError(kExitUsage, "a frame rate must be positive");
    }
}

namespace {

bool ParseUnsigned(const std::string& text, uint32_t* value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    *value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

}  // namespace

FrameRate FrameRate::Parse(const std::string& text) {
    const std::string bad =
        "frame rate '" + text + "' is not a positive number such as 30, 29.97 or 30000/1001";
    size_t split = text.find_first_of("/:");
    uint32_t numerator = 0;
    uint32_t denominator = 1;
    if (split != std::string::npos) {
        if (!ParseUnsigned(text.substr(0, split), &numerator) ||
            !ParseUnsigned(text.substr(split + 1), &denominator)) {
            throw ToolError(kExitUsage, bad);
        }
    } else if (text.find('.') != std::string::npos) {
        // A decimal: 29.97 is taken as the usual 30000/1001, anything else exactly to 1/1000.
        char* end = nullptr;
        double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !(value > 0) || value > 1e6) {
            throw ToolError(kExitUsage, bad);
        }
        for (uint32_t base : {24u, 30u, 60u}) {
            if (std::fabs(value - base * 1000.0 / 1001.0) < 0.005)
                return FrameRate(base * 1000, 1001);
        }
        numerator = static_cast<uint32_t>(std::llround(value * 1000));
        denominator = 1000;
    } else if (!ParseUnsigned(text, &numerator)) {
        throw ToolError(kExitUsage, bad);
    }
    if (numerator == 0 || denominator == 0) throw ToolError(kExitUsage, bad);
    return FrameRate(numerator, denominator);
}

int64_t FrameRate::OffsetOf(uint64_t index) const {
    // 128-bit product: index * 10^7 * denominator overflows 64 bits after a few
    // days of frames at 1001 denominators.
    unsigned __int128 product = static_cast<unsigned __int128>(index) * 10000000u * denominator_;
    return static_cast<int64_t>(product / numerator_);
}

std::string FrameRate::ToString() const {
    return std::to_string(numerator_) + "/" + std::to_string(denominator_);
}

}  // namespace vcam
