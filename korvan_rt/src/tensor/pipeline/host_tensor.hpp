#pragma once

#include <stdexcept>

#include "korvanrt/types.hpp"
#include "tensor/tensor_view.hpp"

namespace korvanrt {

// A caller or device tensor as the conversions see it: its memory, element
// type and shape.
struct HostTensor {
  void* data = nullptr;
  client::DataType dtype = client::FP32;
  Shape shape;

  template <typename T>
  TensorView<T> view() const {
    return TensorView<T>(static_cast<T*>(data), shape);
  }
};

// Placeholder for the converter parameters of the programmable-logic route.
struct kernel_params_ {};

}  // namespace korvanrt
