#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <string>

#include "korvanrt/export.hpp"

namespace korvanrt {
namespace client {

// The caller's configuration of a model session. Its layout is part of the
// binary interface: callers pass a pointer to it together with its size.
struct KORVANRT_API Options {
  std::string modelPath;
  std::string deviceName;
  bool runnerFlag = false;
  int32_t intSetting = 1;
  uint16_t apiVersionMinor = 0;
  uint16_t apiVersionMajor = 3;
  std::string modelName;
  std::map<std::string, std::any> options;

  // Copies the caller's fields and named options into this record; keys only
  // this record has are kept, the version fields are never copied.
  void copyIn(const Options& source);
  ~Options();
};

}  // namespace client
}  // namespace korvanrt
