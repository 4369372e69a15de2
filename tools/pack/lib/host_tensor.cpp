#include "host_tensor.hpp"

#include <stdexcept>

namespace korvan::pack {

std::uint64_t elementCount(const std::vector<std::uint64_t>& shape) {
  std::uint64_t n = 1;
  for (auto d : shape) {
    if (d != 0 && n > (std::uint64_t{1} << 32) / d)
      throw std::overflow_error("tensor has more than 2^32 elements");
    n *= d;
  }
  return n;
}

HostTensor HostTensor::zeros(ElementType type, std::vector<std::uint64_t> shape) {
  HostTensor t;
  t.type = type;
  t.shape = std::move(shape);
  t.bytes.assign(elementCount(t.shape) * elementSize(type), 0);
  return t;
}

std::uint64_t HostTensor::count() const {
  return elementCount(shape);
}

}  // namespace korvan::pack
