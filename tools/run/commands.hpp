#pragma once

// The subcommands of korvanrt-run. Each returns the process exit code:
// 0 pass, 1 mismatch against the expected outputs, 2 usage or runtime error
// (errors are thrown and reported by main).

#include <cstdint>
#include <string>
#include <vector>

#include "chrome_trace.hpp"
#include "session_io.hpp"

namespace korvan::run {

inline constexpr int kExitPass = 0;
inline constexpr int kExitMismatch = 1;
inline constexpr int kExitError = 2;

struct InfoSettings {
  std::string package;
  std::string model;
  std::string referenceDir;
  bool json = false;
};
int infoCommand(const InfoSettings& settings);

struct RunSettings {
  CommonSettings common;
  std::string outputDir;
  std::vector<std::string> expected;
  bool noCompare = false;
  double atol = -1;  // negative: per-type default
  double rtol = -1;
  std::size_t showMismatches = 5;
};
int runCommand(const RunSettings& settings);

struct BenchCommandSettings {
  CommonSettings common;
  std::uint64_t warmup = 10;
  std::uint64_t iterations = 100;
  bool iterationsGiven = false;
  double duration = 0;
  unsigned threads = 1;
  bool async = false;
  std::string report;
  std::string times;
};
int benchCommand(const BenchCommandSettings& settings);

// Shared by run and bench: reads the runtime's profiling files from the
// profile directory, writes trace.json there and prints the per-stage table.
ProfileRecords exportProfile(const ProfileScope& profile);

}  // namespace korvan::run
