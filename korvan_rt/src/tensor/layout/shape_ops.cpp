#include "tensor/layout/shape_ops.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <xtensor/xadapt.hpp>
#include <xtensor/xstrided_view.hpp>

#include "tensor/layout/row_walk.hpp"
#include "tensor/layout/simd_converters.hpp"

namespace korvanrt {
namespace {

void requireElements(size_t have, size_t need) {
  if (have != need) throw std::runtime_error("xbuffer_storage not resizable");
}

[[noreturn]] void reshapeMismatch() {
  throw std::runtime_error(
      "Cannot reshape with incorrect number of elements. Do you mean to resize?");
}

// Copies `src` (row-major, `shape`) permuted by `perm` into `dst`.
template <typename T>
void permuteCopy(const T* src, const Shape& shape, const std::vector<uint32_t>& perm, T* dst) {
  const size_t r = shape.size();
  const auto strides = rowMajorStrides(shape);
  Shape outShape(r);
  std::vector<size_t> srcStrides(r);
  for (size_t j = 0; j < r; ++j) {
    outShape[j] = shape[perm[j]];
    srcStrides[j] = strides[perm[j]];
  }
  if (r == 0) {
    dst[0] = src[0];
    return;
  }
  const size_t row = outShape.back();
  const size_t step = srcStrides.back();
  forEachBoxRow(outShape, srcStrides, rowMajorStrides(outShape), 0, 0, [&](size_t so, size_t dO) {
    const T* from = src + so;
    T* to = dst + dO;
    if (step == 1) {
      std::copy(from, from + row, to);
    } else {
      for (size_t i = 0; i < row; ++i) to[i] = from[i * step];
    }
  });
}

void checkPermutation(const std::vector<uint32_t>& perm, size_t rank) {
  if (perm.size() != rank)
    throw std::runtime_error("Permutation does not have the same size as shape");
  std::vector<bool> seen(rank, false);
  for (uint32_t p : perm) {
    if (p >= rank || seen[p]) throw std::runtime_error("Permutation contains wrong axis");
    seen[p] = true;
  }
}

}  // namespace

template <typename T>
void transposeTensor(const TensorView<T>& src, const std::vector<uint32_t>& perm,
                     const TensorView<T>& dst) {
  checkPermutation(perm, src.rank());
  requireElements(dst.size(), src.size());
  if (src.size() == 0) return;
  permuteCopy(src.data, src.shape, perm, dst.data);
}

template <typename T>
void reshapeAndTranspose(const TensorView<T>& src, const std::vector<uint32_t>& K,
                         const std::vector<uint32_t>& perm, const TensorView<T>& dst) {
  const Shape shape = toShape(K);
  if (shapeSize(shape) != src.size()) reshapeMismatch();
  // [N, CB, 8, H, W] permuted to [H, CB, W, N, 8] is the channel blocking of
  // the input plans: the vector kernels produce the same element order.
  static const std::vector<uint32_t> kBlocking{3, 1, 4, 0, 2};
  if (perm == kBlocking && K[2] == 8 && dst.size() == src.size() && src.size() != 0 &&
      K[4] <= static_cast<uint32_t>(INT32_MAX) && K[3] <= static_cast<uint32_t>(INT32_MAX) &&
      size_t{K[1]} * 8 <= static_cast<size_t>(INT32_MAX) &&
      K[0] <= static_cast<uint32_t>(INT32_MAX)) {
    if constexpr (sizeof(T) == 1) {
      optimized_reshape_and_transpose_neon(reinterpret_cast<const int8_t*>(src.data),
                                           reinterpret_cast<int8_t*>(dst.data),
                                           static_cast<int>(K[0]), static_cast<int>(K[1] * 8),
                                           static_cast<int>(K[3]), static_cast<int>(K[4]), 8);
      return;
    } else if constexpr (sizeof(T) == 2) {
      nchwToHcwnc8Of16Bit(reinterpret_cast<const uint16_t*>(src.data),
                          reinterpret_cast<uint16_t*>(dst.data), K[0], size_t{K[1]} * 8, K[3],
                          K[4]);
      return;
    }
  }
  transposeTensor(TensorView<T>(src.data, shape), perm, dst);
}

template <typename T>
void reshapeTensor(const TensorView<T>& src, const std::vector<uint32_t>& shape,
                   const TensorView<T>& dst) {
  if (shapeSize(toShape(shape)) != src.size()) reshapeMismatch();
  requireElements(dst.size(), src.size());
  std::copy(src.data, src.data + src.size(), dst.data);
}

template <typename T>
void sliceTensor(const TensorView<T>& src, const std::vector<uint32_t>& start,
                 const std::vector<uint32_t>& size, const TensorView<T>& dst) {
  const size_t r = src.rank();
  if (r < 1 || r > 6) throw std::runtime_error("Invalid input shape: " + std::to_string(r));
  if (start.size() != r || size.size() != r)
    throw std::invalid_argument("slice: start and size need one entry per axis");
  xt::xstrided_slice_vector box;
  Shape outShape(r);
  for (size_t k = 0; k < r; ++k) {
    if (size_t{start[k]} + size[k] > src.shape[k])
      throw std::out_of_range("slice: range " + std::to_string(start[k]) + "+" +
                              std::to_string(size[k]) + " exceeds extent " +
                              std::to_string(src.shape[k]) + " on axis " + std::to_string(k));
    box.push_back(xt::range(size_t{start[k]}, size_t{start[k]} + size[k]));
    outShape[k] = size[k];
  }
  requireElements(dst.size(), shapeSize(outShape));
  if (dst.size() == 0) return;
  auto in = xt::adapt(src.data, src.size(), xt::no_ownership(), src.shape);
  auto out = xt::adapt(dst.data, dst.size(), xt::no_ownership(), outShape);
  out = xt::strided_view(in, box);
}

template <typename T>
void tileTensor(const TensorView<T>& src, const std::vector<uint32_t>& multiples,
                const TensorView<T>& dst) {
  const size_t r = src.rank();
  if (multiples.size() != r) throw std::invalid_argument("tile: multiples need one entry per axis");
  Shape outShape(r);
  for (size_t k = 0; k < r; ++k) outShape[k] = src.shape[k] * multiples[k];
  requireElements(dst.size(), shapeSize(outShape));
  if (dst.size() == 0) return;
  if (r == 0) {
    dst.data[0] = src.data[0];
    return;
  }
  // Walk the output rows; the source row is the output index modulo the
  // source extent on every leading axis, repeated along the last axis.
  const auto inStrides = rowMajorStrides(src.shape);
  const size_t rowIn = src.shape.back();
  const size_t rowOut = outShape.back();
  std::vector<size_t> idx(r, 0);
  for (size_t o = 0; o < dst.size(); o += rowOut) {
    size_t so = 0;
    for (size_t k = 0; k + 1 < r; ++k) so += (idx[k] % src.shape[k]) * inStrides[k];
    for (size_t w = 0; w < rowOut; w += rowIn)
      std::copy(src.data + so, src.data + so + rowIn, dst.data + o + w);
    for (size_t k = r - 1; k-- > 0;) {
      if (++idx[k] < outShape[k]) break;
      idx[k] = 0;
    }
  }
}

#define KORVANRT_SHAPE_OPS(T)                                                               \
  template void transposeTensor<T>(const TensorView<T>&, const std::vector<uint32_t>&,      \
                                   const TensorView<T>&);                                   \
  template void reshapeAndTranspose<T>(const TensorView<T>&, const std::vector<uint32_t>&,  \
                                       const std::vector<uint32_t>&, const TensorView<T>&); \
  template void reshapeTensor<T>(const TensorView<T>&, const std::vector<uint32_t>&,        \
                                 const TensorView<T>&);                                     \
  template void sliceTensor<T>(const TensorView<T>&, const std::vector<uint32_t>&,          \
                               const std::vector<uint32_t>&, const TensorView<T>&);         \
  template void tileTensor<T>(const TensorView<T>&, const std::vector<uint32_t>&,           \
                              const TensorView<T>&);
KORVANRT_SHAPE_OPS(int8_t)
KORVANRT_SHAPE_OPS(int16_t)
KORVANRT_SHAPE_OPS(bf16_t)
KORVANRT_SHAPE_OPS(bool)
#undef KORVANRT_SHAPE_OPS

}  // namespace korvanrt
