// The bench report follows its documented schema, and the schema checker
// notices the faults it is meant to find.

#include <gtest/gtest.h>

#include "json_schema_check.hpp"
#include "run_report.hpp"

namespace korvan::run {
namespace {

using nlohmann::json;

BenchReport sampleReport() {
  BenchReport r;
  r.toolVersion = "3.0.0";
  r.apiVersion = "3.0";
  r.runtimeLibrary = "/x/libkorvanrt.so";
  r.packagePath = "/x/conv";
  r.packageForm = "memory";
  r.model = "conv";
  r.options = {{"num_of_trelmrt_threads", "2"}};
  r.settings.io = "pool";
  r.settings.iterations = 3;
  r.seed = 42;
  r.latency = summarize({10, 20, 30});
  r.throughput = 50;
  r.stages.push_back({"runner conv partition 0", "Kernel Execution", {5, 6}, {{"copy", {1, 2}}}});
  return r;
}

TEST(ReportSchema, ReportConformsToTheDocumentedSchema) {
  const json schema = test::readJsonFile(KORVANRT_REPORT_SCHEMA);
  const json report = reportJson(sampleReport());
  EXPECT_EQ(test::schemaViolations(schema, report), std::vector<std::string>{});
  BenchReport noSeed = sampleReport();
  noSeed.seed.reset();
  noSeed.stages.clear();
  EXPECT_EQ(test::schemaViolations(schema, reportJson(noSeed)), std::vector<std::string>{});
}

TEST(ReportSchema, CheckerFindsViolations) {
  const json schema = test::readJsonFile(KORVANRT_REPORT_SCHEMA);
  const json good = reportJson(sampleReport());
  const struct {
    const char* pointer;
    json value;  // null with erase
    bool erase;
  } cases[] = {
      {"/statistics/p99_us", json(), true}, {"/statistics/count", "3", false},
      {"/settings/io", "mmap", false},      {"/settings/threads", 0, false},
      {"/schema_version", 2, false},        {"/options/num_of_trelmrt_threads", 2, false},
      {"/stages/0/count", 0, false},
  };
  for (const auto& c : cases) {
    json broken = good;
    const json::json_pointer p(c.pointer);
    if (c.erase)
      broken.at(p.parent_pointer()).erase(p.back());
    else
      broken[p] = c.value;
    EXPECT_FALSE(test::schemaViolations(schema, broken).empty()) << c.pointer;
  }
}

}  // namespace
}  // namespace korvan::run
