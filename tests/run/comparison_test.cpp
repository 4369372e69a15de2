// Output comparison: tolerances per type, NaN and infinity, error figures
// and the positions of the first mismatches.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "comparison.hpp"

namespace korvan::run {
namespace {

HostTensor floats(std::vector<float> values, std::vector<std::uint64_t> shape) {
  HostTensor t = HostTensor::zeros(ElementType::fp32, std::move(shape));
  for (std::size_t i = 0; i < values.size(); ++i) t.set<float>(i, values[i]);
  return t;
}

TEST(Comparison, DefaultTolerancesByType) {
  EXPECT_GT(defaultTolerance(ElementType::bf16).rtol, defaultTolerance(ElementType::fp32).rtol);
  EXPECT_GT(defaultTolerance(ElementType::bf16).atol, defaultTolerance(ElementType::fp32).atol);
  for (auto t : {ElementType::int8, ElementType::uint8, ElementType::int16, ElementType::uint16,
                 ElementType::boolean}) {
    EXPECT_EQ(defaultTolerance(t).atol, 0.0);
    EXPECT_EQ(defaultTolerance(t).rtol, 0.0);
  }
}

TEST(Comparison, CountsMismatchesAndLocatesThem) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    const char* what;
    std::vector<float> actual, expected;
    Tolerance tolerance;
    std::uint64_t mismatches;
  } cases[] = {
      {"equal", {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, {0, 0}, 0},
      {"within atol", {1.05f, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}, {0.1, 0}, 0},
      {"within rtol", {1, 2, 3, 4, 5, 6.5f}, {1, 2, 3, 4, 5, 6}, {0, 0.1}, 0},
      {"outside both", {1, 2.5f, 3, 4, 5, 7}, {1, 2, 3, 4, 5, 6}, {0.1, 0.1}, 2},
      {"NaN matches NaN only", {nan, 2, 3, 4, 5, nan}, {nan, 2, 3, 4, 5, 6}, {1, 1}, 1},
      {"infinities", {inf, -inf, 3, 4, 5, 6}, {inf, inf, 3, 4, 5, 6}, {1, 1}, 1},
  };
  for (const auto& c : cases) {
    const auto r =
        compareTensors("out", floats(c.actual, {2, 3}), floats(c.expected, {2, 3}), c.tolerance);
    EXPECT_EQ(r.mismatches, c.mismatches) << c.what;
    EXPECT_EQ(r.passed(), c.mismatches == 0) << c.what;
  }
  const auto r = compareTensors("out", floats({1, 2.5f, 3, 4, 5, 7}, {2, 3}),
                                floats({1, 2, 3, 4, 5, 6}, {2, 3}), {0, 0});
  EXPECT_DOUBLE_EQ(r.maxAbsError, 1.0);
  EXPECT_DOUBLE_EQ(r.maxRelError, 0.25);
  EXPECT_DOUBLE_EQ(r.mismatchShare(), 2.0 / 6.0);
  ASSERT_EQ(r.firstMismatches.size(), 2u);
  EXPECT_EQ(r.firstMismatches[0].index, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(r.firstMismatches[1].index, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(r.firstMismatches[1].actual, 7.0);
}

TEST(Comparison, IntegersAreExactAndBf16IsDecoded) {
  HostTensor a = HostTensor::zeros(ElementType::int8, {4}), e = a;
  a.set<std::int8_t>(3, -1);
  EXPECT_EQ(compareTensors("q", a, e, defaultTolerance(ElementType::int8)).mismatches, 1u);

  HostTensor b = HostTensor::zeros(ElementType::bf16, {2}), f = b;
  b.set<std::uint16_t>(0, 0x3f80);  // 1.0
  f.set<std::uint16_t>(0, 0x3f81);  // 1.0078125
  EXPECT_TRUE(compareTensors("b", b, f, defaultTolerance(ElementType::bf16)).passed());
  EXPECT_FALSE(compareTensors("b", b, f, {0, 0}).passed());
}

TEST(Comparison, RefusesDifferentSizes) {
  EXPECT_THROW(compareTensors("o", floats({1, 2}, {2}), floats({1, 2, 3}, {3}), {}),
               std::invalid_argument);
}

}  // namespace
}  // namespace korvan::run
