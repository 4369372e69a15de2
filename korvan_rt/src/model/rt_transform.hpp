#pragma once

#include <cstdint>
#include <string>

namespace korvanrt {

// Kind of one step of a tensor's "rt_transformations" list.
enum RtTransformType : int32_t {
  QUANTIZE = 0,
  DEQUANTIZE = 1,
  RESHAPE = 2,
  TRANSPOSE = 3,
  PAD = 4,
  SLICE = 5,
  TILE = 6,
  DEPAD = 7,
  QDQ_DEPAD = 8,
  INVALID = 9,
};

// Exact, case-sensitive match of the step's "transformation" text; INVALID for
// anything else.
RtTransformType stringToRtTransformType(const std::string& text);

}  // namespace korvanrt
