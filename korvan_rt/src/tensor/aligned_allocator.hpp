#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace korvanrt {

// Allocator whose blocks start on a 4096-byte boundary, so that host buffers
// can be handed to the device and vector loads never straddle a page start.
template <typename T>
struct aligned_4k_allocator {
  using value_type = T;
  static constexpr std::size_t alignment = 4096;

  aligned_4k_allocator() noexcept = default;
  template <typename U>
  aligned_4k_allocator(const aligned_4k_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    std::size_t bytes = n * sizeof(T);
    // operator new with alignment needs a non-zero size for a unique pointer.
    if (bytes == 0) bytes = 1;
    return static_cast<T*>(::operator new(bytes, std::align_val_t(alignment)));
  }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t(alignment)); }

  template <typename U>
  struct rebind {
    using other = aligned_4k_allocator<U>;
  };
  template <typename U>
  bool operator==(const aligned_4k_allocator<U>&) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const aligned_4k_allocator<U>&) const noexcept {
    return false;
  }
};

}  // namespace korvanrt
