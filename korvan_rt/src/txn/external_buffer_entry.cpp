#include "txn/external_buffer_entry.hpp"

#include <rapidjson/document.h>

#include <stdexcept>
#include <string>

namespace korvanrt {

ExternalBufferEntry readExternalBufferEntry(const rapidjson::Value& entry) {
  if (!entry.IsObject())
    throw std::runtime_error("external_buffer_id.json: a buffer entry is not an object");
  auto id = entry.FindMember("qel_id");
  if (id == entry.MemberEnd())
    throw std::runtime_error("[Error] qel_id field not specified in external_buffer_id.json");
  auto name = entry.FindMember("name");
  if (name == entry.MemberEnd() || !name->value.IsString())
    throw std::runtime_error("external_buffer_id.json: a buffer entry has no string \"name\"");
  const std::string_view n(name->value.GetString(), name->value.GetStringLength());
  if (!id->value.IsUint())
    throw std::runtime_error("external_buffer_id.json: \"qel_id\" of " + std::string(n) +
                             " is not an unsigned 32-bit integer");
  auto size = entry.FindMember("size_in_bytes");
  if (size == entry.MemberEnd() || !size->value.IsUint64())
    throw std::runtime_error("external_buffer_id.json: \"size_in_bytes\" of " + std::string(n) +
                             " is missing or not an unsigned 64-bit integer");
  return {n, id->value.GetUint(), size->value.GetUint64()};
}

BufferClass classifyBuffer(std::string_view name, bool withControlPacket) {
  auto has = [&](std::string_view s) { return name.find(s) != std::string_view::npos; };
  if (has("ifm_ddr")) return BufferClass::Input;
  if (has("ofm_ddr")) return BufferClass::Output;
  if (has("wts_ddr") || has("coalesed_weights")) return BufferClass::Weights;
  if (has("spill")) return BufferClass::Spill;
  if (withControlPacket && has("runtime_control_packet")) return BufferClass::ControlPacket;
  return BufferClass::None;
}

}  // namespace korvanrt
