#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvanrt {

// A shape together with its layout text ("NCHW", "NHWC", "HCWNC4", "W/4HW4",
// ...). Blocked layouts end in the block size: "HCWNC4" is [H, C/4, W, N, 4].
// All accessors return 32-bit values; products wrap at 2^32.
class TensorDims {
 public:
  TensorDims() : TensorDims(std::string(), {}) {}
  TensorDims(const std::string& format, const std::vector<uint32_t>& dims);

  // Product of the listed dimensions (1 for an empty shape).
  uint32_t size() const { return static_cast<uint32_t>(numElements_); }

  // Logical batch, channels, height and width. The blocked layouts "HCWNC4",
  // "HCWNC8" and "W/4HW4" are resolved by name; other layouts read the
  // dimension at the letter's position. Throw std::out_of_range when the
  // layout has no such letter or the shape is too short for it.
  uint32_t n() const;
  uint32_t c() const;
  uint32_t h() const;
  uint32_t w() const;

  // Dimension i, multiplied by the block size when i is the position of the
  // block axis (dim(1) of "HCWNC4" is the full channel count). Throws
  // std::out_of_range ("map::at") when the block axis is not an upper-case
  // letter of the layout, and std::out_of_range when i is not a dimension.
  uint32_t dim(size_t i) const;

  const std::vector<uint32_t>& dims() const { return dims_; }
  size_t rank() const { return dims_.size(); }
  const std::string& format() const { return format_; }
  char blockAxis() const { return blockAxis_; }
  int32_t blockSize() const { return blockSize_; }
  // Position of the first occurrence of an upper-case letter in the layout.
  const std::map<char, int32_t>& axisPositions() const { return axisPos_; }
  // Letter at every position of the layout that holds an upper-case letter.
  const std::map<int32_t, char>& positionAxes() const { return posAxis_; }

 private:
  uint32_t dimAt(size_t position, const char* what) const;
  uint32_t letterDim(char letter) const;
  bool isChannelBlocked() const;

  std::vector<uint32_t> dims_;
  int32_t numElements_ = 1;
  std::string format_;
  char blockAxis_ = '\0';
  int32_t blockSize_ = 1;
  std::map<char, int32_t> axisPos_;
  std::map<int32_t, char> posAxis_;
};

}  // namespace korvanrt
