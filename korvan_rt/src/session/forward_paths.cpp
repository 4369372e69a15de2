// The inference entry points of a session that end in a runner.

#include <sstream>

#include "core/data_types.hpp"
#include "core/error.hpp"
#include "profiling/timestamps.hpp"
#include "runner/korvan_runner.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

uint64_t elementCount(const std::vector<uint64_t>& shape) {
  uint64_t n = 1;
  for (const auto d : shape) n *= d;
  return n;
}

std::vector<uint32_t> narrowShape(const std::vector<uint64_t>& shape, const std::string& what) {
  std::vector<uint32_t> dims;
  dims.reserve(shape.size());
  for (const auto d : shape) {
    if (d > UINT32_MAX) KORVAN_THROW(what + " dimension " + std::to_string(d) + " is too large");
    dims.push_back(static_cast<uint32_t>(d));
  }
  return dims;
}

// Position `index` of a record list of `count` entries.
size_t positionOf(int32_t index, size_t count, const char* side) {
  if (index < 0 || static_cast<size_t>(index) >= count)
    KORVAN_THROW(std::string("ERROR: ") + side + " index " + std::to_string(index) +
                 " is outside the " + std::to_string(count) + " tensors given");
  return static_cast<size_t>(index);
}

// The runner's view of one slot 5 record: "ifm_<k>"/"ofm_<k>", the record's
// shape and type; 16-bit types the device exchanges as byte pairs are
// described as INT8 with the last dimension doubled.
TensorMetadataType recordMetadata(const ErtIoTypeNew& record, const std::string& name, bool input) {
  if (record.shape.empty())
    KORVAN_THROW(input ? "IFM shape cannot be empty" : "OFM shape cannot be empty");
  TensorMetadataType meta;
  meta.name = name;
  meta.shape = narrowShape(record.shape, input ? "IFM" : "OFM");
  const uint64_t count = elementCount(record.shape);
  const DataType type = stringToDataType(record.dtype);
  const bool bytePairs = input ? record.dtype == "uint16" : type == INT16;
  if (bytePairs) {
    meta.dtype = INT8;
    meta.shape.back() *= 2;
    meta.size = 2 * count;
  } else {
    meta.dtype = type;
    meta.size = count * datatypeToSize(record.dtype);
  }
  return meta;
}

}  // namespace

void PrivateImpl::forward(std::vector<ErtIoTypeNew>& inputs, std::vector<ErtIoTypeNew>& outputs,
                          std::vector<ErtIoTypeNew>& weights) {
  timestampStart("KorvanRT preparation");
  if (isCustomOp || isCustomGraph) {
    std::vector<OpsTensor> ins(inputs.size()), outs(outputs.size());
    auto place = [](std::vector<OpsTensor>& list, const ErtIoTypeNew& r, bool input) {
      OpsTensor& t = list[positionOf(r.index, list.size(), input ? "Input" : "Output")];
      if (r.shape.empty())
        KORVAN_THROW(input ? "IFM shape cannot be empty" : "OFM shape cannot be empty");
      t.data = r.data;
      t.shape = r.shape;
      t.dtype = r.dtype;
    };
    for (const auto& r : inputs) place(ins, r, true);
    for (const auto& r : outputs) place(outs, r, false);
    timestampEnd("KorvanRT preparation");
    executeRunnerCustOps(ins, outs, weights);
    return;
  }
  std::vector<ErtTensorType> ins(inputs.size()), outs(outputs.size());
  auto fill = [](std::vector<ErtTensorType>& list, const ErtIoTypeNew& r, bool input) {
    const size_t k = positionOf(r.index, list.size(), input ? "Input" : "Output");
    const auto meta = recordMetadata(r, (input ? "ifm_" : "ofm_") + std::to_string(k), input);
    list[k] = ErtTensorType(meta);
    list[k].data = r.data;
    list[k].index = static_cast<int32_t>(k);
  };
  for (const auto& r : inputs) fill(ins, r, true);
  for (const auto& r : outputs) fill(outs, r, false);
  timestampEnd("KorvanRT preparation");
  executeRunnerOn(ins, outs);
}

void PrivateImpl::forwardErtTensor(const std::vector<ErtTensorType>& inputs,
                                   std::vector<ErtTensorType>& outputs) {
  executeRunnerOn(inputs, outputs);
}

void PrivateImpl::forwardErtTensorBatch(const std::vector<std::vector<ErtTensorType>>& inputs,
                                        std::vector<std::vector<ErtTensorType>>& outputs) {
  if (inputs.size() != outputs.size())
    KORVAN_THROW("Number of input and output tensors must match");
  for (size_t b = 0; b < inputs.size(); ++b) executeRunnerOn(inputs[b], outputs[b]);
}

void PrivateImpl::executeRunner(std::vector<ErtTensorType> inputs,
                                std::vector<ErtTensorType> outputs) {
  executeRunnerOn(inputs, outputs);
}

void PrivateImpl::executeRunnerCustOps(std::vector<OpsTensor> inputs,
                                       std::vector<OpsTensor> outputs,
                                       std::vector<ErtIoTypeNew> weights) {
  const auto found = runners.find(0);
  if (found == runners.end() || found->second == nullptr)
    throw std::runtime_error("ERROR: " + options.modelName +
                             " HW runner not initialized properly, cannot continue!");
  KorvanRunner& runner = *found->second;
  const HWClusterParams& params = runner.getHWClusterParams();
  if (inputs.size() != params.numInputs()) KORVAN_THROW("Number of Inputs not matching! ");
  if (outputs.size() != params.numOutputs()) KORVAN_THROW("Number of Outputs not matching! ");
  runner.execute(inputs, outputs, weights);
}

void PrivateImpl::executeRunnerNew(uint32_t cluster, const uint8_t* args) {
  std::ostringstream key;
  key << static_cast<const void*>(this) << cluster;
  const std::string label = "Forward Cluster " + std::to_string(cluster);
  const bool profiling = vistrelProfiling;
  if (profiling) {
    std::lock_guard lock(profileMutex);
    timestamps& record = profileRecord(key.str(), label);
    if (record.label_.empty()) {
      record.label_ = label;
      record.start_ = timestamps::clock::now();
    }
  }

  if (cluster >= userClusterArgsSize.size() || userClusterArgsSize[cluster] == nullptr)
    KORVAN_THROW("ERROR: The user model library " + userLibPath +
                 " has no argument size entry point for cluster " + std::to_string(cluster));
  const uint64_t size = userClusterArgsSize[cluster]();
  std::vector<Tensor> inputs, outputs;
  deserializeArgs(args, size, inputs, outputs);

  const auto found = runners.find(cluster);
  if (found == runners.end() || found->second == nullptr)
    throw std::runtime_error("ERROR: HW runner " + std::to_string(cluster) +
                             " not initialized properly, cannot continue!");
  KorvanRunner& runner = *found->second;
  const HWClusterParams& params = runner.getHWClusterParams();
  if (inputs.size() != params.numInputs()) KORVAN_THROW("Number of Inputs not matching! ");
  if (outputs.size() != params.numOutputs()) KORVAN_THROW("Number of Outputs not matching! ");

  auto handles = [&](const std::vector<Tensor>& tensors, bool input) {
    std::vector<ErtTensorType> list;
    list.reserve(tensors.size());
    for (size_t i = 0; i < tensors.size(); ++i) {
      const IOParams entry = input ? params.getInput(i) : params.getOutput(i);
      const DataType type = stringToDataType(entry.cpuDtype());
      switch (type) {
        case FP32:
        case INT8:
        case UINT8:
        case BOOL:
        case INT16:
        case BF16:
        case FP16:
          break;
        default:
          throw std::runtime_error(std::string("ERROR: Unsupported ") +
                                   (input ? "input" : "output") + " dtype: " + toString(type));
      }
      TensorMetadataType meta;
      meta.name = entry.name();
      meta.dtype = type;
      meta.shape = narrowShape(tensors[i].shape, input ? "Input" : "Output");
      meta.size = elementCount(tensors[i].shape) * elementSize(type);
      ErtTensorType& t = list.emplace_back();
      t.impl = ErtTensorType::createImpl(t.libPath, meta);
      t.data = tensors[i].data;
      t.index = static_cast<int32_t>(i);
    }
    return list;
  };
  auto ins = handles(inputs, true);
  auto outs = handles(outputs, false);
  runner.execute(ins, outs);

  if (profiling) {
    std::lock_guard lock(profileMutex);
    profileRecord(key.str(), label).end();
  }
}

}  // namespace korvanrt::client
