#include "comparison.hpp"

#include <cmath>
#include <stdexcept>

namespace korvan::run {

Tolerance defaultTolerance(ElementType type) {
  switch (type) {
    case ElementType::fp32:
      return {1e-5, 1e-5};
    case ElementType::bf16:
      return {1e-2, 1e-2};
    default:
      return {0.0, 0.0};
  }
}

std::vector<std::uint64_t> unravelIndex(std::uint64_t flat,
                                        const std::vector<std::uint64_t>& shape) {
  std::vector<std::uint64_t> index(shape.size(), 0);
  for (std::size_t d = shape.size(); d-- > 0;) {
    if (shape[d] == 0) break;
    index[d] = flat % shape[d];
    flat /= shape[d];
  }
  return index;
}

ComparisonResult compareTensors(const std::string& name, const HostTensor& actual,
                                const HostTensor& expected, Tolerance tolerance,
                                std::size_t keepMismatches) {
  if (actual.count() != expected.count())
    throw std::invalid_argument("output " + name + ": " + std::to_string(actual.count()) +
                                " elements against " + std::to_string(expected.count()) +
                                " expected");
  ComparisonResult result;
  result.name = name;
  result.tolerance = tolerance;
  result.elements = actual.count();
  for (std::uint64_t i = 0; i < result.elements; ++i) {
    const double a = valueAt(actual, i);
    const double e = valueAt(expected, i);
    bool match;
    if (std::isnan(a) || std::isnan(e)) {
      match = std::isnan(a) && std::isnan(e);
    } else if (std::isinf(a) || std::isinf(e)) {
      match = a == e;
    } else {
      const double diff = std::fabs(a - e);
      match = diff <= tolerance.atol + tolerance.rtol * std::fabs(e);
      result.maxAbsError = std::max(result.maxAbsError, diff);
      if (e != 0.0) result.maxRelError = std::max(result.maxRelError, diff / std::fabs(e));
    }
    if (!match) {
      if (std::isnan(a) != std::isnan(e) || std::isinf(a) || std::isinf(e)) {
        result.maxAbsError = INFINITY;
        result.maxRelError = INFINITY;
      }
      ++result.mismatches;
      if (result.firstMismatches.size() < keepMismatches)
        result.firstMismatches.push_back({unravelIndex(i, expected.shape), a, e});
    }
  }
  return result;
}

}  // namespace korvan::run
