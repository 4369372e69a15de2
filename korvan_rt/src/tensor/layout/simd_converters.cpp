#include "tensor/layout/simd_converters.hpp"

#include <array>
#include <cstring>
#include <stdexcept>

#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/vector_transpose.hpp"

namespace korvanrt {
namespace {

void requireNonNegative(int N, int C, int H, int W) {
  if (N < 0 || C < 0 || H < 0 || W < 0) throw std::invalid_argument("negative tensor extent");
}

// Scalar form of the int8 blocked writer for one run of w.
inline void int8ToBlockedScalarRun(const int8_t* src, int8_t* dst, size_t N, size_t C, size_t H,
                                   size_t W, size_t b, size_t n, size_t h, size_t cb, size_t wBegin,
                                   size_t wEnd) {
  const size_t CB = ceilDiv(C, b);
  for (size_t w = wBegin; w < wEnd; ++w) {
    int8_t* to = dst + (((h * CB + cb) * W + w) * N + n) * b;
    for (size_t k = 0; k < b; ++k) {
      const size_t c = cb * b + k;
      to[k] = c < C ? src[((n * C + c) * H + h) * W + w] : int8_t{0};
    }
  }
}

}  // namespace

bool simdConvertersAvailable() {
  return KORVANRT_SIMD != 0;
}

void optimized_reshape_and_transpose_scalar(const int8_t* src, int8_t* dst, int N, int C, int H,
                                            int W, unsigned block) {
  requireNonNegative(N, C, H, W);
  if (block == 0) throw std::invalid_argument("block size must be positive");
  const size_t n_ = N, c_ = C, h_ = H, w_ = W, b = block;
  const size_t CB = ceilDiv(c_, b);
  for (size_t h = 0; h < h_; ++h)
    for (size_t cb = 0; cb < CB; ++cb)
      for (size_t n = 0; n < n_; ++n)
        int8ToBlockedScalarRun(src, dst, n_, c_, h_, w_, b, n, h, cb, 0, w_);
}

void optimized_reshape_and_transpose_neon(const int8_t* src, int8_t* dst, int N, int C, int H,
                                          int W, unsigned block) {
#if KORVANRT_SIMD
  requireNonNegative(N, C, H, W);
  if (block != 8) {
    optimized_reshape_and_transpose_scalar(src, dst, N, C, H, W, block);
    return;
  }
  const size_t n_ = N, c_ = C, h_ = H, w_ = W, b = 8;
  const size_t CB = ceilDiv(c_, b);
  const size_t plane = h_ * w_;
  const size_t wVec = w_ - w_ % 16;
  const size_t wStride = n_ * b;
  const vec<int8_t> zero(int8_t{0});
  // Channel block, row, then batch: the batches of one destination row sit
  // side by side, so each (row, block) slab of the destination is completed
  // while it is in cache. Batches go in pairs, so every store fills the 16
  // bytes of two neighbouring batches.
  for (size_t cb = 0; cb < CB; ++cb) {
    const size_t lanes = std::min(b, c_ - cb * b);
    for (size_t h = 0; h < h_; ++h) {
      int8_t* slab = dst + (h * CB + cb) * w_ * wStride;
      if (n_ > 1 && h + 2 < h_) {
        for (size_t n = 0; n < n_; ++n)
          prefetchRows(src + ((n * c_ + cb * b) * h_ + h + 2) * w_, lanes, plane, w_);
      }
      // 16 w of the 8 channel rows of batch n, transposed to 8 lanes per w.
      auto tile = [&](size_t n, size_t w0, std::array<vec<int8_t>, 8>& v) {
        const int8_t* rows = src + ((n * c_ + cb * b) * h_ + h) * w_ + w0;
        if (lanes == 8) {
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k) v[k] = vec<int8_t>::load_unaligned(rows + k * plane);
        } else {
          for (size_t k = 0; k < 8; ++k)
            v[k] = k < lanes ? vec<int8_t>::load_unaligned(rows + k * plane) : zero;
        }
        transposeChannelsToLanes8(v);
      };
      // One step over w0 .. w0 + 15 for every batch.
      auto step = [&](size_t w0) {
        size_t n = 0;
        for (; n + 1 < n_; n += 2) {
          std::array<vec<int8_t>, 8> v, u;
          tile(n, w0, v);
          tile(n + 1, w0, u);
          int8_t* out = slab + w0 * wStride + n * b;
#pragma GCC unroll 8
          for (size_t j = 0; j < 8; ++j) {
            const auto a = xsimd::bitwise_cast<vec<uint64_t>>(v[j]);
            const auto c = xsimd::bitwise_cast<vec<uint64_t>>(u[j]);
            xsimd::bitwise_cast<vec<int8_t>>(xsimd::zip_lo(a, c))
                .store_unaligned(out + 2 * j * wStride);
            xsimd::bitwise_cast<vec<int8_t>>(xsimd::zip_hi(a, c))
                .store_unaligned(out + (2 * j + 1) * wStride);
          }
        }
        if (n == n_) return;
        // A single batch: the only one, or the last of an odd count.
        std::array<vec<int8_t>, 8> v;
        tile(n, w0, v);
        int8_t* out = slab + w0 * wStride + n * b;
        if (n_ == 1) {
#pragma GCC unroll 8
          for (size_t j = 0; j < 8; ++j) v[j].store_unaligned(out + 2 * j * 8);
          return;
        }
        alignas(16) int8_t tmp[16];
        for (size_t j = 0; j < 8; ++j) {
          v[j].store_aligned(tmp);
          std::memcpy(out + 2 * j * wStride, tmp, 8);
          std::memcpy(out + (2 * j + 1) * wStride, tmp + 8, 8);
        }
      };
      for (size_t w0 = 0; w0 < wVec; w0 += 16) step(w0);
      if (wVec == w_) continue;
      if (w_ >= 16) {
        // The last 16 w once more as a full step; the w it repeats get the
        // same values again.
        step(w_ - 16);
        continue;
      }
      // Rows narrower than 16: copied 16 bytes at a time where the source
      // extends that far; bytes beyond the row only reach lanes that are
      // not stored.
      const size_t total = n_ * c_ * plane;
      for (size_t n = 0; n < n_; ++n) {
        const int8_t* rows = src + ((n * c_ + cb * b) * h_ + h) * w_;
        alignas(16) int8_t part[8][16] = {};
        for (size_t k = 0; k < lanes; ++k) {
          const int8_t* from = rows + k * plane;
          if (static_cast<size_t>(from - src) + 16 <= total) {
            std::memcpy(part[k], from, 16);
          } else {
            std::memcpy(part[k], from, w_);
          }
        }
        std::array<vec<int8_t>, 8> v;
#pragma GCC unroll 8
        for (size_t k = 0; k < 8; ++k) v[k] = vec<int8_t>::load_aligned(part[k]);
        transposeChannelsToLanes8(v);
        int8_t* out = slab + n * b;
        alignas(16) int8_t tmp[16];
        for (size_t j = 0; 2 * j < w_; ++j) {
          v[j].store_aligned(tmp);
          std::memcpy(out + 2 * j * wStride, tmp, 8);
          if (2 * j + 1 < w_) std::memcpy(out + (2 * j + 1) * wStride, tmp + 8, 8);
        }
      }
    }
  }
#else
  optimized_reshape_and_transpose_scalar(src, dst, N, C, H, W, block);
#endif
}

void nchwToHcwnc8Of16Bit(const uint16_t* src, uint16_t* dst, size_t N, size_t C, size_t H,
                         size_t W) {
  if (C % 8 != 0) throw std::invalid_argument("channel count must be a multiple of 8");
  const size_t CB = C / 8, plane = H * W, wStride = N * 8;
#if KORVANRT_SIMD
  const size_t wVec = W - W % 8;
#else
  const size_t wVec = 0;
#endif
  // Rows before batches: the batches of one destination row sit side by side.
  for (size_t cb = 0; cb < CB; ++cb) {
    for (size_t h = 0; h < H; ++h) {
      if (N > 1 && h + 2 < H) {
        for (size_t n = 0; n < N; ++n)
          prefetchRows(src + ((n * C + cb * 8) * H + h + 2) * W, 8, plane * 2, W * 2);
      }
      for (size_t n = 0; n < N; ++n) {
        const uint16_t* rows = src + ((n * C + cb * 8) * H + h) * W;
        uint16_t* out = dst + ((h * CB + cb) * W * N + n) * 8;
#if KORVANRT_SIMD
        for (size_t w0 = 0; w0 < wVec; w0 += 8) {
          std::array<vec<uint16_t>, 8> v;
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k)
            v[k] = vec<uint16_t>::load_unaligned(rows + k * plane + w0);
          rotate<3>(v);
#pragma GCC unroll 8
          for (size_t j = 0; j < 8; ++j) v[j].store_unaligned(out + (w0 + j) * wStride);
        }
#endif
        for (size_t w = wVec; w < W; ++w)
          for (size_t k = 0; k < 8; ++k) out[w * wStride + k] = rows[k * plane + w];
      }
    }
  }
}

void optimized_transpose_nchw_to_nhwc_bf16_scalar(const bf16_t* src, bf16_t* dst, int N, int C,
                                                  int H, int W) {
  requireNonNegative(N, C, H, W);
  const size_t n_ = N, c_ = C, h_ = H, w_ = W;
  for (size_t n = 0; n < n_; ++n)
    for (size_t c = 0; c < c_; ++c)
      for (size_t h = 0; h < h_; ++h)
        for (size_t w = 0; w < w_; ++w)
          dst[((n * h_ + h) * w_ + w) * c_ + c] = src[((n * c_ + c) * h_ + h) * w_ + w];
}

void optimized_transpose_nchw_to_nhwc_bf16(const bf16_t* src, bf16_t* dst, int N, int C, int H,
                                           int W) {
#if KORVANRT_SIMD
  requireNonNegative(N, C, H, W);
  const size_t n_ = N, c_ = C, h_ = H, w_ = W;
  const size_t plane = h_ * w_;
  const size_t cVec = c_ - c_ % 8, wVec = w_ - w_ % 8;
  for (size_t n = 0; n < n_; ++n) {
    for (size_t h = 0; h < h_; ++h) {
      const bf16_t* in = src + n * c_ * plane + h * w_;
      bf16_t* out = dst + (n * h_ + h) * w_ * c_;
      for (size_t c0 = 0; c0 < cVec; c0 += 8) {
        for (size_t w0 = 0; w0 < wVec; w0 += 8) {
          std::array<vec<uint16_t>, 8> v;
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k)
            v[k] = vec<uint16_t>::load_unaligned(in + (c0 + k) * plane + w0);
          rotate<3>(v);
#pragma GCC unroll 8
          for (size_t j = 0; j < 8; ++j) v[j].store_unaligned(out + (w0 + j) * c_ + c0);
        }
        for (size_t w = wVec; w < w_; ++w)
          for (size_t k = 0; k < 8; ++k) out[w * c_ + c0 + k] = in[(c0 + k) * plane + w];
      }
      for (size_t c = cVec; c < c_; ++c)
        for (size_t w = 0; w < w_; ++w) out[w * c_ + c] = in[c * plane + w];
    }
  }
#else
  optimized_transpose_nchw_to_nhwc_bf16_scalar(src, dst, N, C, H, W);
#endif
}

#if KORVANRT_SIMD
namespace {

// Vector body of the "NCHW" float to "HCWNC8" bfloat16 converter; `Round`
// selects round-to-nearest-even over truncation.
template <bool Round>
void fp32ToBf16Hcwnc8(const float* src, bf16_t* dst, const Extents4& cpu, const Extents4& dev,
                      size_t devElements) {
  requireDeviceCovers(dev, cpu);
  const size_t b = 8, CB = ceilDiv(dev.c, b);
  const size_t slab = CB * dev.w * dev.n * b;  // elements of one device row h
  if (productSaturated({dev.h, slab}) > devElements) KORVANRT_OUT_OF_BOUND();
  const size_t plane = cpu.h * cpu.w;
  const size_t wVec = cpu.w - cpu.w % 8;
  const size_t wStride = dev.n * b;
  const vec<uint32_t> bias(0x7FFFu), one(1u), upper(0xFFFF0000u);
  const vec<uint16_t> zero(uint16_t{0});
  // Element j of a packed vector holds w = kOrder[j] of its group of 8.
  static constexpr size_t kOrder[8] = {0, 4, 1, 5, 2, 6, 3, 7};
  auto encode = [&](const float* p) {
    const auto lo = xsimd::bitwise_cast<vec<uint32_t>>(vec<float>::load_unaligned(p));
    const auto hi = xsimd::bitwise_cast<vec<uint32_t>>(vec<float>::load_unaligned(p + 4));
    if constexpr (Round) {
      // Rounded patterns; the wanted halves are the upper 16 bits of each lane.
      const auto a = lo + bias + ((lo >> 16) & one);
      const auto c = hi + bias + ((hi >> 16) & one);
      return xsimd::bitwise_cast<vec<uint16_t>>((a >> 16) | (c & upper));
    } else {
      return xsimd::bitwise_cast<vec<uint16_t>>((lo >> 16) | (hi & upper));
    }
  };
  // Device rows beyond the CPU rows are padding.
  for (size_t h = cpu.h; h < dev.h; ++h) std::memset(dst + h * slab, 0, slab * sizeof(bf16_t));
  // Channel block, batch, then rows: every channel plane is read front to
  // back while the writes stay inside one channel block.
  for (size_t cb = 0; cb < CB; ++cb) {
    const size_t c0 = cb * b;
    const size_t lanes = c0 < cpu.c ? std::min(b, cpu.c - c0) : 0;
    for (size_t n = 0; n < dev.n; ++n) {
      const bool padding = n >= cpu.n || lanes == 0;
      for (size_t h = 0; h < cpu.h; ++h) {
        bf16_t* out = dst + h * slab + cb * dev.w * wStride + n * b;
        if (padding) {
          for (size_t w = 0; w < dev.w; ++w) std::memset(out + w * wStride, 0, b * sizeof(bf16_t));
          continue;
        }
        const float* rows = src + ((n * cpu.c + c0) * cpu.h + h) * cpu.w;
        for (size_t w0 = 0; w0 < wVec; w0 += 8) {
          std::array<vec<uint16_t>, 8> v;
          if (lanes == 8) {
#pragma GCC unroll 8
            for (size_t k = 0; k < 8; ++k) v[k] = encode(rows + k * plane + w0);
          } else {
            for (size_t k = 0; k < 8; ++k) v[k] = k < lanes ? encode(rows + k * plane + w0) : zero;
          }
          rotate<3>(v);
#pragma GCC unroll 8
          for (size_t j = 0; j < 8; ++j) v[j].store_unaligned(out + (w0 + kOrder[j]) * wStride);
        }
        size_t wDone = wVec;
        if (wVec < cpu.w && cpu.w >= 8 && lanes == 8) {
          // Tail as one more full step over the last 8 w of the row; the w it
          // repeats get the same values again.
          const size_t w0 = cpu.w - 8;
          std::array<vec<uint16_t>, 8> v;
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k) v[k] = encode(rows + k * plane + w0);
          rotate<3>(v);
#pragma GCC unroll 8
          for (size_t j = 0; j < 8; ++j) v[j].store_unaligned(out + (w0 + kOrder[j]) * wStride);
          wDone = cpu.w;
        } else if (wVec < cpu.w) {
          // Tail of the row through a zero-filled tile: zeros encode to 0,
          // which is also what the device padding beyond the row must hold.
          alignas(16) float tile[8][8] = {};
          for (size_t k = 0; k < lanes; ++k)
            std::memcpy(tile[k], rows + k * plane + wVec, (cpu.w - wVec) * sizeof(float));
          std::array<vec<uint16_t>, 8> v;
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k) v[k] = encode(tile[k]);
          rotate<3>(v);
          for (size_t j = 0; j < 8; ++j) {
            if (wVec + kOrder[j] < dev.w) v[j].store_unaligned(out + (wVec + kOrder[j]) * wStride);
          }
          wDone = std::min(dev.w, wVec + 8);
        }
        for (size_t w = wDone; w < dev.w; ++w)
          std::memset(out + w * wStride, 0, b * sizeof(bf16_t));
      }
    }
  }
}

}  // namespace
#endif

void nchwFp32ToHcwncBf16(const float* src, bf16_t* dst, const Extents4& cpu, const Extents4& dev,
                         int block, int roundingMode, size_t devElements) {
#if KORVANRT_SIMD
  if (block != 8) {
    nchwFp32ToHcwncBf16Scalar(src, dst, cpu, dev, block, roundingMode, devElements);
    return;
  }
  if (roundingMode == 0) {
    fp32ToBf16Hcwnc8<true>(src, dst, cpu, dev, devElements);
  } else {
    fp32ToBf16Hcwnc8<false>(src, dst, cpu, dev, devElements);
  }
#else
  nchwFp32ToHcwncBf16Scalar(src, dst, cpu, dev, block, roundingMode, devElements);
#endif
}

}  // namespace korvanrt
