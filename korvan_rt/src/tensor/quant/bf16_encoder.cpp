#include <stdexcept>

#include "tensor/quant/number_formats.hpp"
#include "tensor/simd_arch.hpp"

namespace korvanrt {
namespace {

template <bool Round>
inline uint16_t encodeOne(float f) {
  if constexpr (Round) {
    const uint32_t h = bf16RoundBits(floatBits(f));
    return static_cast<uint16_t>(h <= kBf16RoundLimit ? h : kBf16RoundLimit);
  } else {
    const uint32_t h = floatBits(f) >> 16;
    return static_cast<uint16_t>(h <= kBf16TruncLimit ? h : kBf16TruncLimit);
  }
}

template <bool Round>
void encodeScalar(const float* src, uint16_t* dst, size_t count) {
  for (size_t i = 0; i < count; ++i) dst[i] = encodeOne<Round>(src[i]);
}

template <bool Round>
void encode(const float* src, uint16_t* dst, size_t count) {
  size_t i = 0;
#if KORVANRT_SIMD
  using u32 = xsimd::batch<uint32_t, simd_arch>;
  using i32 = xsimd::batch<int32_t, simd_arch>;
  using f32 = xsimd::batch<float, simd_arch>;
  const u32 bias(0x7FFFu), one(1u);
  const i32 limit(static_cast<int32_t>(Round ? kBf16RoundLimit : kBf16TruncLimit));
  // Patterns of 16 bits compare the same as signed 32-bit values.
  auto halves = [&](const u32& b) {
    const u32 h = Round ? (b + bias + ((b >> 16) & one)) >> 16 : b >> 16;
    return xsimd::bitwise_cast<u32>(xsimd::min(xsimd::bitwise_cast<i32>(h), limit));
  };
  for (; i + 8 <= count; i += 8) {
    const auto lo = xsimd::bitwise_cast<u32>(f32::load_unaligned(src + i));
    const auto hi = xsimd::bitwise_cast<u32>(f32::load_unaligned(src + i + 4));
    const u32 a = xsimd::zip_lo(lo, hi);   // 0 4 1 5
    const u32 b = xsimd::zip_hi(lo, hi);   // 2 6 3 7
    const u32 even = xsimd::zip_lo(a, b);  // 0 2 4 6
    const u32 odd = xsimd::zip_hi(a, b);   // 1 3 5 7
    const u32 packed = halves(even) | (halves(odd) << 16);
    xsimd::bitwise_cast<xsimd::batch<uint16_t, simd_arch>>(packed).store_unaligned(dst + i);
  }
#endif
  encodeScalar<Round>(src + i, dst + i, count - i);
}

void checkMode(int roundingMode) {
  if (roundingMode != 0 && roundingMode != 1) throw std::invalid_argument("Invalid rounding mode");
}

}  // namespace

void float_to_bfloat16_avx512_unrolled(const float* src, uint16_t* dst, size_t count,
                                       int roundingMode) {
  checkMode(roundingMode);
  if (roundingMode == 0) {
    encode<true>(src, dst, count);
  } else {
    encode<false>(src, dst, count);
  }
}

void float_to_bfloat16_scalar(const float* src, uint16_t* dst, size_t count, int roundingMode) {
  checkMode(roundingMode);
  if (roundingMode == 0) {
    encodeScalar<true>(src, dst, count);
  } else {
    encodeScalar<false>(src, dst, count);
  }
}

}  // namespace korvanrt
