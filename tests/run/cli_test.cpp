// korvanrt-run as a user runs it: subprocesses on the example packages,
// checked for their exit codes (0 pass, 1 mismatch, 2 error) and messages.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "json_schema_check.hpp"
#include "npy_file.hpp"

namespace korvan::run {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string slurp(const fs::path& file) {
  std::ifstream in(file);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("korvanrt-run-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  Outcome tool(const std::string& arguments) {
    const std::string command = std::string("'") + KORVANRT_RUN_TOOL + "' " + arguments + " >'" +
                                (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "'";
    const int status = std::system(command.c_str());
    Outcome o;
    o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.out = slurp(dir_ / "out");
    o.err = slurp(dir_ / "err");
    return o;
  }

  static std::string example(const std::string& name, bool memory = false) {
    const fs::path base = fs::path(KORVANRT_EXAMPLES_DIR) / name;
    return (memory ? base / (name + ".kpkg") : base / name).string();
  }
  static std::string sample(const std::string& name, const std::string& file) {
    return (fs::path(KORVANRT_EXAMPLES_DIR) / name / "reference" / "0" / file).string();
  }

  fs::path dir_;
};

TEST_F(CliTest, ExitCodesAndMessages) {
  // Files for the error cases: a wrong-shaped input, a wrong-typed one, a
  // malformed .npy and expected outputs off by one element.
  pack::HostTensor narrow = pack::HostTensor::zeros(pack::ElementType::fp32, {1, 8, 4, 4});
  pack::writeNpy(dir_ / "narrow.npy", narrow);
  pack::HostTensor ints = pack::HostTensor::zeros(pack::ElementType::int8, {1, 16, 4, 4});
  pack::writeNpy(dir_ / "ints.npy", ints);
  std::ofstream(dir_ / "broken.npy") << "\x93NUMPY\x01\x00\xff\xff{'descr'";
  pack::HostTensor expected = pack::readNpy(sample("conv_bf16", "output/ofm_ddr_0.npy"));
  expected.set<float>(5, expected.get<float>(5) + 1.0f);
  pack::writeNpy(dir_ / "off.npy", expected);

  const std::string conv = example("conv_bf16");
  const std::string d = dir_.string();
  const struct {
    std::string arguments;
    int code;
    std::string inOut, inErr;
  } cases[] = {
      {"run " + conv, 0, "PASS        ofm_ddr_0", ""},
      {"run " + example("conv_bf16", true), 0, "result      PASS", ""},
      // Pooled device buffers, also for a caller batch the runtime splits.
      {"run " + conv + " --io pool", 0, "result      PASS", ""},
      {"run " + example("batch_double", true) + " --io pool --cache-dir " + d + "/cache", 0,
       "result      PASS", ""},
      {"run " + conv + " --expected ofm_ddr_0=@" + d + "/off.npy", 1, "MISMATCH    ofm_ddr_0", ""},
      {"run " + conv + " --expected ofm_ddr_0=@" + d + "/off.npy --atol 1.5", 0, "PASS", ""},
      {"run " + conv + " --input ifm_ddr_0=random --seed 5", 0, "seed        5", ""},
      {"run " + conv + " --input ifm_dr_0=random", 2, "",
       "error: unknown input \"ifm_dr_0\"; did you mean \"ifm_ddr_0\"? (known: ifm_ddr_0)"},
      {"run " + conv + " --expected ofm=@" + d + "/off.npy", 2, "", "unknown output \"ofm\""},
      {"run " + conv + " --input ifm_ddr_0=@" + d + "/narrow.npy", 2, "",
       "error: input ifm_ddr_0: expected float [1, 16, 4, 4], given float [1, 8, 4, 4]"},
      {"run " + conv + " --input ifm_ddr_0=@" + d + "/ints.npy", 2, "",
       "given int8 [1, 16, 4, 4]: element types differ"},
      {"run " + conv + " --input ifm_ddr_0=@" + d + "/broken.npy", 2, "", "broken.npy: .npy:"},
      {"run " + conv + " --input ifm_ddr_0=@" + d + "/absent.npy", 2, "",
       "absent.npy: cannot open"},
      {"run " + conv + " --input ifm_ddr_0", 2, "", "is not NAME=@file.npy or NAME=random"},
      {"run " + d + "/no_such_package", 2, "", "no_such_package: no such package"},
      {"run " + d, 2, "", "not a model package"},
      {"run " + conv + " --option num_of_trelmrt_threads=many", 2, "",
       "option num_of_trelmrt_threads: \"many\" is not a 32-bit integer"},
      // The runtime's own message comes through.
      {"run " + conv + " --option num_of_trelmrt_threads=9", 2, "", "cannot exceed 8!"},
      {"run " + conv + " --io mmap", 2, "", "--io"},
      {"", 2, "", "subcommand"},
      {"frobnicate", 2, "", ""},
      {"--help", 0, "Subcommands:", ""},
  };
  for (const auto& c : cases) {
    const Outcome o = tool(c.arguments);
    EXPECT_EQ(o.code, c.code) << c.arguments << "\n" << o.out << o.err;
    EXPECT_NE(o.out.find(c.inOut), std::string::npos) << c.arguments << "\n" << o.out;
    EXPECT_NE(o.err.find(c.inErr), std::string::npos) << c.arguments << "\n" << o.err;
  }
}

TEST_F(CliTest, MismatchListsTheFirstBadIndices) {
  pack::HostTensor expected = pack::readNpy(sample("conv_bf16", "output/ofm_ddr_0.npy"));
  expected.set<float>(17, expected.get<float>(17) + 2.0f);  // [0, 1, 0, 1]
  pack::writeNpy(dir_ / "off.npy", expected);
  const Outcome o =
      tool("run " + example("conv_bf16") + " --expected ofm_ddr_0=@" + (dir_ / "off.npy").string() +
           " --output-dir " + (dir_ / "out_npy").string());
  EXPECT_EQ(o.code, 1) << o.out << o.err;
  EXPECT_NE(o.out.find("mismatches 1/128"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("at [0, 1, 0, 1]"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("max abs error 2"), std::string::npos) << o.out;
  // The written output equals the reference bit for bit.
  const auto written = pack::readNpy(dir_ / "out_npy" / "ofm_ddr_0.npy");
  EXPECT_EQ(written.bytes, pack::readNpy(sample("conv_bf16", "output/ofm_ddr_0.npy")).bytes);
}

// Every example package, in both forms: info describes it and run passes
// against its reference outputs. Two in-memory packages are beyond what the
// runtime loads from memory (a custom operator's metadata has no place in the
// in-memory schema; a graph's sub-partition holds one operator's program):
// for those, the tool must report the runtime's refusal as an error.
TEST_F(CliTest, EveryExampleInBothForms) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(KORVANRT_EXAMPLES_DIR))
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  ASSERT_GE(names.size(), 10u);
  for (const auto& name : names) {
    for (const bool memory : {false, true}) {
      const std::string package = example(name, memory);
      const Outcome info = tool("info " + package);
      EXPECT_EQ(info.code, 0) << package << "\n" << info.err;
      EXPECT_NE(info.out.find("model       "), std::string::npos) << info.out;
      const Outcome run = tool("run " + package + " --cache-dir " + (dir_ / "cache").string());
      if (memory && (name == "custom_op_copy" || name == "graph_two_ops")) {
        EXPECT_EQ(run.code, 2) << package << "\n" << run.out << run.err;
        EXPECT_NE(run.err.find("error: "), std::string::npos) << run.err;
        continue;
      }
      EXPECT_EQ(run.code, 0) << package << "\n" << run.out << run.err;
      EXPECT_NE(run.out.find("result      PASS"), std::string::npos) << package << "\n" << run.out;
    }
  }
}

TEST_F(CliTest, InfoShowsTheInterface) {
  const Outcome o = tool("info --json " + example("loopback_rt_transformations", true));
  ASSERT_EQ(o.code, 0) << o.err;
  const json doc = json::parse(o.out);
  EXPECT_EQ(doc["form"], "memory");
  EXPECT_EQ(doc["model"], "loopback_rt_transformations");
  const json& input = doc["partitions"][0]["inputs"][0];
  EXPECT_EQ(input["cpu"]["dtype"], "float");
  EXPECT_EQ(input["hw"]["format"], "NHWC");
  EXPECT_EQ(input["rt_transformations"][0]["transformation"], "quantize");
  const Outcome text = tool("info " + example("quant_int8"));
  EXPECT_NE(text.out.find("quantization scale 0.125 zero point -3"), std::string::npos) << text.out;
}

TEST_F(CliTest, BenchReportAndTimes) {
  const fs::path report = dir_ / "r.json", times = dir_ / "t.jsonl";
  const Outcome o = tool("bench " + example("conv_bf16", true) +
                         " --warmup 2 --iterations 12 --threads 3 --io pool" +
                         " --option num_of_trelmrt_threads=2 --report " + report.string() +
                         " --times " + times.string());
  ASSERT_EQ(o.code, 0) << o.out << o.err;
  for (const char* line : {"load        ", "first       ", "latency us  min ", "p99.9 ",
                           "throughput  ", "peak RSS    "})
    EXPECT_NE(o.out.find(line), std::string::npos) << line << "\n" << o.out;

  const json doc = test::readJsonFile(report.string());
  EXPECT_EQ(test::schemaViolations(test::readJsonFile(KORVANRT_REPORT_SCHEMA), doc),
            std::vector<std::string>{});
  EXPECT_EQ(doc["statistics"]["count"], 12);
  EXPECT_EQ(doc["settings"]["threads"], 3);
  EXPECT_EQ(doc["settings"]["io"], "pool");
  EXPECT_EQ(doc["options"]["num_of_trelmrt_threads"], "2");
  EXPECT_TRUE(doc["stages"].empty());

  std::ifstream lines(times);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    const json entry = json::parse(line);
    EXPECT_GT(entry["latency_us"].get<double>(), 0);
    ++count;
  }
  EXPECT_EQ(count, 12);
}

TEST_F(CliTest, ProfileExportsOneTraceEventPerStage) {
  const fs::path report = dir_ / "r.json", profile = dir_ / "profile";
  // Left over from an earlier profile: must not mix into this one.
  fs::create_directories(profile);
  std::ofstream(profile / "inference_summary_other_0.json")
      << R"([{"Stale": [{"start": "1 ns", "end": "2 ns", "duration": "1 ns"}]}])";
  const Outcome o = tool("bench " + example("conv_bf16") + " --warmup 1 --iterations 4 --async" +
                         " --profile " + profile.string() + " --report " + report.string());
  ASSERT_EQ(o.code, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("Kernel Execution"), std::string::npos) << o.out;
  EXPECT_FALSE(fs::exists(profile / "inference_summary_other_0.json"));
  EXPECT_FALSE(test::readJsonFile(report.string())["stages"].empty());

  // One complete event per interval in the runtime's profiling files.
  std::size_t intervals = 0;
  for (const auto& entry : fs::directory_iterator(profile)) {
    const std::string name = entry.path().filename().string();
    if (name.find("inference_summary_") == std::string::npos &&
        name != "cpu_inference_summary_conv_bf16.json")
      continue;
    for (const auto& run : test::readJsonFile(entry.path().string()))
      if (run.is_object())
        for (const auto& [label, list] : run.items()) intervals += list.size();
  }
  EXPECT_GT(intervals, 0u);
  const json trace = test::readJsonFile((profile / "trace.json").string());
  std::size_t complete = 0, totals = 0;
  for (const auto& e : trace["traceEvents"]) {
    complete += e["ph"] == "X" ? 1 : 0;
    totals += e["name"] == "KorvanRT Total" ? 1 : 0;
  }
  EXPECT_EQ(complete, intervals);
  EXPECT_EQ(totals, 4u);  // the measured inferences, bracketed by the tool

  const Outcome threads =
      tool("bench " + example("conv_bf16") + " --threads 2 --profile " + profile.string());
  EXPECT_EQ(threads.code, 2);
  EXPECT_NE(threads.err.find("--profile takes one caller thread"), std::string::npos);
}

TEST_F(CliTest, BenchAsyncAndDurationLimit) {
  const Outcome o = tool("bench " + example("conv_bf16") +
                         " --warmup 0 --duration 0.3 --async --threads 2 --input ifm_ddr_0=random");
  EXPECT_EQ(o.code, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("no iteration limit, at most 0.3 s"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("(seed "), std::string::npos) << o.out;
}

}  // namespace
}  // namespace korvan::run
