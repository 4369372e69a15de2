#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runner/korvan_runner.hpp"

namespace korvanrt {

class KorvanHWRunnerImpl;

// The runner that executes one partition on the device; all its state lives
// in KorvanHWRunnerImpl.
class KorvanHWRunner : public KorvanRunner {
 public:
  // From the partition's files. `txnPath` is not used: the runner finds its
  // transaction binaries in `partitionDir` itself.
  KorvanHWRunner(const std::string& hsiPath, const std::string& partitionDir,
                 const std::string& modelName, const uint32_t& partitionIndex,
                 const std::string& txnPath, const std::string& weightsPath,
                 const std::string& deviceName, bool runnerFlag, bool profiling,
                 const OptionsMap& options, std::map<std::string, CustomOpFunction>& customOps);
  // From a sub-partition of the in-memory package named by the options'
  // "fbs_buffer".
  KorvanHWRunner(const trelm::fbs::SubPartition* subPartition, const std::string& modelName,
                 const uint32_t& partitionIndex, const std::string& deviceName, bool runnerFlag,
                 bool profiling, const OptionsMap& options,
                 std::map<std::string, CustomOpFunction>& customOps);
  ~KorvanHWRunner() override;

  void executeDevice(const std::vector<client::ErtTensorType>& inputs,
                     const std::vector<client::ErtTensorType>& outputs) override;
  void executeDevice(const std::vector<Bf16TensorView>& inputs,
                     const std::vector<Bf16TensorView>& outputs,
                     const std::vector<Bf16TensorView>& weights) override;
  pellix::qel_context* get_context() const override;
  std::vector<qel::bo> getTensorsFromMemPool(const std::string& which) override;
  void releaseTensorsToMemPool(const std::vector<client::ErtTensorType>& tensors) override;
  const qel::device& getDevice() const override;
  const qel::hw_context& getHwContext() const override;

  KorvanHWRunnerImpl& impl() const { return *impl_; }

 private:
  std::shared_ptr<KorvanHWRunnerImpl> impl_;
};

}  // namespace korvanrt
