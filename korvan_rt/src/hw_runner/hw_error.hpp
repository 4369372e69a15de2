#pragma once

#include "korvanrt/types.hpp"

namespace korvanrt {

// Source location that the hardware runner's exceptions carry.
inline constexpr const char* kHWRunnerSource = "korvan_rt/src/KorvanHWRunner";

}  // namespace korvanrt

#define HW_THROW(message) \
  throw ::korvanrt::KorvanRTException((message), ::korvanrt::kHWRunnerSource, __LINE__)
