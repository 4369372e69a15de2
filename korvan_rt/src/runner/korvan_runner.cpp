#include "runner/korvan_runner.hpp"

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "core/file_io_api.hpp"
#include "korvanrt/types.hpp"
#include "profiling/timestamps.hpp"
#include "runner/device_buffer.hpp"
#include "runner/runner_profiling.hpp"
#include "tensor/pipeline/conversion.hpp"

namespace korvanrt {
namespace {

constexpr const char* kSource = "korvan_rt/src/KorvanRunner";
#define RUNNER_THROW(message) throw KorvanRTException((message), kSource, __LINE__)

std::string addressText(const void* p) {
  std::ostringstream s;
  s << p;
  return s.str();
}

uint32_t product32(const std::vector<uint32_t>& shape) {
  uint32_t n = 1;
  for (uint32_t d : shape) n *= d;
  return n;
}

bool supportedInputPair(client::DataType cpu, client::DataType dev) {
  using namespace client;
  return (cpu == FP32 && (dev == INT8 || dev == INT16 || dev == BF16)) ||
         (cpu == INT8 && dev == INT8) || (cpu == INT16 && dev == INT16) ||
         (cpu == BF16 && dev == BF16) || (cpu == BOOL && dev == INT8);
}

bool supportedOutputPair(client::DataType dev, client::DataType cpu) {
  using namespace client;
  return (dev == BF16 && (cpu == FP32 || cpu == BF16)) ||
         (dev == INT8 && (cpu == INT8 || cpu == FP32 || cpu == BOOL)) ||
         (dev == INT16 && (cpu == INT16 || cpu == FP32));
}

// Description of the device-side tensor of an entry: "hw_shape" in the
// element type "hw_dtype", sized for its device buffer.
client::TensorMetadataType deviceMetadata(const IOParams& entry) {
  const std::string hwDtype = entry.hwDtype();
  const TensorDims hw = entry.hwShape();
  uint64_t n = 1;
  for (uint32_t d : hw.dims()) n *= d;
  uint64_t elementBytes = 0;
  if (hwDtype == "bf16" || hwDtype == "fp16" || hwDtype == "int16") {
    elementBytes = 2;
  } else if (hwDtype == "int8" || hwDtype == "uint8" || hwDtype == "bool") {
    elementBytes = 1;
  } else {
    RUNNER_THROW("Tensor " + entry.name() + ": hw_dtype \"" + hwDtype +
                 "\" has no device buffer format");
  }
  client::TensorMetadataType meta;
  meta.name = entry.name();
  meta.size = n * elementBytes;
  meta.dtype = stringToDataType(hwDtype);
  meta.shape = hw.dims();
  return meta;
}

HostTensor hostTensorOf(void* data, const client::TensorMetadataType& metadata) {
  return HostTensor{data, metadata.dtype, toShape(metadata.shape)};
}

}  // namespace

KorvanRunner::KorvanRunner(const std::string& partitionDir, const std::string& hsiPath,
                           OptionsMap* options, bool profiling)
    : partitionDir_(partitionDir) {
  initCommon(options, profiling);
  std::unique_ptr<IOAPI> defaultApi;
  KorvanIOAPI* api = nullptr;
  if (options_ != nullptr && options_->count("io_api") != 0) {
    api = std::any_cast<KorvanIOAPI*>(options_->at("io_api"));
  } else {
    defaultApi = std::make_unique<IOAPI>();
    api = defaultApi.get();
  }
  auto reader = api->open_reader(hsiPath.c_str());
  params_ = std::make_shared<HWClusterParams>(reader.get(), profiling_);
  applyRoundingMode();
  pl_init();
}

KorvanRunner::KorvanRunner(const trelm::fbs::SubPartition* subPartition, OptionsMap* options,
                           bool profiling) {
  initCommon(options, profiling);
  params_ = std::make_shared<HWClusterParams>(subPartition, profiling_);
  applyRoundingMode();
  pl_init();
}

KorvanRunner::~KorvanRunner() = default;

void KorvanRunner::initCommon(OptionsMap* options, bool profiling) {
  options_ = options;
  profiling_ = profiling;
  runnerId_ = addressText(static_cast<const void*>(this));
}

void KorvanRunner::applyRoundingMode() {
  roundingMode_ = client::ROUND_NEAREST_EVEN;
  if (options_ != nullptr && options_->count("rounding_mode") != 0) {
    const auto value = std::any_cast<std::string>(options_->at("rounding_mode"));
    if (value == "round-to-nearest-even") {
      roundingMode_ = client::ROUND_NEAREST_EVEN;
    } else if (value == "truncate") {
      roundingMode_ = client::TRUNCATE;
    } else {
      throw std::invalid_argument("Invalid rounding mode '" + value +
                                  "', choose from 'round-to-nearest-even' or 'truncate'");
    }
  }
  params_->setRoundingMode(roundingMode_);
}

void KorvanRunner::pl_init() {
  // The programmable-logic converters need their own configuration container;
  // without one every tensor takes the CPU routes.
  plActive_ = false;
  inputPlEnabled_.assign(params_->numInputs(), false);
  outputPlEnabled_.assign(params_->numOutputs(), false);
}

std::vector<qel::bo> KorvanRunner::getTensorsFromMemPool(const std::string&) {
  return {};
}

void KorvanRunner::releaseTensorsToMemPool(const std::vector<client::ErtTensorType>&) {}

const qel::device& KorvanRunner::getDevice() const {
  throw std::runtime_error("Device not available in base KorvanRunner implementation");
}

const qel::hw_context& KorvanRunner::getHwContext() const {
  throw std::runtime_error("HW Context not available in base KorvanRunner implementation");
}

timestamps* KorvanRunner::profileRecord() {
  auto found = timestamps_.find(runnerId_);
  if (found != timestamps_.end() && found->second != nullptr) return found->second;
  ownedRecords_.push_back(std::make_unique<timestamps>());
  timestamps_[runnerId_] = ownedRecords_.back().get();
  return ownedRecords_.back().get();
}

void KorvanRunner::openPhase(const char* label) {
  if (!profiling_) return;
  timestamps* record = profileRecord();
  if (record->label_.empty()) {
    record->label_ = label;
    record->start_ = timestamps::clock::now();
  }
}

void KorvanRunner::closePhase() {
  if (profiling_) profileRecord()->end();
}

ConversionContext KorvanRunner::conversionContext(std::unique_ptr<SectionRecorder>& recorder) {
  if (profiling_) recorder = std::make_unique<TimestampSections>(*profileRecord());
  return ConversionContext{static_cast<int>(params_->roundingMode()), recorder.get()};
}

void KorvanRunner::incr_run() {
  ++timestamps_.at(runnerId_)->count_;
}

void KorvanRunner::preprocess_input(const HostTensor& cpuTensor, const HostTensor& deviceTensor,
                                    const IOParams& entry, bool usePL, kernel_params_& params,
                                    int position) {
  std::unique_ptr<SectionRecorder> recorder;
  const ConversionContext ctx = conversionContext(recorder);
  preprocessInput(ctx, cpuTensor, deviceTensor, entry, usePL, params, position);
}

void KorvanRunner::postprocess_output(const HostTensor& deviceTensor, const HostTensor& cpuTensor,
                                      const IOParams& entry, bool usePL, kernel_params_& params) {
  std::unique_ptr<SectionRecorder> recorder;
  const ConversionContext ctx = conversionContext(recorder);
  postprocessOutput(ctx, deviceTensor, cpuTensor, entry, usePL, params);
}

void KorvanRunner::preprocess_input(client::ErtTensorType& cpuTensor,
                                    client::ErtTensorType& deviceTensor, const IOParams& entry,
                                    bool usePL, kernel_params_& params, int position) {
  if (cpuTensor.isHwFormat) {
    deviceTensor = cpuTensor;
    return;
  }
  const auto& from = callerMetadata(cpuTensor, "Input", static_cast<size_t>(position));
  const auto& to = callerMetadata(deviceTensor, "Device input", static_cast<size_t>(position));
  preprocess_input(hostTensorOf(cpuTensor.data, from), hostTensorOf(deviceTensor.data, to), entry,
                   usePL, params, position);
}

void KorvanRunner::postprocess_output(client::ErtTensorType& deviceTensor,
                                      client::ErtTensorType& cpuTensor, const IOParams& entry,
                                      bool usePL, kernel_params_& params) {
  if (deviceTensor.isHwFormat) {
    cpuTensor = deviceTensor;
    return;
  }
  const auto& from = callerMetadata(deviceTensor, "Device output", 0);
  const auto& to = callerMetadata(cpuTensor, "Output", 0);
  postprocess_output(hostTensorOf(deviceTensor.data, from), hostTensorOf(cpuTensor.data, to), entry,
                     usePL, params);
}

const client::TensorMetadataType& KorvanRunner::callerMetadata(const client::ErtTensorType& tensor,
                                                               const char* side,
                                                               size_t index) const {
  if (tensor.impl == nullptr)
    RUNNER_THROW(std::string(side) + " " + std::to_string(index) + " has no tensor description");
  return tensor.impl->getMetadata();
}

void KorvanRunner::appendDeviceTensor(std::vector<client::ErtTensorType>& list,
                                      const client::ErtTensorType& caller,
                                      const client::TensorMetadataType* metadata, void* data) {
  if (metadata == nullptr) {
    list.emplace_back(caller);
    return;
  }
  list.emplace_back(caller, *metadata);
  list.back().data = data;
  list.back().hasBo = false;
  list.back().isHwFormat = false;
}

void KorvanRunner::execute(std::vector<client::ErtTensorType>& inputs,
                           std::vector<client::ErtTensorType>& outputs) {
  const HWClusterParams& params = *params_;
  if (inputs.size() != params.numInputs())
    RUNNER_THROW("Received " + std::to_string(inputs.size()) + " inputs, expected " +
                 std::to_string(params.numInputs()));
  if (outputs.size() != params.numOutputs())
    RUNNER_THROW("Received " + std::to_string(outputs.size()) + " outputs, expected " +
                 std::to_string(params.numOutputs()));

  auto section = [&](const std::string& label, auto&& work) {
    if (!profiling_) {
      work();
      return;
    }
    timestamps* record = profileRecord();
    record->start_section(label);
    work();
    record->accum_section(label);
  };

  openPhase("Input Quantization and Transformation");
  std::vector<DeviceBuffer> buffers;
  buffers.reserve(inputs.size() + outputs.size());
  std::vector<client::ErtTensorType> deviceInputs, deviceOutputs;
  deviceInputs.reserve(inputs.size());
  deviceOutputs.reserve(outputs.size());
  std::vector<client::TensorMetadataType> inputMeta(inputs.size()), outputMeta(outputs.size());

  for (size_t i = 0; i < inputs.size(); ++i) {
    const IOParams entry = params.getInput(i);
    const TensorDims cpu = entry.cpuShape(), hw = entry.hwShape();
    const auto& meta = callerMetadata(inputs[i], "Input", i);
    const uint32_t e = product32(meta.shape);
    const uint32_t expected = inputs[i].isHwFormat ? hw.size() : cpu.size();
    if (e != expected)
      RUNNER_THROW("Input " + std::to_string(i) + " number of elements mismatch: received " +
                   std::to_string(e) + " expected " + std::to_string(expected));
    if (inputs[i].isHwFormat) {
      appendDeviceTensor(deviceInputs, inputs[i], nullptr, nullptr);
      continue;
    }
    bool usePL = false;
    kernel_params_ plParams;
    section("Init input " + std::to_string(i), [&] {
      inputMeta[i] = deviceMetadata(entry);
      if (!supportedInputPair(meta.dtype, inputMeta[i].dtype))
        RUNNER_THROW("Input " + std::to_string(i) + ": no conversion from " +
                     client::toString(meta.dtype) + " to " + client::toString(inputMeta[i].dtype));
      buffers.emplace_back(inputMeta[i].size);
      appendDeviceTensor(deviceInputs, inputs[i], &inputMeta[i], buffers.back().data());
      const auto pl = inputPlParams_.find(static_cast<int>(i));
      if (pl != inputPlParams_.end() && i < inputPlEnabled_.size() && inputPlEnabled_[i]) {
        usePL = true;
        plParams = pl->second;
      }
    });
    preprocess_input(hostTensorOf(inputs[i].data, meta),
                     hostTensorOf(deviceInputs.back().data, inputMeta[i]), entry, usePL, plParams,
                     static_cast<int>(i));
  }

  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].isHwFormat) {
      appendDeviceTensor(deviceOutputs, outputs[i], nullptr, nullptr);
      continue;
    }
    section("Init output " + std::to_string(i), [&] {
      outputMeta[i] = deviceMetadata(params.getOutput(i));
      buffers.emplace_back(outputMeta[i].size);
      appendDeviceTensor(deviceOutputs, outputs[i], &outputMeta[i], buffers.back().data());
    });
  }

  closePhase();
  executeDevice(deviceInputs, deviceOutputs);
  openPhase("Output DeQuantization and Transformation");

  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].isHwFormat) continue;
    section("Postprocess output " + std::to_string(i), [&] {
      bool usePL = false;
      kernel_params_ plParams;
      const auto pl = outputPlParams_.find(static_cast<int>(i));
      if (pl != outputPlParams_.end() && i < outputPlEnabled_.size() && outputPlEnabled_[i]) {
        usePL = true;
        plParams = pl->second;
      }
      const auto& meta = callerMetadata(outputs[i], "Output", i);
      if (!supportedOutputPair(outputMeta[i].dtype, meta.dtype))
        throw std::invalid_argument(
            "Invalid input/output type combination for output processing: "
            ". Please check tensor type compatibility.");
      postprocess_output(hostTensorOf(deviceOutputs[i].data, outputMeta[i]),
                         hostTensorOf(outputs[i].data, meta), params.getOutput(i), usePL, plParams);
    });
  }

  closePhase();
  openPhase("Object Destruction");
  deviceInputs.clear();
  deviceOutputs.clear();
  buffers.clear();
  closePhase();
  if (profiling_) incr_run();
}

}  // namespace korvanrt
