#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "tensor/tensor_view.hpp"

namespace korvanrt {

// A view over any element type a depad step can see, in this order of
// alternatives: float, int8, bfloat16, int16, bool.
using AnyTensorView = std::variant<TensorView<float>, TensorView<int8_t>, TensorView<bf16_t>,
                                   TensorView<int16_t>, TensorView<bool>>;

// Zero padding: destination = source with pad_before zeros ahead of and
// pad_after zeros behind the data on every axis. `in_shape` must be the
// source's shape; for rank 4 without leading padding `out_shape` is the
// result shape of the fast row copy and must equal the padded shape. Element
// types: int8, int16, bfloat16, bool.
template <typename T>
void padTensor(const TensorView<T>& src, const Shape& in_shape, const Shape& pad_before,
               const Shape& pad_after, const Shape& out_shape, const TensorView<T>& dst);

// Keeps the leading corner `out_shape` of a tensor of shape `in_shape`.
template <typename T>
void depadTensor(const TensorView<T>& src, const Shape& in_shape, const Shape& out_shape,
                 const TensorView<T>& dst);

// Leading-corner depad with the element conversion of the type pair: copies
// for equal types, != 0 for int8 to bool, fused dequantization for int8 and
// int16 to float. Other pairs write nothing.
void DepadTensors(const AnyTensorView& src, const AnyTensorView& dst, const Shape& in_shape,
                  const Shape& out_shape, float scale, int8_t zero_point);

// Leading-corner depad that widens bfloat16 to float. Equal shapes widen
// every element; otherwise ranks 2 to 6 are handled and any other rank
// throws std::runtime_error("Unsupported number of dimensions").
void depadBf16ToFloat(const bf16_t* src, float* dst, const Shape& in_shape, const Shape& out_shape);

// Row copy of a 4-axis int8 source of shape (ranges[k].second) into the same
// indices of an output of shape `out_shape`; everything else is zeroed.
void fastPad(const int8_t* src, int8_t* dst, const std::array<size_t, 4>& out_shape,
             const std::array<std::pair<size_t, size_t>, 4>& ranges);

// 4-axis padding copy of 16-bit elements: zero-fills the output, then copies
// every source element to its index plus its axis's `before`.
void neon_pad(const uint16_t* src, uint16_t* dst, const std::array<int64_t, 4>& in_shape,
              const std::array<int64_t, 4>& out_shape,
              const std::array<std::pair<int64_t, int64_t>, 4>& pads);

}  // namespace korvanrt
