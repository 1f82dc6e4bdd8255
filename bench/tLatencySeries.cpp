#include "bench/tLatencySeries.h"

#include <algorithm>
#include <cmath>

namespace nQUORVAMONITORD_18_5 {
namespace nQVBENCH {

std::vector<int64_t> tLatencySeries::sorted() const {
    std::vector<int64_t> copy = samples_;
    std::sort(copy.begin(), copy.end());
    return copy;
}

int64_t tLatencySeries::median() const {
    if (samples_.empty()) {
        return 0;
    }
    const std::vector<int64_t> values = sorted();
    const size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) {
        return values[middle];
    }
    return (values[middle - 1] + values[middle]) / 2;
}

int64_t tLatencySeries::quantile(double q) const {
    if (samples_.empty()) {
        return 0;
    }
    const std::vector<int64_t> values = sorted();
    const double rank = std::ceil(q * static_cast<double>(values.size()));
    size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    index = std::min(index, values.size() - 1);
    return values[index];
}

int64_t tLatencySeries::max() const {
    if (samples_.empty()) {
        return 0;
    }
    return *std::max_element(samples_.begin(), samples_.end());
}

}  // namespace nQVBENCH
}  // namespace nQUORVAMONITORD_18_5
