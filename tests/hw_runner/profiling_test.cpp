// With profiling on, a hardware runner leaves its intervals in
// "inference_summary_<model>_<partition>.json" when it is destroyed: one run
// per inference, each with the stages of that inference.

#include <nlohmann/json.hpp>

#include "hw_fixture.hpp"

namespace hw_test {
namespace {

TEST(HWRunnerProfiling, SummaryHoldsOneRunPerInference) {
  const auto m = example("loopback_nhwc");
  const auto ref = referenceOf(writtenExamples(), m);
  Scratch scratch;
  const auto cwd = fs::current_path();
  fs::current_path(scratch.dir);
  constexpr size_t kInferences = 3;
  {
    auto runner = makeRunner(writtenExamples(), m, {}, "tmk", true);
    for (size_t i = 0; i < kInferences; ++i) expectReferenceOutputs(*runner, m, ref);
  }
  fs::current_path(cwd);

  const auto summary = nlohmann::ordered_json::parse(
      readText(scratch.dir / ("inference_summary_" + m.name + "_0.json")));
  ASSERT_TRUE(summary.is_array());
  ASSERT_EQ(summary.size(), kInferences);
  const std::vector<std::string> stages = {"Input Quantization and Transformation",
                                           "Create I/O BOs",
                                           "Input Sync",
                                           "Kernel Execution",
                                           "Output Sync",
                                           "Output DeQuantization and Transformation",
                                           "Object Destruction"};
  for (size_t run = 0; run < kInferences; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    std::vector<std::string> labels;
    for (const auto& [label, intervals] : summary[run].items()) {
      labels.push_back(label);
      ASSERT_EQ(intervals.size(), 1u) << label;
      const auto& interval = intervals[0];
      for (const char* key : {"start", "end", "duration"})
        EXPECT_TRUE(endsWith(interval.at(key).get<std::string>(), " ns")) << label << " " << key;
    }
    // Construction is recorded with the first inference.
    std::vector<std::string> expected = stages;
    if (run == 0) expected.insert(expected.begin(), "Initialization");
    EXPECT_EQ(labels, expected);
  }

  // The process-wide log holds this runner's creation and its executions.
  const auto log =
      nlohmann::ordered_json::parse(readText(scratch.dir / "record_timer_subgraph_cpu_ts.json"));
  auto count = [&](const char* kind) {
    size_t n = 0;
    for (const auto& event : log.at(kind)) n += event.at("subgraph_name") == m.name ? 1 : 0;
    return n;
  };
  EXPECT_GE(count("context_init"), 1u);
  EXPECT_GE(count("execution"), kInferences);
}

}  // namespace
}  // namespace hw_test
