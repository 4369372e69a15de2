// --profile: the runtime's profiling files turned into a Chrome trace and a
// per-stage table.

#include <fmt/core.h>

#include <fstream>
#include <stdexcept>

#include "commands.hpp"
#include "latency_stats.hpp"

namespace korvan::run {

ProfileRecords exportProfile(const ProfileScope& profile) {
  ProfileRecords records = readProfileRecords(profile.directory());
  const auto trace = chromeTrace(records, profile.beginEpochNs());
  const auto file = profile.directory() / "trace.json";
  std::ofstream out(file);
  out << trace.dump() << "\n";
  if (!out) throw std::runtime_error("cannot write " + file.string());

  fmt::print("profile     {} ({} profiling files, {} stage events)\n", file.string(),
             records.files.size(), records.intervals.size());
  if (records.skipped > 0)
    fmt::print("            {} malformed profiling entries left out\n", records.skipped);
  const auto stages = stageTimes(records);
  if (!stages.empty()) {
    fmt::print("stages      {:<44} {:>7} {:>12} {:>12}\n", "", "count", "mean us", "median us");
    for (const auto& stage : stages) {
      const LatencyStats s = summarize(stage.durationsUs);
      fmt::print("  {:<54} {:>7} {:>12.1f} {:>12.1f}\n", stage.source + ": " + stage.label, s.count,
                 s.mean, s.median);
      for (const auto& [name, values] : stage.sectionsUs) {
        const LatencyStats t = summarize(values);
        fmt::print("    {:<52} {:>7} {:>12.1f} {:>12.1f}\n", name, t.count, t.mean, t.median);
      }
    }
  }
  return records;
}

}  // namespace korvan::run
