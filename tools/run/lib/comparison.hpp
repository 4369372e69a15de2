#pragma once

// Element-wise comparison of an output against its expected values:
// |actual - expected| <= atol + rtol * |expected|, NaN matching NaN only.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tensor_data.hpp"

namespace korvan::run {

struct Tolerance {
  double atol = 0.0;
  double rtol = 0.0;
};

// Defaults by element type: float32 tight, bfloat16 looser (8 significant
// bits), integers and bool exact.
Tolerance defaultTolerance(ElementType type);

struct Mismatch {
  std::vector<std::uint64_t> index;  // multi-dimensional position
  double actual = 0.0;
  double expected = 0.0;
};

struct ComparisonResult {
  std::string name;
  Tolerance tolerance;
  std::uint64_t elements = 0;
  std::uint64_t mismatches = 0;
  double maxAbsError = 0.0;
  double maxRelError = 0.0;  // over elements whose expected value is not 0
  std::vector<Mismatch> firstMismatches;

  bool passed() const { return mismatches == 0; }
  double mismatchShare() const {
    return elements == 0 ? 0.0 : static_cast<double>(mismatches) / static_cast<double>(elements);
  }
};

// Both tensors must have the same element count (the caller checks shapes).
ComparisonResult compareTensors(const std::string& name, const HostTensor& actual,
                                const HostTensor& expected, Tolerance tolerance,
                                std::size_t keepMismatches = 5);

// Row-major position of flat index `flat` in `shape`.
std::vector<std::uint64_t> unravelIndex(std::uint64_t flat,
                                        const std::vector<std::uint64_t>& shape);

}  // namespace korvan::run
