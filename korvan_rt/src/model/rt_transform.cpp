#include "model/rt_transform.hpp"

#include <array>
#include <utility>

namespace korvanrt {

RtTransformType stringToRtTransformType(const std::string& text) {
  static constexpr std::array<std::pair<const char*, RtTransformType>, 9> kKinds{{
      {"quantize", QUANTIZE},
      {"dequantize", DEQUANTIZE},
      {"reshape", RESHAPE},
      {"transpose", TRANSPOSE},
      {"pad", PAD},
      {"slice", SLICE},
      {"tile", TILE},
      {"depad", DEPAD},
      {"qdq_depad", QDQ_DEPAD},
  }};
  for (const auto& [name, kind] : kKinds) {
    if (text == name) return kind;
  }
  return INVALID;
}

}  // namespace korvanrt
