#include "txn/ctrl_pkt_patch.hpp"

#include <flatbuffers/flatbuffers.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <iostream>
#include <stdexcept>

namespace korvanrt {

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

[[noreturn]] void fault(const std::string& what) {
  throw std::runtime_error("external_buffer_id.json: " + what);
}

const rapidjson::Value& member(const rapidjson::Value& holder, const char* key,
                               const std::string& where) {
  auto it = holder.FindMember(key);
  if (it == holder.MemberEnd()) fault(where + " has no \"" + key + "\"");
  return it->value;
}

std::string stringMember(const rapidjson::Value& holder, const char* key,
                         const std::string& where) {
  const auto& v = member(holder, key, where);
  if (!v.IsString()) fault("\"" + std::string(key) + "\" of " + where + " is not a string");
  return {v.GetString(), v.GetStringLength()};
}

int64_t intMember(const rapidjson::Value& holder, const char* key, const std::string& where) {
  const auto& v = member(holder, key, where);
  if (!v.IsInt()) fault("\"" + std::string(key) + "\" of " + where + " is not a 32-bit integer");
  return v.GetInt();
}

void readLocations(const rapidjson::Value& holder, const std::string& name,
                   std::vector<ControlPacketPatch>& patches) {
  auto it = holder.FindMember("control_packet_patch_locations");
  if (it == holder.MemberEnd())
    throw std::runtime_error(
        "control_packet_patch_locations key not found for json object " + name + "\n" +
        "If design is meant to run in control packet mode without SHIM DMA BD address patching, "
        "please provide --omit-ctrl-pkt-ddr-patch to the runner\n");
  if (!it->value.IsArray())
    throw std::runtime_error("control_packet_patch_locations key is not an array for json object " +
                             name + "\n");
  for (const auto& loc : it->value.GetArray()) {
    const std::string where = "a patch location of " + name;
    if (!loc.IsObject()) fault(where + " is not an object");
    ControlPacketPatch p;
    p.offset = intMember(loc, "offset", where);
    p.size = intMember(loc, "size", where);
    p.operation = stringMember(loc, "operation", where);
    p.name = name;
    patches.push_back(std::move(p));
  }
}

}  // namespace

int32_t readCtrlPktPatchJson(rapidjson::Document& doc, std::vector<ControlPacketPatch>& patches) {
  if (!doc.IsObject()) fault("the document is not an object");
  auto buffers = doc.FindMember("external_buffers");
  if (buffers == doc.MemberEnd() || !buffers->value.IsObject())
    fault("\"external_buffers\" is missing or not an object");
  for (const auto& m : buffers->value.GetObject()) {
    const std::string key(m.name.GetString(), m.name.GetStringLength());
    const auto& entry = m.value;
    if (!entry.IsObject()) fault("buffer entry \"" + key + "\" is not an object");
    const auto name = stringMember(entry, "name", "buffer entry \"" + key + "\"");
    const auto& id = member(entry, "qel_id", "buffer entry " + name);
    if (!id.IsUint()) fault("\"qel_id\" of buffer entry " + name + " is not an unsigned integer");
    if (name == "runtime_control_packet") continue;

    auto coalesced = entry.FindMember("coalesed_buffers");
    if (coalesced == entry.MemberEnd()) {
      readLocations(entry, name, patches);
      continue;
    }
    if (!coalesced->value.IsArray()) continue;
    for (const auto& c : coalesced->value.GetArray()) {
      const std::string where = "a coalesced buffer of " + name;
      if (!c.IsObject()) fault(where + " is not an object");
      const auto& logical = member(c, "logical_id", where);
      if (!logical.IsUint64()) fault("\"logical_id\" of " + where + " is not an unsigned integer");
      readLocations(c, stringMember(c, "name", where), patches);
    }
  }
  return 0;
}

bool readCtrlPktPatchJson(const flatbuffers::Vector<uint8_t>* text,
                          std::vector<ControlPacketPatch>& patches) {
  if (text == nullptr) {
    std::cerr << "control packet patch description is missing" << std::endl;
    return true;
  }
  const std::string copy(reinterpret_cast<const char*>(text->data()), text->size());
  rapidjson::Document doc;
  doc.Parse<kParseFlags>(copy.data(), copy.size());
  if (doc.HasParseError()) {
    std::cerr << "JSON parsing error" << rapidjson::GetParseError_En(doc.GetParseError());
    return true;
  }
  if (!doc.IsObject()) {
    std::cerr << "control packet patch description is not an object" << std::endl;
    return true;
  }
  for (const char* unit : {"offset_unit", "size_unit"}) {
    auto it = doc.FindMember(unit);
    if (it != doc.MemberEnd() &&
        !(it->value.IsString() && std::string(it->value.GetString()) == "byte")) {
      std::cerr << "Only " << unit << " = byte is supported" << std::endl;
      return true;
    }
  }
  auto list = doc.FindMember("control_packet_patch");
  if (list == doc.MemberEnd() || !list->value.IsObject()) {
    std::cerr << "control_packet_patch key not found or not an object." << std::endl;
    return true;
  }
  if (list->value.MemberCount() == 0) {
    std::cout << "[Error] Num packets for patch = 0!!!" << std::endl;
    return true;
  }
  for (const auto& m : list->value.GetObject()) {
    const auto& e = m.value;
    const std::string key(m.name.GetString(), m.name.GetStringLength());
    if (!e.IsObject()) {
      std::cerr << "control packet patch \"" << key << "\" is not an object" << std::endl;
      return true;
    }
    auto field = [&](const char* k) -> const rapidjson::Value* {
      auto it = e.FindMember(k);
      return it == e.MemberEnd() ? nullptr : &it->value;
    };
    const auto* offset = field("offset");
    const auto* size = field("size");
    const auto* operation = field("operation");
    const auto* name = field("name");
    if (!offset || !offset->IsInt() || !size || !size->IsInt() || !operation ||
        !operation->IsString() || !name || !name->IsString()) {
      std::cerr << "control packet patch \"" << key
                << "\" needs an integer \"offset\" and \"size\" and a string \"operation\" and "
                   "\"name\""
                << std::endl;
      return true;
    }
    patches.push_back({offset->GetInt(), size->GetInt(),
                       std::string(operation->GetString(), operation->GetStringLength()),
                       std::string(name->GetString(), name->GetStringLength())});
  }
  return false;
}

}  // namespace korvanrt
