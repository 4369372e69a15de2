#pragma once

#include <cstddef>
#include <string>

#include "model/tensor_dims.hpp"
#include "tensor/layout/extents.hpp"

namespace korvanrt {

// Product of a description's dimensions without 32-bit wrap-around.
inline size_t elementCount(const TensorDims& dims) {
  size_t n = 1;
  for (uint32_t d : dims.dims()) {
    if (__builtin_mul_overflow(n, size_t{d}, &n)) return SIZE_MAX;
  }
  return n;
}

inline Extents4 extentsOf(const TensorDims& dims) {
  return {dims.n(), dims.c(), dims.h(), dims.w()};
}

// Block size of a channel-blocked device layout: 4 for "HCWNC4", else 8.
inline int blockOf(const std::string& hwFormat) {
  return hwFormat == "HCWNC4" ? 4 : 8;
}

inline bool isChannelBlocked(const std::string& format) {
  return format == "HCWNC4" || format == "HCWNC8";
}

// The caller's buffer must hold exactly the description's element count.
inline void requireElementCount(size_t have, size_t expected, const char* side) {
  if (have != expected) {
    KORVAN_THROW(std::string(side) + " tensor has " + std::to_string(have) +
                 " elements, the description expects " + std::to_string(expected));
  }
}

// The converters that index the device tensor with the CPU extents are only
// right when the device tensor is exactly the CPU tensor with its channels
// rounded up to whole blocks. Returns false when the device is padded beyond
// that (the generic plan handles it); throws when the device is smaller than
// the CPU tensor or has another batch size, before anything is written.
inline bool deviceMatchesCpuExtents(const TensorDims& cpu, const TensorDims& hw, size_t block) {
  const Extents4 c = extentsOf(cpu), d = extentsOf(hw);
  requireDeviceCovers(d, c);
  if (d.n != c.n)
    KORVAN_THROW("device batch " + std::to_string(d.n) + " differs from the CPU batch " +
                 std::to_string(c.n));
  if (isChannelBlocked(hw.format())) {
    const auto& dims = hw.dims();
    if (dims.size() != 5 || dims[4] != block) return false;
    return d.h == c.h && d.w == c.w && dims[1] == ceilDiv(c.c, block);
  }
  return d.h == c.h && d.w == c.w && d.c == c.c && hw.rank() == 4;
}

// The generic plans work on layouts whose letters name whole dimensions; the
// width-blocked "W/4HW4" has no CPU plan.
inline void requirePlannableLayouts(const TensorDims& cpu, const TensorDims& hw) {
  for (const std::string* f : {&cpu.format(), &hw.format()}) {
    if (f->find('/') != std::string::npos)
      KORVAN_THROW("layout " + *f + " has no CPU conversion plan");
  }
}

}  // namespace korvanrt
