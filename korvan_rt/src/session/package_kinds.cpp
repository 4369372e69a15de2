// Which kind of package a session loads (directory or in-memory; plain,
// custom operator or custom-operator graph) and its "partition-info.json".

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <fstream>
#include <limits>
#include <stdexcept>

#include "core/error.hpp"
#include "core/file_io_api.hpp"
#include "model/package.hpp"
#include "package_generated.h"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace fs = std::filesystem;

namespace {

bool canOpen(const std::string& path) {
  std::ifstream in(path);
  return in.is_open();
}

const std::string kInfoError = "ERROR: Korvan model partition info file ";

}  // namespace

void PrivateImpl::locateMemoryPackage() {
  auto& map = options.options;
  const auto buffer = map.find("fbs_buffer");
  if (buffer == map.end()) return;
  try {
    // A mutable pointer is taken as well; the runners read the const form.
    if (const auto* mutableData = std::any_cast<uint8_t*>(&buffer->second))
      buffer->second = static_cast<const uint8_t*>(*mutableData);
    fbsBuffer = std::any_cast<const uint8_t*>(buffer->second);
    fbsBufferSize = std::any_cast<uint64_t>(map.at("fbs_buffer_size"));
  } catch (const std::bad_any_cast&) {
    throw std::runtime_error("ERROR: Failed to cast fbs_buffer");
  } catch (const std::out_of_range&) {
    throw std::runtime_error("ERROR: Failed to cast fbs_buffer");
  }
  fbsRoot = verifyPackage(fbsBuffer, fbsBufferSize);
  fbsModel = findModel(*fbsRoot, options.modelName);

  std::string cache;
  const std::any& cacheOption = map.at("cache_dir");
  try {
    cache = std::any_cast<std::string>(cacheOption);
  } catch (const std::bad_any_cast&) {
    throw std::runtime_error("ERROR: Failed to cast cache_dir");
  }
  cacheDir = fs::absolute(cache);
  useCacheDir = true;

  if (fbsModel->custom_ops() != nullptr && fbsModel->custom_ops()->size() > 0) isCustomGraph = true;

  if (const auto* host = fbsModel->host_library()) {
    const std::string entryName = fbsModel->name() != nullptr ? fbsModel->name()->str() : "";
    const std::string fileName = host->file_name() != nullptr ? host->file_name()->str() : "";
    // The stored name becomes a path: it must name a file inside the cache.
    const fs::path relative(fileName);
    if (fileName.empty() || relative.has_parent_path() || relative.is_absolute() ||
        fileName == "." || fileName == "..")
      throw std::runtime_error("ERROR: Failed to open host binary file");
    const fs::path dir = cacheDir / entryName;
    std::error_code ec;
    if (!fs::exists(dir, ec)) fs::create_directories(dir, ec);
    const fs::path file = dir / relative;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) throw std::runtime_error("ERROR: Failed to open host binary file");
    if (const auto* bytes = host->data())
      out.write(reinterpret_cast<const char*>(bytes->data()),
                static_cast<std::streamsize>(bytes->size()));
    out.close();
    userLibPath = file.string();
  }
  if (fbsModel->partition_info() != nullptr) partitionInfoText = fbsModel->partition_info()->str();
}

void PrivateImpl::detectPackageKind() {
  const bool graphFile = canOpen(options.modelPath + "/custom_graph_metadata.json");
  if (useCacheDir) return;
  if (canOpen(options.modelPath + "/0/custom_op_metadata.json")) isCustomOp = true;
  if (graphFile) isCustomGraph = true;
}

void PrivateImpl::readPartitionInfo(KorvanIOAPI& io) {
  if (isCustomOp || isCustomGraph) {
    numPartitions = 1;
    if (const auto type = options.options.find("runner_type"); type != options.options.end())
      runnerType = std::any_cast<std::string>(type->second);
    return;
  }
  std::string text;
  if (useCacheDir) {
    text = partitionInfoText;
  } else {
    const std::string path = options.modelPath + "/partition-info.json";
    auto reader = io.open_reader(path.c_str());
    if (!reader) throw std::invalid_argument("Partition Info JSON path " + path + " not valid!");
    text = readWholeFile(*reader);
  }
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  if (doc.HasParseError())
    KORVAN_THROW("Error: failed to parse partition-info.json file - " +
                 std::string(rapidjson::GetParseError_En(doc.GetParseError())) + "\n");
  if (!doc.IsObject() || !doc.HasMember("modelname") || !doc["modelname"].IsString())
    KORVAN_THROW(kInfoError + "has no valid modelname string entry." + "\n");
  modelname = doc["modelname"].GetString();
  if (const auto type = options.options.find("runner_type"); type != options.options.end())
    runnerType = std::any_cast<std::string>(type->second);
  else if (doc.HasMember("runner_type") && doc["runner_type"].IsString())
    runnerType = doc["runner_type"].GetString();
  if (!doc.HasMember("num_kte_partitions") || !doc["num_kte_partitions"].IsInt())
    KORVAN_THROW(kInfoError + "has no valid num_kte_partitions entry." + "\n");
  const int count = doc["num_kte_partitions"].GetInt();
  if (count < 0) KORVAN_THROW(kInfoError + "has no valid num_kte_partitions entry." + "\n");
  numPartitions = static_cast<uint32_t>(count);
  if (!doc.HasMember("vistrel_profiling_enabled") || !doc["vistrel_profiling_enabled"].IsBool())
    KORVAN_THROW(kInfoError + "has no valid vistrel_profiling_enabled entry." + "\n");
  modelHasProfiling = doc["vistrel_profiling_enabled"].GetBool();
}

}  // namespace korvanrt::client
