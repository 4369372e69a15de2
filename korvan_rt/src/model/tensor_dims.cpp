#include "model/tensor_dims.hpp"

#include <stdexcept>

namespace korvanrt {
namespace {

bool isUpper(char c) {
  return c >= 'A' && c <= 'Z';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

TensorDims::TensorDims(const std::string& format, const std::vector<uint32_t>& dims)
    : dims_(dims), format_(format) {
  uint32_t product = 1;
  for (uint32_t d : dims_) product *= d;
  numElements_ = static_cast<int32_t>(product);

  size_t digitsStart = format_.size();
  while (digitsStart > 0 && isDigit(format_[digitsStart - 1])) --digitsStart;
  if (digitsStart < format_.size()) blockSize_ = std::stoi(format_.substr(digitsStart));
  if (digitsStart > 0) blockAxis_ = format_[digitsStart - 1];

  for (size_t i = 0; i < format_.size(); ++i) {
    const char c = format_[i];
    if (!isUpper(c)) continue;
    axisPos_.try_emplace(c, static_cast<int32_t>(i));
    posAxis_.emplace(static_cast<int32_t>(i), c);
  }
}

bool TensorDims::isChannelBlocked() const {
  return format_ == "HCWNC4" || format_ == "HCWNC8";
}

uint32_t TensorDims::dimAt(size_t position, const char* what) const {
  if (position >= dims_.size()) {
    throw std::out_of_range("TensorDims: layout \"" + format_ + "\" with " +
                            std::to_string(dims_.size()) + " dimensions has no " + what +
                            " at position " + std::to_string(position));
  }
  return dims_[position];
}

uint32_t TensorDims::letterDim(char letter) const {
  const auto found = axisPos_.find(letter);
  const std::string axis = std::string("axis '") + letter + "'";
  if (found == axisPos_.end()) {
    throw std::out_of_range("TensorDims: layout \"" + format_ + "\" has no " + axis);
  }
  return dimAt(static_cast<size_t>(found->second), axis.c_str());
}

uint32_t TensorDims::n() const {
  if (isChannelBlocked()) return dimAt(3, "axis 'N'");
  return letterDim('N');
}

uint32_t TensorDims::c() const {
  if (isChannelBlocked()) return dimAt(1, "axis 'C'") * dimAt(4, "channel block");
  return letterDim('C');
}

uint32_t TensorDims::h() const {
  if (format_ == "W/4HW4") return dimAt(1, "axis 'H'");
  if (isChannelBlocked()) return dimAt(0, "axis 'H'");
  return letterDim('H');
}

uint32_t TensorDims::w() const {
  if (format_ == "W/4HW4") return dimAt(0, "axis 'W/4'") * dimAt(2, "width block");
  if (isChannelBlocked()) return dimAt(2, "axis 'W'");
  return letterDim('W');
}

uint32_t TensorDims::dim(size_t i) const {
  const int32_t blockPosition = axisPos_.at(blockAxis_);
  const uint32_t d = dimAt(i, "dimension");
  if (i == static_cast<size_t>(blockPosition)) return d * static_cast<uint32_t>(blockSize_);
  return d;
}

}  // namespace korvanrt
