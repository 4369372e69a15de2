#pragma once

// Host tensors as the tool reads, writes, generates and compares them.
// bfloat16 tensors travel as their 16-bit patterns: in .npy files they are
// stored with dtype '<u2' and are retagged as bf16 once the model says so.

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "element_type.hpp"
#include "host_tensor.hpp"

namespace korvan::run {

using pack::ElementType;
using pack::HostTensor;

// Element i as a double (bf16 decoded from its bit pattern, bool as 0 or 1).
double valueAt(const HostTensor& tensor, std::uint64_t i);

// "[1, 16, 4, 4]"
std::string shapeText(const std::vector<std::uint64_t>& shape);

// Uniform values: floating types in [-1, 1), integers over their full range,
// bool 0 or 1.
HostTensor randomTensor(ElementType type, const std::vector<std::uint64_t>& shape,
                        std::mt19937_64& generator);

// Reads a .npy file (bounds-checked); std::runtime_error names the file.
HostTensor loadNpy(const std::filesystem::path& path);
void saveNpy(const std::filesystem::path& path, const HostTensor& tensor);

// A bf16 tensor arrives from a .npy file as uint16 patterns: retag it when the
// model expects bf16. Returns false when the types cannot be reconciled.
bool adoptElementType(HostTensor& tensor, ElementType expected);

}  // namespace korvan::run
