#pragma once

#include <cstdint>
#include <vector>

#include "tensor/tensor_view.hpp"

namespace korvanrt {

// Axis permutation: result axis j is source axis perm[j]. The result is
// written to `dst` in row-major order; its element count must match
// ("xbuffer_storage not resizable"). A permutation of the wrong length throws
// "Permutation does not have the same size as shape", an entry beyond the
// rank or a repeated entry "Permutation contains wrong axis" (runtime_error).
template <typename T>
void transposeTensor(const TensorView<T>& src, const std::vector<uint32_t>& perm,
                     const TensorView<T>& dst);

// Reinterprets the source as shape K (same row-major order; a product other
// than the element count throws "Cannot reshape with incorrect number of
// elements. Do you mean to resize?"), then transposes it by perm into dst.
template <typename T>
void reshapeAndTranspose(const TensorView<T>& src, const std::vector<uint32_t>& K,
                         const std::vector<uint32_t>& perm, const TensorView<T>& dst);

// Copies the source into dst with the new shape (element counts must match,
// else the reshape message).
template <typename T>
void reshapeTensor(const TensorView<T>& src, const std::vector<uint32_t>& shape,
                   const TensorView<T>& dst);

// Sub-block start[k] .. start[k] + size[k] - 1 on every axis, for ranks 1 to
// 6 ("Invalid input shape: <rank>" otherwise).
template <typename T>
void sliceTensor(const TensorView<T>& src, const std::vector<uint32_t>& start,
                 const std::vector<uint32_t>& size, const TensorView<T>& dst);

// Repeats every axis `multiples[k]` times (whole extent, outermost first).
template <typename T>
void tileTensor(const TensorView<T>& src, const std::vector<uint32_t>& multiples,
                const TensorView<T>& dst);

}  // namespace korvanrt
