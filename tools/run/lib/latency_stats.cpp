#include "latency_stats.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace korvan::run {

double percentile(const std::vector<double>& sorted, double q) {
  const double rank = q / 100.0 * static_cast<double>(sorted.size() - 1);
  const auto lower = static_cast<std::size_t>(std::floor(rank));
  const std::size_t upper = std::min(lower + 1, sorted.size() - 1);
  const double fraction = rank - static_cast<double>(lower);
  return sorted[lower] + (sorted[upper] - sorted[lower]) * fraction;
}

LatencyStats summarize(std::vector<double> values) {
  LatencyStats s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.count = values.size();
  s.min = values.front();
  s.max = values.back();
  s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
  double squares = 0;
  for (double v : values) squares += (v - s.mean) * (v - s.mean);
  s.stddev = std::sqrt(squares / static_cast<double>(values.size()));
  s.median = percentile(values, 50);
  s.p90 = percentile(values, 90);
  s.p99 = percentile(values, 99);
  s.p999 = percentile(values, 99.9);
  return s;
}

}  // namespace korvan::run
