#pragma once

// The 128-bit vector architecture the CPU conversions are written for. The
// kernels interleave within 128-bit vectors; wider registers interleave per
// 128-bit lane, so the architecture is chosen explicitly.

#include <xsimd/xsimd.hpp>

#if XSIMD_WITH_NEON64
#define KORVANRT_SIMD 1
namespace korvanrt {
using simd_arch = xsimd::neon64;
}
#elif XSIMD_WITH_NEON
#define KORVANRT_SIMD 1
namespace korvanrt {
using simd_arch = xsimd::neon;
}
#elif XSIMD_WITH_SSE2
#define KORVANRT_SIMD 1
namespace korvanrt {
using simd_arch = xsimd::sse2;
}
#else
#define KORVANRT_SIMD 0
#endif
