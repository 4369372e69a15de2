#pragma once

#include "model/io_params.hpp"
#include "tensor/tensor_view.hpp"

namespace korvanrt {

// Element-wise number conversion of a whole tensor (same element count, row-
// major order). Instantiated pairs: (float, int8), (bool, int8), (float,
// int16), (float, bf16), (int8, bool), (bf16, float), (int8, float), (int16,
// float); every other pair throws std::runtime_error "Invalid input type: ..."
// Unequal element counts throw std::runtime_error "xbuffer_storage not
// resizable". `roundingMode` only matters for float to bf16.
template <typename T1, typename T2>
void qdqConvert(const TensorView<T1>& src, const qdq_params& params, const TensorView<T2>& dst,
                int roundingMode);

// Printable name of a tensor element type for messages.
template <typename T>
const char* elementTypeName();

}  // namespace korvanrt
