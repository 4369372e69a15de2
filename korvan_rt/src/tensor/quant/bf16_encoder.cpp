#include <stdexcept>

#include "tensor/quant/number_formats.hpp"

namespace korvanrt {

void float_to_bfloat16_avx512_unrolled(const float* src, uint16_t* dst, size_t count,
                                       int roundingMode) {
  if (roundingMode == 0) {
    for (size_t i = 0; i < count; ++i) {
      const uint32_t h = bf16RoundBits(floatBits(src[i]));
      dst[i] = static_cast<uint16_t>(h <= kBf16RoundLimit ? h : kBf16RoundLimit);
    }
  } else if (roundingMode == 1) {
    for (size_t i = 0; i < count; ++i) {
      const uint32_t h = floatBits(src[i]) >> 16;
      dst[i] = static_cast<uint16_t>(h <= kBf16TruncLimit ? h : kBf16TruncLimit);
    }
  } else {
    throw std::invalid_argument("Invalid rounding mode");
  }
}

}  // namespace korvanrt
