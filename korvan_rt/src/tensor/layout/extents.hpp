#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/error.hpp"

namespace korvanrt {

// Logical batch, channel, height and width extents of one side of a tensor.
struct Extents4 {
  size_t n = 0, c = 0, h = 0, w = 0;
  size_t size() const { return n * c * h * w; }
  bool operator==(const Extents4&) const = default;
};

inline size_t ceilDiv(size_t a, size_t b) {
  return (a + b - 1) / b;
}

// Product of extents; saturates at SIZE_MAX so that an absurd shape can never
// wrap around into a small, seemingly valid element count.
inline size_t productSaturated(std::initializer_list<size_t> factors) {
  size_t p = 1;
  for (size_t f : factors) {
    if (__builtin_mul_overflow(p, f, &p)) return SIZE_MAX;
  }
  return p;
}

// Raises the out-of-bounds error tagged with the raising location.
#define KORVANRT_OUT_OF_BOUND()                                               \
  KORVAN_THROW(std::string("tensor out of bound at ") + __FILE_NAME__ + ":" + \
               std::to_string(__LINE__))

// The device side of a converter may be padded but never smaller than the
// caller's side: a smaller device extent would drop or invent elements.
inline void requireDeviceCovers(const Extents4& dev, const Extents4& cpu) {
  if (dev.n < cpu.n || dev.c < cpu.c || dev.h < cpu.h || dev.w < cpu.w) {
    KORVAN_THROW("device extents N=" + std::to_string(dev.n) + " C=" + std::to_string(dev.c) +
                 " H=" + std::to_string(dev.h) + " W=" + std::to_string(dev.w) +
                 " are smaller than the CPU extents N=" + std::to_string(cpu.n) +
                 " C=" + std::to_string(cpu.c) + " H=" + std::to_string(cpu.h) +
                 " W=" + std::to_string(cpu.w));
  }
}

}  // namespace korvanrt
