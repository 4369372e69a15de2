#pragma once

#include "model/io_params.hpp"
#include "tensor/pipeline/conversion_context.hpp"
#include "tensor/pipeline/host_tensor.hpp"

namespace korvanrt {

// Converts a caller input into the zero-filled device tensor: the pair of
// element types selects the variant, and each variant takes the first route
// that applies among the programmable-logic converter, the entry's
// transformation list, a dedicated layout converter and the generic
// pad-and-permute plan. Pairs without a variant do nothing.
void preprocessInput(const ConversionContext& ctx, const HostTensor& cpuTensor,
                     const HostTensor& deviceTensor, const IOParams& entry, bool usePL,
                     kernel_params_& params, int position);

// Converts a device output back into the caller's tensor (permute, depad and
// dequantize, or a dedicated converter, or the transformation list).
void postprocessOutput(const ConversionContext& ctx, const HostTensor& deviceTensor,
                       const HostTensor& cpuTensor, const IOParams& entry, bool usePL,
                       kernel_params_& params);

}  // namespace korvanrt
