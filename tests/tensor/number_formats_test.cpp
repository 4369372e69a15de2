#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <vector>

#include "tensor/quant/number_formats.hpp"
#include "tensor/quant/qdq.hpp"

namespace korvanrt {
namespace {

uint16_t encode(uint32_t bits, int mode) {
  const float f = bitsToFloat(bits);
  uint16_t out = 0;
  float_to_bfloat16_avx512_unrolled(&f, &out, 1, mode);
  return out;
}

TEST(Bf16Encoder, BitPatterns) {
  struct Case {
    uint32_t in;
    int mode;
    uint16_t out;
  };
  const Case cases[] = {
      {0x3F808000u, 0, 0x3F80},  // tie rounds to even
      {0x3F818000u, 0, 0x3F82},  // tie rounds to even (up)
      {0x3F80C000u, 0, 0x3F81},
      {0xFF800000u, 0, 0xFF7F},  // -inf clamps to the most negative
                                 // finite
      {0x7F800000u, 0, 0x7F80},  // +inf passes
      {0xFFFFFFFFu, 0, 0x0000},  // the sum wraps
      {0xFFFF8000u, 0, 0x0000},
      {0x7FC00001u, 0, 0x7FC0},  // positive NaN passes
      {0x3F818000u, 1, 0x3F81},
      {0xFF7FFFFFu, 1, 0xFF00},
      {0xBF800000u, 1, 0xBF80},
      {0xFF800000u, 1, 0xFF00},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode(c.in, c.mode), c.out) << std::hex << c.in << " mode " << c.mode;
  }
}

TEST(Bf16Encoder, VectorLoopMatchesScalarForm) {
  // Boundary patterns (ties, clamps, wrapping sums, NaNs, infinities) among
  // random ones, at every position of a vector and in tails of every length.
  const uint32_t special[] = {0x3F808000u, 0x3F818000u, 0x3F80C000u, 0xFF800000u, 0x7F800000u,
                              0xFFFFFFFFu, 0xFFFF8000u, 0xFFFF7FFFu, 0x7FC00001u, 0xFF7FFFFFu,
                              0xFF7F8000u, 0xFF7F7FFFu, 0xFF00FFFFu, 0xFF010000u, 0x80000000u,
                              0x00000000u, 0x7F7FFFFFu, 0x0000FFFFu, 0x8000FFFFu};
  std::vector<float> src;
  uint32_t x = 12345;
  for (int i = 0; i < 200; ++i) {
    x = x * 1664525u + 1013904223u;
    src.push_back(bitsToFloat(i % 3 == 0 ? special[(i / 3) % std::size(special)] : x));
  }
  for (int mode : {0, 1}) {
    for (size_t offset : {0, 1, 5}) {
      for (size_t count : {0, 1, 7, 8, 9, 15, 16, 17, 31, 190}) {
        std::vector<uint16_t> vec(count + 1, 0xABCD), ref(count + 1, 0xABCD);
        float_to_bfloat16_avx512_unrolled(src.data() + offset, vec.data(), count, mode);
        float_to_bfloat16_scalar(src.data() + offset, ref.data(), count, mode);
        EXPECT_EQ(vec, ref) << "mode " << mode << " offset " << offset << " count " << count;
      }
    }
  }
}

TEST(Bf16Encoder, InvalidModeWritesNothing) {
  const float src[2] = {1.0f, 2.0f};
  uint16_t dst[2] = {0xAAAA, 0xBBBB};
  try {
    float_to_bfloat16_avx512_unrolled(src, dst, 2, 2);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid rounding mode");
  }
  EXPECT_EQ(dst[0], 0xAAAA);
  EXPECT_EQ(dst[1], 0xBBBB);
}

TEST(Bf16Encoder, UnclampedConverterRule) {
  EXPECT_EQ(bf16FromFloatUnclamped(bitsToFloat(0xFF800000u), 0), 0xFF80);
  EXPECT_EQ(bf16FromFloatUnclamped(bitsToFloat(0x3F818000u), 0), 0x3F82);
  EXPECT_EQ(bf16FromFloatUnclamped(bitsToFloat(0x3F818000u), 1), 0x3F81);
  EXPECT_EQ(bf16FromFloatUnclamped(bitsToFloat(0x3F818000u), 7), 0x3F81);  // truncates
}

TEST(Quantize, RoundingWrapAndZeroPoint) {
  struct Case {
    float x;
    double scale;
    int8_t zp;
    int8_t out;
  };
  const Case cases[] = {
      {1.25f, 0.5, 0, 3},                           // 2.5 rounds away from zero
      {-1.25f, 0.5, 0, -3},   {-2.7f, 1.0, 0, -2},  // scale 1: truncation
      {200.0f, 1.0, 0, -56},                        // wraps, no clamp
      {-2.7f, -1.0, 0, -2},                         // negative scale behaves like 1
      {125.0f, 1.0, 5, -126},                       // zero point wraps
      {NAN, 0.5, 0, 0},       {1e30f, 0.5, 0, -1},  // saturates to INT32_MAX, low 8 bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quantizeValue<int8_t>(c.x, c.scale, c.zp), c.out) << c.x << " / " << c.scale;
  }
  EXPECT_EQ(quantizeValue<int16_t>(40000.0f, 1.0, 0), static_cast<int16_t>(40000 - 65536));
  EXPECT_EQ(quantizeValue<int16_t>(3.0f, 0.25, -2), 10);
}

TEST(Dequantize, ThreeFormulas) {
  EXPECT_EQ(dequantizeValue<int8_t>(127, 0.5, 5), -62.0f);  // sum wraps in int8
  EXPECT_EQ(dequantizeFused(127, 0.5f, 5), 66.0f);          // 32-bit sum
  EXPECT_EQ(dequantizeConverter(7, -3, 0.25), 1.0f);
  EXPECT_EQ(dequantizeConverter(127, 1000, 1.0), 1127.0f);  // full zero point
  EXPECT_EQ(bf16ToFloat(0x3F80), 1.0f);
  EXPECT_TRUE(std::signbit(bf16ToFloat(0x8000)));
}

TEST(Qdq, PairsOverViews) {
  std::vector<float> f = {1.25f, -1.25f, 300.0f};
  std::vector<int8_t> q(3);
  qdqConvert(TensorView<float>(f.data(), {3}), qdq_params{0.5, 0},
             TensorView<int8_t>(q.data(), {3}), 0);
  EXPECT_EQ(q, (std::vector<int8_t>{3, -3, static_cast<int8_t>(600 & 0xFF)}));

  std::vector<uint16_t> h(3);
  qdqConvert(TensorView<float>(f.data(), {3}), qdq_params{}, TensorView<uint16_t>(h.data(), {3}),
             1);
  EXPECT_EQ(h[0], floatBits(1.25f) >> 16);

  std::vector<int8_t> b8 = {-1, 0, 2};
  bool bb[3];
  qdqConvert(TensorView<int8_t>(b8.data(), {3}), qdq_params{}, TensorView<bool>(bb, {3}), 0);
  EXPECT_TRUE(bb[0]);
  EXPECT_FALSE(bb[1]);
  EXPECT_TRUE(bb[2]);

  std::vector<float> back(3);
  qdqConvert(TensorView<int8_t>(b8.data(), {3}), qdq_params{0.5, 5},
             TensorView<float>(back.data(), {3}), 0);
  EXPECT_EQ(back, (std::vector<float>{2.0f, 2.5f, 3.5f}));
}

TEST(Qdq, Errors) {
  std::vector<float> f(4), g(4);
  std::vector<int8_t> q(3);
  EXPECT_THROW(
      {
        try {
          qdqConvert(TensorView<float>(f.data(), {4}), qdq_params{},
                     TensorView<int8_t>(q.data(), {3}), 0);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "xbuffer_storage not resizable");
          throw;
        }
      },
      std::runtime_error);
  try {
    qdqConvert(TensorView<float>(f.data(), {4}), qdq_params{}, TensorView<float>(g.data(), {4}), 0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid input type: float and output type: float");
  }
  std::vector<uint16_t> h(4);
  EXPECT_THROW(qdqConvert(TensorView<float>(f.data(), {4}), qdq_params{},
                          TensorView<uint16_t>(h.data(), {4}), 5),
               std::invalid_argument);
}

}  // namespace
}  // namespace korvanrt
