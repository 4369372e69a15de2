#pragma once

// The layout converters under the names and argument lists the conversion
// pipeline uses: shapes, layout and quantization come from the tensor entry
// (or from its TensorDims). Each checks the device walk against the device
// element count before touching memory.

#include <cstdint>

#include "model/io_params.hpp"
#include "model/tensor_dims.hpp"
#include "tensor/tensor_view.hpp"

namespace korvanrt {

template <typename T>
void HCWNCsToNCHW_depad(const T* src, T* dst, const IOParams& entry);
template <typename T>
void HCWNCsToNHWC_depad(const T* src, T* dst, const IOParams& entry);
void HCWNCsInt8ToNCHWFp32(const int8_t* src, float* dst, const IOParams& entry);
void HCWNCsInt16ToNCHWFp32(const int16_t* src, float* dst, const IOParams& entry);
template <typename T>
void NHWCToNCHW_depad(const T* src, T* dst, const TensorDims& hw, const TensorDims& cpu);

}  // namespace korvanrt
