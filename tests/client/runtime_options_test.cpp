#include "client/runtime_options.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <any>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvanrt/types.hpp"
#include "profiling/begin_time.hpp"

namespace {

namespace fs = std::filesystem;
using korvanrt::client::parseRuntimeOptions;
using OptionMap = std::map<std::string, std::any>;
using ::testing::EndsWith;

// A scratch directory removed with the fixture.
class RuntimeOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "runtime_options_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string writeConfig(const std::string& text, const std::string& name = "config.json") {
    const fs::path path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }

  // Applies `text` as configuration file to a map holding only its path.
  OptionMap apply(const std::string& text) {
    OptionMap options{{"config_json", writeConfig(text)}};
    bool profiling = false;
    parseRuntimeOptions(options, profiling);
    options.erase("config_json");
    return options;
  }

  fs::path dir_;
};

// Equality of option values of the types the configuration file produces.
bool sameValue(const std::any& a, const std::any& b) {
  if (a.type() != b.type()) return false;
  if (auto* x = std::any_cast<std::string>(&a)) return *x == std::any_cast<std::string>(b);
  if (auto* x = std::any_cast<bool>(&a)) return *x == std::any_cast<bool>(b);
  if (auto* x = std::any_cast<int32_t>(&a)) return *x == std::any_cast<int32_t>(b);
  if (auto* x = std::any_cast<double>(&a)) return *x == std::any_cast<double>(b);
  if (auto* x = std::any_cast<std::vector<std::string>>(&a)) {
    return *x == std::any_cast<std::vector<std::string>>(b);
  }
  if (auto* x = std::any_cast<std::vector<int32_t>>(&a)) {
    return *x == std::any_cast<std::vector<int32_t>>(b);
  }
  if (auto* x = std::any_cast<std::vector<double>>(&a)) {
    return *x == std::any_cast<std::vector<double>>(b);
  }
  return false;
}

TEST_F(RuntimeOptions, ConvertsEachKindOfJsonValue) {
  const struct {
    const char* json;
    std::any expected;  // empty: the member is ignored
  } cases[] = {
      {R"("truncate")", std::string("truncate")},
      {"true", true},
      {"false", false},
      {"4", int32_t{4}},
      {"-2147483648", int32_t{INT32_MIN}},
      {"2147483647", int32_t{INT32_MAX}},
      {"4.0", 4.0},
      {"-1.5e3", -1500.0},
      {R"(["a", "b"])", std::vector<std::string>{"a", "b"}},
      {"[1, -2]", std::vector<int32_t>{1, -2}},
      {"[1.5, 2]", std::vector<double>{1.5, 2.0}},
      {"2147483648", {}},
      {"-2147483649", {}},
      {"null", {}},
      {"{}", {}},
      {R"({"a": 1})", {}},
      {"[]", {}},
      {"[true]", {}},
      {"[null, 1]", {}},
      {"[[1]]", {}},
      {"[4294967296]", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const OptionMap options = apply(std::string(R"({"rounding_mode": )") + c.json + "}");
    if (!c.expected.has_value()) {
      EXPECT_TRUE(options.empty());
      continue;
    }
    ASSERT_EQ(options.count("rounding_mode"), 1u);
    EXPECT_TRUE(sameValue(options.at("rounding_mode"), c.expected));
  }
}

TEST_F(RuntimeOptions, MixedArraysAreRejectedAndChangeNothing) {
  const struct {
    const char* json;
    const char* kind;
  } cases[] = {
      {R"([1, "a"])", "integers"}, {"[1, 2.5]", "integers"},     {"[1, 4294967296]", "integers"},
      {R"(["a", 1])", "strings"},  {R"([1.5, "x"])", "numbers"}, {"[1.5, null]", "numbers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    // The valid option comes first in the list of settable options: it must
    // not be stored either.
    OptionMap options{{"config_json", writeConfig(std::string(R"({"num_of_trelmrt_threads": 2,)") +
                                                  R"( "perf_mem_trade_off": )" + c.json + "}")},
                      {"num_of_trelmrt_threads", int32_t{8}}};
    bool profiling = false;
    try {
      parseRuntimeOptions(options, profiling);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Config JSON option perf_mem_trade_off: array elements must all be ") +
                    c.kind);
    }
    EXPECT_EQ(options.size(), 2u);
    EXPECT_EQ(std::any_cast<int32_t>(options.at("num_of_trelmrt_threads")), 8);
  }
}

TEST_F(RuntimeOptions, OnlySettableOptionsAreTakenAndReplaceTheCallers) {
  OptionMap options{{"config_json", writeConfig(R"({
      "num_of_trelmrt_threads": 3, "rounding_mode": "truncate",
      "perf_mem_trade_off": "low mem", "tvg_python_runtime_cfg": "cfg.json",
      "pl_converter_fabpak_path": "pl.fabpak", "use_host_ptr": true,
      "fabpak_path": "other.fabpak", "vistrel_profiling": true})")},
                    {"rounding_mode", std::string("round-to-nearest-even")}};
  bool profiling = false;
  parseRuntimeOptions(options, profiling);
  EXPECT_EQ(options.size(), 7u);
  EXPECT_EQ(options.count("fabpak_path"), 0u);
  EXPECT_EQ(options.count("vistrel_profiling"), 0u);
  EXPECT_FALSE(profiling);
  EXPECT_EQ(std::any_cast<int32_t>(options.at("num_of_trelmrt_threads")), 3);
  EXPECT_EQ(std::any_cast<std::string>(options.at("rounding_mode")), "truncate");
  EXPECT_EQ(std::any_cast<std::string>(options.at("perf_mem_trade_off")), "low mem");
  EXPECT_EQ(std::any_cast<std::string>(options.at("tvg_python_runtime_cfg")), "cfg.json");
  EXPECT_EQ(std::any_cast<std::string>(options.at("pl_converter_fabpak_path")), "pl.fabpak");
  EXPECT_TRUE(std::any_cast<bool>(options.at("use_host_ptr")));
}

TEST_F(RuntimeOptions, PartitionPassSuppliesTheSettings) {
  const struct {
    const char* json;
    const char* roundingMode;  // null: not set
  } cases[] = {
      // The pass's settings replace the top level completely.
      {R"({"rounding_mode": "top", "passes": [{"name": "trelm_partition",
           "trelm_config": {"num_of_trelmrt_threads": 4}}]})",
       nullptr},
      // The first partition pass with settings wins; others are skipped.
      {R"({"passes": [{"name": "other", "trelm_config": {"rounding_mode": "other"}},
                      {"name": "trelm_partition"},
                      "not an object",
                      {"name": "trelm_partition", "trelm_config": {"rounding_mode": "first"}},
                      {"name": "trelm_partition", "trelm_config": {"rounding_mode": "second"}}]})",
       "first"},
      // Without a partition pass, or when "passes" is no list, the top level counts.
      {R"({"rounding_mode": "top", "passes": [{"name": "other"}]})", "top"},
      {R"({"rounding_mode": "top", "passes": {"name": "trelm_partition",
           "trelm_config": {"rounding_mode": "pass"}}})",
       "top"},
      // Settings that are not an object, or a document that is none, set nothing.
      {R"({"passes": [{"name": "trelm_partition", "trelm_config": 5}]})", nullptr},
      {R"(["rounding_mode", "top"])", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const OptionMap options = apply(c.json);
    if (c.roundingMode == nullptr) {
      EXPECT_EQ(options.count("rounding_mode"), 0u);
    } else {
      ASSERT_EQ(options.count("rounding_mode"), 1u);
      EXPECT_EQ(std::any_cast<std::string>(options.at("rounding_mode")), c.roundingMode);
    }
  }
}

TEST_F(RuntimeOptions, DeeplyNestedFileIsParsed) {
  constexpr int kDepth = 200000;
  const std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  const OptionMap options = apply(R"({"ignored": )" + deep + R"(, "rounding_mode": "truncate"})");
  ASSERT_EQ(options.size(), 1u);
  EXPECT_EQ(std::any_cast<std::string>(options.at("rounding_mode")), "truncate");
}

TEST_F(RuntimeOptions, BadFilesThrowAndChangeNothing) {
  const std::string notJson = writeConfig(R"({"rounding_mode": "truncate",)", "bad.json");
  const std::string deepUnterminated = writeConfig(std::string(200000, '['), "deep.json");
  for (const std::string& path : {notJson, deepUnterminated}) {
    OptionMap options{{"config_json", path}, {"vistrel_profiling", true}};
    bool profiling = false;
    try {
      parseRuntimeOptions(options, profiling);
      ADD_FAILURE() << "accepted " << path;
    } catch (const korvanrt::KorvanRTException& e) {
      EXPECT_THAT(e.what(), EndsWith(": Error: failed to parse JSON file " + path + "\n"));
    }
    EXPECT_EQ(options.size(), 2u);
    EXPECT_FALSE(profiling);
  }

  // A socket exists but cannot be opened as a file.
  const std::string socketPath = (dir_ / "s").string();
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  OptionMap options{{"config_json", socketPath}};
  bool profiling = false;
  try {
    parseRuntimeOptions(options, profiling);
    ADD_FAILURE() << "opened a socket";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "Config JSON path " + socketPath + " not valid!");
  }
  close(fd);
}

// Restores the process-wide profiling reference time.
class BeginTimeGuard {
 public:
  BeginTimeGuard() : saved_(korvanrt::begin_time) {}
  ~BeginTimeGuard() { korvanrt::begin_time = saved_; }

 private:
  std::chrono::system_clock::time_point saved_;
};

TEST_F(RuntimeOptions, ProfilingFlagAndBeginTime) {
  BeginTimeGuard guard;
  const auto loadTime = korvanrt::begin_time;
  const auto later = loadTime + std::chrono::hours(1);
  const std::string config = writeConfig("{}");
  const struct {
    const char* what;
    OptionMap options;
    bool profiling;
    bool beginTimeSet;
  } cases[] = {
      {"no file", {{"vistrel_profiling", true}, {"beginTime", later}}, true, true},
      {"with file", {{"config_json", config}, {"vistrel_profiling", true}}, true, false},
      {"flag off", {{"vistrel_profiling", false}, {"beginTime", later}}, false, true},
      {"time without flag", {{"beginTime", later}}, false, false},
      {"empty path", {{"config_json", std::string()}, {"vistrel_profiling", true}}, false, false},
      {"missing file",
       {{"config_json", (dir_ / "absent.json").string()}, {"vistrel_profiling", true}},
       false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    korvanrt::begin_time = loadTime;
    OptionMap options = c.options;
    bool profiling = false;
    parseRuntimeOptions(options, profiling);
    EXPECT_EQ(profiling, c.profiling);
    EXPECT_EQ(korvanrt::begin_time, c.beginTimeSet ? later : loadTime);
  }
}

TEST_F(RuntimeOptions, WronglyTypedOptionsAreBadCasts) {
  const OptionMap cases[] = {
      {{"config_json", 5}},
      {{"vistrel_profiling", 1}},
      {{"vistrel_profiling", true}, {"beginTime", std::string("now")}},
  };
  for (const auto& c : cases) {
    OptionMap options = c;
    bool profiling = false;
    EXPECT_THROW(parseRuntimeOptions(options, profiling), std::bad_any_cast);
  }
}

}  // namespace
