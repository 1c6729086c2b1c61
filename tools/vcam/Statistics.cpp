#include "tools/vcam/Statistics.h"

#include <algorithm>
#include <cmath>

namespace vcam {

void Statistics::Sort() const {
    if (!sorted_) {
        std::sort(values_.begin(), values_.end());
        sorted_ = true;
    }
}

double Statistics::Percentile(double percent) const {
    if (values_.empty()) return 0.0;
    Sort();
    const double clamped = std::min(100.0, std::max(0.0, percent));
    size_t rank = static_cast<size_t>(std::ceil(clamped / 100.0 * values_.size()));
    if (rank == 0) rank = 1;
    return values_[rank - 1];
}

double Statistics::Max() const {
    if (values_.empty()) return 0.0;
    Sort();
    return values_.back();
}

double Statistics::Min() const {
    if (values_.empty()) return 0.0;
    Sort();
    return values_.front();
}

}  // namespace vcam
