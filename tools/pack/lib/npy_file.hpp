#pragma once

// NumPy .npy files, format version 1.0, little-endian, C order. bfloat16
// tensors are stored as their 16-bit patterns ('<u2'); reading such a file
// gives uint16, and callers that know the tensor is bfloat16 retag it.

#include <filesystem>
#include <string>

#include "host_tensor.hpp"

namespace korvan::pack {

std::string encodeNpy(const HostTensor& tensor);
// Throws std::runtime_error naming the fault for anything that is not a
// well-formed little-endian C-order .npy of a supported type.
HostTensor decodeNpy(const std::string& bytes);

void writeNpy(const std::filesystem::path& path, const HostTensor& tensor);
HostTensor readNpy(const std::filesystem::path& path);

}  // namespace korvan::pack
