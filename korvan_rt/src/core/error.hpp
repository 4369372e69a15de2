#pragma once

#include "korvanrt/types.hpp"

// Throws KorvanRTException with the raising source file and line.
#define KORVAN_THROW(message) \
  throw ::korvanrt::KorvanRTException((message), __FILE_NAME__, __LINE__)
