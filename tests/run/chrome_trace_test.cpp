// Profiling files read back and exported as a Chrome trace: one complete
// event per closed interval, overlapping intervals on separate tracks,
// malformed entries left out.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "chrome_trace.hpp"

namespace korvan::run {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class ChromeTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("korvanrt-run-trace-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
  }
  fs::path dir_;
};

TEST_F(ChromeTraceTest, OneEventPerInterval) {
  write("inference_summary_conv_0.json", R"([
    {"Input Quantization and Transformation": [{"start": "100 ns", "end": "2100 ns", "duration": "2000 ns",
        "sections": {"Init input 0": "500 ns"}}],
     "Kernel Execution": [{"start": "3000 ns", "end": "9000 ns", "duration": "6000 ns"}]},
    null,
    {"Kernel Execution": [{"start": "10000 ns", "end": "15000 ns", "duration": "5000 ns"}]}
  ])");
  write("cpu_inference_summary_conv.json", R"([
    {"KorvanRT Total": [{"start": "0 ns", "end": "20000 ns", "duration": "20000 ns"},
                        {"start": "5000 ns", "end": "25000 ns", "duration": "20000 ns"}]}
  ])");
  write("record_timer_subgraph_cpu_ts.json", R"({
    "context_init": [{"subgraph_name": "conv", "cluster_id": "0", "timestamp": "1000000"}],
    "execution": [{"subgraph_name": "conv", "cluster_id": "0", "timestamp": "1003000"}]})");
  write("unrelated.json", "[]");

  const ProfileRecords records = readProfileRecords(dir_);
  EXPECT_EQ(records.files.size(), 3u);
  EXPECT_EQ(records.skipped, 0u);
  ASSERT_EQ(records.intervals.size(), 5u);
  EXPECT_EQ(records.deviceEvents.size(), 2u);

  const json trace = chromeTrace(records, 1000000);
  // Serialises and parses back as a JSON object with a traceEvents list.
  const json parsed = json::parse(trace.dump());
  ASSERT_TRUE(parsed.at("traceEvents").is_array());
  int complete = 0, instant = 0;
  std::map<std::pair<int, int>, std::vector<std::pair<double, double>>> tracks;
  for (const auto& e : parsed["traceEvents"]) {
    ASSERT_TRUE(e.contains("ph") && e.contains("pid") && e.contains("name"));
    if (e["ph"] == "X") {
      ++complete;
      ASSERT_TRUE(e["ts"].is_number() && e["dur"].is_number());
      EXPECT_GE(e["dur"].get<double>(), 0);
      tracks[{e["pid"].get<int>(), e["tid"].get<int>()}].push_back(
          {e["ts"].get<double>(), e["ts"].get<double>() + e["dur"].get<double>()});
      if (e["name"] == "Input Quantization and Transformation") {
        EXPECT_DOUBLE_EQ(e["ts"].get<double>(), 0.1);
        EXPECT_DOUBLE_EQ(e["dur"].get<double>(), 2.0);
        EXPECT_DOUBLE_EQ(e["args"]["sections"]["Init input 0 (us)"].get<double>(), 0.5);
      }
    } else if (e["ph"] == "i") {
      ++instant;
      if (e["name"] == "execution conv partition 0") {
        EXPECT_DOUBLE_EQ(e["ts"].get<double>(), 3.0);
      }
    }
  }
  EXPECT_EQ(complete, 5);
  EXPECT_EQ(instant, 2);
  // Events sharing a track never partly overlap (the two session totals do).
  for (const auto& [track, spans] : tracks)
    for (std::size_t i = 1; i < spans.size(); ++i) EXPECT_LE(spans[i - 1].second, spans[i].first);

  const auto stages = stageTimes(records);
  ASSERT_EQ(stages.size(), 3u);
  const auto kernel = std::find_if(stages.begin(), stages.end(),
                                   [](const auto& s) { return s.label == "Kernel Execution"; });
  ASSERT_NE(kernel, stages.end());
  EXPECT_EQ(kernel->source, "runner conv partition 0");
  EXPECT_EQ(kernel->durationsUs, (std::vector<double>{6.0, 5.0}));
}

TEST_F(ChromeTraceTest, MalformedEntriesAreLeftOut) {
  write("inference_summary_m_0.json", R"([
    {"A": [{"start": "x ns", "end": "5 ns"}, {"start": "9 ns", "end": "5 ns"},
           {"start": "1 ns"}, 7, {"start": "1 ns", "end": "4 ns"}],
     "B": "not a list"},
    "not an object"
  ])");
  write("cpu_inference_summary_m.json", "{ truncated");
  const ProfileRecords records = readProfileRecords(dir_);
  ASSERT_EQ(records.intervals.size(), 1u);
  EXPECT_EQ(records.intervals[0].endNs, 4);
  EXPECT_EQ(records.skipped, 7u);
  // Without a reference time the device log cannot be placed.
  const json trace = chromeTrace(records, std::nullopt);
  for (const auto& e : trace["traceEvents"]) EXPECT_NE(e["ph"], "i");
}

}  // namespace
}  // namespace korvan::run
