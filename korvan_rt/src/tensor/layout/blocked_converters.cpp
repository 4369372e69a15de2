#include "tensor/layout/blocked_converters.hpp"

#include <algorithm>
#include <array>

#include "tensor/layout/simd_converters.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {
namespace {

// Elements the canonical walk visits: H * CB * W * N * b with device extents.
size_t deviceWalk(const Extents4& dev, size_t block) {
  return productSaturated({dev.h, ceilDiv(dev.c, block), dev.w, dev.n, block});
}

// Blocked read-back: visits the kept part of the device tensor and writes each
// converted element at its CPU position. The loop order keeps the writes
// contiguous (the CPU channel planes front to back for "NCHW", a channel run
// for "NHWC").
template <typename TIn, typename TOut, typename Conv>
void readBack(const TIn* src, TOut* dst, const Extents4& dev, const Extents4& cpu, size_t b,
              bool toNhwc, size_t devElements, Conv conv) {
  requireDeviceCovers(dev, cpu);
  if (b == 0 || deviceWalk(dev, b) > devElements) KORVANRT_OUT_OF_BOUND();
  const size_t CB = ceilDiv(dev.c, b);
  const size_t laneStride = dev.n * b;
  if (!toNhwc) {
    for (size_t cb = 0; cb < CB; ++cb) {
      for (size_t n = 0; n < cpu.n; ++n) {
        for (size_t h = 0; h < cpu.h; ++h) {
          const size_t blockBase = (h * CB + cb) * dev.w * laneStride;
          for (size_t k = 0; k < b; ++k) {
            const size_t c = cb * b + k;
            if (c >= cpu.c) break;
            const TIn* from = src + blockBase + n * b + k;
            TOut* to = dst + ((n * cpu.c + c) * cpu.h + h) * cpu.w;
            for (size_t w = 0; w < cpu.w; ++w) to[w] = conv(from[w * laneStride]);
          }
        }
      }
    }
    return;
  }
  for (size_t n = 0; n < cpu.n; ++n) {
    for (size_t h = 0; h < cpu.h; ++h) {
      for (size_t w = 0; w < cpu.w; ++w) {
        TOut* to = dst + ((n * cpu.h + h) * cpu.w + w) * cpu.c;
        for (size_t c = 0; c < cpu.c; ++c) {
          to[c] = conv(src[(((h * CB + c / b) * dev.w + w) * dev.n + n) * b + c % b]);
        }
      }
    }
  }
}

struct Identity {
  template <typename T>
  T operator()(T v) const {
    return v;
  }
};

}  // namespace

void nchwFp32ToHcwncBf16Scalar(const float* src, bf16_t* dst, const Extents4& cpu,
                               const Extents4& dev, int block, int roundingMode,
                               size_t devElements) {
  requireDeviceCovers(dev, cpu);
  if (block <= 0) KORVANRT_OUT_OF_BOUND();
  const size_t b = static_cast<size_t>(block);
  if (deviceWalk(dev, b) > devElements) KORVANRT_OUT_OF_BOUND();
  const size_t CB = ceilDiv(dev.c, b);
  size_t o = 0;
  for (size_t h = 0; h < dev.h; ++h) {
    for (size_t cb = 0; cb < CB; ++cb) {
      for (size_t w = 0; w < dev.w; ++w) {
        for (size_t n = 0; n < dev.n; ++n) {
          for (size_t k = 0; k < b; ++k, ++o) {
            const size_t c = cb * b + k;
            if (h < cpu.h && w < cpu.w && n < cpu.n && c < cpu.c) {
              dst[o] = bf16FromFloatUnclamped(src[((n * cpu.c + c) * cpu.h + h) * cpu.w + w],
                                              roundingMode);
            } else {
              dst[o] = 0;
            }
          }
        }
      }
    }
  }
}

template <typename T>
void hcwncToNchwDepad(const T* src, T* dst, const Extents4& dev, const Extents4& cpu, int block,
                      size_t devElements) {
  readBack(src, dst, dev, cpu, static_cast<size_t>(std::max(block, 0)), false, devElements,
           Identity{});
}

template <typename T>
void hcwncToNhwcDepad(const T* src, T* dst, const Extents4& dev, const Extents4& cpu, int block,
                      size_t devElements) {
  readBack(src, dst, dev, cpu, static_cast<size_t>(std::max(block, 0)), true, devElements,
           Identity{});
}

void hcwncInt8ToNchwFp32Scalar(const int8_t* src, float* dst, const Extents4& dev,
                               const Extents4& cpu, int block, size_t devElements, double scale,
                               int32_t zeroPoint) {
  // An int8 value has 256 possible results: look them up.
  std::array<float, 256> table;
  for (int q = -128; q < 128; ++q)
    table[static_cast<uint8_t>(q)] = dequantizeConverter(q, zeroPoint, scale);
  readBack(src, dst, dev, cpu, static_cast<size_t>(std::max(block, 0)), false, devElements,
           [&](int8_t q) { return table[static_cast<uint8_t>(q)]; });
}

void hcwncInt16ToNchwFp32(const int16_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                          int block, size_t devElements, double scale, int32_t zeroPoint) {
  readBack(src, dst, dev, cpu, static_cast<size_t>(std::max(block, 0)), false, devElements,
           [&](int16_t q) { return dequantizeConverter(q, zeroPoint, scale); });
}

void hcwncBf16ToNchwFp32Scalar(const bf16_t* src, float* dst, const Extents4& dev,
                               const Extents4& cpu, size_t block, size_t devElements) {
  readBack(src, dst, dev, cpu, block, false, devElements, [](bf16_t v) { return bf16ToFloat(v); });
}

void HCWNCsBf16ToNCHWFp32(const bf16_t* src, float* dst, size_t devN, size_t devC, size_t devH,
                          size_t devW, size_t block, size_t cpuN, size_t cpuC, size_t cpuH,
                          size_t cpuW) {
  const Extents4 dev{devN, devC, devH, devW}, cpu{cpuN, cpuC, cpuH, cpuW};
  const size_t devElements = block == 0 ? 0 : deviceWalk(dev, block);
  if (block == 8) {
    hcwnc8Bf16ToNchwFp32(src, dst, dev, cpu, devElements);
  } else {
    hcwncBf16ToNchwFp32Scalar(src, dst, dev, cpu, block, devElements);
  }
}

template <typename T>
void nhwcToNchwDepad(const T* src, T* dst, const Extents4& dev, const Extents4& cpu,
                     size_t devElements) {
  requireDeviceCovers(dev, cpu);
  if (productSaturated({dev.n, dev.h, dev.w, dev.c}) > devElements) KORVANRT_OUT_OF_BOUND();
  for (size_t n = 0; n < cpu.n; ++n) {
    for (size_t c = 0; c < cpu.c; ++c) {
      T* to = dst + (n * cpu.c + c) * cpu.h * cpu.w;
      for (size_t h = 0; h < cpu.h; ++h) {
        const T* from = src + ((n * dev.h + h) * dev.w) * dev.c + c;
        for (size_t w = 0; w < cpu.w; ++w) to[h * cpu.w + w] = from[w * dev.c];
      }
    }
  }
}

#define KORVANRT_BLOCKED(T)                                                                       \
  template void hcwncToNchwDepad<T>(const T*, T*, const Extents4&, const Extents4&, int, size_t); \
  template void hcwncToNhwcDepad<T>(const T*, T*, const Extents4&, const Extents4&, int, size_t); \
  template void nhwcToNchwDepad<T>(const T*, T*, const Extents4&, const Extents4&, size_t);
KORVANRT_BLOCKED(int8_t)
KORVANRT_BLOCKED(int16_t)
KORVANRT_BLOCKED(bf16_t)
#undef KORVANRT_BLOCKED

}  // namespace korvanrt
