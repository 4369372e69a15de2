#include "hw_runner/korvan_hw_runner.hpp"

#include "device/qel_context.hpp"
#include "hw_runner/hw_error.hpp"
#include "hw_runner/hw_runner_impl.hpp"

namespace korvanrt {

// The base keeps a non-owning pointer to the options and only reads them.
KorvanHWRunner::KorvanHWRunner(const std::string& hsiPath, const std::string& partitionDir,
                               const std::string& modelName, const uint32_t& partitionIndex,
                               const std::string& txnPath, const std::string& weightsPath,
                               const std::string& deviceName, bool runnerFlag, bool profiling,
                               const OptionsMap& options,
                               std::map<std::string, CustomOpFunction>& customOps)
    : KorvanRunner(partitionDir, hsiPath, const_cast<OptionsMap*>(&options), profiling) {
  impl_ = std::make_shared<KorvanHWRunnerImpl>(
      *params_, partitionDir, modelName, partitionIndex, txnPath, weightsPath, deviceName,
      profiling, &timestamps_, runnerFlag, runnerId_, options, customOps);
}

KorvanHWRunner::KorvanHWRunner(const trelm::fbs::SubPartition* subPartition,
                               const std::string& modelName, const uint32_t& partitionIndex,
                               const std::string& deviceName, bool runnerFlag, bool profiling,
                               const OptionsMap& options,
                               std::map<std::string, CustomOpFunction>& customOps)
    : KorvanRunner(subPartition, const_cast<OptionsMap*>(&options), profiling) {
  impl_ = std::make_shared<KorvanHWRunnerImpl>(*params_, ".", modelName, partitionIndex, "", "",
                                               deviceName, profiling, &timestamps_, runnerFlag,
                                               runnerId_, options, customOps);
}

KorvanHWRunner::~KorvanHWRunner() {
  impl_.reset();
}

void KorvanHWRunner::executeDevice(const std::vector<client::ErtTensorType>& inputs,
                                   const std::vector<client::ErtTensorType>& outputs) {
  impl_->executeDevice(inputs, outputs);
}

void KorvanHWRunner::executeDevice(const std::vector<Bf16TensorView>& inputs,
                                   const std::vector<Bf16TensorView>& outputs,
                                   const std::vector<Bf16TensorView>& weights) {
  impl_->executeDevice(inputs, outputs, weights);
}

pellix::qel_context* KorvanHWRunner::get_context() const {
  return impl_->context();
}

std::vector<qel::bo> KorvanHWRunner::getTensorsFromMemPool(const std::string& which) {
  return impl_->getTensorsFromMemPool(which);
}

void KorvanHWRunner::releaseTensorsToMemPool(const std::vector<client::ErtTensorType>& tensors) {
  impl_->releaseTensorsToMemPool(tensors);
}

const qel::device& KorvanHWRunner::getDevice() const {
  if (impl_->context() == nullptr) HW_THROW("context not initialized");
  return impl_->context()->device;
}

const qel::hw_context& KorvanHWRunner::getHwContext() const {
  if (impl_->context() == nullptr) HW_THROW("context not initialized");
  return impl_->context()->hw_context;
}

}  // namespace korvanrt
