#include "run_report.hpp"

namespace korvan::run {

using nlohmann::json;

json reportJson(const BenchReport& r) {
  json stages = json::array();
  for (const auto& stage : r.stages) {
    const LatencyStats s = summarize(stage.durationsUs);
    json sections = json::object();
    for (const auto& [name, values] : stage.sectionsUs) {
      const LatencyStats t = summarize(values);
      sections[name] = {{"count", t.count}, {"mean_us", t.mean}};
    }
    stages.push_back({{"source", stage.source},
                      {"label", stage.label},
                      {"count", s.count},
                      {"mean_us", s.mean},
                      {"median_us", s.median},
                      {"max_us", s.max},
                      {"total_us", s.mean * static_cast<double>(s.count)},
                      {"sections", sections}});
  }
  const LatencyStats& l = r.latency;
  return {
      {"schema", "korvanrt-run.report"},
      {"schema_version", kReportSchemaVersion},
      {"versions",
       {{"tool", r.toolVersion}, {"api", r.apiVersion}, {"runtime_library", r.runtimeLibrary}}},
      {"package", {{"path", r.packagePath}, {"form", r.packageForm}, {"model", r.model}}},
      {"options", r.options},
      {"settings",
       {{"warmup", r.settings.warmup},
        {"iterations", r.settings.iterations},
        {"duration_s", r.settings.durationS},
        {"threads", r.settings.threads},
        {"async", r.settings.async},
        {"io", r.settings.io},
        {"profile", r.settings.profile}}},
      {"seed", r.seed ? json(*r.seed) : json(nullptr)},
      {"timings",
       {{"load_ms", r.loadMs}, {"first_inference_us", r.firstInferenceUs}, {"wall_s", r.wallS}}},
      {"statistics",
       {{"count", l.count},
        {"min_us", l.min},
        {"mean_us", l.mean},
        {"median_us", l.median},
        {"p90_us", l.p90},
        {"p99_us", l.p99},
        {"p999_us", l.p999},
        {"max_us", l.max},
        {"stddev_us", l.stddev},
        {"throughput_per_s", r.throughput}}},
      {"peak_rss_kib", r.peakRssKiB},
      {"stages", stages}};
}

}  // namespace korvan::run
