// executeRunner: splits the caller's batch into slices of the model's own
// batch and hands them to partition 0's runner, D slices per run. Slices
// re-describe the caller's memory and device buffers; nothing is copied.

#include <stdexcept>

#include "core/error.hpp"
#include "runner/korvan_runner.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

uint64_t sliceElementSize(DataType type) {
  switch (type) {
    case INT8:
    case UINT8:
    case BOOL:
      return 1;
    case INT16:
    case UINT16:
    case BF16:
    case FP16:
      return 2;
    case FP32:
      return 4;
  }
  throw std::runtime_error("Unsupported dtype: " + toString(type));
}

uint64_t product(const std::vector<uint32_t>& dims) {
  uint64_t n = 1;
  for (const auto d : dims) n *= d;
  return n;
}

// How one caller tensor is cut into slices.
struct SlicePlan {
  std::vector<uint32_t> shape;  // of one slice, from the description
  uint64_t bytes = 0;           // of one slice
};

SlicePlan planSlices(const ErtTensorType& tensor, const IOParams& entry, uint64_t slices,
                     const char* side, size_t index) {
  if (tensor.impl == nullptr)
    KORVAN_THROW(std::string(side) + " " + std::to_string(index) + " has no tensor description");
  const auto& meta = tensor.impl->getMetadata();
  SlicePlan plan;
  plan.shape = (tensor.isHwFormat ? entry.hwShape() : entry.cpuShape()).dims();
  const uint64_t elements = product(plan.shape);
  plan.bytes = elements * sliceElementSize(meta.dtype);
  // The caller's tensor must hold every slice the runs will read or write.
  const uint64_t given = product(meta.shape);
  if (given != slices * elements)
    KORVAN_THROW(std::string(side) + " " + std::to_string(index) +
                 " number of elements mismatch: received " + std::to_string(given) + " expected " +
                 std::to_string(slices * elements));
  return plan;
}

// Appends the handle of one slice of `tensor` to `list`: the slice's
// description, the caller's flags and device buffer, `data` and `offset`
// moved to the slice. Built in place: copying a handle creates another
// implementation.
ErtTensorType& appendSlice(std::vector<ErtTensorType>& list, const ErtTensorType& tensor,
                           const SlicePlan& plan, void* data, int32_t index, uint64_t offset) {
  TensorMetadataType meta = tensor.impl->getMetadata();
  meta.shape = plan.shape;
  meta.size = plan.bytes;
  ErtTensorType& sub = list.emplace_back();
  sub.data = data;
  sub.index = index;
  sub.offset = offset;
  sub.hasBo = tensor.hasBo;
  sub.isHwFormat = tensor.isHwFormat;
  sub.libPath = tensor.libPath;
  sub.impl = ErtTensorType::createImpl(sub.libPath, meta);
  sub.impl->setBo(tensor.impl->getBo());
  return sub;
}

}  // namespace

void PrivateImpl::executeRunnerOn(const std::vector<ErtTensorType>& inputs,
                                  const std::vector<ErtTensorType>& outputs) {
  timestampStart("ExecuteRunner preparation");
  const auto& runner = runners.at(0);
  if (runner == nullptr)
    throw std::runtime_error("ERROR: " + options.modelName +
                             " HW runner not initialized properly, cannot continue!");
  const HWClusterParams& params = runner->getHWClusterParams();
  const uint64_t D = static_cast<uint64_t>(deviceBatchSize);

  // Counts that cannot match the description are the runner's to report.
  if (inputs.size() * D != params.numInputs() || outputs.size() * D != params.numOutputs()) {
    if (D > 1)
      KORVAN_THROW("ERROR: device_batch_size " + std::to_string(D) + " needs " +
                   std::to_string(params.numInputs() / D) + " inputs and " +
                   std::to_string(params.numOutputs() / D) + " outputs, received " +
                   std::to_string(inputs.size()) + " inputs and " + std::to_string(outputs.size()) +
                   " outputs");
    timestampEnd("ExecuteRunner preparation");
    std::vector<ErtTensorType> ins(inputs), outs(outputs);
    runner->execute(ins, outs);
    return;
  }

  uint64_t d = 1;
  if (params.numInputs() > 0) {
    if (inputs[0].impl == nullptr) KORVAN_THROW("Input 0 has no tensor description");
    const IOParams first = params.getInput(0);
    const TensorDims shape = inputs[0].isHwFormat ? first.hwShape() : first.cpuShape();
    const auto& dims = shape.dims();
    const uint64_t modelBatch = dims.empty() ? 1 : dims[0];
    const auto& userShape = inputs[0].impl->getMetadata().shape;
    const uint64_t u = userShape.empty() ? 1 : userShape[0];
    if (modelBatch == 0 || u % modelBatch != 0)
      throw std::runtime_error("ERROR: Input tensor " + std::string("0") + " size " +
                               std::to_string(u) + " from user is not multiple of the size " +
                               std::to_string(modelBatch) + " in korvanrt-hsi.json");
    d = u / modelBatch;
  }

  // Slice i of the caller's tensors is described by the first entry of its
  // group of D description entries.
  std::vector<SlicePlan> inPlans, outPlans;
  inPlans.reserve(inputs.size());
  outPlans.reserve(outputs.size());
  for (size_t i = 0; i < inputs.size(); ++i)
    inPlans.push_back(planSlices(inputs[i], params.getInput(i * D), d, "Input", i));
  for (size_t o = 0; o < outputs.size(); ++o)
    outPlans.push_back(planSlices(outputs[o], params.getOutput(o * D), d, "Output", o));
  auto slicePointer = [d](const ErtTensorType& t, const SlicePlan& plan, uint64_t s) -> void* {
    if (d == 1 || t.data == nullptr) return t.data;
    return static_cast<uint8_t*>(t.data) + s * plan.bytes;
  };
  timestampEnd("ExecuteRunner preparation");

  const uint64_t runs = params.numInputs() > 0 ? (d + D - 1) / D : 1;
  for (uint64_t w = 0; w < runs; ++w) {
    // Labels are only worth building while their records are kept.
    const bool profiling = vistrelProfiling;
    const std::string n = profiling ? std::to_string(w) : std::string();
    if (profiling) timestampStart("ExecuteRunner preparation for iteration " + n);
    std::vector<ErtTensorType> runInputs, runOutputs;
    std::vector<std::vector<uint8_t>> padding;
    runInputs.reserve(inputs.size() * D);
    runOutputs.reserve(outputs.size() * D);
    for (size_t i = 0; i < inputs.size(); ++i) {
      for (uint64_t j = 0; j < D; ++j) {
        const uint64_t s = w * D + j;
        if (s < d)
          appendSlice(runInputs, inputs[i], inPlans[i], slicePointer(inputs[i], inPlans[i], s),
                      static_cast<int32_t>(i * d + s), inputs[i].offset + s * inPlans[i].bytes);
        else
          appendSlice(runInputs, inputs[i], inPlans[i], slicePointer(inputs[i], inPlans[i], 0),
                      inputs[i].index, inputs[i].offset);
      }
    }
    for (size_t o = 0; o < outputs.size(); ++o) {
      for (uint64_t j = 0; j < D; ++j) {
        const uint64_t s = w * D + j;
        if (s < d) {
          appendSlice(runOutputs, outputs[o], outPlans[o], slicePointer(outputs[o], outPlans[o], s),
                      static_cast<int32_t>(o * d + s), outputs[o].offset + s * outPlans[o].bytes);
        } else {
          // A slice past the caller's batch: the device writes into a
          // scratch buffer of its own, never into the caller's buffers.
          padding.emplace_back(outPlans[o].bytes, 0);
          ErtTensorType& pad =
              appendSlice(runOutputs, outputs[o], outPlans[o], padding.back().data(),
                          outputs[o].index, outputs[o].offset);
          pad.hasBo = false;
          pad.impl->setBo(qel::bo());
        }
      }
    }
    if (profiling) {
      timestampEnd("ExecuteRunner preparation for iteration " + n);
      timestampStart("ExecuteRunner execution for iteration " + n);
    }
    runner->execute(runInputs, runOutputs);
    if (profiling) timestampEnd("ExecuteRunner execution for iteration " + n);
  }
}

}  // namespace korvanrt::client
