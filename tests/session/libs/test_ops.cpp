// CPU operators a custom-operator package names in its metadata: bfloat16
// values in, bfloat16 values out, element for element.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "korvanrt/types.hpp"

using korvanrt::client::OpsTensor;

namespace {

uint64_t countOf(const OpsTensor& t) {
  uint64_t n = 1;
  for (const auto d : t.shape) n *= d;
  return n;
}

}  // namespace

extern "C" {

// Flips the sign of every value.
void negate_bf16(std::vector<OpsTensor>& in, std::vector<OpsTensor>& out) {
  const auto* src = static_cast<const uint16_t*>(in.at(0).data);
  auto* dst = static_cast<uint16_t*>(out.at(0).data);
  const uint64_t n = std::min(countOf(in.at(0)), countOf(out.at(0)));
  for (uint64_t i = 0; i < n; ++i) dst[i] = static_cast<uint16_t>(src[i] ^ 0x8000u);
}

// Writes the values in reverse order.
void reverse_bf16(std::vector<OpsTensor>& in, std::vector<OpsTensor>& out) {
  const auto* src = static_cast<const uint16_t*>(in.at(0).data);
  auto* dst = static_cast<uint16_t*>(out.at(0).data);
  const uint64_t n = std::min(countOf(in.at(0)), countOf(out.at(0)));
  for (uint64_t i = 0; i < n; ++i) dst[i] = src[n - 1 - i];
}
}
