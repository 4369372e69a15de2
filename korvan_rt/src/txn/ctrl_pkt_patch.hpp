#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace flatbuffers {
template <typename T>
class Vector;
}

// One location of the control packet that receives a buffer's device address.
struct ControlPacketPatch {
  int64_t offset = 0;     // byte offset of the 8-byte word
  int64_t size = 0;       // field size as stated by the compiler; not used by the writer
  std::string operation;  // as stated by the compiler; not used by the writer
  std::string name;       // the buffer whose address goes there

  friend bool operator==(const ControlPacketPatch&, const ControlPacketPatch&) = default;
};

namespace korvanrt {

// Appends the patch locations of a parsed external_buffer_id.json to
// `patches`. Returns 0; every problem (missing locations, a malformed entry)
// throws std::runtime_error, possibly after some patches were appended.
int32_t readCtrlPktPatchJson(rapidjson::Document& doc, std::vector<ControlPacketPatch>& patches);

// Appends the patches of a ctrlPktPatch.json text. Returns false on success
// and true on failure, which is reported on the console.
bool readCtrlPktPatchJson(const flatbuffers::Vector<uint8_t>* text,
                          std::vector<ControlPacketPatch>& patches);

}  // namespace korvanrt
