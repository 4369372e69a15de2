#pragma once

// Everything the package holds for one partition (or one custom-graph
// operator), built once and written by both the directory and the in-memory
// form: the interface description, the device program, the external-buffer
// and control-packet descriptions, the control packet and the weights.

#include <cstdint>
#include <string>
#include <vector>

#include "model_description.hpp"

namespace korvan::pack {

struct PartitionFiles {
  std::string hsiJson;                // korvanrt-hsi.json (or the graph metadata)
  std::string externalBufferJson;     // external_buffer_id.json
  std::string ctrlPktPatchJson;       // ctrlPktPatch.json; empty in the ELF form
  std::vector<std::uint8_t> ctrlPkt;  // ctrl_pkt0.bin; empty in the ELF form
  std::vector<std::uint8_t> program;  // ml_txn.bin, or the (compressed) ELF module
  bool isElf = false;
  std::vector<std::uint8_t> weights;  // weights image (multiple of 4 bytes); may be empty
  std::string weightsText;            // the same as hexadecimal 32-bit words
};

// Argument slots ("qel_id") of the external buffers; the kernel argument is
// qel_id + 3 for transaction binaries.
inline constexpr int kWeightsQelId = 0;
inline constexpr int kInputQelId = 1;
inline constexpr int kOutputQelId = 2;
inline constexpr int kControlPacketQelId = 3;
inline constexpr int kSpillQelId = 4;
// Kernel argument of the control packet for transaction binaries.
inline constexpr int kControlPacketArgument = kControlPacketQelId + 3;

// Files of partition `index` of a plain or custom-operator package.
PartitionFiles planPartition(const ModelDescription& model, std::size_t index);
// Files of operator `index` of a custom graph (no hsi text, no weights).
PartitionFiles planOperator(const ModelDescription& model, std::size_t index);
// custom_graph_metadata.json: the graph's interface description with the
// operator list and connectivity.
std::string customGraphMetadata(const ModelDescription& model);
// custom_op_metadata.json of a custom operator.
std::string customOpMetadata(const std::string& name, const std::string& input,
                             const std::string& output, const std::string& weights);
std::string partitionInfoJson(const ModelDescription& model);
// The configuration container every package of this writer uses.
std::vector<std::uint8_t> containerBytes();
// File name of the container: the description's, or the default one.
std::string containerName(const ModelDescription& model);

}  // namespace korvan::pack
