// Latency statistics: interpolated percentiles and the summary.

#include <gtest/gtest.h>

#include "latency_stats.hpp"

namespace korvan::run {
namespace {

TEST(LatencyStats, SummarizesUnorderedValues) {
  std::vector<double> values;
  for (int i = 100; i >= 1; --i) values.push_back(i);
  const LatencyStats s = summarize(values);
  EXPECT_EQ(s.count, 100u);
  EXPECT_EQ(s.min, 1);
  EXPECT_EQ(s.max, 100);
  EXPECT_DOUBLE_EQ(s.mean, 50.5);
  EXPECT_DOUBLE_EQ(s.median, 50.5);
  EXPECT_DOUBLE_EQ(s.p90, 90.1);
  EXPECT_DOUBLE_EQ(s.p99, 99.01);
  EXPECT_NEAR(s.p999, 99.901, 1e-9);
}

TEST(LatencyStats, SmallAndEmptyLists) {
  EXPECT_EQ(summarize({}).count, 0u);
  const LatencyStats one = summarize({7});
  EXPECT_EQ(one.median, 7);
  EXPECT_EQ(one.p999, 7);
  EXPECT_EQ(one.stddev, 0);
}

}  // namespace
}  // namespace korvan::run
