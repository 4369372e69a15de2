#pragma once

#include <rapidjson/fwd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/tensor_dims.hpp"

namespace korvanrt {

// Quantization parameters of a tensor or of one transformation step.
struct qdq_params {
  double scale = 1.0;
  int8_t zero_point = 0;
};

// Read-only view of one tensor entry of a HWClusterParams. Copied by value,
// owns nothing and must not outlive the HWClusterParams it came from. Every
// getter reads the entry anew.
//
// Required keys were validated when the HWClusterParams was built. Faults the
// getters meet in optional parts (a transformation index beyond the list, a
// list element that is not an unsigned 32-bit integer, a "transformation"
// that is not a string, ...) raise std::runtime_error or std::out_of_range
// naming the tensor and the key.
class IOParams {
 public:
  explicit IOParams(const rapidjson::Value* entry) : entry_(entry) {}

  std::string name() const;
  std::string cpuFormat() const;
  std::string hwFormat() const;
  std::string cpuDtype() const;
  std::string hwDtype() const;

  // Layout and shape of the caller's and of the device's tensor.
  TensorDims cpuShape() const;
  TensorDims hwShape() const;
  // The given layout with the unsigned list under `key` (empty when absent).
  TensorDims getShape(const std::string& format, const std::string& key) const;

  // "scale_factor" and "zero_point" (0 when absent), the latter reduced to
  // its low 8 bits.
  qdq_params getQdqParams() const;
  // "zero_point" as the full 32-bit integer; 0 when absent.
  int32_t zeroPoint() const;

  // Name of the programmable-logic converter kernel; empty for none.
  std::string plConverterKernel() const;

  // The "rt_transformations" list; i must be below numRtTransforms().
  uint32_t numRtTransforms() const;
  std::string getRtTransformName(size_t i) const;
  qdq_params getRtTransformQdqParams(size_t i) const;
  std::vector<uint32_t> getRtTransformPermute(size_t i) const;
  std::vector<uint32_t> getRtTransformStart(size_t i) const;
  std::vector<uint32_t> getRtTransformSize(size_t i) const;
  std::vector<uint32_t> getRtTransformPadBefore(size_t i) const;
  std::vector<uint32_t> getRtTransformPadAfter(size_t i) const;
  std::vector<uint32_t> getRtTransformShape(size_t i) const;
  std::vector<uint32_t> getRtTransformMultiples(size_t i) const;

  const rapidjson::Value* entry() const { return entry_; }

 private:
  std::string stringField(const char* key) const;
  const rapidjson::Value* transforms() const;
  const rapidjson::Value& transformAt(size_t i) const;
  std::vector<uint32_t> transformArray(size_t i, const char* key) const;

  const rapidjson::Value* entry_;
};

}  // namespace korvanrt
