#pragma once

// The example descriptions of examples/, written to a scratch directory once
// per test program.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model_description.hpp"
#include "package_writer.hpp"

namespace pack_test {

struct Example {
  std::string file;
  korvan::pack::ModelDescription model;
};

inline std::vector<Example> loadExamples() {
  std::vector<Example> list;
  for (const auto& entry : std::filesystem::directory_iterator(KORVAN_PACK_EXAMPLES)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    std::ostringstream text;
    text << in.rdbuf();
    list.push_back(
        {entry.path().filename().string(), korvan::pack::parseModelDescriptionText(text.str())});
  }
  std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a.file < b.file; });
  return list;
}

// Writes every example under one scratch directory (once per process,
// removed at exit).
inline const std::filesystem::path& writtenExamples() {
  struct Scratch {
    std::filesystem::path dir;
    Scratch() {
      dir = std::filesystem::temp_directory_path() /
            ("korvan_pack_test_" + std::to_string(::getpid()));
      std::filesystem::remove_all(dir);
      for (const auto& e : loadExamples()) korvan::pack::writeModel(e.model, dir);
    }
    ~Scratch() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  };
  static const Scratch scratch;
  return scratch.dir;
}

inline std::string readText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace pack_test
