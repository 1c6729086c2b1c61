// Order statistics of a series of measurements (lateness, latency): median,
// any percentile by the nearest-rank rule, and maximum.
#pragma once

#include <cstddef>
#include <vector>

namespace vcam {

class Statistics {
  public:
    void Add(double value) {
        values_.push_back(value);
        sorted_ = false;
    }
    size_t Count() const { return values_.size(); }
    bool Empty() const { return values_.empty(); }

    // Nearest rank: the smallest value with at least `percent` % of the
    // values at or below it. 0 for an empty series.
    double Percentile(double percent) const;
    double Median() const { return Percentile(50.0); }
    double Max() const;
    double Min() const;

  private:
    void Sort() const;

    mutable std::vector<double> values_;  // measurements, sorted lazily
    mutable bool sorted_ = true;          // values_ is in ascending order
};

}  // namespace vcam
