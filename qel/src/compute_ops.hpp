#pragma once

// The arithmetic of the device's compute instructions, over raw bytes that
// the caller has already bounds-checked (any alignment).

#include <cstddef>
#include <cstdint>

namespace qel::detail {

struct conv_params {
  std::uint64_t height, width, batch, in_channels, out_channels;
  bool relu;
};

struct requant_params {
  std::int32_t in_zero, out_zero, multiplier, shift;
};

// Bytes of an HCWNC8 tensor with `channels` channels of `element` bytes each;
// 0 on overflow.
std::uint64_t hcwnc8_bytes(const conv_params& p, std::uint64_t channels, std::uint64_t element);

void conv1x1_bf16(const conv_params& p, std::byte* dst, const std::byte* src,
                  const std::byte* weights, const std::byte* bias);
void conv1x1_int8(const conv_params& p, const requant_params& q, std::byte* dst,
                  const std::byte* src, const std::byte* weights, const std::byte* bias);

void add_bf16(std::byte* dst, const std::byte* a, const std::byte* b, std::uint64_t count);
void add_int8(std::byte* dst, const std::byte* a, const std::byte* b, std::uint64_t count);
void add_fp32(std::byte* dst, const std::byte* a, const std::byte* b, std::uint64_t count);

}  // namespace qel::detail
