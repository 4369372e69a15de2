#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tensor/aligned_allocator.hpp"

namespace korvanrt {

// Zero-filled host buffer aligned to 4096 bytes, owned by one inference.
class DeviceBuffer {
 public:
  explicit DeviceBuffer(size_t bytes) : bytes_(bytes) {}
  void* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t, aligned_4k_allocator<uint8_t>> bytes_;
};

}  // namespace korvanrt
