#pragma once

// A plain host tensor: element type, row-major shape and little-endian bytes.

#include <cstdint>
#include <cstring>
#include <vector>

#include "element_type.hpp"

namespace korvan::pack {

struct HostTensor {
  ElementType type = ElementType::fp32;
  std::vector<std::uint64_t> shape;
  std::vector<std::uint8_t> bytes;

  static HostTensor zeros(ElementType type, std::vector<std::uint64_t> shape);
  std::uint64_t count() const;

  template <typename T>
  T get(std::uint64_t i) const {
    T v;
    std::memcpy(&v, bytes.data() + i * sizeof(T), sizeof(T));
    return v;
  }
  template <typename T>
  void set(std::uint64_t i, T v) {
    std::memcpy(bytes.data() + i * sizeof(T), &v, sizeof(T));
  }
};

// Product of the extents; throws std::overflow_error above 2^32 elements.
std::uint64_t elementCount(const std::vector<std::uint64_t>& shape);

}  // namespace korvan::pack
