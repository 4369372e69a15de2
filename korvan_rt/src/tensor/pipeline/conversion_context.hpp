#pragma once

#include <string>

namespace korvanrt {

// Receives the named profiling sections that conversion steps open and close.
class SectionRecorder {
 public:
  virtual ~SectionRecorder() = default;
  virtual void startSection(const std::string& label) = 0;
  virtual void accumSection(const std::string& label) = 0;
};

// What a conversion needs from its runner: the bfloat16 rounding mode of the
// partition and, when profiling is on, where to record sections.
struct ConversionContext {
  int roundingMode = 0;
  SectionRecorder* sections = nullptr;

  template <typename Fn>
  void section(const char* label, Fn&& fn) const {
    if (sections == nullptr) {
      fn();
      return;
    }
    sections->startSection(label);
    fn();
    sections->accumSection(label);
  }
};

}  // namespace korvanrt
