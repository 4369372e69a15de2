#include "core/data_types.hpp"

#include <array>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace korvanrt {

namespace {

struct Spelling {
  std::string_view text;
  client::DataType type;
};

constexpr std::array<Spelling, 15> kSpellings{{
    {"fp32", client::FP32},
    {"float", client::FP32},
    {"int8", client::INT8},
    {"int8_t", client::INT8},
    {"uint8", client::UINT8},
    {"uint8_t", client::UINT8},
    {"int16", client::INT16},
    {"int16_t", client::INT16},
    {"uint16", client::UINT16},
    {"uint16_t", client::UINT16},
    {"bf16", client::BF16},
    {"bfloat16_t", client::BF16},
    {"bool", client::BOOL},
    {"fp16", client::FP16},
    {"float16", client::FP16},
}};

struct SizedSpelling {
  std::string_view text;
  size_t bytes;
};

constexpr std::array<SizedSpelling, 24> kCallerSpellings{{
    {"float", 4},    {"float32", 4},    {"fp32", 4},     {"int32_t", 4}, {"int32", 4},
    {"uint32_t", 4}, {"uint32", 4},     {"uint8_t", 1},  {"uint8", 1},   {"bool", 1},
    {"int8_t", 1},   {"int8", 1},       {"uint16_t", 2}, {"uint16", 2},  {"int16_t", 2},
    {"int16", 2},    {"bfloat16_t", 2}, {"bf16", 2},     {"float16", 2}, {"fp16", 2},
    {"int64_t", 8},  {"int64", 8},      {"uint64_t", 8}, {"uint64", 8},
}};

}  // namespace

client::DataType stringToDataType(const std::string& text) {
  for (const auto& s : kSpellings) {
    if (s.text == text) return s.type;
  }
  if (text == "half") return client::FP16;
  throw std::invalid_argument("Unknown DataType: " + text);
}

size_t getSize(const std::string& text) {
  if (text == "fp32") return 4;
  if (text == "bf16") return 2;
  if (text == "int8") return 1;
  throw std::invalid_argument("Unsupported DataType: " + text);
}

size_t datatypeToSize(const std::string& text) {
  for (const auto& s : kCallerSpellings) {
    if (s.text == text) return s.bytes;
  }
  if (text == "double") return 8;
  throw std::invalid_argument("Encounterred unexpected type while getting number of bytes");
}

size_t elementSize(client::DataType type) {
  switch (type) {
    case client::FP32:
      return 4;
    case client::INT8:
    case client::UINT8:
    case client::BOOL:
      return 1;
    case client::INT16:
    case client::UINT16:
    case client::BF16:
    case client::FP16:
      return 2;
  }
  throw std::invalid_argument("Unsupported DataType for size calculation");
}

namespace client {

std::string toString(DataType type) {
  switch (type) {
    case FP32:
      return "fp32";
    case INT8:
      return "int8";
    case UINT8:
      return "uint8";
    case INT16:
      return "int16";
    case UINT16:
      return "uint16";
    case BF16:
      return "bf16";
    case BOOL:
      return "bool";
    case FP16:
      return "fp16";
  }
  return "UNKNOWN";
}

}  // namespace client
}  // namespace korvanrt
