#include "tensor/layout/simd_converters.hpp"

#include <array>
#include <cstring>
#include <stdexcept>

#include "tensor/layout/blocked_converters.hpp"
#include "tensor/quant/number_formats.hpp"
#include "tensor/simd_arch.hpp"

namespace korvanrt {
namespace {

void requireNonNegative(int N, int C, int H, int W) {
  if (N < 0 || C < 0 || H < 0 || W < 0) throw std::invalid_argument("negative tensor extent");
}

#if KORVANRT_SIMD
template <typename T>
using vec = xsimd::batch<T, simd_arch>;

// One interleaving step over M vectors: v'[2i] = zip_lo(v[i], v[i + M/2]),
// v'[2i+1] = zip_hi(...). Seen as a bit string (vector index, then element
// index), every element address is rotated left by one bit; S steps rotate
// by S, which turns a (rows x columns) tile into its transpose when S is the
// number of row-index bits.
template <typename T, size_t M>
inline void interleaveStep(std::array<vec<T>, M>& v) {
  std::array<vec<T>, M> t;
#pragma GCC unroll 8
  for (size_t i = 0; i < M / 2; ++i) {
    t[2 * i] = xsimd::zip_lo(v[i], v[i + M / 2]);
    t[2 * i + 1] = xsimd::zip_hi(v[i], v[i + M / 2]);
  }
  v = t;
}

template <size_t Steps, typename T, size_t M>
inline void rotate(std::array<vec<T>, M>& v) {
#pragma GCC unroll 4
  for (size_t s = 0; s < Steps; ++s) interleaveStep(v);
}

// 8 channel rows x 16 w of int8 -> 16 w x 8 channels (128 contiguous bytes,
// vector j holding w = 2j and 2j + 1).
inline void transposeChannelsToLanes8(std::array<vec<int8_t>, 8>& v) {
  rotate<3>(v);
}
// 16 w x 8 channels (vector j: w = 2j, 2j + 1) -> 8 channel rows x 16 w.
inline void transposeLanesToChannels8(std::array<vec<int8_t>, 8>& v) {
  rotate<4>(v);
}
#endif

#if KORVANRT_SIMD
// Loads 16 w (from w0) x 8 lanes of a blocked int8 tensor, vector j holding
// w0 + 2j and w0 + 2j + 1; lanes of w >= wEnd read as zero.
inline void loadLaneTile(const int8_t* in, size_t wStride, size_t w0, size_t wEnd,
                         std::array<vec<int8_t>, 8>& v) {
  alignas(16) int8_t tmp[16];
  for (size_t j = 0; j < 8; ++j) {
    const size_t w = w0 + 2 * j;
    std::memset(tmp, 0, sizeof tmp);
    if (w < wEnd) std::memcpy(tmp, in + w * wStride, 8);
    if (w + 1 < wEnd) std::memcpy(tmp + 8, in + (w + 1) * wStride, 8);
    v[j] = vec<int8_t>::load_aligned(tmp);
  }
}
#endif

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
  // while it is in cache; each channel plane is still read front to back.
  for (size_t cb = 0; cb < CB; ++cb) {
    const size_t lanes = std::min(b, c_ - cb * b);
    for (size_t h = 0; h < h_; ++h) {
      for (size_t n = 0; n < n_; ++n) {
        const int8_t* rows = src + ((n * c_ + cb * b) * h_ + h) * w_;
        int8_t* out = dst + ((h * CB + cb) * w_ * n_ + n) * b;
        for (size_t w0 = 0; w0 < wVec; w0 += 16) {
          std::array<vec<int8_t>, 8> v;
          if (lanes == 8) {
#pragma GCC unroll 8
            for (size_t k = 0; k < 8; ++k)
              v[k] = vec<int8_t>::load_unaligned(rows + k * plane + w0);
          } else {
            for (size_t k = 0; k < 8; ++k)
              v[k] = k < lanes ? vec<int8_t>::load_unaligned(rows + k * plane + w0) : zero;
          }
          transposeChannelsToLanes8(v);
          if (n_ == 1) {
#pragma GCC unroll 8
            for (size_t j = 0; j < 8; ++j) v[j].store_unaligned(out + (w0 + 2 * j) * 8);
          } else {
            alignas(16) int8_t tmp[16];
            for (size_t j = 0; j < 8; ++j) {
              v[j].store_aligned(tmp);
              std::memcpy(out + (w0 + 2 * j) * wStride, tmp, 8);
              std::memcpy(out + (w0 + 2 * j + 1) * wStride, tmp + 8, 8);
            }
          }
        }
        if (wVec < w_) {
          // Rows are copied 16 bytes at a time where the source extends that
          // far; bytes beyond the row only reach lanes that are not stored.
          const size_t total = n_ * c_ * plane;
          alignas(16) int8_t tile[8][16] = {};
          for (size_t k = 0; k < lanes; ++k) {
            const int8_t* from = rows + k * plane + wVec;
            if (static_cast<size_t>(from - src) + 16 <= total) {
              std::memcpy(tile[k], from, 16);
            } else {
              std::memcpy(tile[k], from, w_ - wVec);
            }
          }
          std::array<vec<int8_t>, 8> v;
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k) v[k] = vec<int8_t>::load_aligned(tile[k]);
          transposeChannelsToLanes8(v);
          alignas(16) int8_t tmp[16];
          for (size_t j = 0; j < 8 && wVec + 2 * j < w_; ++j) {
            v[j].store_aligned(tmp);
            std::memcpy(out + (wVec + 2 * j) * wStride, tmp, 8);
            if (wVec + 2 * j + 1 < w_) std::memcpy(out + (wVec + 2 * j + 1) * wStride, tmp + 8, 8);
          }
        }
      }
    }
  }
#else
  optimized_reshape_and_transpose_scalar(src, dst, N, C, H, W, block);
#endif
}

void neon_hcwnc_int8_to_nchw_int8(const int8_t* src, int8_t* dst, const TensorDims& hw,
                                  const TensorDims& cpu, const std::string& hwFormat,
                                  const std::string& /*hwDtype*/) {
  const Extents4 dev{hw.n(), hw.c(), hw.h(), hw.w()};
  const Extents4 host{cpu.n(), cpu.c(), cpu.h(), cpu.w()};
  if (dev.size() != host.size() || dev.w % 8 != 0 || dev.c % 8 != 0 || hwFormat == "HCWNC4") return;
  requireDeviceCovers(dev, host);
  const size_t devElements =
      hw.dims().size() == 5
          ? productSaturated({hw.dims()[0], hw.dims()[1], hw.dims()[2], hw.dims()[3], hw.dims()[4]})
          : 0;
#if KORVANRT_SIMD
  const size_t b = 8, CB = dev.c / 8, N = dev.n, C = dev.c, H = dev.h, W = dev.w;
  if (productSaturated({H, CB, W, N, b}) > devElements) KORVANRT_OUT_OF_BOUND();
  const size_t wVec = W - W % 16;
  const size_t wStride = N * b;
  for (size_t cb = 0; cb < CB; ++cb) {
    for (size_t n = 0; n < N; ++n) {
      for (size_t h = 0; h < H; ++h) {
        const int8_t* in = src + ((h * CB + cb) * W * N + n) * b;
        int8_t* rows = dst + ((n * C + cb * b) * H + h) * W;
        for (size_t w0 = 0; w0 < wVec; w0 += 16) {
          std::array<vec<int8_t>, 8> v;
          if (N == 1) {
            for (size_t j = 0; j < 8; ++j)
              v[j] = vec<int8_t>::load_unaligned(in + (w0 + 2 * j) * 8);
          } else {
            alignas(16) int8_t tmp[16];
            for (size_t j = 0; j < 8; ++j) {
              std::memcpy(tmp, in + (w0 + 2 * j) * wStride, 8);
              std::memcpy(tmp + 8, in + (w0 + 2 * j + 1) * wStride, 8);
              v[j] = vec<int8_t>::load_aligned(tmp);
            }
          }
          transposeLanesToChannels8(v);
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k) v[k].store_unaligned(rows + k * H * W + w0);
        }
        if (wVec < W) {
          std::array<vec<int8_t>, 8> v;
          loadLaneTile(in, wStride, wVec, W, v);
          transposeLanesToChannels8(v);
          alignas(16) int8_t tmp[16];
          for (size_t k = 0; k < 8; ++k) {
            v[k].store_aligned(tmp);
            std::memcpy(rows + k * H * W + wVec, tmp, W - wVec);
          }
        }
      }
    }
  }
#else
  hcwncToNchwDepad<int8_t>(src, dst, dev, host, 8, devElements);
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

#if KORVANRT_SIMD
namespace {

// How the int8 read-back scales a converted sum s = float(q + zero point).
enum class ScaleMode {
  // The scale is a float: the double product of two floats is exact, so its
  // rounding to float equals the single-precision product.
  Float,
  // Any other scale, split into three floats hi + mid + lo (hi and mid hold
  // 12 significant bits each, lo the next 24): s * hi and s * mid are exact
  // for |s| < 2^12 and their sum rounds like the double product except in
  // rare cases, so the result is checked against the exact table for all 256
  // values before this mode is chosen.
  Split,
  // Scalar lookup in the exact table.
  Table,
};

struct SplitScale {
  vec<float> hi, mid, lo;
};

SplitScale splitScale(double scale) {
  const float f = static_cast<float>(scale);
  const float hi = bitsToFloat(floatBits(f) & 0xFFFFF000u);
  const float lo = static_cast<float>(scale - static_cast<double>(f));
  return {vec<float>(hi), vec<float>(f - hi), vec<float>(lo)};
}

template <ScaleMode M>
inline vec<float> scaleSum(const vec<float>& s, const vec<float>& scaleV, const SplitScale& p) {
  if constexpr (M == ScaleMode::Float) {
    return s * scaleV;
  } else {
    const vec<float> hi = s * p.hi;
    const vec<float> mid = s * p.mid;
    const vec<float> lo = s * p.lo;
    return hi + (mid + lo);
  }
}

// Sixteen int8 values (in order) to sixteen floats (in order).
template <ScaleMode M>
inline void widenRow(const vec<int8_t>& bytes, float* out, const vec<int32_t>& zero32,
                     const vec<float>& scaleV, const SplitScale& p) {
  const auto x = xsimd::bitwise_cast<vec<int32_t>>(bytes);
  // Lane j of f_i holds byte 4j + i.
  const vec<float> f0 = scaleSum<M>(xsimd::to_float(((x << 24) >> 24) + zero32), scaleV, p);
  const vec<float> f1 = scaleSum<M>(xsimd::to_float(((x << 16) >> 24) + zero32), scaleV, p);
  const vec<float> f2 = scaleSum<M>(xsimd::to_float(((x << 8) >> 24) + zero32), scaleV, p);
  const vec<float> f3 = scaleSum<M>(xsimd::to_float((x >> 24) + zero32), scaleV, p);
  const auto a = xsimd::bitwise_cast<vec<double>>(xsimd::zip_lo(f0, f1));  // 0 1 4 5
  const auto c = xsimd::bitwise_cast<vec<double>>(xsimd::zip_lo(f2, f3));  // 2 3 6 7
  const auto d = xsimd::bitwise_cast<vec<double>>(xsimd::zip_hi(f0, f1));  // 8 9 12 13
  const auto e = xsimd::bitwise_cast<vec<double>>(xsimd::zip_hi(f2, f3));  // 10 11 14 15
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_lo(a, c)).store_unaligned(out);
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_hi(a, c)).store_unaligned(out + 4);
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_lo(d, e)).store_unaligned(out + 8);
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_hi(d, e)).store_unaligned(out + 12);
}

// Two runs of 8 bytes as one vector.
inline vec<int8_t> loadPair(const int8_t* first, const int8_t* second) {
  uint64_t a, b;
  std::memcpy(&a, first, 8);
  std::memcpy(&b, second, 8);
  return xsimd::bitwise_cast<vec<int8_t>>(xsimd::zip_lo(vec<uint64_t>(a), vec<uint64_t>(b)));
}

template <ScaleMode M>
void int8Hcwnc8ToFp32(const int8_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                      const std::array<float, 256>& table, const vec<int32_t>& zero32,
                      const vec<float>& scaleV, const SplitScale& parts) {
  const size_t b = 8, CB = ceilDiv(dev.c, b);
  const size_t wVec = cpu.w - cpu.w % 16;
  const size_t wStride = dev.n * b;
  const size_t plane = cpu.h * cpu.w;
  auto emit = [&](const vec<int8_t>& bytes, float* out, size_t count) {
    if constexpr (M == ScaleMode::Table) {
      alignas(16) int8_t q[16];
      bytes.store_aligned(q);
      for (size_t i = 0; i < count; ++i) out[i] = table[static_cast<uint8_t>(q[i])];
    } else if (count == 16) {
      widenRow<M>(bytes, out, zero32, scaleV, parts);
    } else {
      alignas(16) float values[16];
      widenRow<M>(bytes, values, zero32, scaleV, parts);
      std::memcpy(out, values, count * sizeof(float));
    }
  };
  // Channel block, row, then batch: the batches of one device row sit side
  // by side, so the slab of a (row, block) pair is read once from memory
  // and stays in cache while every batch takes its lanes from it.
  for (size_t cb = 0; cb < CB; ++cb) {
    const size_t lanes = cb * b < cpu.c ? std::min(b, cpu.c - cb * b) : 0;
    if (lanes == 0) continue;
    for (size_t h = 0; h < cpu.h; ++h) {
      for (size_t n = 0; n < cpu.n; ++n) {
        const int8_t* in = src + ((h * CB + cb) * dev.w * dev.n + n) * b;
        float* rows = dst + ((n * cpu.c + cb * b) * cpu.h + h) * cpu.w;
        auto step = [&](size_t w0) {
          std::array<vec<int8_t>, 8> v;
          if (dev.n == 1) {
#pragma GCC unroll 8
            for (size_t j = 0; j < 8; ++j)
              v[j] = vec<int8_t>::load_unaligned(in + (w0 + 2 * j) * 8);
          } else {
#pragma GCC unroll 8
            for (size_t j = 0; j < 8; ++j)
              v[j] = loadPair(in + (w0 + 2 * j) * wStride, in + (w0 + 2 * j + 1) * wStride);
          }
          transposeLanesToChannels8(v);
          for (size_t k = 0; k < lanes; ++k) emit(v[k], rows + k * plane + w0, 16);
        };
        for (size_t w0 = 0; w0 < wVec; w0 += 16) step(w0);
        if (wVec < cpu.w && cpu.w >= 16) {
          // The last 16 w once more as a full step; repeated w get the same values.
          step(cpu.w - 16);
        } else if (wVec < cpu.w) {
          std::array<vec<int8_t>, 8> v;
          loadLaneTile(in, wStride, wVec, cpu.w, v);
          transposeLanesToChannels8(v);
          for (size_t k = 0; k < lanes; ++k) emit(v[k], rows + k * plane + wVec, cpu.w - wVec);
        }
      }
    }
  }
}

}  // namespace
#endif

void hcwncInt8ToNchwFp32(const int8_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                         int block, size_t devElements, double scale, int32_t zeroPoint) {
#if KORVANRT_SIMD
  if (block != 8) {
    hcwncInt8ToNchwFp32Scalar(src, dst, dev, cpu, block, devElements, scale, zeroPoint);
    return;
  }
  requireDeviceCovers(dev, cpu);
  if (productSaturated({dev.h, ceilDiv(dev.c, 8), dev.w, dev.n, 8}) > devElements)
    KORVANRT_OUT_OF_BOUND();
  // Every int8 value has one result.
  std::array<float, 256> table;
  for (int q = -128; q < 128; ++q)
    table[static_cast<uint8_t>(q)] = dequantizeConverter(q, zeroPoint, scale);
  const float scaleF = static_cast<float>(scale);
  const vec<int32_t> zero32(zeroPoint);
  const vec<float> scaleV(scaleF);
  const SplitScale parts = splitScale(scale);
  if (static_cast<double>(scaleF) == scale) {
    int8Hcwnc8ToFp32<ScaleMode::Float>(src, dst, dev, cpu, table, zero32, scaleV, parts);
    return;
  }
  // The split product is used only when it gives the table's bits for every
  // value.
  bool splitExact = true;
  for (int q0 = -128; q0 < 128 && splitExact; q0 += 16) {
    alignas(16) int8_t q[16];
    alignas(16) float values[16];
    for (int i = 0; i < 16; ++i) q[i] = static_cast<int8_t>(q0 + i);
    widenRow<ScaleMode::Split>(vec<int8_t>::load_aligned(q), values, zero32, scaleV, parts);
    splitExact = std::memcmp(values, &table[static_cast<uint8_t>(q0)], sizeof values) == 0;
  }
  if (splitExact) {
    int8Hcwnc8ToFp32<ScaleMode::Split>(src, dst, dev, cpu, table, zero32, scaleV, parts);
  } else {
    int8Hcwnc8ToFp32<ScaleMode::Table>(src, dst, dev, cpu, table, zero32, scaleV, parts);
  }
#else
  hcwncInt8ToNchwFp32Scalar(src, dst, dev, cpu, block, devElements, scale, zeroPoint);
#endif
}

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
