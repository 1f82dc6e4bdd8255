#include "bench/tLatencySeries.h"

#include <gtest/gtest.h>

namespace nQUORVAMONITORD_18_5::nQVBENCH {
namespace {

tLatencySeries seriesOf(std::initializer_list<int64_t> samples) {
    tLatencySeries series;
    for (const int64_t sample : samples) {
        series.add(sample);
    }
    return series;
}

TEST(tLatencySeriesTest, EmptySeriesReportsZeroEverywhere) {
    tLatencySeries series;
    series.addMiss();
    EXPECT_EQ(series.count(), 0u);
    EXPECT_EQ(series.misses(), 1u);
    EXPECT_EQ(series.median(), 0);
    EXPECT_EQ(series.quantile(0.99), 0);
    EXPECT_EQ(series.max(), 0);
}

TEST(tLatencySeriesTest, MedianOfOddAndEvenCountsWhateverTheOrder) {
    EXPECT_EQ(seriesOf({9, 1, 5}).median(), 5);
    EXPECT_EQ(seriesOf({40, 10, 30, 20}).median(), 25);
    EXPECT_EQ(seriesOf({7}).median(), 7);
}

TEST(tLatencySeriesTest, QuantileTakesTheNearestRank) {
    tLatencySeries hundred;
    for (int64_t i = 100; i >= 1; --i) {
        hundred.add(i);
    }
    EXPECT_EQ(hundred.quantile(0.99), 99);
    EXPECT_EQ(hundred.quantile(0.5), 50);
    EXPECT_EQ(hundred.quantile(1.0), 100);
    EXPECT_EQ(hundred.max(), 100);

    // Fifty samples: the 99th percentile is the largest one.
    tLatencySeries fifty;
    for (int64_t i = 1; i <= 50; ++i) {
        fifty.add(i * 10);
    }
    EXPECT_EQ(fifty.quantile(0.99), 500);
    EXPECT_EQ(fifty.quantile(0.01), 10);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nQVBENCH
