#pragma once

#include "model/io_params.hpp"
#include "tensor/pipeline/conversion_context.hpp"
#include "tensor/tensor_view.hpp"

namespace korvanrt {

// One same-type step `a` of the entry's "rt_transformations" list.
template <typename T>
void rtTransform(const ConversionContext& ctx, const TensorView<T>& src, const IOParams& entry,
                 const TensorView<T>& dst, int a);

// One type-changing step `a` (quantize, dequantize, qdq_depad).
template <typename T1, typename T2>
void rtTransform(const ConversionContext& ctx, const TensorView<T1>& src, const IOParams& entry,
                 const TensorView<T2>& dst, int a);

// Runs the whole list from `src` into `dst`. Input conversions (float or bool
// source) change type in their first step, output conversions in their last;
// with T1 == T2 every step is same-type. Intermediate results live in scratch
// tensors of each step's "output_shape" with the device element type; a chain
// step without "output_shape" is an error naming the step.
template <typename T1, typename T2>
void runTransformList(const ConversionContext& ctx, const TensorView<T1>& src,
                      const IOParams& entry, const TensorView<T2>& dst);

}  // namespace korvanrt
