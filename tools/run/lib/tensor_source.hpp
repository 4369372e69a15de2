#pragma once

// Tensors named on the command line (--input NAME=@file.npy, NAME=random;
// --expected NAME=@file.npy) and their checks against the model.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "package_info.hpp"
#include "tensor_data.hpp"

namespace korvan::run {

struct TensorSource {
  std::string name;
  bool random = false;
  std::filesystem::path file;  // when not random
};

// Parses "NAME=@file.npy" (and "NAME=random" when `allowRandom`). Throws
// std::invalid_argument with the accepted forms.
TensorSource parseTensorSource(const std::string& text, bool allowRandom);

// Index of `name` among `tensors`; std::invalid_argument naming the kind
// ("input"/"output") and suggesting the closest name when absent.
std::size_t findTensor(const std::vector<TensorInfo>& tensors, const std::string& name,
                       const char* kind);

// The element type of the caller's side of a tensor.
ElementType callerType(const TensorInfo& info);

// Checks a caller tensor against the model entry: same element type (bf16
// accepted as uint16 patterns), same rank and extents, except that the first
// extent may be any positive multiple of the model's batch. Throws
// std::invalid_argument "input NAME: expected TYPE SHAPE, given TYPE SHAPE".
// Returns the number of model batches the tensor holds.
std::uint64_t checkCallerTensor(const TensorInfo& info, HostTensor& tensor, const char* kind);

// The caller-side shape of a tensor for `batches` model batches.
std::vector<std::uint64_t> callerShape(const TensorInfo& info, std::uint64_t batches);

}  // namespace korvan::run
