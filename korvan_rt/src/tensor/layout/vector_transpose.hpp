#pragma once

// Byte and 16-bit transposes inside 128-bit vectors, shared by the vector
// layout converters. Include only from the converters' source files: it pulls
// in the vector library.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tensor/simd_arch.hpp"

namespace korvanrt {

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

// Asks the cache for `count` rows of `bytes` bytes, `stride` bytes apart.
// The channel-blocking walks read one short row in each of many channel
// planes per step, more streams than the hardware prefetcher follows; they
// announce the rows they read two rows ahead.
inline void prefetchRows(const void* first, size_t count, size_t stride, size_t bytes) {
  if (bytes == 0) return;
  const char* p = static_cast<const char*>(first);
  for (size_t i = 0; i < count; ++i, p += stride) {
    for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
    __builtin_prefetch(p + bytes - 1);
  }
}

}  // namespace korvanrt
