// Vector read-back of blocked int8 "HCWNC8" device tensors into "NCHW" rows:
// int8 without a type change, and int8 dequantized to float. One walker
// serves both; the element-wise work is a sink.

#include <array>
#include <cstdlib>
#include <cstring>

#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/layout/vector_transpose.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {

#if KORVANRT_SIMD
namespace {

// Two runs of 8 bytes as one vector.
inline vec<int8_t> loadPair(const int8_t* first, const int8_t* second) {
  uint64_t a, b;
  std::memcpy(&a, first, 8);
  std::memcpy(&b, second, 8);
  return xsimd::bitwise_cast<vec<int8_t>>(xsimd::zip_lo(vec<uint64_t>(a), vec<uint64_t>(b)));
}

// Walks the CPU rows of a blocked int8 "HCWNC8" device tensor. Each step
// transposes 16 w (8 w for rows narrower than 16) of the 8 lanes into channel
// rows and hands them to the sink:
//   sink.row(bytes, out)          the 16 values to out[0..15]
//   sink.halves(bytes, lo, hi)    values 0-7 to lo, 8-15 to hi (hi may be null)
//   sink.part(bytes, out, count)  the first `count` values
// A row whose width is not a multiple of the step ends with one more full
// step over its last w; the w it repeats get the same values again.
template <typename TOut, typename Sink>
void walkBlockedInt8Rows(const int8_t* src, TOut* dst, const Extents4& dev, const Extents4& cpu,
                         Sink& sink) {
  const size_t b = 8, CB = ceilDiv(dev.c, b);
  const size_t wStride = dev.n * b;
  const size_t W = cpu.w;
  const size_t plane = cpu.h * W;
  const bool dense = dev.n == 1;
  for (size_t cb = 0; cb < CB; ++cb) {
    const size_t lanes = cb * b < cpu.c ? std::min(b, cpu.c - cb * b) : 0;
    if (lanes == 0) continue;
    auto rowsOf = [&](size_t h, size_t n) {
      const int8_t* in = src + (h * CB + cb) * dev.w * wStride + n * b;
      TOut* rows = dst + ((n * cpu.c + cb * b) * cpu.h + h) * W;
      if (W >= 16) {
        auto step = [&](size_t w0) {
          std::array<vec<int8_t>, 8> v;
          if (dense) {
#pragma GCC unroll 8
            for (size_t j = 0; j < 8; ++j)
              v[j] = vec<int8_t>::load_unaligned(in + (w0 + 2 * j) * 8);
          } else {
#pragma GCC unroll 8
            for (size_t j = 0; j < 8; ++j)
              v[j] = loadPair(in + (w0 + 2 * j) * wStride, in + (w0 + 2 * j + 1) * wStride);
          }
          transposeLanesToChannels8(v);
          for (size_t k = 0; k < lanes; ++k) sink.row(v[k], rows + k * plane + w0);
        };
        const size_t wVec = W - W % 16;
        for (size_t w0 = 0; w0 < wVec; w0 += 16) step(w0);
        if (wVec < W) step(W - 16);
      } else if (W >= 8) {
        // 8 w x 8 lanes in four vectors; after the transpose vector i holds
        // channel 2i in its low half and channel 2i + 1 in its high half.
        auto step = [&](size_t w0) {
          std::array<vec<int8_t>, 4> v;
          if (dense) {
#pragma GCC unroll 4
            for (size_t j = 0; j < 4; ++j)
              v[j] = vec<int8_t>::load_unaligned(in + (w0 + 2 * j) * 8);
          } else {
#pragma GCC unroll 4
            for (size_t j = 0; j < 4; ++j)
              v[j] = loadPair(in + (w0 + 2 * j) * wStride, in + (w0 + 2 * j + 1) * wStride);
          }
          rotate<3>(v);
          for (size_t i = 0; 2 * i < lanes; ++i) {
            TOut* lo = rows + 2 * i * plane + w0;
            sink.halves(v[i], lo, 2 * i + 1 < lanes ? lo + plane : nullptr);
          }
        };
        step(0);
        if (W > 8) step(W - 8);
      } else if (W > 0) {
        std::array<vec<int8_t>, 8> v;
        loadLaneTile(in, wStride, 0, W, v);
        transposeLanesToChannels8(v);
        for (size_t k = 0; k < lanes; ++k) sink.part(v[k], rows + k * plane, W);
      }
    };
    // Rows before batches: the device slab of a (row, block) pair is read
    // once and stays in cache while every batch takes its lanes from it.
    for (size_t h = 0; h < cpu.h; ++h)
      for (size_t n = 0; n < cpu.n; ++n) rowsOf(h, n);
  }
}

// Stores the bytes as they are.
struct CopySink {
  void row(const vec<int8_t>& bytes, int8_t* out) { bytes.store_unaligned(out); }
  void halves(const vec<int8_t>& bytes, int8_t* lo, int8_t* hi) {
    alignas(16) int8_t tmp[16];
    bytes.store_aligned(tmp);
    std::memcpy(lo, tmp, 8);
    if (hi != nullptr) std::memcpy(hi, tmp + 8, 8);
  }
  void part(const vec<int8_t>& bytes, int8_t* out, size_t count) {
    alignas(16) int8_t tmp[16];
    bytes.store_aligned(tmp);
    std::memcpy(out, tmp, count);
  }
};

// How the dequantizing sink scales a converted sum s = float(q + zero point).
// The exact result is float(double(s) * scale).
enum class ScaleMode {
  // The scale is a float: the double product of two floats is exact, so its
  // rounding to float equals the single-precision product.
  Float,
  // Any other scale as hi + rest, hi holding the upper 12 significant bits of
  // the scale and rest the remainder rounded to float: s * hi is exact for
  // |s| < 2^12, and s * hi + s * rest rounds like the double product except
  // in rare cases. Chosen only after all 256 values gave the exact bits.
  Split2,
  // The same with the remainder in two floats (mid, the next 12 bits, and
  // lo, the next 24): closer still, checked the same way.
  Split3,
  // Scalar lookup in the exact table.
  Table,
};

struct ScaleParts {
  vec<float> scale, hi, mid, lo, rest;
};

ScaleParts scaleParts(double scale) {
  const float f = static_cast<float>(scale);
  const float hi = bitsToFloat(floatBits(f) & 0xFFFFF000u);
  const float lo = static_cast<float>(scale - static_cast<double>(f));
  const float rest = static_cast<float>(scale - static_cast<double>(hi));
  return {vec<float>(f), vec<float>(hi), vec<float>(f - hi), vec<float>(lo), vec<float>(rest)};
}

template <ScaleMode M>
inline vec<float> scaleSum(const vec<float>& s, const ScaleParts& p) {
  if constexpr (M == ScaleMode::Float) {
    return s * p.scale;
  } else if constexpr (M == ScaleMode::Split2) {
    return s * p.hi + s * p.rest;
  } else {
    const vec<float> hi = s * p.hi;
    const vec<float> mid = s * p.mid;
    const vec<float> lo = s * p.lo;
    return hi + (mid + lo);
  }
}

// Sixteen int8 values to floats: values 0-7 to lo[0..7], 8-15 to hi[0..7]
// (skipped when hi is null).
template <ScaleMode M>
inline void widen(const vec<int8_t>& bytes, float* lo, float* hi, const vec<int32_t>& zero32,
                  const ScaleParts& p) {
  const auto x = xsimd::bitwise_cast<vec<int32_t>>(bytes);
  // Lane j of f_i holds byte 4j + i.
  const vec<float> f0 = scaleSum<M>(xsimd::to_float(((x << 24) >> 24) + zero32), p);
  const vec<float> f1 = scaleSum<M>(xsimd::to_float(((x << 16) >> 24) + zero32), p);
  const vec<float> f2 = scaleSum<M>(xsimd::to_float(((x << 8) >> 24) + zero32), p);
  const vec<float> f3 = scaleSum<M>(xsimd::to_float((x >> 24) + zero32), p);
  const auto a = xsimd::bitwise_cast<vec<double>>(xsimd::zip_lo(f0, f1));  // 0 1 4 5
  const auto c = xsimd::bitwise_cast<vec<double>>(xsimd::zip_lo(f2, f3));  // 2 3 6 7
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_lo(a, c)).store_unaligned(lo);
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_hi(a, c)).store_unaligned(lo + 4);
  if (hi == nullptr) return;
  const auto d = xsimd::bitwise_cast<vec<double>>(xsimd::zip_hi(f0, f1));  // 8 9 12 13
  const auto e = xsimd::bitwise_cast<vec<double>>(xsimd::zip_hi(f2, f3));  // 10 11 14 15
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_lo(d, e)).store_unaligned(hi);
  xsimd::bitwise_cast<vec<float>>(xsimd::zip_hi(d, e)).store_unaligned(hi + 4);
}

// Dequantizes with the vector arithmetic of mode M, or from the exact table.
template <ScaleMode M>
struct DequantizeSink {
  const std::array<float, 256>* table;
  vec<int32_t> zero32;
  ScaleParts parts;

  void halves(const vec<int8_t>& bytes, float* lo, float* hi) {
    if constexpr (M == ScaleMode::Table) {
      alignas(16) int8_t q[16];
      bytes.store_aligned(q);
      for (size_t i = 0; i < 8; ++i) lo[i] = (*table)[static_cast<uint8_t>(q[i])];
      if (hi != nullptr)
        for (size_t i = 0; i < 8; ++i) hi[i] = (*table)[static_cast<uint8_t>(q[8 + i])];
    } else {
      widen<M>(bytes, lo, hi, zero32, parts);
    }
  }
  void row(const vec<int8_t>& bytes, float* out) { halves(bytes, out, out + 8); }
  void part(const vec<int8_t>& bytes, float* out, size_t count) {
    alignas(16) float values[16];
    halves(bytes, values, values + 8);
    std::memcpy(out, values, count * sizeof(float));
  }
};

// True when mode M gives the table's bits for every int8 value.
template <ScaleMode M>
bool matchesTable(const std::array<float, 256>& table, const vec<int32_t>& zero32,
                  const ScaleParts& parts) {
  for (int q0 = -128; q0 < 128; q0 += 16) {
    alignas(16) int8_t q[16];
    alignas(16) float values[16];
    for (int i = 0; i < 16; ++i) q[i] = static_cast<int8_t>(q0 + i);
    widen<M>(vec<int8_t>::load_aligned(q), values, values + 8, zero32, parts);
    if (std::memcmp(values, &table[static_cast<uint8_t>(q0)], sizeof values) != 0) return false;
  }
  return true;
}

// Dequantizes straight from the device lanes, four w at a time: the 32-bit
// words holding channels 0-3 (and 4-7) of four neighbouring w are gathered
// into one vector, and each channel's byte is shifted out of it, so each
// result is converted once and stored in place without further shuffles.
// Rows narrower than 4 take the transposing walker.
template <ScaleMode M>
void dequantizeRows(const int8_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                    const std::array<float, 256>* table, const vec<int32_t>& zero32,
                    const ScaleParts& parts) {
  const size_t W = cpu.w;
  if (M == ScaleMode::Table || W < 4) {
    DequantizeSink<M> sink{table, zero32, parts};
    walkBlockedInt8Rows(src, dst, dev, cpu, sink);
    return;
  }
  const size_t b = 8, CB = ceilDiv(dev.c, b);
  const size_t wStride = dev.n * b;
  const size_t plane = cpu.h * W;
  const bool dense = dev.n == 1;
  for (size_t cb = 0; cb < CB; ++cb) {
    const size_t lanes = cb * b < cpu.c ? std::min(b, cpu.c - cb * b) : 0;
    if (lanes == 0) continue;
    for (size_t h = 0; h < cpu.h; ++h) {
      for (size_t n = 0; n < cpu.n; ++n) {
        const int8_t* in = src + (h * CB + cb) * dev.w * wStride + n * b;
        float* rows = dst + ((n * cpu.c + cb * b) * cpu.h + h) * W;
        auto step = [&](size_t w0) {
          vec<int8_t> v0, v1;  // w0, w0 + 1 and w0 + 2, w0 + 3
          if (dense) {
            v0 = vec<int8_t>::load_unaligned(in + w0 * 8);
            v1 = vec<int8_t>::load_unaligned(in + w0 * 8 + 16);
          } else {
            v0 = loadPair(in + w0 * wStride, in + (w0 + 1) * wStride);
            v1 = loadPair(in + (w0 + 2) * wStride, in + (w0 + 3) * wStride);
          }
          const auto x0 = xsimd::bitwise_cast<vec<int32_t>>(v0);
          const auto x1 = xsimd::bitwise_cast<vec<int32_t>>(v1);
          const auto a = xsimd::zip_lo(x0, x1), c = xsimd::zip_hi(x0, x1);
          // Word w - w0 of quads[0] holds channels 0-3 of w, of quads[1] 4-7.
          const vec<int32_t> quads[2] = {xsimd::zip_lo(a, c), xsimd::zip_hi(a, c)};
#pragma GCC unroll 8
          for (size_t k = 0; k < 8; ++k) {
            if (k >= lanes) break;
            const vec<int32_t> q =
                ((quads[k / 4] << static_cast<int32_t>(24 - 8 * (k % 4))) >> 24) + zero32;
            scaleSum<M>(xsimd::to_float(q), parts).store_unaligned(rows + k * plane + w0);
          }
        };
        for (size_t w0 = 0; w0 + 4 <= W; w0 += 4) step(w0);
        // The last 4 w once more; the w it repeats get the same values again.
        if (W % 4 != 0) step(W - 4);
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
  const vec<int32_t> zero32(zeroPoint);
  const ScaleParts parts = scaleParts(scale);
  if (static_cast<double>(static_cast<float>(scale)) == scale) {
    dequantizeRows<ScaleMode::Float>(src, dst, dev, cpu, nullptr, zero32, parts);
    return;
  }
  // Every int8 value has one exact result; the vector arithmetic is used only
  // when it reproduces all of them.
  std::array<float, 256> table;
  for (int q = -128; q < 128; ++q)
    table[static_cast<uint8_t>(q)] = dequantizeConverter(q, zeroPoint, scale);
  if (matchesTable<ScaleMode::Split2>(table, zero32, parts)) {
    dequantizeRows<ScaleMode::Split2>(src, dst, dev, cpu, &table, zero32, parts);
  } else if (matchesTable<ScaleMode::Split3>(table, zero32, parts)) {
    dequantizeRows<ScaleMode::Split3>(src, dst, dev, cpu, &table, zero32, parts);
  } else {
    dequantizeRows<ScaleMode::Table>(src, dst, dev, cpu, &table, zero32, parts);
  }
#else
  hcwncInt8ToNchwFp32Scalar(src, dst, dev, cpu, block, devElements, scale, zeroPoint);
#endif
}

void hcwnc8Int8ToNchwDepad(const int8_t* src, int8_t* dst, const Extents4& dev, const Extents4& cpu,
                           size_t devElements) {
#if KORVANRT_SIMD
  requireDeviceCovers(dev, cpu);
  if (productSaturated({dev.h, ceilDiv(dev.c, 8), dev.w, dev.n, 8}) > devElements)
    KORVANRT_OUT_OF_BOUND();
  CopySink sink;
  walkBlockedInt8Rows(src, dst, dev, cpu, sink);
#else
  hcwncToNchwDepad<int8_t>(src, dst, dev, cpu, 8, devElements);
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
  hcwnc8Int8ToNchwDepad(src, dst, dev, host, devElements);
}

}  // namespace korvanrt
