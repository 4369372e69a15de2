#pragma once

// The model description that korvan-pack turns into a package (format in
// tools/pack/README.md). Parsing checks everything the writer relies on and
// throws DescriptionError naming the offending field.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "element_type.hpp"

namespace korvan::pack {

class DescriptionError : public std::runtime_error {
 public:
  DescriptionError(const std::string& field, const std::string& problem)
      : std::runtime_error("model description: " + field + ": " + problem), field_(field) {}
  const std::string& field() const { return field_; }

 private:
  std::string field_;
};

struct TensorDesc {
  std::string name;
  std::string cpuFormat, hwFormat;
  ElementType cpuType = ElementType::fp32, hwType = ElementType::fp32;
  std::vector<std::uint64_t> cpuShape, hwShape;
  double scale = 1.0;
  std::optional<std::int64_t> zeroPoint;
  nlohmann::ordered_json rtTransformations;  // null when absent
  std::uint64_t paddingBefore = 0;           // bytes in front of the tensor in its buffer

  std::uint64_t hwBytes() const;
};

// A constant tensor of the weights image.
struct WeightDesc {
  std::string name;
  ElementType type = ElementType::fp32;
  std::vector<std::uint64_t> shape;
  std::vector<double> values;  // one per element, row-major
};

struct SpillDesc {
  std::string name;
  std::uint64_t size = 0;
};

// A byte range of a named buffer (tensor, weight layer or spill layer), or in
// a custom-graph operator one of its bound arguments "input", "output",
// "weights".
struct OperandDesc {
  std::string buffer;
  std::uint64_t offset = 0;
};

enum class OpKind { copy, fill, add, conv1x1_bf16, conv1x1_int8 };

struct OpDesc {
  OpKind kind = OpKind::copy;
  OperandDesc dst, src, a, b, weights;
  std::optional<OperandDesc> bias;
  std::uint64_t bytes = 0;  // copy, fill
  std::uint8_t value = 0;   // fill
  ElementType addType = ElementType::bf16;
  std::uint64_t count = 0;  // add
  std::uint32_t height = 1, width = 1, batch = 1, inChannels = 8, outChannels = 8;
  bool relu = false;
  std::int32_t inZero = 0, outZero = 0, multiplier = 1, shift = 0;
};

// One operator of a custom-operator graph: its program runs on the buffers
// named by "input", "output" and optionally "weights" (ifm_ddr_<i>,
// ofm_ddr_<i>, spill_ddr_<i>, wts_ext_ddr_<i>).
struct OperatorDesc {
  std::string name;
  std::string input, output, weights;
  std::vector<OpDesc> program;
};

struct PartitionDesc {
  std::vector<TensorDesc> inputs, outputs;
  std::vector<WeightDesc> weights;
  std::vector<SpillDesc> spills;
  std::vector<OpDesc> program;
};

enum class PackageKind { plain, customGraph, customOp };
enum class ProgramForm { transaction, elf };

struct ModelDescription {
  std::string name;
  PackageKind kind = PackageKind::plain;
  ProgramForm form = ProgramForm::transaction;
  bool compressElf = false;
  std::uint32_t elfArgumentBase = 3;
  bool textWeights = false;
  std::optional<std::int64_t> deviceBatchSize;
  std::uint64_t callerBatch = 0;  // 0: the description's own batch
  std::string fabpakName;         // empty: the default container name
  std::uint32_t seed = 1;
  std::vector<PartitionDesc> partitions;
  std::vector<OperatorDesc> operators;  // custom graph only
  std::string opName;                   // custom operator only
  std::string opInput, opOutput;        // ifm_ddr_<i>, ofm_ddr_<i>
};

ModelDescription parseModelDescription(const nlohmann::ordered_json& doc);
// The index i of a buffer name prefix + "<i>" (for example ifm_ddr_2).
std::optional<std::size_t> ddrIndex(const std::string& name, const std::string& prefix);
ModelDescription parseModelDescriptionText(const std::string& text);

}  // namespace korvan::pack
