#pragma once

// The model session: loads a compiled package, creates one runner per
// partition and offers every inference path of ImplBase.

#include <any>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvanrt/client.hpp"

namespace trelm::fbs {
struct ModelPackage;
struct ModelEntry;
}  // namespace trelm::fbs

namespace korvanrt {

class KorvanRunner;
struct timestamps;

namespace client {

// Entry points of a user model library (legacy paths and the custom-graph
// callback). Each is optional; the paths that need a missing one fail.
using UserForwardFn = float* (*)(const float*);
using UserRunFn = int32_t (*)(ModelId, const uint8_t*);
using UserArgsSizeFn = uint64_t (*)();
using UserGetArgsFn = void (*)(uint8_t*);

class PrivateImpl final : public ImplBase {
 public:
  PrivateImpl(const void* options, size_t optionsSize);
  ~PrivateImpl() override;
  PrivateImpl(const PrivateImpl&) = delete;
  PrivateImpl& operator=(const PrivateImpl&) = delete;

  // Slots of ImplBase.
  float* forward(const float* input) override;
  float* forward(uint32_t batch, const float* input) override;
  using ImplBase::forward;
  void forward(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs) override;
  void forward(std::vector<ErtIoType>& inputs, std::vector<ErtIoType>& outputs) override;
  void forward(std::vector<ErtIoTypeNew>& inputs, std::vector<ErtIoTypeNew>& outputs,
               std::vector<ErtIoTypeNew>& weights) override;
  std::vector<std::vector<uint64_t>> getOfmShapes() const override;
  void timestampStart(std::string label) override;
  void timestampEnd(std::string label) override;
  std::vector<ErtTensorType> getIOTensors(std::string which, bool fromPool) override;
  void releaseIOTensors(const std::vector<ErtTensorType>& tensors) override;
  void setVistrelProfiling() override;
  void unsetVistrelProfiling() override;
  bool good() override { return isGood; }
  void forwardErtTensor(const std::vector<ErtTensorType>& inputs,
                        std::vector<ErtTensorType>& outputs) override;
  void forwardErtTensorBatch(const std::vector<std::vector<ErtTensorType>>& inputs,
                             std::vector<std::vector<ErtTensorType>>& outputs) override;
  std::future<void> forwardAsync(const std::vector<ErtTensorType>& inputs,
                                 std::vector<ErtTensorType>& outputs) override;
  std::future<void> forwardAsync(const std::vector<std::vector<ErtTensorType>>& inputs,
                                 std::vector<std::vector<ErtTensorType>>& outputs) override;
  void waitForwardAsync(std::future<void>& future, uint64_t timeoutMs) override;

  // Waits for `future` at most `timeoutMs` milliseconds (0: poll, negative:
  // until ready) and tells how it stands.
  static std::future_status waitFor(std::future<void>& future, int64_t timeoutMs);

  std::vector<std::vector<uint64_t>> getIfmShapes() const;
  void executeRunner(std::vector<ErtTensorType> inputs, std::vector<ErtTensorType> outputs);
  // executeRunner without copying the caller's handles: the slices share the
  // caller's memory and buffers either way.
  void executeRunnerOn(const std::vector<ErtTensorType>& inputs,
                       const std::vector<ErtTensorType>& outputs);
  void executeRunnerCustOps(std::vector<OpsTensor> inputs, std::vector<OpsTensor> outputs,
                            std::vector<ErtIoTypeNew> weights);
  void executeRunnerNew(uint32_t cluster, const uint8_t* args);

  // Legacy parameter loading and argument lists.
  static void* paramLoader(uint64_t model, const std::string& name, const std::string& dataset,
                           const std::string& transform);
  static void deserializeArgs(const uint8_t* data, uint64_t size, std::vector<Tensor>& inputs,
                              std::vector<Tensor>& outputs);
  static std::vector<uint8_t> serializeArgs(const std::vector<Tensor>& inputs,
                                            const std::vector<Tensor>& outputs);

  // The process-wide registry of live sessions.
  static std::map<ModelId, PrivateImpl*>& getModelMap();
  // The live session registered under `model`; KorvanRTException when none.
  static PrivateImpl& registeredSession(ModelId model);

  ModelId modelIdentifier() const { return modelId; }
  int32_t deviceBatch() const { return deviceBatchSize; }
  const std::string& label() const { return modelLabel; }
  const std::map<ClusterId, std::shared_ptr<KorvanRunner>>& runnerMap() const { return runners; }
  bool vistrelProfilingOn() const { return vistrelProfiling; }
  const std::string& modelDirectory() const { return options.modelPath; }

 private:
  // Construction steps (session_construction.cpp, package_kinds.cpp,
  // custom_ops.cpp, runner_creation.cpp).
  void locateMemoryPackage();
  void detectPackageKind();
  void readPartitionInfo(KorvanIOAPI& io);
  void collectCustomOps(KorvanIOAPI& io);
  void assignModelId();
  void resolveUserEntryPoints();
  void resolveCustomOps();
  void createRunners(KorvanIOAPI& io);
  void createRunner(uint32_t index, KorvanIOAPI& io);
  void checkDeviceBatchDescription(uint32_t index) const;
  void registerSession();
  void unregisterSession() noexcept;
  void writeProfileSummary() noexcept;

  KorvanRunner& runnerOf(ClusterId cluster, const std::string& nullMessage) const;
  timestamps& profileRecord(const std::string& key, const std::string& label);

  Options options;
  ModelId modelId = 0;
  bool registered = false;
  UserForwardFn userForward = nullptr;
  UserRunFn userRun = nullptr;
  UserArgsSizeFn userArgsSize = nullptr;
  UserGetArgsFn userGetArgs = nullptr;
  std::vector<UserArgsSizeFn> userClusterArgsSize;
  std::map<std::string, impl::CustomOpFn> preprocessOps, postprocessOps, initWeightsOps;
  std::map<ClusterId, std::shared_ptr<KorvanRunner>> runners;
  std::unordered_map<std::string, std::unordered_map<std::string, timestamps*>> profileRecords;
  std::mutex profileMutex;
  std::string runnerType = "hw";
  bool vistrelProfiling = false;
  bool modelHasProfiling = false;
  bool isCustomOp = false;
  bool isCustomGraph = false;
  int32_t deviceBatchSize = 1;
  bool useCacheDir = false;
  const uint8_t* fbsBuffer = nullptr;
  uint64_t fbsBufferSize = 0;
  const trelm::fbs::ModelPackage* fbsRoot = nullptr;
  const trelm::fbs::ModelEntry* fbsModel = nullptr;
  std::filesystem::path cacheDir;
  std::string modelLabel;
  bool isGood = false;
  std::vector<std::string> settableOptions;

  // Loading state used between construction steps.
  std::string userLibPath;
  std::string partitionInfoText;
  std::string modelname;
  uint32_t numPartitions = 1;
  struct CustomOpEntry {
    std::string libPath, preprocess, postprocess, initializeWeights;
  };
  std::map<std::string, CustomOpEntry> customOps;
};

}  // namespace client

// Parameter arrays of the legacy user-model protocol. Reading parameter files
// is not part of the runtime: the result is always empty.
std::vector<uint16_t> h5Loader(const std::string& path, const std::string& dataset);

}  // namespace korvanrt
