#include <gtest/gtest.h>

#include <stdexcept>

#include "core/data_types.hpp"

using korvanrt::datatypeToSize;
using korvanrt::getSize;
using korvanrt::stringToDataType;
using korvanrt::client::DataType;

namespace {

std::string invalidArgumentText(auto&& fn) {
  try {
    fn();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no exception>";
}

TEST(DataTypes, EverySpellingMapsToItsType) {
  const std::pair<const char*, DataType> cases[] = {
      {"fp32", DataType::FP32},        {"float", DataType::FP32},     {"int8", DataType::INT8},
      {"int8_t", DataType::INT8},      {"uint8", DataType::UINT8},    {"uint8_t", DataType::UINT8},
      {"int16", DataType::INT16},      {"int16_t", DataType::INT16},  {"uint16", DataType::UINT16},
      {"uint16_t", DataType::UINT16},  {"bf16", DataType::BF16},      {"bfloat16_t", DataType::BF16},
      {"bool", DataType::BOOL},        {"fp16", DataType::FP16},      {"float16", DataType::FP16},
      {"half", DataType::FP16},
  };
  for (const auto& [text, type] : cases) EXPECT_EQ(stringToDataType(text), type) << text;
  EXPECT_EQ(korvanrt::client::toString(stringToDataType("half")), "fp16");
  EXPECT_EQ(korvanrt::client::toString(static_cast<DataType>(8)), "UNKNOWN");
}

TEST(DataTypes, MatchingIsExact) {
  for (const char* text : {"FP32", "Float", " fp32", "fp32 ", ""}) {
    EXPECT_EQ(invalidArgumentText([&] { stringToDataType(text); }),
              std::string("Unknown DataType: ") + text);
  }
}

TEST(DataTypes, GetSizeKnowsOnlyConverterTypes) {
  EXPECT_EQ(getSize("fp32"), 4u);
  EXPECT_EQ(getSize("bf16"), 2u);
  EXPECT_EQ(getSize("int8"), 1u);
  EXPECT_EQ(invalidArgumentText([] { getSize("int16"); }), "Unsupported DataType: int16");
}

TEST(DataTypes, CallerTypeSizes) {
  EXPECT_EQ(datatypeToSize("uint16_t"), 2u);
  EXPECT_EQ(datatypeToSize("bf16"), 2u);
  EXPECT_EQ(datatypeToSize("double"), 8u);
  EXPECT_EQ(datatypeToSize("int32"), 4u);
  EXPECT_EQ(datatypeToSize("bool"), 1u);
  EXPECT_EQ(invalidArgumentText([] { datatypeToSize("complex64"); }),
            "Encounterred unexpected type while getting number of bytes");
}

}  // namespace
