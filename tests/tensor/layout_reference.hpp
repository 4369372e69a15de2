#pragma once

// Plain reference implementations written straight from the layout index
// maps, used to check the converters and the pipeline routes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "tensor/layout/extents.hpp"

namespace korvanrt::testing {

// Offset of (n, c, h, w) in a blocked [H, CB, W, N, b] tensor.
inline size_t blockedOffset(const Extents4& dev, size_t b, size_t n, size_t c, size_t h, size_t w) {
  const size_t CB = (dev.c + b - 1) / b;
  return (((h * CB + c / b) * dev.w + w) * dev.n + n) * b + c % b;
}
inline size_t blockedSize(const Extents4& dev, size_t b) {
  return dev.h * ((dev.c + b - 1) / b) * dev.w * dev.n * b;
}
inline size_t nchwOffset(const Extents4& e, size_t n, size_t c, size_t h, size_t w) {
  return ((n * e.c + c) * e.h + h) * e.w + w;
}
inline size_t nhwcOffset(const Extents4& e, size_t n, size_t c, size_t h, size_t w) {
  return ((n * e.h + h) * e.w + w) * e.c + c;
}

template <typename Fn>
void forEachNchw(const Extents4& e, Fn&& fn) {
  for (size_t n = 0; n < e.n; ++n)
    for (size_t c = 0; c < e.c; ++c)
      for (size_t h = 0; h < e.h; ++h)
        for (size_t w = 0; w < e.w; ++w) fn(n, c, h, w);
}

// CPU "NCHW" to blocked, padding zero.
template <typename In, typename Out, typename Conv>
std::vector<Out> refToBlocked(const std::vector<In>& src, const Extents4& cpu, const Extents4& dev,
                              size_t b, Conv conv) {
  std::vector<Out> out(blockedSize(dev, b), Out{});
  forEachNchw(cpu, [&](size_t n, size_t c, size_t h, size_t w) {
    out[blockedOffset(dev, b, n, c, h, w)] = conv(src[nchwOffset(cpu, n, c, h, w)]);
  });
  return out;
}

// Blocked to CPU "NCHW" (or "NHWC"), padding dropped.
template <typename In, typename Out, typename Conv>
std::vector<Out> refFromBlocked(const std::vector<In>& src, const Extents4& dev,
                                const Extents4& cpu, size_t b, bool nhwc, Conv conv) {
  std::vector<Out> out(cpu.size());
  forEachNchw(cpu, [&](size_t n, size_t c, size_t h, size_t w) {
    out[nhwc ? nhwcOffset(cpu, n, c, h, w) : nchwOffset(cpu, n, c, h, w)] =
        conv(src[blockedOffset(dev, b, n, c, h, w)]);
  });
  return out;
}

template <typename T>
std::vector<T> randomValues(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<T> v(n);
  for (auto& x : v) x = static_cast<T>(gen());
  return v;
}

// Floats with every kind of bit pattern (normals, NaNs, infinities, ties).
inline std::vector<float> randomFloats(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t bits = gen();
    if (i % 7 == 0) bits = (bits & 0xFFFF0000u) | 0x8000u;  // exact tie
    if (i % 31 == 0) bits = 0xFF800000u;                    // -inf
    float f;
    std::memcpy(&f, &bits, 4);
    v[i] = f;
  }
  return v;
}

}  // namespace korvanrt::testing
