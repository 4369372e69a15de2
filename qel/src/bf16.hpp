#pragma once

#include <cstdint>
#include <cstring>

namespace qel::detail {

inline float bf16_to_float(std::uint16_t v) {
  const std::uint32_t u = std::uint32_t{v} << 16;
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Round to nearest, ties to even; NaN stays a (quiet) NaN.
inline std::uint16_t float_to_bf16(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  if ((u & 0x7fffffffu) > 0x7f800000u) return static_cast<std::uint16_t>((u >> 16) | 0x40u);
  const std::uint32_t rounding = 0x7fffu + ((u >> 16) & 1u);
  return static_cast<std::uint16_t>((u + rounding) >> 16);
}

}  // namespace qel::detail
