#include "profiling/timestamps.hpp"

#include <algorithm>
#include <map>

#include "core/error.hpp"
#include "korvanrt/types.hpp"
#include "profiling/begin_time.hpp"

namespace korvanrt {
namespace {

// The profiling header these records were first declared in; its locations
// are part of the messages callers see.
constexpr const char* kProfileSource = "korvan_rt/include/KorvanProfile";

int64_t nanoseconds(timestamps::clock::duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

std::string ns(int64_t value) {
  return std::to_string(value) + " ns";
}

}  // namespace

void timestamps::start_section(std::string name) {
  if (label_.empty()) {
    throw KorvanRTException("Can't start profiling section " + name + " without a label start",
                            kProfileSource, 111);
  }
  sectionStarts_[std::move(name)] = clock::now();
}

void timestamps::accum_section(std::string name) {
  if (label_.empty()) {
    throw KorvanRTException(
        "Can't accumulate time for profiling section " + name + " without a label start",
        kProfileSource, 119);
  }
  const auto now = clock::now();
  uint64_t& total = sectionTotals_[name];
  const auto start = sectionStarts_.find(name);
  // A section that was never started adds nothing; the system clock may step
  // backwards, which must not wrap the unsigned total.
  if (start == sectionStarts_.end()) return;
  total += static_cast<uint64_t>(std::max<int64_t>(0, nanoseconds(now - start->second)));
}

void timestamps::end() {
  if (label_.empty()) return;
  // A negative run slot would index the JSON array out of its bounds.
  if (count_ < 0) KORVAN_THROW("Profiling run count " + std::to_string(count_) + " is negative");
  end_ = clock::now();

  nlohmann::ordered_json interval;
  interval["start"] = ns(nanoseconds(start_ - begin_time));
  interval["end"] = ns(nanoseconds(end_ - begin_time));
  interval["duration"] = ns(nanoseconds(end_ - start_));
  if (!sectionTotals_.empty()) {
    const std::map<std::string, uint64_t> sorted(sectionTotals_.begin(), sectionTotals_.end());
    nlohmann::ordered_json& sections = interval["sections"];
    for (const auto& [name, total] : sorted) sections[name] = std::to_string(total) + " ns";
  }
  json_[static_cast<size_t>(count_)][label_].push_back(std::move(interval));

  label_.clear();
  sectionStarts_.clear();
  sectionTotals_.clear();
}

}  // namespace korvanrt
