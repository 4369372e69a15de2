#pragma once

// Element types of package tensors and their spellings in descriptions.

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvan::pack {

enum class ElementType { fp32, bf16, int8, uint8, int16, uint16, int32, boolean };

// Parses a dtype name ("float", "bf16", "int8", "uint8", "int16", "uint16",
// "int32", "bool"); throws std::invalid_argument for any other text.
ElementType parseElementType(const std::string& text);
// The canonical name, as written into korvanrt-hsi.json.
const char* elementTypeName(ElementType type);
std::size_t elementSize(ElementType type);
// NumPy descriptor of the type; bfloat16 is stored as its bit pattern '<u2'.
const char* npyDescriptor(ElementType type);

}  // namespace korvan::pack
