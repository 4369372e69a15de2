// The reference conversions follow the runtime's number and layout rules bit
// for bit, and .npy files round-trip.

#include <gtest/gtest.h>

#include <cstring>

#include "npy_file.hpp"
#include "reference_numbers.hpp"

namespace {

using namespace korvan::pack;
namespace ref = korvan::pack::reference;

float fromBits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

TEST(PackReference, Bfloat16Encoding) {
  struct Case {
    std::uint32_t in;
    std::uint16_t rounded, clamped;
  };
  for (const auto& c : std::vector<Case>{{0x3F808000, 0x3F80, 0x3F80},  // tie to even
                                         {0x3F818000, 0x3F82, 0x3F82},  // tie to even, up
                                         {0x3F80C000, 0x3F81, 0x3F81},
                                         {0xFF800000, 0xFF80, 0xFF7F},  // -inf clamps
                                         {0x7F800000, 0x7F80, 0x7F80},
                                         {0xFFFFFFFF, 0x0000, 0x0000}}) {  // addition wraps
    EXPECT_EQ(ref::bf16RoundNearestEven(fromBits(c.in)), c.rounded) << std::hex << c.in;
    EXPECT_EQ(ref::bf16Clamped(fromBits(c.in)), c.clamped) << std::hex << c.in;
  }
  EXPECT_EQ(ref::bf16ToFloat(0x3F80), 1.0f);
}

TEST(PackReference, QuantizeAndDequantize) {
  struct Case {
    float x;
    double scale;
    std::int32_t zp;
    std::int8_t q;
  };
  for (const auto& c : std::vector<Case>{{1.25f, 0.5, 0, 3},  // 2.5 away from zero
                                         {-1.25f, 0.5, 0, -3},
                                         {-2.7f, 1.0, 0, -2},    // truncation at scale 1
                                         {200.0f, 1.0, 0, -56},  // wraps, no clamp
                                         {62.5f, 0.5, 5, -126},  // 125 + 5 wraps
                                         {-2.7f, -1.0, 0, -2}}) {
    HostTensor t = HostTensor::zeros(ElementType::fp32, {1});
    t.set<float>(0, c.x);
    EXPECT_EQ(ref::convert(t, ElementType::int8, {c.scale, c.zp}).get<std::int8_t>(0), c.q) << c.x;
  }
  HostTensor q = HostTensor::zeros(ElementType::int8, {1});
  q.set<std::int8_t>(0, 127);
  const ref::Qdq p{0.5, 5};
  EXPECT_EQ(ref::convert(q, ElementType::fp32, p, ref::Dequant::wrapped).get<float>(0), -62.0f);
  EXPECT_EQ(ref::convert(q, ElementType::fp32, p, ref::Dequant::fused).get<float>(0), 66.0f);
  EXPECT_EQ(ref::convert(q, ElementType::fp32, p, ref::Dequant::converter).get<float>(0), 66.0f);
}

TEST(PackReference, BlockedLayoutPlacesAndDropsPadding) {
  // Device HCWNC8 [2, 2, 2, 1, 8] read back as CPU NCHW [1, 12, 2, 2].
  HostTensor dev = HostTensor::zeros(ElementType::int8, {2, 2, 2, 1, 8});
  for (std::uint64_t i = 0; i < dev.count(); ++i)
    dev.set<std::int8_t>(i, static_cast<std::int8_t>(i));
  const auto cpu = ref::relayout(dev, "HCWNC8", "NCHW", {1, 12, 2, 2});
  // (n 0, c 9, h 1, w 0) comes from device offset (((1*2 + 1)*2 + 0)*1 + 0)*8 + 1 = 49.
  EXPECT_EQ(cpu.get<std::int8_t>((9 * 2 + 1) * 2 + 0), 49);
  // And back: the padding lanes of the second block are zero.
  const auto again = ref::relayout(cpu, "NCHW", "HCWNC8", {2, 2, 2, 1, 8});
  EXPECT_EQ(again.get<std::int8_t>(49), 49);
  // (h 0, block 1, w 0): lane 3 is channel 11, kept; lane 4 is channel 12, padding.
  EXPECT_EQ(again.get<std::int8_t>(19), 19);
  EXPECT_EQ(again.get<std::int8_t>(20), 0);
  // NCHW to NHWC is a plain permutation.
  HostTensor x = HostTensor::zeros(ElementType::int8, {1, 3, 1, 2});
  for (std::uint64_t i = 0; i < 6; ++i) x.set<std::int8_t>(i, static_cast<std::int8_t>(i));
  const auto nhwc = ref::relayout(x, "NCHW", "NHWC", {1, 1, 2, 3});
  EXPECT_EQ(nhwc.bytes, (std::vector<std::uint8_t>{0, 2, 4, 1, 3, 5}));
}

TEST(PackReference, NpyRoundTripAndRejections) {
  HostTensor t = HostTensor::zeros(ElementType::bf16, {2, 3});
  for (std::uint64_t i = 0; i < 6; ++i)
    t.set<std::uint16_t>(i, static_cast<std::uint16_t>(0x3F80 + i));
  const auto bytes = encodeNpy(t);
  EXPECT_EQ(bytes.size() % 64, 12u);  // 64-byte aligned header, then 12 data bytes
  const auto back = decodeNpy(bytes);
  EXPECT_EQ(back.type, ElementType::uint16);  // bfloat16 is stored as its bit pattern
  EXPECT_EQ(back.shape, t.shape);
  EXPECT_EQ(back.bytes, t.bytes);
  EXPECT_THROW(decodeNpy(bytes.substr(0, bytes.size() - 1)), std::runtime_error);
  EXPECT_THROW(decodeNpy("not a numpy file"), std::runtime_error);
  HostTensor scalar1 = HostTensor::zeros(ElementType::fp32, {5});
  EXPECT_EQ(decodeNpy(encodeNpy(scalar1)).shape, scalar1.shape);
}

}  // namespace
