#pragma once

#include <rapidjson/document.h>

#include <any>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvanrt/client.hpp"
#include "korvanrt/io_api.hpp"
#include "model/hw_cluster_params.hpp"
#include "qel/qel.hpp"
#include "runner/korvan_runner.hpp"
#include "txn/threadsafe_queue.hpp"

namespace trelm::fbs {
struct ModelPackage;
struct SharedEntry;
}  // namespace trelm::fbs

namespace korvanrt {

class pellix_qel;
class graphs;
struct timestamps;
// Working state of one tensor-view inference (local buffer lists, chunk
// threads).
struct ViewInference;

// Hash of a list of buffer handles by their device addresses; lists compare
// equal when they hold the same buffer objects in the same order.
struct BoVectorHash {
  size_t operator()(const std::vector<qel::bo>& list) const;
};

// Everything a hardware runner holds: its shared device context, its
// transaction runtime, its device buffers per buffer set and the queues that
// hand the buffer sets to concurrent inferences.
class KorvanHWRunnerImpl {
 public:
  using TimestampsMap = std::unordered_map<std::string, timestamps*>;

  KorvanHWRunnerImpl(const HWClusterParams& params, const std::string& partitionDir,
                     const std::string& modelName, const uint32_t& partitionIndex,
                     const std::string& txnPath, const std::string& weightsPath,
                     const std::string& deviceName, bool profiling, TimestampsMap* timestampsMap,
                     bool runnerFlag, const std::string& runnerId, const OptionsMap& options,
                     const std::map<std::string, CustomOpFunction>& customOps);
  ~KorvanHWRunnerImpl();
  KorvanHWRunnerImpl(const KorvanHWRunnerImpl&) = delete;
  KorvanHWRunnerImpl& operator=(const KorvanHWRunnerImpl&) = delete;

  // Device buffer planning. `set` -1 records the table entries of every
  // buffer set; an inference passes its own set so that it never writes
  // the entries of a set another inference uses.
  void allocateWeightBOs(qel::bo& weights, std::vector<qel::bo>& weightSubs, int chunk,
                         int set = -1);
  void allocateInputOutputBOs(qel::bo& inputBo, qel::bo& outputBo, std::vector<qel::bo>& inputSubs,
                              std::vector<qel::bo>& outputSubs, int set);
  void allocateSpillBOs(std::vector<qel::bo>& spills, int set = -1);
  void assignInputOutputBOs(std::vector<qel::bo>& inputSubs, std::vector<qel::bo>& outputSubs,
                            int set, const std::vector<client::ErtTensorType>& inputs,
                            const std::vector<client::ErtTensorType>& outputs);
  std::vector<qel::bo> getTensorsFromMemPool(const std::string& kind);
  void releaseTensorsToMemPool(const std::vector<client::ErtTensorType>& tensors);

  // Kernel arguments and execution.
  void setKernelArgs(std::vector<qel::bo>& spills, std::vector<qel::bo>& inputBos,
                     std::vector<std::vector<qel::bo>>& inputSubs, std::vector<qel::bo>& outputBos,
                     std::vector<std::vector<qel::bo>>& outputSubs, qel::bo& weights,
                     std::vector<qel::bo>& weightSubs, bool patch, int set);
  void executeDevice(const std::vector<client::ErtTensorType>& inputs,
                     const std::vector<client::ErtTensorType>& outputs);
  void executeDevice(const std::vector<Bf16TensorView>& inputs,
                     const std::vector<Bf16TensorView>& outputs,
                     const std::vector<Bf16TensorView>& weights);

  // Custom-operator weights: prepares (or loads from the cache file) the
  // "weightsExtend" entries of chunk `chunk` into their sub-buffers.
  void preProcCustOpWtsBuffer(std::vector<qel::bo>& weightSubs, qel::bo& weights, int chunk);

  pellix::qel_context* context() const { return context_; }
  int numThreads() const { return numThreads_; }
  pellix_qel* transactionRuntime() const { return qel_.get(); }

  // State read by tests and by the facade.
  bool txnDevice_ = false;
  bool certDevice_ = false;
  const HWClusterParams* params_ = nullptr;
  std::string ctrlPktPath_;
  std::string ctrlPktPatchPath_;
  std::string customOpMetadataPath_;
  std::string partitionDir_;
  std::vector<std::string> extBufferPaths_;
  std::vector<std::string> txnPaths_;
  pellix::qel_context* context_ = nullptr;
  std::unique_ptr<pellix_qel> qel_;
  std::vector<std::map<std::string, uint64_t>> namedAddresses_;
  std::map<std::string, uint64_t> coalescedSpillOffsets_;
  std::vector<std::map<std::string, qel::bo>> namedBos_;
  int32_t numThreads_ = 1;
  bool runnerFlag_ = false;
  bool customGraph_ = false;
  // Written by the weight planning of concurrent inferences.
  std::atomic<bool> weightsFromFile_ = true;
  bool useHostPtr_ = false;
  bool enablePreemption_ = false;
  bool ownOutputsUsed_ = false;
  std::vector<qel::bo> spillBos_;
  std::vector<qel::bo> outputBos_;
  std::vector<std::vector<qel::bo>> outputSubBos_;
  std::vector<qel::bo> inputBos_;
  qel::bo weightsBo_;
  std::vector<qel::bo> weightSubBos_;
  std::vector<std::vector<qel::bo>> inputSubBos_;
  std::vector<uint64_t> inputPadBefore_, outputPadBefore_, inputSizes_, outputSizes_;
  TimestampsMap* timestampsMap_ = nullptr;
  std::string runnerId_;
  ThreadsafeQueue<int32_t> inputPoolQueue_, outputPoolQueue_, execQueue_;
  std::unordered_map<std::vector<qel::bo>, int32_t, BoVectorHash> inputPool_, outputPool_;
  rapidjson::Document customGraphConnectivity_;
  bool hasCustomOpMetadata_ = false;
  rapidjson::Document customOpConnectivity_;
  bool elfMode_ = false;
  std::string modelName_;
  std::unique_ptr<KorvanIOAPI> ownIoApi_;
  KorvanIOAPI* ioApi_ = nullptr;
  OptionsMap options_;
  int32_t partitionIndex_ = 0;
  uint64_t spillBytes_ = 0;
  graphs* graphs_ = nullptr;
  std::string weightsPath_;
  bool profiling_ = false;
  rapidjson::Document externalBuffers_;
  bool weightsAllocated_ = false;
  bool ioAllocated_ = false;
  bool spillAllocated_ = false;
  std::map<std::string, CustomOpFunction> customOps_;
  std::array<std::mutex, 16> chunkLocks_;
  int32_t numRunChunks_ = 1;
  std::vector<int32_t> runChunkSizes_;
  std::vector<int32_t> weightCounts_;
  bool fromPackage_ = false;
  const uint8_t* packageBuffer_ = nullptr;
  uint64_t packageSize_ = 0;
  const trelm::fbs::ModelPackage* packageRoot_ = nullptr;
  const trelm::fbs::SubPartition* subPartition_ = nullptr;
  const trelm::fbs::SharedEntry* sharedEntry_ = nullptr;
  bool dumpL3Buffers_ = false;

 private:
  // Construction steps.
  void readOptions();
  bool discoverFiles(const std::vector<std::string>& listing);
  void readCustomGraphMetadata(const std::string& path);
  void readCustomOpMetadata();
  std::map<std::string, uint32_t> qosMap() const;
  std::vector<char> containerBytes(const std::string& containerPath) const;
  void createTransactionRuntime();
  void readExternalBuffers();
  void sizeBufferSets();
  void planMemoryMode();
  void buildRunLists(bool lowMem);

  // Execution helpers.
  qel::bo resolveBuffer(const std::string& name, size_t set,
                        std::vector<std::vector<qel::bo>>& inputSubs,
                        std::vector<std::vector<qel::bo>>& outputSubs, std::vector<qel::bo>& spills,
                        std::vector<qel::bo>& weightSubs) const;
  void requireContext() const;
  // Sizes and leading padding of every input and output inside its buffer.
  void computeIoSizes();
  // Whole and per-tensor I/O buffers of buffer set `set`, recorded in its
  // tables.
  void createIoBuffers(qel::bo& inputBo, qel::bo& outputBo, std::vector<qel::bo>& inputSubs,
                       std::vector<qel::bo>& outputSubs, int set);
  // Binds one inference's tensors; `ownOutputs` tells whether any output
  // came without a buffer of its own.
  void assignTensors(std::vector<qel::bo>& inputSubs, std::vector<qel::bo>& outputSubs, int set,
                     const std::vector<client::ErtTensorType>& inputs,
                     const std::vector<client::ErtTensorType>& outputs, bool& ownOutputs);
  void runChunk(int32_t set, int32_t chunk, ViewInference& inference);
  // Throws unless `bytes` at `offset` lie inside `bo`.
  static void requireRoom(const qel::bo& bo, uint64_t bytes, uint64_t offset,
                          const std::string& what);
  // Profiling: opens interval `label` on this runner's record (when it has
  // none open) or closes it.
  void openInterval(const char* label);
  void closeInterval();
  void dumpBuffers() const;
  // "inference_summary_<model>_<partition>.json" and the process-wide event
  // log, when profiling is on.
  void writeProfiles() const;

  std::string memoryMode_ = "performance";
  std::string containerPath_;
  // Guards the runner-wide planning state that per-inference planning
  // touches (spill offsets, spill running offset).
  std::mutex planningMutex_;
  // Guards the pool maps, which the session's threads use at any time.
  std::mutex poolMutex_;
  // Guards the entries of inputSubBos_ and outputSubBos_: an inference
  // replaces its set's entries with caller buffers while the pool, which
  // hands sets out independently of the inferences, may copy them.
  mutable std::mutex setListsMutex_;
  std::mutex profilingMutex_;
  // The reader whose mapping of the weights file backs the weights buffers,
  // with the mapping and the file's size (guarded by planningMutex_).
  ReaderHandle weightsMapping_{nullptr, [](KorvanIOReader*) {}};
  void* mappedWeights_ = nullptr;
  uint64_t mappedWeightsSize_ = 0;
  // Which buffer sets the pool has lent out (a set returns once).
  std::vector<bool> inputLent_, outputLent_;
  std::vector<std::unique_ptr<timestamps>> ownedRecords_;
  // The partition's external-buffer description text (kept for parsing).
  std::string externalBufferText_;
};

}  // namespace korvanrt
