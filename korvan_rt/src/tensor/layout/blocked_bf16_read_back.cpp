// Vector read-back of blocked bfloat16 "HCWNC8" device tensors into "NCHW"
// float rows.

#include <array>

#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/layout/vector_transpose.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {

void hcwnc8Bf16ToNchwFp32(const bf16_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                          size_t devElements) {
#if KORVANRT_SIMD
  requireDeviceCovers(dev, cpu);
  const size_t b = 8, CB = ceilDiv(dev.c, b);
  if (productSaturated({dev.h, CB, dev.w, dev.n, b}) > devElements) KORVANRT_OUT_OF_BOUND();
  const size_t wStride = dev.n * b;
  const size_t W = cpu.w;
  const size_t plane = cpu.h * W;
  const vec<uint16_t> zero(uint16_t{0});
  for (size_t cb = 0; cb < CB; ++cb) {
    const size_t lanes = cb * b < cpu.c ? std::min(b, cpu.c - cb * b) : 0;
    if (lanes == 0) continue;
    // Rows before batches: the device slab of a (row, block) pair is read
    // once and stays in cache while every batch takes its lanes from it.
    for (size_t h = 0; h < cpu.h; ++h) {
      for (size_t n = 0; n < cpu.n; ++n) {
        const bf16_t* in = src + (h * CB + cb) * dev.w * wStride + n * b;
        float* rows = dst + ((n * cpu.c + cb * b) * cpu.h + h) * W;
        if (W < 8) {
          for (size_t k = 0; k < lanes; ++k)
            for (size_t w = 0; w < W; ++w) rows[k * plane + w] = bf16ToFloat(in[w * wStride + k]);
          continue;
        }
        // 8 w of the 8 lanes (one vector per w) transposed into 8 channel
        // rows; a bfloat16 widens to float as the upper half of its bits.
        auto step = [&](size_t w0) {
          std::array<vec<uint16_t>, 8> v;
#pragma GCC unroll 8
          for (size_t j = 0; j < 8; ++j)
            v[j] = vec<uint16_t>::load_unaligned(in + (w0 + j) * wStride);
          rotate<3>(v);
          for (size_t k = 0; k < lanes; ++k) {
            float* out = rows + k * plane + w0;
            xsimd::bitwise_cast<vec<float>>(xsimd::zip_lo(zero, v[k])).store_unaligned(out);
            xsimd::bitwise_cast<vec<float>>(xsimd::zip_hi(zero, v[k])).store_unaligned(out + 4);
          }
        };
        for (size_t w0 = 0; w0 + 8 <= W; w0 += 8) step(w0);
        // The last 8 w once more; the w it repeats get the same values again.
        if (W % 8 != 0) step(W - 8);
      }
    }
  }
#else
  hcwncBf16ToNchwFp32Scalar(src, dst, dev, cpu, 8, devElements);
#endif
}

}  // namespace korvanrt
