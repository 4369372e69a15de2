#pragma once

#include <cstddef>
#include <vector>

#include "tensor/tensor_view.hpp"

namespace korvanrt {

// Row-major element strides of a shape.
inline std::vector<size_t> rowMajorStrides(const Shape& shape) {
  std::vector<size_t> strides(shape.size(), 1);
  for (size_t k = shape.size(); k-- > 1;) strides[k - 1] = strides[k] * shape[k];
  return strides;
}

// Visits every row of the box `box` (all axes but the last) of two row-major
// tensors, calling fn(srcOffset, dstOffset) with the element offsets of the
// row's first element; `srcBase`/`dstBase` shift the box inside each tensor.
// An empty box (any extent 0) visits nothing; rank 0 visits one row.
template <typename Fn>
void forEachBoxRow(const Shape& box, const std::vector<size_t>& srcStrides,
                   const std::vector<size_t>& dstStrides, size_t srcBase, size_t dstBase, Fn&& fn) {
  const size_t r = box.size();
  for (size_t e : box)
    if (e == 0) return;
  if (r <= 1) {
    fn(srcBase, dstBase);
    return;
  }
  std::vector<size_t> idx(r - 1, 0);
  size_t so = srcBase, dO = dstBase;
  while (true) {
    fn(so, dO);
    size_t k = r - 1;
    while (k-- > 0) {
      if (++idx[k] < box[k]) {
        so += srcStrides[k];
        dO += dstStrides[k];
        break;
      }
      so -= srcStrides[k] * (box[k] - 1);
      dO -= dstStrides[k] * (box[k] - 1);
      idx[k] = 0;
      if (k == 0) return;
    }
  }
}

}  // namespace korvanrt
