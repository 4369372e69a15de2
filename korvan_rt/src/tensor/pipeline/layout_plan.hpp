#pragma once

#include <cstdint>
#include <vector>

#include "model/tensor_dims.hpp"

namespace korvanrt {

// Shape of the CPU tensor padded to the device extents: for every CPU axis,
// the device extent of the same letter, a blocked axis counted in elements.
// A letter missing from the device layout throws std::out_of_range.
std::vector<uint32_t> paddedCpuShape(const TensorDims& cpu, const TensorDims& hw);

// Reshape-and-permute plan that turns the padded CPU tensor into the device
// layout: reshape to K, then transpose by perm.
void planCpuToHw(const TensorDims& cpu, const TensorDims& hw, std::vector<uint32_t>& K,
                 std::vector<uint32_t>& perm);

// Plan that brings a device tensor into the CPU axis order: (for blocked
// layouts) transpose by blockPerm and merge the block into its axis giving K,
// then transpose by cpuPerm. cpuPerm must arrive holding the identity of the
// CPU rank; positions the plan does not set keep it.
void planHwToCpu(const TensorDims& hw, const TensorDims& cpu, std::vector<uint32_t>& K,
                 std::vector<uint32_t>& blockPerm, std::vector<uint32_t>& cpuPerm);

}  // namespace korvanrt
