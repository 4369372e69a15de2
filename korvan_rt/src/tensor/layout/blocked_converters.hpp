#pragma once

// Single-pass converters between the caller's "NCHW"/"NHWC" layouts and the
// device's channel-blocked layouts "HCWNC4"/"HCWNC8" ([H, C/b, W, N, b]).
// Device offset of (n, c, h, w): (((h*CB + c/b)*W + w)*N + n)*b + c%b.
//
// Every converter checks before touching memory that its walk over the
// device tensor stays inside `devElements` ("tensor out of bound at ...") and
// that no device extent is smaller than the CPU one. Device batches beyond
// the CPU batch are padding: written as zeros on input, skipped on read-back.

#include <cstddef>
#include <cstdint>

#include "tensor/layout/extents.hpp"
#include "tensor/tensor_view.hpp"

namespace korvanrt {

// "NCHW" float to blocked bfloat16, every device element written (padding 0).
// Mode 0 rounds to nearest even, any other value truncates; no clamping.
// The vector form gives the same bits as the scalar walk.
void nchwFp32ToHcwncBf16(const float* src, bf16_t* dst, const Extents4& cpu, const Extents4& dev,
                         int block, int roundingMode, size_t devElements);
void nchwFp32ToHcwncBf16Scalar(const float* src, bf16_t* dst, const Extents4& cpu,
                               const Extents4& dev, int block, int roundingMode,
                               size_t devElements);

// Blocked to "NCHW" or "NHWC", same element type, padding dropped.
template <typename T>
void hcwncToNchwDepad(const T* src, T* dst, const Extents4& dev, const Extents4& cpu, int block,
                      size_t devElements);
template <typename T>
void hcwncToNhwcDepad(const T* src, T* dst, const Extents4& dev, const Extents4& cpu, int block,
                      size_t devElements);

// Blocked int8 / int16 to "NCHW" float with the converter dequantization
// (full 32-bit zero point, product in double precision).
void hcwncInt8ToNchwFp32(const int8_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                         int block, size_t devElements, double scale, int32_t zeroPoint);
void hcwncInt8ToNchwFp32Scalar(const int8_t* src, float* dst, const Extents4& dev,
                               const Extents4& cpu, int block, size_t devElements, double scale,
                               int32_t zeroPoint);
void hcwncInt16ToNchwFp32(const int16_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                          int block, size_t devElements, double scale, int32_t zeroPoint);

// Blocked bfloat16 to "NCHW" float (widening); block 8 takes the vector
// form hcwnc8Bf16ToNchwFp32, every block the element walk below gives the
// same bits.
void hcwncBf16ToNchwFp32Scalar(const bf16_t* src, float* dst, const Extents4& dev,
                               const Extents4& cpu, size_t block, size_t devElements);
void HCWNCsBf16ToNCHWFp32(const bf16_t* src, float* dst, size_t devN, size_t devC, size_t devH,
                          size_t devW, size_t block, size_t cpuN, size_t cpuC, size_t cpuH,
                          size_t cpuW);

// "NHWC" to "NCHW", same element type, padding dropped.
template <typename T>
void nhwcToNchwDepad(const T* src, T* dst, const Extents4& dev, const Extents4& cpu,
                     size_t devElements);

}  // namespace korvanrt
