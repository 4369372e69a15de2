#pragma once

// Element-wise number rules shared by every CPU conversion. They are part of
// the observable behaviour: device buffers and caller outputs must carry
// exactly these bits, so the vector kernels are checked against them.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace korvanrt {

inline uint32_t floatBits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

inline float bitsToFloat(uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

// Round to nearest, ties to even, on the raw pattern (the sum wraps at 2^32).
inline uint32_t bf16RoundBits(uint32_t b) {
  return (b + 0x7FFFu + ((b >> 16) & 1u)) >> 16;
}

// Float to bfloat16 without clamping, as used by the blocked input converter:
// mode 0 rounds to nearest even, every other mode truncates.
inline uint16_t bf16FromFloatUnclamped(float f, int roundingMode) {
  const uint32_t b = floatBits(f);
  return static_cast<uint16_t>(roundingMode == 0 ? bf16RoundBits(b) : (b >> 16));
}

// Largest pattern the clamping encoder lets through, per mode.
inline constexpr uint32_t kBf16RoundLimit = 0xFF7Fu;
inline constexpr uint32_t kBf16TruncLimit = 0xFF00u;

// bfloat16 pattern widened back to float.
inline float bf16ToFloat(uint16_t h) {
  return bitsToFloat(static_cast<uint32_t>(h) << 16);
}

// Float to a 32-bit integer, rounding toward zero; saturating, NaN gives 0.
inline int32_t saturateToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// Affine quantization of one value into int8 or int16. The result wraps into
// the narrow type (no clamping) and the zero point is added with wrap-around.
template <typename T>
inline T quantizeValue(float x, double scale, int8_t zeroPoint) {
  int32_t v;
  if (scale == 1.0 || scale < 0.0) {
    v = saturateToInt32(static_cast<double>(x));
  } else {
    v = saturateToInt32(std::round(static_cast<double>(x) / scale));
  }
  auto r = static_cast<T>(static_cast<uint32_t>(v));
  if (zeroPoint != 0) {
    r = static_cast<T>(static_cast<uint32_t>(r) + static_cast<uint32_t>(int32_t{zeroPoint}));
  }
  return r;
}

// Dequantization through qdq: the zero point is added in the narrow type
// (wrapping), then scaled in double precision.
template <typename T>
inline float dequantizeValue(T q, double scale, int8_t zeroPoint) {
  const auto t =
      static_cast<T>(static_cast<uint32_t>(int32_t{q}) + static_cast<uint32_t>(int32_t{zeroPoint}));
  return static_cast<float>(static_cast<double>(t) * scale);
}

// Fused dequantization of the depad routines: 32-bit sum, single precision.
inline float dequantizeFused(int32_t q, float scale, int8_t zeroPoint) {
  return static_cast<float>(q + zeroPoint) * scale;
}

// Dequantization of the blocked read-back converters: the full 32-bit zero
// point (wrapping sum), float of the sum, product in double precision.
inline float dequantizeConverter(int32_t q, int32_t zeroPoint, double scale) {
  const auto s = static_cast<int32_t>(static_cast<uint32_t>(q) + static_cast<uint32_t>(zeroPoint));
  return static_cast<float>(static_cast<double>(static_cast<float>(s)) * scale);
}

// bfloat16 encoder with clamping. Mode 0 rounds to nearest even and clamps at
// 0xFF7F, mode 1 truncates and clamps at 0xFF00; any other mode throws
// std::invalid_argument("Invalid rounding mode") before writing anything.
void float_to_bfloat16_avx512_unrolled(const float* src, uint16_t* dst, size_t count,
                                       int roundingMode);
// Element-by-element form of the same encoder; the vector loop must
// give identical bits.
void float_to_bfloat16_scalar(const float* src, uint16_t* dst, size_t count, int roundingMode);

}  // namespace korvanrt
