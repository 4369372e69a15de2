#include "element_type.hpp"

#include <stdexcept>

namespace korvan::pack {

ElementType parseElementType(const std::string& text) {
  if (text == "float" || text == "fp32" || text == "float32") return ElementType::fp32;
  if (text == "bf16" || text == "bfloat16") return ElementType::bf16;
  if (text == "int8") return ElementType::int8;
  if (text == "uint8") return ElementType::uint8;
  if (text == "int16") return ElementType::int16;
  if (text == "uint16") return ElementType::uint16;
  if (text == "int32") return ElementType::int32;
  if (text == "bool") return ElementType::boolean;
  throw std::invalid_argument("unknown element type \"" + text + "\"");
}

const char* elementTypeName(ElementType type) {
  switch (type) {
    case ElementType::fp32:
      return "float";
    case ElementType::bf16:
      return "bf16";
    case ElementType::int8:
      return "int8";
    case ElementType::uint8:
      return "uint8";
    case ElementType::int16:
      return "int16";
    case ElementType::uint16:
      return "uint16";
    case ElementType::int32:
      return "int32";
    case ElementType::boolean:
      return "bool";
  }
  return "?";
}

std::size_t elementSize(ElementType type) {
  switch (type) {
    case ElementType::fp32:
    case ElementType::int32:
      return 4;
    case ElementType::bf16:
    case ElementType::int16:
    case ElementType::uint16:
      return 2;
    case ElementType::int8:
    case ElementType::uint8:
    case ElementType::boolean:
      return 1;
  }
  return 0;
}

const char* npyDescriptor(ElementType type) {
  switch (type) {
    case ElementType::fp32:
      return "<f4";
    case ElementType::bf16:
    case ElementType::uint16:
      return "<u2";
    case ElementType::int8:
      return "|i1";
    case ElementType::uint8:
      return "|u1";
    case ElementType::int16:
      return "<i2";
    case ElementType::int32:
      return "<i4";
    case ElementType::boolean:
      return "|b1";
  }
  return "";
}

}  // namespace korvan::pack
