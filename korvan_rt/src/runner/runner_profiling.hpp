#pragma once

#include <string>

#include "profiling/timestamps.hpp"
#include "tensor/pipeline/conversion_context.hpp"

namespace korvanrt {

// Forwards the conversion steps' sections to a runner's profiling record.
class TimestampSections : public SectionRecorder {
 public:
  explicit TimestampSections(timestamps& record) : record_(record) {}
  void startSection(const std::string& label) override { record_.start_section(label); }
  void accumSection(const std::string& label) override { record_.accum_section(label); }

 private:
  timestamps& record_;
};

}  // namespace korvanrt
