#pragma once

// Little-endian integers in untrusted byte arrays: every read is
// bounds-checked by the caller through byte_reader.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qel/qel.hpp"

namespace qel::detail {

template <typename T>
T load_le(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;  // hosts are little-endian (x86-64, AArch64)
}

template <typename T>
void store_le(void* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

template <typename T>
void append_le(std::vector<char>& out, T v) {
  const auto at = out.size();
  out.resize(at + sizeof(T));
  std::memcpy(out.data() + at, &v, sizeof(T));
}

// Sequential reader over untrusted bytes; reading past the end raises
// qel::error with `what` naming the input.
class byte_reader {
 public:
  byte_reader(const void* data, std::size_t size, std::string what)
      : data_(static_cast<const unsigned char*>(data)), size_(size), what_(std::move(what)) {}

  template <typename T>
  T get() {
    need(sizeof(T));
    T v = load_le<T>(data_ + pos_);
    pos_ += sizeof(T);
    return v;
  }
  std::string get_string(std::size_t n) {
    need(n);
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }
  void skip(std::size_t n) {
    need(n);
    pos_ += n;
  }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return size_ - pos_; }

 private:
  void need(std::size_t n) const {
    if (n > size_ - pos_) throw error(what_ + ": truncated at byte " + std::to_string(pos_));
  }
  const unsigned char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::string what_;
};

}  // namespace qel::detail
