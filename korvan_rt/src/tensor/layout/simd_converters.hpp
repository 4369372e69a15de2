#pragma once

// Vectorized layout converters and the scalar forms beside them. Each pair
// produces identical bits for every shape; the vector forms fall back to the
// scalar code for tails (W not a multiple of the vector width, channels not a
// multiple of the block) and on targets without 128-bit vectors.

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/tensor_dims.hpp"
#include "tensor/layout/extents.hpp"
#include "tensor/tensor_view.hpp"

namespace korvanrt {

// "NCHW" int8 to "HCWNC<block>" int8 with the CPU extents on both sides
// (device H, W, N equal to the CPU ones, ceil(C/block) channel blocks).
// Lanes of channels >= C are written as zeros.
void optimized_reshape_and_transpose_neon(const int8_t* src, int8_t* dst, int N, int C, int H,
                                          int W, unsigned block);
void optimized_reshape_and_transpose_scalar(const int8_t* src, int8_t* dst, int N, int C, int H,
                                            int W, unsigned block);

// "HCWNC8" int8 to "NCHW" int8 without padding. Does nothing unless the CPU
// and device element counts are equal, the device W and C are multiples of 8
// and the layout is not "HCWNC4". Same result as hcwncToNchwDepad<int8_t>.
void neon_hcwnc_int8_to_nchw_int8(const int8_t* src, int8_t* dst, const TensorDims& hw,
                                  const TensorDims& cpu, const std::string& hwFormat,
                                  const std::string& hwDtype);

// "HCWNC8" int8 to "NCHW" int8 with padding dropped, for any extents the
// device covers (C, W and N need not be multiples of anything). Same result
// as hcwncToNchwDepad<int8_t> with block 8, which is its scalar form.
void hcwnc8Int8ToNchwDepad(const int8_t* src, int8_t* dst, const Extents4& dev, const Extents4& cpu,
                           size_t devElements);

// "HCWNC8" bfloat16 to "NCHW" float (widening), padding dropped, for any
// extents the device covers. Same bits as hcwncBf16ToNchwFp32Scalar.
void hcwnc8Bf16ToNchwFp32(const bf16_t* src, float* dst, const Extents4& dev, const Extents4& cpu,
                          size_t devElements);

// "NCHW" to "NHWC" for bfloat16, no padding.
void optimized_transpose_nchw_to_nhwc_bf16(const bf16_t* src, bf16_t* dst, int N, int C, int H,
                                           int W);
void optimized_transpose_nchw_to_nhwc_bf16_scalar(const bf16_t* src, bf16_t* dst, int N, int C,
                                                  int H, int W);

// [N, C, H, W] to [H, C/8, W, N, 8] for 16-bit elements, C a multiple of 8
// (no channel padding).
void nchwToHcwnc8Of16Bit(const uint16_t* src, uint16_t* dst, size_t N, size_t C, size_t H,
                         size_t W);

// True when the vector kernels are compiled in for this target.
bool simdConvertersAvailable();

}  // namespace korvanrt
