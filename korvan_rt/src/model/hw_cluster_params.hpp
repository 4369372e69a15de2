#pragma once

#include <rapidjson/fwd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "korvanrt/io_api.hpp"
#include "korvanrt/types.hpp"
#include "model/io_params.hpp"

namespace trelm::fbs {
struct SubPartition;
}

namespace korvanrt {

// Where a partition's "korvanrt-hsi.json" text came from. Only the wording of
// the error reports differs.
enum class HsiSource {
  File,     // a file of the model package, read through a KorvanIOReader
  Package,  // the hsi bytes of an in-memory package's sub-partition
};

// The parsed and validated interface description of one partition: its
// inputs, outputs and weights as the caller and the device see them, the
// weight and spill layers and the configuration container it needs.
class HWClusterParams {
 public:
  // Reads the whole file from `reader`, which stays open; the owner releases
  // it. Throws std::invalid_argument for a null reader. `profiling` is the
  // default of plcOutputMode().
  HWClusterParams(KorvanIOReader* reader, bool profiling);
  // Parses the hsi text embedded in a package sub-partition.
  HWClusterParams(const trelm::fbs::SubPartition* subPartition, bool profiling);
  // Parses `size` bytes of description text (no terminator needed).
  // `fileName` is the reader's name for the File source (may be null).
  HWClusterParams(const char* data, size_t size, bool profiling, HsiSource source,
                  const char* fileName = nullptr);
  ~HWClusterParams();

  HWClusterParams(const HWClusterParams&) = delete;
  HWClusterParams& operator=(const HWClusterParams&) = delete;

  uint32_t numInputs() const;
  uint32_t numOutputs() const;
  uint32_t numWeights() const;
  uint32_t numWeightsExtend() const;
  // Entry j of the list; std::out_of_range when j is not below the count.
  IOParams getInput(size_t j) const;
  IOParams getOutput(size_t j) const;
  IOParams getWeight(size_t j) const;
  IOParams getWeightExtend(size_t j) const;

  const std::vector<int64_t>& weightOffsets() const { return weightOffsets_; }
  const std::vector<std::string>& weightNames() const { return weightNames_; }
  const std::vector<int64_t>& spillOffsets() const { return spillOffsets_; }
  // Only the spill layers that carry "size"; may be shorter than the others.
  const std::vector<int64_t>& spillSizes() const { return spillSizes_; }
  const std::vector<std::string>& spillNames() const { return spillNames_; }
  const std::string& fabpakName() const { return fabpakName_; }
  int32_t plcOutputMode() const { return plcOutputMode_; }

  client::RoundingMode roundingMode() const { return roundingMode_; }
  void setRoundingMode(client::RoundingMode mode) { roundingMode_ = mode; }

  // Client-side descriptions of the inputs ("input"/"inputs") or outputs
  // ("output"/"outputs"), device side when `hw` is set. Any other kind gives
  // an empty list.
  std::vector<client::TensorMetadataType> createErtIOMetaData(const std::string& kind, bool hw,
                                                              int32_t roundingMode) const;

 private:
  class Parser;
  friend class Parser;

  client::RoundingMode roundingMode_ = client::ROUND_NEAREST_EVEN;
  std::unique_ptr<rapidjson::Document> inputs_;
  std::unique_ptr<rapidjson::Document> outputs_;
  std::unique_ptr<rapidjson::Document> weights_;
  std::unique_ptr<rapidjson::Document> weightsExtend_;
  std::vector<int64_t> weightOffsets_;
  std::vector<std::string> weightNames_;
  std::vector<int64_t> spillOffsets_;
  std::vector<int64_t> spillSizes_;
  std::vector<std::string> spillNames_;
  int32_t plcOutputMode_ = 0;
  std::string fabpakName_;
};

}  // namespace korvanrt
