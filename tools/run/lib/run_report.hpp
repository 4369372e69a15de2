#pragma once

// The benchmark report (--report): one JSON document following the schema in
// report.schema.json beside the tool's sources. `schema_version` changes
// whenever a field changes meaning or is removed.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chrome_trace.hpp"
#include "latency_stats.hpp"

namespace korvan::run {

inline constexpr int kReportSchemaVersion = 1;

struct BenchSettings {
  std::uint64_t warmup = 0;
  std::uint64_t iterations = 0;
  double durationS = 0;  // 0: no time limit
  unsigned threads = 1;
  bool async = false;
  std::string io = "copy";
  bool profile = false;
};

struct BenchReport {
  std::string toolVersion;
  std::string runtimeLibrary;
  std::string apiVersion;
  std::string packagePath;
  std::string packageForm;
  std::string model;
  std::map<std::string, std::string> options;
  BenchSettings settings;
  std::optional<std::uint64_t> seed;  // set when some input was random
  double loadMs = 0;
  double firstInferenceUs = 0;
  double wallS = 0;
  LatencyStats latency;
  double throughput = 0;  // inferences per second over the measured phase
  std::uint64_t peakRssKiB = 0;
  std::vector<StageTimes> stages;
};

nlohmann::json reportJson(const BenchReport& report);

}  // namespace korvan::run
