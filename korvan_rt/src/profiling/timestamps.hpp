#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>

namespace korvanrt {

// One labelled interval with named sections. The owner opens the interval by
// setting label_ and start_ and counts its runs in count_; end() closes the
// interval into json_[count_][label_].
struct timestamps {
  using clock = std::chrono::system_clock;

  nlohmann::ordered_json json_;
  clock::time_point start_{};
  clock::time_point end_{};
  std::string label_;
  int32_t count_ = 0;
  std::unordered_map<std::string, clock::time_point> sectionStarts_;
  std::unordered_map<std::string, uint64_t> sectionTotals_;

  // Both throw KorvanRTException when no interval is open.
  void start_section(std::string name);
  void accum_section(std::string name);
  // Does nothing when no interval is open.
  void end();
};

}  // namespace korvanrt
