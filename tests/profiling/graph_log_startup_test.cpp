#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "profiling/graphs.hpp"

namespace {

namespace fs = std::filesystem;

// Runs alone in its program: the log must not have been used before.
TEST(GraphLogStartup, FirstUseRemovesTheOldLogFile) {
  std::string pattern = (fs::temp_directory_path() / "graph_log_XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  const fs::path previous = fs::current_path();
  fs::current_path(dir);
  std::ofstream(korvanrt::kGraphLogFile) << "[]";
  std::ofstream("other.json") << "[]";

  korvanrt::graphs::get_instance();

  EXPECT_FALSE(fs::exists(dir / korvanrt::kGraphLogFile));
  EXPECT_TRUE(fs::exists(dir / "other.json"));
  fs::current_path(previous);
  fs::remove_all(dir);
}

}  // namespace
