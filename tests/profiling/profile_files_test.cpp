#include "profiling/profile_files.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "profiling/graphs.hpp"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ProfileFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "profile_files_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(ProfileFiles, MergeKeepsTheFileEntries) {
  const fs::path path = dir_ / "summary.json";
  const struct {
    const char* what;
    const char* file;
    const char* record;
    const char* written;
  } cases[] = {
      {"labels of one run are joined", R"([{"KorvanRT Total": ["x"]}])",
       R"([{"Kernel Execution": ["y"]}])",
       R"([{"Kernel Execution": ["y"], "KorvanRT Total": ["x"]}])"},
      {"the file wins for the same label", R"([{"A": ["old"]}, {"B": ["b"]}])",
       R"([{"A": ["new"]}])", R"([{"A": ["old"]}, {"B": ["b"]}])"},
      {"null runs of the record take the file's", R"([{"A": [1]}, null, {"C": [3]}])",
       R"([null, {"B": [2]}])", R"([{"A": [1]}, {"B": [2]}, {"C": [3]}])"},
      {"object runs go in key order", R"({"z": {"Z": [1]}, "a": {"A": [0]}})", R"([{"R": [9]}])",
       R"([{"R": [9], "A": [0]}, {"Z": [1]}])"},
      {"a file that is not JSON is replaced", R"([{"A": [1]}, )", R"([{"B": [2]}])",
       R"([{"B": [2]}])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(path) << c.file;
    korvanrt::writeProfileRecord(Json::parse(c.record), path.string(), true);
    EXPECT_EQ(readFile(path), Json::parse(c.written).dump(4) + "\n");
  }

  // Without merging the record replaces the file.
  std::ofstream(path) << R"([{"A": [1]}])";
  korvanrt::writeProfileRecord(Json::parse(R"([{"B": [2]}])"), path.string(), false);
  EXPECT_EQ(Json::parse(readFile(path)), Json::parse(R"([{"B": [2]}])"));
}

TEST_F(ProfileFiles, EmptyRecordsWriteNothing) {
  const fs::path path = dir_ / "summary.json";
  std::ofstream(path) << "keep";
  for (const Json& record : {Json(), Json::array(), Json::object()}) {
    korvanrt::writeProfileRecord(record, path.string(), false);
    EXPECT_EQ(readFile(path), "keep");
  }
}

TEST_F(ProfileFiles, UnwritableFileIsReportedOnStandardOutput) {
  const std::string path = (dir_ / "missing" / "summary.json").string();
  std::ostringstream captured;
  std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
  korvanrt::writeProfileRecord(Json::parse(R"([{"A": [1]}])"), path, true);
  std::cout.rdbuf(old);
  EXPECT_EQ(captured.str(), "Unable to open file " + path + "\n");
}

TEST_F(ProfileFiles, LabelsThatAreNotUtf8AreWritten) {
  const fs::path path = dir_ / "summary.json";
  Json record = Json::array();
  record[0]["bad \xff label"] = Json::array({"1 ns"});
  korvanrt::writeProfileRecord(record, path.string(), false);
  EXPECT_EQ(Json::parse(readFile(path))[0].size(), 1u);
}

// Events of one model in the written log.
std::vector<Json> eventsOf(const Json& log, const char* kind, const std::string& model) {
  std::vector<Json> events;
  if (!log.contains(kind)) return events;
  for (const Json& e : log[kind]) {
    if (e["subgraph_name"] == model) events.push_back(e);
  }
  return events;
}

TEST_F(ProfileFiles, GraphLogRecordsEventsFromManyThreads) {
  auto& log = korvanrt::graphs::get_instance();
  const std::string model = "threads_model";
  log.record_graph_init(model, 7);
  constexpr int kThreads = 8;
  constexpr int kRuns = 200;
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, &model, t] {
      for (int i = 0; i < kRuns; ++i) log.record_graph_run(model, t);
    });
  }
  for (auto& t : threads) t.join();

  const fs::path path = dir_ / "log.json";
  log.toJSON(path.string());
  const Json written = Json::parse(readFile(path));

  const auto init = eventsOf(written, "context_init", model);
  ASSERT_EQ(init.size(), 1u);
  std::vector<std::string> keys;
  for (auto it = init[0].begin(); it != init[0].end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"subgraph_name", "cluster_id", "timestamp"}));
  EXPECT_EQ(init[0]["cluster_id"], "7");
  EXPECT_GT(std::stoll(init[0]["timestamp"].get<std::string>()), 0);

  const auto runs = eventsOf(written, "execution", model);
  ASSERT_EQ(runs.size(), static_cast<size_t>(kThreads * kRuns));
  std::vector<int> perCluster(kThreads);
  for (const Json& e : runs) ++perCluster.at(std::stoul(e["cluster_id"].get<std::string>()));
  for (int count : perCluster) EXPECT_EQ(count, kRuns);
}

TEST_F(ProfileFiles, GraphLogNeverOverwritesAFile) {
  auto& log = korvanrt::graphs::get_instance();
  log.record_graph_run("overwrite_model", 0);
  const fs::path path = dir_ / "log.json";
  std::ofstream(path) << "earlier";
  log.toJSON(path.string());
  EXPECT_EQ(readFile(path), "earlier");

  const std::string missing = (dir_ / "missing" / "log.json").string();
  try {
    log.toJSON(missing);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to open file " + missing);
  }
}

}  // namespace
