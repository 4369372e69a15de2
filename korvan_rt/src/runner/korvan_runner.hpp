#pragma once

#include <any>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "korvanrt/client.hpp"
#include "model/hw_cluster_params.hpp"
#include "model/io_params.hpp"
#include "qel/qel.hpp"
#include "tensor/pipeline/conversion_context.hpp"
#include "tensor/pipeline/host_tensor.hpp"
#include "tensor/tensor_view.hpp"

namespace trelm::fbs {
struct SubPartition;
}
namespace pellix {
struct qel_context;
}

namespace korvanrt {

struct timestamps;

using OptionsMap = std::map<std::string, std::any>;
// A CPU operator of a user model library: tensors it reads, tensors it writes.
using CustomOpFunction = client::impl::CustomOpFn;
// Bfloat16 tensor view handed to the view-based device step.
using Bf16TensorView = TensorView<bf16_t>;

// Base of every runner: owns the partition description, converts the caller's
// tensors into device tensors and back, and leaves the device step to its
// subclass.
class KorvanRunner {
 public:
  // Reads the partition's "korvanrt-hsi.json" at `hsiPath` through the
  // options' "io_api" (or the local file system). `options` is not owned and
  // must outlive the runner.
  KorvanRunner(const std::string& partitionDir, const std::string& hsiPath, OptionsMap* options,
               bool profiling);
  // Parses the description embedded in an in-memory package.
  KorvanRunner(const trelm::fbs::SubPartition* subPartition, OptionsMap* options, bool profiling);
  KorvanRunner(const KorvanRunner&) = delete;
  KorvanRunner& operator=(const KorvanRunner&) = delete;

  virtual ~KorvanRunner();
  virtual void executeDevice(const std::vector<client::ErtTensorType>& inputs,
                             const std::vector<client::ErtTensorType>& outputs) = 0;
  virtual void executeDevice(const std::vector<Bf16TensorView>& inputs,
                             const std::vector<Bf16TensorView>& outputs,
                             const std::vector<Bf16TensorView>& weights) = 0;
  // The base has no device context.
  virtual pellix::qel_context* get_context() const { return nullptr; }
  virtual std::vector<qel::bo> getTensorsFromMemPool(const std::string& which);
  virtual void releaseTensorsToMemPool(const std::vector<client::ErtTensorType>& tensors);
  virtual const qel::device& getDevice() const;
  virtual const qel::hw_context& getHwContext() const;

  const HWClusterParams& getHWClusterParams() const { return *params_; }
  client::RoundingMode roundingMode() const { return roundingMode_; }
  const std::string& runnerId() const { return runnerId_; }

  // Standard path: every tensor through the conversion pipeline.
  void execute(std::vector<client::ErtTensorType>& inputs,
               std::vector<client::ErtTensorType>& outputs);
  // Custom-operator path: bfloat16 on the device side, with the session's
  // CPU operators replacing the layout conversion where they exist.
  void execute(const std::vector<client::OpsTensor>& inputs,
               const std::vector<client::OpsTensor>& outputs,
               std::vector<client::ErtIoTypeNew>& weights);

  void incr_run();

  // Conversion entry points (caller to device, device to caller).
  void preprocess_input(const HostTensor& cpuTensor, const HostTensor& deviceTensor,
                        const IOParams& entry, bool usePL, kernel_params_& params, int position);
  void postprocess_output(const HostTensor& deviceTensor, const HostTensor& cpuTensor,
                          const IOParams& entry, bool usePL, kernel_params_& params);
  // The same over tensor handles; a source already in device format is
  // copy-assigned to the destination instead.
  void preprocess_input(client::ErtTensorType& cpuTensor, client::ErtTensorType& deviceTensor,
                        const IOParams& entry, bool usePL, kernel_params_& params, int position);
  void postprocess_output(client::ErtTensorType& deviceTensor, client::ErtTensorType& cpuTensor,
                          const IOParams& entry, bool usePL, kernel_params_& params);

  // The conversion steps, each inside its profiling section when profiling
  // is on. qdq uses the description's rounding mode.
  template <typename T1, typename T2>
  void qdq(const TensorView<T1>& src, const qdq_params& params, const TensorView<T2>& dst);
  template <typename T>
  void pad(const TensorView<T>& src, const Shape& in_shape, const Shape& pad_before,
           const Shape& pad_after, const Shape& out_shape, const TensorView<T>& dst);
  template <typename T>
  void depad(const TensorView<T>& src, const Shape& in_shape, const Shape& out_shape,
             const TensorView<T>& dst);
  template <typename T>
  void reshape_and_transpose(const TensorView<T>& src, const std::vector<uint32_t>& K,
                             const std::vector<uint32_t>& perm, const TensorView<T>& dst);
  // "NCHW" float to "HCWNC4"/"HCWNC8" bfloat16 with the device extents given.
  void NCHWFp32ToHCWNCsBf16(const float* src, bf16_t* dst, size_t N, size_t C, size_t H, size_t W,
                            size_t hwN, size_t hwC, size_t hwH, size_t hwW, int block,
                            int roundingMode);

  std::map<std::string, CustomOpFunction> inputCustomOps_;
  std::map<std::string, CustomOpFunction> outputCustomOps_;

 protected:
  // Appends the device-side handle for one tensor to `list`: a copy of the
  // caller's handle when `metadata` is null (tensors already in device
  // format), otherwise a handle that shares the caller's device buffer object
  // with the new metadata and `data`, both flags cleared.
  virtual void appendDeviceTensor(std::vector<client::ErtTensorType>& list,
                                  const client::ErtTensorType& caller,
                                  const client::TensorMetadataType* metadata, void* data);
  // Metadata of a caller tensor (its implementation's copy).
  virtual const client::TensorMetadataType& callerMetadata(const client::ErtTensorType& tensor,
                                                           const char* side, size_t index) const;

  // Programmable-logic converters; without "pl_converter_fabpak_path" among
  // the options every tensor takes the CPU routes.
  void pl_init();

  std::string partitionDir_;
  std::shared_ptr<HWClusterParams> params_;
  OptionsMap* options_ = nullptr;
  bool profiling_ = false;
  std::unordered_map<std::string, timestamps*> timestamps_;
  std::string runnerId_;
  client::RoundingMode roundingMode_ = client::ROUND_NEAREST_EVEN;
  std::unordered_map<int, kernel_params_> inputPlParams_, outputPlParams_;
  std::vector<bool> inputPlEnabled_, outputPlEnabled_;
  bool plActive_ = false;
  pellix::qel_context* plContext_ = nullptr;

 private:
  void initCommon(OptionsMap* options, bool profiling);
  void applyRoundingMode();
  timestamps* profileRecord();
  void openPhase(const char* label);
  void closePhase();
  // Conversion context of one call; `recorder` receives its sections.
  ConversionContext conversionContext(std::unique_ptr<SectionRecorder>& recorder);

  // Records this runner created itself (the map only points at them).
  std::vector<std::unique_ptr<timestamps>> ownedRecords_;
};

}  // namespace korvanrt
