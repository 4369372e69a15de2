#pragma once

// The profiling files the runtime writes into its working directory, read
// back as intervals, summarised per stage and exported as a Chrome trace
// (the JSON object format that Perfetto and chrome://tracing open).

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvan::run {

// One closed interval of a profiling record.
struct ProfiledInterval {
  std::string source;  // "runner <model> partition <i>" or "session <model>"
  std::string label;
  std::uint64_t run = 0;
  std::int64_t startNs = 0;  // relative to the runtime's reference time
  std::int64_t endNs = 0;
  std::map<std::string, std::int64_t> sectionsNs;
};

// One device event of the process-wide log ("context_init" or "execution").
struct DeviceEvent {
  std::string kind;
  std::string model;
  std::string cluster;
  std::int64_t epochNs = 0;
};

struct ProfileRecords {
  std::vector<std::filesystem::path> files;
  std::vector<ProfiledInterval> intervals;
  std::vector<DeviceEvent> deviceEvents;
  std::uint64_t skipped = 0;  // malformed entries left out
};

// Profiling file names the runtime writes.
bool isProfileFileName(const std::string& name);

// Reads every profiling file in `directory`. Files that are not valid JSON
// are listed in `skipped` rather than failing the export.
ProfileRecords readProfileRecords(const std::filesystem::path& directory);

// Per stage (source and label): durations in microseconds, and the sections
// accumulated inside it.
struct StageTimes {
  std::string source;
  std::string label;
  std::vector<double> durationsUs;
  std::map<std::string, std::vector<double>> sectionsUs;
};
std::vector<StageTimes> stageTimes(const ProfileRecords& records);

// The Chrome trace: one complete ("X") event per interval, one instant event
// per device event (placed when `beginEpochNs`, the reference time of the
// intervals, is known), and process and thread names.
nlohmann::json chromeTrace(const ProfileRecords& records, std::optional<std::int64_t> beginEpochNs);

}  // namespace korvan::run
