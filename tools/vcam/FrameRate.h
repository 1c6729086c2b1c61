// A frame rate as an exact fraction (frames per second = numerator /
// denominator), the way Y4M writes it, and the schedule it implies on the
// 100 ns system clock.
#pragma once

#include <cstdint>
#include <string>

namespace vcam {

class FrameRate {
  public:
    FrameRate() = default;
    FrameRate(uint32_t numerator, uint32_t denominator);

    // "30", "29.97", "30000/1001" or "30000:1001". Throws ToolError (usage)
    // for anything else or a rate that is not positive.
    static FrameRate Parse(const std::string& text);
    // The camera's own rate, 30000/1001.
    static FrameRate Ntsc() { return FrameRate(30000, 1001); }

    uint32_t Numerator() const { return numerator_; }
    uint32_t Denominator() const { return denominator_; }
    double PerSecond() const { return static_cast<double>(numerator_) / denominator_; }
    // Offset of frame `index` from the first one, in 100 ns units, rounded
    // down: floor(index * 10^7 * denominator / numerator).
    int64_t OffsetOf(uint64_t index) const;
    std::string ToString() const;  // "30000/1001"

  private:
    uint32_t numerator_ = 30000;   // frames ...
    uint32_t denominator_ = 1001;  // ... per this many seconds
};

}  // namespace vcam
