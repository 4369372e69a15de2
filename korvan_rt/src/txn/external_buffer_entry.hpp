#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <string_view>

namespace korvanrt {

// One member of an "external_buffers" object. `name` points into the JSON
// value it was read from.
struct ExternalBufferEntry {
  std::string_view name;
  uint32_t qel_id = 0;
  uint64_t size_in_bytes = 0;
};

// Reads and type-checks an entry. A missing "qel_id" throws std::runtime_error
// "[Error] qel_id field not specified in external_buffer_id.json"; other
// faults throw std::runtime_error naming the key.
ExternalBufferEntry readExternalBufferEntry(const rapidjson::Value& entry);

// The kinds of external buffers, told apart by their names.
enum class BufferClass { None, Input, Output, Weights, Spill, ControlPacket };

// The first matching substring decides: "ifm_ddr", "ofm_ddr", "wts_ddr",
// "coalesed_weights", "spill" and, when `withControlPacket`,
// "runtime_control_packet".
BufferClass classifyBuffer(std::string_view name, bool withControlPacket);

}  // namespace korvanrt
