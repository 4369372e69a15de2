#pragma once

// Plain-loop reference conversions between caller tensors and device tensors,
// written from the runtime's number and layout rules (bfloat16 encoding,
// affine quantization, blocked channel layouts). They exist to compute
// expected results and share no code with the runtime.

#include <cstdint>
#include <string>
#include <vector>

#include "host_tensor.hpp"

namespace korvan::pack::reference {

// Float to bfloat16, round to nearest with ties to even, no clamping.
std::uint16_t bf16RoundNearestEven(float x);
// Float to bfloat16 as the element-wise encoder does: ties to even, then
// values above 0xFF7F (negative overflow) clamp to 0xFF7F.
std::uint16_t bf16Clamped(float x);
float bf16ToFloat(std::uint16_t v);

// Affine quantization of one value before wrapping to the integer width:
// truncation when scale is 1 or negative, otherwise x / scale rounded half
// away from zero; saturating at the 32-bit limits, NaN gives 0.
std::int32_t quantizeToInt32(float x, double scale);

// How integer device values become floats.
enum class Dequant {
  wrapped,    // (low bits of q + zp) * scale, in double, rounded to float
  fused,      // float(q + zp) * float(scale), single precision
  converter,  // float(float(q + zp) * scale in double)
};

struct Qdq {
  double scale = 1.0;
  std::int32_t zeroPoint = 0;  // already reduced to 8 bits where the rules say so
};

// Element-wise conversion into `to` (same shape). Float to bfloat16 uses
// `bf16Clamped` unless `unclampedBf16`; integer to float uses `dequant`.
HostTensor convert(const HostTensor& src, ElementType to, const Qdq& q,
                   Dequant dequant = Dequant::wrapped, bool unclampedBf16 = false);

// Moves every element of `src` (layout `srcFormat`) to its place in a zeroed
// tensor of layout `dstFormat` and shape `dstShape`, matching axes by letter
// (blocked layouts "HCWNC4"/"HCWNC8" expose H, C, W, N). Elements outside the
// destination extents are dropped; destination elements without a source stay
// zero.
HostTensor relayout(const HostTensor& src, const std::string& srcFormat,
                    const std::string& dstFormat, const std::vector<std::uint64_t>& dstShape);

// Generic shape steps on row-major tensors.
HostTensor reshape(const HostTensor& src, const std::vector<std::uint64_t>& shape);
HostTensor transpose(const HostTensor& src, const std::vector<std::uint64_t>& perm);
HostTensor pad(const HostTensor& src, const std::vector<std::uint64_t>& before,
               const std::vector<std::uint64_t>& after);
HostTensor slice(const HostTensor& src, const std::vector<std::uint64_t>& start,
                 const std::vector<std::uint64_t>& size);
HostTensor tile(const HostTensor& src, const std::vector<std::uint64_t>& multiples);

}  // namespace korvan::pack::reference
