#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tensor/aligned_allocator.hpp"

namespace korvanrt {

// Element type of bfloat16 tensors: the upper half of a float's bit pattern.
using bf16_t = uint16_t;

using Shape = std::vector<size_t>;

// Number of elements of a shape (1 for the empty shape).
inline size_t shapeSize(const Shape& shape) {
  size_t n = 1;
  for (size_t d : shape) n *= d;
  return n;
}

template <typename U>
Shape toShape(const std::vector<U>& dims) {
  return Shape(dims.begin(), dims.end());
}

// Non-owning row-major n-dimensional view over caller, device or scratch
// memory. The operations that need n-dimensional indexing adapt it into an
// xtensor expression inside their own translation units, so this header stays
// light for everyone who only passes views around.
template <typename T>
struct TensorView {
  T* data = nullptr;
  Shape shape;

  TensorView() = default;
  TensorView(T* d, Shape s) : data(d), shape(std::move(s)) {}

  size_t size() const { return shapeSize(shape); }
  size_t rank() const { return shape.size(); }
};

// Owning row-major tensor over 4096-byte aligned, zero-initialised storage.
template <typename T>
class ScratchTensor {
 public:
  ScratchTensor() = default;
  explicit ScratchTensor(Shape shape) : shape_(std::move(shape)), storage_(shapeSize(shape_)) {}

  TensorView<T> view() { return TensorView<T>(storage_.data(), shape_); }
  T* data() { return storage_.data(); }
  const T* data() const { return storage_.data(); }
  const Shape& shape() const { return shape_; }
  size_t size() const { return storage_.size(); }

 private:
  Shape shape_;
  std::vector<T, aligned_4k_allocator<T>> storage_;
};

}  // namespace korvanrt
