#include <rapidjson/document.h>

#include <cstring>
#include <stdexcept>

#include "core/data_types.hpp"
#include "korvanrt/types.hpp"
#include "profiling/timestamps.hpp"
#include "runner/korvan_runner.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {
namespace {

constexpr const char* kSource = "korvan_rt/src/KorvanRunner";
#define RUNNER_THROW(message) throw KorvanRTException((message), kSource, __LINE__)

using Buffer16 = std::vector<bf16_t, aligned_4k_allocator<bf16_t>>;

std::string opNameOf(const IOParams& entry) {
  const rapidjson::Value* e = entry.entry();
  if (e != nullptr && e->IsObject()) {
    const auto found = e->FindMember("op_name");
    if (found != e->MemberEnd() && found->value.IsString()) return found->value.GetString();
  }
  return "UNKNOWN";
}

Shape shapeOf(const std::vector<uint64_t>& dims) {
  return Shape(dims.begin(), dims.end());
}

bool isBf16Text(const std::string& dtype) {
  return dtype == "bf16" || dtype == "bfloat16_t";
}

// Element size of a caller's type text; 0 for texts the runtime does not know.
size_t callerElementSize(const std::string& dtype) {
  try {
    return datatypeToSize(dtype);
  } catch (const std::invalid_argument&) {
    return 0;
  }
}

}  // namespace

void KorvanRunner::execute(const std::vector<client::OpsTensor>& inputs,
                           const std::vector<client::OpsTensor>& outputs,
                           std::vector<client::ErtIoTypeNew>& weights) {
  const HWClusterParams& params = *params_;
  if (inputs.size() != params.numInputs())
    RUNNER_THROW("Received " + std::to_string(inputs.size()) + " inputs, expected " +
                 std::to_string(params.numInputs()));
  if (outputs.size() != params.numOutputs())
    RUNNER_THROW("Received " + std::to_string(outputs.size()) + " outputs, expected " +
                 std::to_string(params.numOutputs()));
  if (weights.size() != params.numWeights())
    RUNNER_THROW("Received " + std::to_string(weights.size()) + " weights, expected " +
                 std::to_string(params.numWeights()));

  openPhase("Input Quantization and Transformation");
  std::vector<Buffer16> staged(inputs.size());
  for (size_t j = 0; j < inputs.size(); ++j) {
    const client::OpsTensor& in = inputs[j];
    if (in.shape.empty())
      RUNNER_THROW("    Invalid input tensor shape. Input tensor shape is empty ");
    const size_t n = shapeSize(shapeOf(in.shape));
    staged[j].assign(n, 0);
    const IOParams entry = params.getInput(j);
    if (isBf16Text(in.dtype)) {
      // Already bfloat16: the caller's values are what the device receives.
      std::memcpy(staged[j].data(), in.data, n * sizeof(bf16_t));
    } else if (entry.hwDtype() == "bf16" && callerElementSize(in.dtype) == sizeof(float)) {
      float_to_bfloat16_avx512_unrolled(static_cast<const float*>(in.data), staged[j].data(), n,
                                        static_cast<int>(roundingMode_));
    } else {
      RUNNER_THROW("    Currently only support bfloat16 datatype ");
    }
  }

  std::vector<Buffer16> converted(inputs.size());
  std::vector<Bf16TensorView> deviceInputs;
  for (size_t k = 0; k < inputs.size(); ++k) {
    const IOParams entry = params.getInput(k);
    const auto op = inputCustomOps_.find(opNameOf(entry));
    if (op == inputCustomOps_.end()) {
      deviceInputs.emplace_back(staged[k].data(), shapeOf(inputs[k].shape));
      continue;
    }
    const auto hwDims = entry.hwShape().dims();
    const Shape hwShape = toShape(hwDims);
    converted[k].assign(shapeSize(hwShape), 0);
    std::vector<client::OpsTensor> reads(1), writes(1);
    reads[0].data = staged[k].data();
    reads[0].shape = inputs[k].shape;
    reads[0].dtype = inputs[k].dtype;
    writes[0].data = converted[k].data();
    writes[0].shape.assign(hwDims.begin(), hwDims.end());
    writes[0].dtype = inputs[k].dtype;
    op->second(reads, writes);
    deviceInputs.emplace_back(converted[k].data(), hwShape);
  }

  std::vector<Buffer16> deviceOut(outputs.size());
  std::vector<Bf16TensorView> deviceOutputs;
  for (size_t j = 0; j < outputs.size(); ++j) {
    const Shape hwShape = toShape(params.getOutput(j).hwShape().dims());
    deviceOut[j].assign(shapeSize(hwShape), 0);
    deviceOutputs.emplace_back(deviceOut[j].data(), hwShape);
  }

  closePhase();
  executeDevice(deviceInputs, deviceOutputs, {});
  openPhase("Output DeQuantization and Transformation");

  std::vector<Buffer16> results(outputs.size());
  for (size_t j = 0; j < outputs.size(); ++j) {
    const IOParams entry = params.getOutput(j);
    const Shape callerShape = shapeOf(outputs[j].shape);
    results[j].assign(shapeSize(callerShape), 0);
    const auto op = outputCustomOps_.find(opNameOf(entry));
    if (op == outputCustomOps_.end()) {
      if (deviceOut[j].size() != results[j].size())
        throw std::runtime_error("xbuffer_storage not resizable");
      std::memcpy(results[j].data(), deviceOut[j].data(), results[j].size() * sizeof(bf16_t));
      continue;
    }
    const auto hwDims = entry.hwShape().dims();
    std::vector<client::OpsTensor> reads(1), writes(1);
    reads[0].data = deviceOut[j].data();
    reads[0].shape.assign(hwDims.begin(), hwDims.end());
    reads[0].dtype = outputs[j].dtype;
    writes[0].data = results[j].data();
    writes[0].shape = outputs[j].shape;
    writes[0].dtype = outputs[j].dtype;
    op->second(reads, writes);
  }

  for (size_t k = 0; k < outputs.size(); ++k) {
    const client::OpsTensor& out = outputs[k];
    if (out.shape.empty())
      RUNNER_THROW("    Invalid output tensor shape. Output tensor shape is empty ");
    const size_t n = results[k].size();
    if (isBf16Text(out.dtype)) {
      std::memcpy(out.data, results[k].data(), n * sizeof(bf16_t));
    } else if (params.getOutput(k).hwDtype() == "bf16" &&
               callerElementSize(out.dtype) == sizeof(float)) {
      float* to = static_cast<float*>(out.data);
      for (size_t i = 0; i < n; ++i) to[i] = bf16ToFloat(results[k][i]);
    } else {
      RUNNER_THROW("    Currently only support bfloat16 datatype ");
    }
  }

  closePhase();
  if (profiling_) incr_run();
}

}  // namespace korvanrt
