// One runner per partition, of the kind the session's runner type names.

#include <rapidjson/document.h>

#include <cstdlib>

#include "core/error.hpp"
#include "core/file_io_api.hpp"
#include "hw_runner/korvan_hw_runner.hpp"
#include "model/package.hpp"
#include "package_generated.h"
#include "qel/qel.hpp"
#include "runner/korvan_runner.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

// Where partition `index` of a package keeps its files.
struct PartitionPaths {
  std::string hsi, dir, txn, weights;
};

PartitionPaths partitionPaths(const std::string& modelPath, uint32_t index, bool customOp,
                              bool customGraph) {
  PartitionPaths p;
  if (customGraph) {
    p.hsi = modelPath + "/custom_graph_metadata.json";
    p.dir = modelPath;
    p.txn = modelPath + "/0/ml_txn.bin";
    p.weights = modelPath + "/0/wts32.bin";
  } else if (customOp) {
    p.dir = modelPath + "/0";
    p.hsi = p.dir + "/korvanrt-hsi.json";
    p.txn = p.dir + "/ml_txn.bin";
    p.weights = p.dir + "/wts32.bin";
  } else {
    p.dir = modelPath + "/" + std::to_string(index);
    p.hsi = p.dir + "/korvanrt-hsi.json";
    p.txn = p.dir + "/ucode.bin";
    p.weights = p.dir + "/wts32.bin";
  }
  return p;
}

std::string lastComponent(const std::string& path) {
  std::filesystem::path p(path);
  if (!p.has_filename()) p = p.parent_path();
  return p.filename().string();
}

}  // namespace

void PrivateImpl::createRunners(KorvanIOAPI& io) {
  for (uint32_t i = 0; i < numPartitions; ++i) createRunner(i, io);
  // Inferences run on partition 0 with the device batch read last.
  if (runners.count(0) != 0) checkDeviceBatchDescription(0);
}

void PrivateImpl::createRunner(uint32_t index, KorvanIOAPI& io) {
  const PartitionPaths paths = partitionPaths(options.modelPath, index, isCustomOp, isCustomGraph);
  const trelm::fbs::SubPartition* sub = useCacheDir ? &subPartitionAt(*fbsModel, index) : nullptr;

  // The description's device batch size. A description that cannot be read
  // here is left to the runner, which reports it.
  std::string text;
  bool haveText = false;
  if (sub != nullptr) {
    text = std::string(hsiText(*sub));
    haveText = true;
  } else if (auto reader = io.open_reader(paths.hsi.c_str())) {
    text = readWholeFile(*reader);
    haveText = true;
  }
  if (haveText) {
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    if (doc.HasParseError()) KORVAN_THROW("Error: failed to parse JSON file " + paths.hsi + "\n");
    if (doc.IsObject() && doc.HasMember("device_batch_size") && doc["device_batch_size"].IsInt()) {
      deviceBatchSize = doc["device_batch_size"].GetInt();
      // Batches are split into runs of this many slices.
      if (deviceBatchSize < 1)
        KORVAN_THROW("ERROR: device_batch_size " + std::to_string(deviceBatchSize) + " in " +
                     paths.hsi + " must be at least 1");
    }
  }

  modelLabel = modelname.empty() ? lastComponent(options.modelPath) : modelname;
  if (modelLabel.empty()) modelLabel = options.modelName;

  std::shared_ptr<KorvanRunner> runner;
  if (runnerType == "ktesim") {
    if (isCustomOp || isCustomGraph)
      KORVAN_THROW(std::string("Error: KTE Simulation not supported for custom Ops/Graph flow") +
                   "\n");
    KORVAN_THROW("Runner type ktesim is not available in this build");
  } else if (runnerType == "tvg_mlir" || runnerType == "tvg_be") {
    if (std::getenv("VIRTUAL_ENV") == nullptr && std::getenv("CONDA_PREFIX") == nullptr)
      KORVAN_THROW("CONDA_PREFIX or VIRTUAL_ENV required for end2end TVG run is not set.");
    KORVAN_THROW("Runner type " + runnerType + " is not available in this build");
  } else {
    if (vistrelProfiling) qel::ini::set("Debug.ml_timeline", "true");
    try {
      if (sub != nullptr)
        runner = std::make_shared<KorvanHWRunner>(sub, modelLabel, index, options.deviceName,
                                                  options.runnerFlag, vistrelProfiling,
                                                  options.options, initWeightsOps);
      else
        runner = std::make_shared<KorvanHWRunner>(
            paths.hsi, paths.dir, modelLabel, index, paths.txn, paths.weights, options.deviceName,
            options.runnerFlag, vistrelProfiling, options.options, initWeightsOps);
    } catch (const std::exception& e) {
      KORVAN_THROW("ERROR during KorvanHWRunner creation: " + std::string(e.what()));
    }
  }
  runners[index] = runner;
  if (isCustomOp || isCustomGraph) {
    for (const auto& [name, fn] : preprocessOps) runner->inputCustomOps_[name] = fn;
    for (const auto& [name, fn] : postprocessOps) runner->outputCustomOps_[name] = fn;
  }
}

// With a device batch of D, every run hands the runner D sub-tensors per
// caller tensor, grouped by tensor. The description must list its tensors in
// groups of D entries of one size so that the runner's counts and element
// checks can agree with that.
void PrivateImpl::checkDeviceBatchDescription(uint32_t index) const {
  const int32_t d = deviceBatchSize;
  if (d <= 1) return;
  const HWClusterParams& params = runners.at(index)->getHWClusterParams();
  auto reject = [&](const std::string& why) {
    KORVAN_THROW("ERROR: korvanrt-hsi.json with device_batch_size " + std::to_string(d) +
                 " cannot be run: " + why);
  };
  const uint32_t ud = static_cast<uint32_t>(d);
  if (params.numInputs() % ud != 0 || params.numOutputs() % ud != 0)
    reject("it lists " + std::to_string(params.numInputs()) + " inputs and " +
           std::to_string(params.numOutputs()) + " outputs, not a multiple of the device batch");
  auto sameGroups = [&](uint32_t count, bool input) {
    for (uint32_t g = 0; g < count / ud; ++g) {
      const IOParams first = input ? params.getInput(g * ud) : params.getOutput(g * ud);
      for (uint32_t j = 1; j < ud; ++j) {
        const IOParams other = input ? params.getInput(g * ud + j) : params.getOutput(g * ud + j);
        if (other.cpuShape().dims() != first.cpuShape().dims() ||
            other.hwShape().dims() != first.hwShape().dims() ||
            other.cpuDtype() != first.cpuDtype())
          reject(std::string(input ? "input " : "output ") + std::to_string(g * ud + j) +
                 " differs from " + std::to_string(g * ud) + " of its group");
      }
    }
  };
  sameGroups(params.numInputs(), true);
  sameGroups(params.numOutputs(), false);
}

}  // namespace korvanrt::client
