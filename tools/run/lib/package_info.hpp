#pragma once

// What a model package holds, read from its JSON descriptions: either a
// package directory or an in-memory package file (FlatBuffers, verified
// before use).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvan::run {

struct TensorInfo {
  std::string name;
  std::string cpuDtype, hwDtype;
  std::string cpuFormat, hwFormat;
  std::vector<std::uint64_t> cpuShape, hwShape;
  std::optional<double> scale;
  std::optional<std::int64_t> zeroPoint;
  nlohmann::json rtTransformations;  // null when the entry has none
};

struct PartitionInfo {
  int index = 0;
  std::vector<TensorInfo> inputs, outputs;
  std::optional<std::int64_t> deviceBatchSize;
  std::vector<std::string> weightLayers, spillLayers;
};

enum class PackageForm { directory, memory };

struct PackageInfo {
  PackageForm form = PackageForm::directory;
  std::filesystem::path path;
  std::string modelName;
  std::string runnerType = "hw";
  std::string kind = "plain";  // plain | custom_op | custom_graph
  bool profilingEnabled = false;
  std::vector<PartitionInfo> partitions;
  std::vector<std::string> customOps;
  std::vector<std::string> modelsInFile;  // in-memory form: every entry's name
  std::vector<std::uint8_t> bytes;        // in-memory form: the whole file
};

// Reads the package at `path`. A regular file is an in-memory package, whose
// entry `model` is selected (empty: the only entry). Throws
// std::runtime_error with a message naming the file and the fault.
PackageInfo readPackage(const std::filesystem::path& path, const std::string& model = "");

}  // namespace korvan::run
