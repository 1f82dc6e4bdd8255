// The latencies measured for one program: samples in nanoseconds, plus the notifications that
// never produced a signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

class tLatencySeries {
  public:
    void add(int64_t nanoseconds) { samples_.push_back(nanoseconds); }
    void addMiss() { ++misses_; }

    size_t count() const { return samples_.size(); }
    size_t misses() const { return misses_; }

    // The middle sample; the mean of the two middle ones for an even count. 0 when empty.
    int64_t median() const;
    // Nearest rank: the smallest sample that at least the fraction q of all samples do not
    // exceed (q in (0, 1]). 0 when empty.
    int64_t quantile(double q) const;
    int64_t max() const;

  private:
    std::vector<int64_t> sorted() const;

    std::vector<int64_t> samples_;
    size_t misses_ = 0;
};

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
