#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korvanrt/types.hpp"

namespace korvanrt {

// Layout code of a layout text; OTHER for anything but the five known ones.
client::TensorFormat tensorFormatOf(const std::string& format);

// Bytes of a tensor: product of `shape` times the element size, in 64-bit
// arithmetic; 0 for an empty shape. Throws std::invalid_argument
// "Unsupported DataType for size calculation" for a type outside the
// enumeration.
uint64_t tensorByteSize(client::DataType dtype, const std::vector<uint32_t>& shape);

// Row-major element strides (32-bit); empty for an empty shape.
std::vector<uint32_t> rowMajorStrides(const std::vector<uint32_t>& shape);

// For each letter of the hardware layout its first position in the CPU
// layout. Empty when either text is empty; the identity over the shorter
// length when the lengths differ. Throws std::invalid_argument for a
// hardware letter the CPU layout lacks.
std::vector<uint32_t> hwDimOrder(const std::string& cpuFormat, const std::string& hwFormat);

}  // namespace korvanrt
