#pragma once

// Expected results of a described model, computed on the CPU: sample inputs,
// their device images, an emulation of the device program over named
// buffers, and the conversion of the device outputs back to the caller's
// layout and type.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host_tensor.hpp"
#include "model_description.hpp"

namespace korvan::pack::reference {

// Caller tensor -> device tensor (hw layout, dtype and shape), following the
// conversion the runtime chooses for the entry (transformation list, or
// number format then placement).
HostTensor toDevice(const TensorDesc& described, const HostTensor& caller);
// Device tensor -> caller tensor.
HostTensor fromDevice(const TensorDesc& described, const HostTensor& device);

// Deterministic sample values for an input in its caller type and shape,
// with the batch axis (the first) set to `batch` when non-zero.
HostTensor sampleInput(const TensorDesc& described, std::uint32_t seed, std::uint64_t batch);

// Weight bytes as stored in the weights image.
std::vector<std::uint8_t> encodeWeight(const WeightDesc& w);

// Named device buffers of one program run (tensor bytes without the leading
// padding, weight layers, spill layers).
using Buffers = std::map<std::string, std::vector<std::uint8_t>>;

// Runs `program` over `buffers`; `alias` maps operand names to buffer names
// (used for custom-graph operators: "input" -> "ifm_ddr_0"). Throws
// DescriptionError naming `where`[i] for operands outside their buffer.
void emulate(const std::vector<OpDesc>& program, Buffers& buffers,
             const std::map<std::string, std::string>& alias, const std::string& where);

struct PartitionResult {
  std::vector<HostTensor> inputs;   // caller form
  std::vector<HostTensor> outputs;  // caller form, expected
};

// Samples and expected outputs of every partition (partitions are run
// independently, each on its own samples). Batched models run the described
// batch per slice of the caller batch.
std::vector<PartitionResult> computeReference(const ModelDescription& model);

}  // namespace korvan::pack::reference
