#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvanrt/types.hpp"
#include "layout_reference.hpp"
#include "model/tensor_dims.hpp"
#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {
namespace {

using testing::blockedSize;
using testing::randomFloats;
using testing::randomValues;

// CPU extents and extra device padding (N, C blocks, H, W). Covers tails (C
// not a multiple of the block, W not a multiple of 8 or 16) and N > 1.
struct Shape4Case {
  Extents4 cpu;
  Extents4 pad;
};
const Shape4Case kShapes[] = {
    {{1, 3, 2, 2}, {0, 0, 0, 0}},   {{1, 13, 3, 17}, {0, 0, 0, 0}}, {{2, 9, 2, 19}, {0, 0, 0, 0}},
    {{1, 16, 1, 2}, {0, 0, 0, 0}},  {{3, 8, 2, 16}, {0, 0, 0, 0}},  {{1, 24, 2, 33}, {0, 0, 0, 0}},
    {{2, 16, 3, 32}, {0, 0, 0, 0}}, {{1, 5, 3, 7}, {0, 1, 2, 3}},   {{2, 12, 2, 9}, {1, 0, 1, 8}},
    {{8, 16, 2, 24}, {0, 0, 0, 0}}, {{3, 11, 2, 21}, {0, 0, 0, 0}}, {{5, 16, 3, 40}, {0, 0, 0, 0}},
    {{2, 8, 3, 14}, {0, 0, 0, 0}},  {{1, 3, 2, 11}, {0, 0, 0, 0}},  {{3, 10, 2, 12}, {2, 1, 0, 5}},
};

Extents4 deviceOf(const Shape4Case& s, size_t b) {
  const size_t cb = ceilDiv(s.cpu.c, b) + s.pad.c;
  return {s.cpu.n + s.pad.n, cb * b, s.cpu.h + s.pad.h, s.cpu.w + s.pad.w};
}

std::string label(const Extents4& e, size_t b) {
  return std::to_string(e.n) + "x" + std::to_string(e.c) + "x" + std::to_string(e.h) + "x" +
         std::to_string(e.w) + " b" + std::to_string(b);
}

TEST(Fp32ToBlockedBf16, VectorScalarAndReferenceAgree) {
  for (const auto& s : kShapes) {
    for (size_t b : {4, 8}) {
      const Extents4 dev = deviceOf(s, b);
      const auto src = randomFloats(s.cpu.size(), 7);
      for (int mode : {0, 1, 3}) {
        const auto ref = testing::refToBlocked<float, uint16_t>(
            src, s.cpu, dev, b, [&](float f) { return bf16FromFloatUnclamped(f, mode); });
        std::vector<uint16_t> vec(ref.size(), 0xEEEE), scal(ref.size(), 0xEEEE);
        nchwFp32ToHcwncBf16(src.data(), vec.data(), s.cpu, dev, static_cast<int>(b), mode,
                            vec.size());
        nchwFp32ToHcwncBf16Scalar(src.data(), scal.data(), s.cpu, dev, static_cast<int>(b), mode,
                                  scal.size());
        EXPECT_EQ(vec, ref) << label(s.cpu, b) << " mode " << mode;
        EXPECT_EQ(scal, ref) << label(s.cpu, b) << " mode " << mode;
      }
    }
  }
}

TEST(Fp32ToBlockedBf16, SmallExampleKeepsPaddingLaneZero) {
  // CPU [1,3,2,2] into "HCWNC4" [2,1,2,1,4].
  std::vector<float> src(12);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<float>(i + 1);
  std::vector<uint16_t> dst(16, 0xFFFF);
  nchwFp32ToHcwncBf16(src.data(), dst.data(), {1, 3, 2, 2}, {1, 4, 2, 2}, 4, 0, dst.size());
  for (size_t h = 0; h < 2; ++h)
    for (size_t w = 0; w < 2; ++w) {
      for (size_t c = 0; c < 3; ++c)
        EXPECT_EQ(dst[(h * 2 + w) * 4 + c], floatBits(src[(c * 2 + h) * 2 + w]) >> 16);
      EXPECT_EQ(dst[(h * 2 + w) * 4 + 3], 0);
    }
}

TEST(Int8ToBlocked, VectorScalarAndReferenceAgree) {
  for (const auto& s : kShapes) {
    if (s.pad.n || s.pad.c || s.pad.h || s.pad.w) continue;  // CPU extents on both sides
    for (unsigned b : {4u, 8u}) {
      const Extents4 dev = deviceOf(s, b);
      const auto src = randomValues<int8_t>(s.cpu.size(), 11);
      const auto ref =
          testing::refToBlocked<int8_t, int8_t>(src, s.cpu, dev, b, [](int8_t v) { return v; });
      std::vector<int8_t> vec(ref.size(), 0), scal(ref.size(), 0);
      const int N = static_cast<int>(s.cpu.n), C = static_cast<int>(s.cpu.c),
                H = static_cast<int>(s.cpu.h), W = static_cast<int>(s.cpu.w);
      optimized_reshape_and_transpose_neon(src.data(), vec.data(), N, C, H, W, b);
      optimized_reshape_and_transpose_scalar(src.data(), scal.data(), N, C, H, W, b);
      EXPECT_EQ(vec, ref) << label(s.cpu, b);
      EXPECT_EQ(scal, ref) << label(s.cpu, b);
    }
  }
  // N = 1, C = 16, H = 1, W = 2, block 8: channel 10 at w = 1 lands at 26.
  std::vector<int8_t> src(32), dst(32);
  for (size_t i = 0; i < 32; ++i) src[i] = static_cast<int8_t>(i);
  optimized_reshape_and_transpose_neon(src.data(), dst.data(), 1, 16, 1, 2, 8);
  EXPECT_EQ(dst[26], src[10 * 2 + 1]);
}

TEST(SixteenBitToBlocked, MatchesReference) {
  for (const auto& s : kShapes) {
    if (s.cpu.c % 8 || s.pad.n || s.pad.c || s.pad.h || s.pad.w) continue;
    const auto src = randomValues<uint16_t>(s.cpu.size(), 13);
    const auto ref = testing::refToBlocked<uint16_t, uint16_t>(src, s.cpu, s.cpu, 8,
                                                               [](uint16_t v) { return v; });
    std::vector<uint16_t> out(ref.size(), 0xEEEE);
    nchwToHcwnc8Of16Bit(src.data(), out.data(), s.cpu.n, s.cpu.c, s.cpu.h, s.cpu.w);
    EXPECT_EQ(out, ref) << label(s.cpu, 8);
  }
}

TEST(BlockedInt8ToNchw, VectorMatchesDepadConverter) {
  for (const auto& s : kShapes) {
    if (s.cpu.c % 8 || s.cpu.w % 8 || s.pad.n || s.pad.c || s.pad.h || s.pad.w) continue;
    const Extents4 dev = deviceOf(s, 8);
    const auto src = randomValues<int8_t>(blockedSize(dev, 8), 5);
    const auto ref = testing::refFromBlocked<int8_t, int8_t>(src, dev, s.cpu, 8, false,
                                                             [](int8_t v) { return v; });
    std::vector<int8_t> vec(ref.size()), scal(ref.size());
    const TensorDims hw("HCWNC8", {static_cast<uint32_t>(dev.h), static_cast<uint32_t>(dev.c / 8),
                                   static_cast<uint32_t>(dev.w), static_cast<uint32_t>(dev.n), 8});
    const TensorDims cpu("NCHW", {static_cast<uint32_t>(s.cpu.n), static_cast<uint32_t>(s.cpu.c),
                                  static_cast<uint32_t>(s.cpu.h), static_cast<uint32_t>(s.cpu.w)});
    neon_hcwnc_int8_to_nchw_int8(src.data(), vec.data(), hw, cpu, "HCWNC8", "int8");
    hcwncToNchwDepad<int8_t>(src.data(), scal.data(), dev, s.cpu, 8, src.size());
    EXPECT_EQ(vec, ref) << label(s.cpu, 8);
    EXPECT_EQ(scal, ref) << label(s.cpu, 8);
  }
  // Channel padding: the vector converter leaves the destination alone.
  std::vector<int8_t> src(2 * 2 * 8 * 8, 1), dst(12 * 2 * 8, 0);
  neon_hcwnc_int8_to_nchw_int8(src.data(), dst.data(), TensorDims("HCWNC8", {2, 2, 8, 1, 8}),
                               TensorDims("NCHW", {1, 12, 2, 8}), "HCWNC8", "int8");
  EXPECT_EQ(dst, std::vector<int8_t>(dst.size(), 0));
}

TEST(BlockedReadBack, EveryFormAgreesWithReference) {
  for (const auto& s : kShapes) {
    for (size_t b : {4, 8}) {
      const Extents4 dev = deviceOf(s, b);
      const size_t devSize = blockedSize(dev, b);
      const int bi = static_cast<int>(b);
      const std::string at = label(s.cpu, b);

      const auto i16 = randomValues<int16_t>(devSize, 3);
      std::vector<int16_t> o16(s.cpu.size());
      hcwncToNchwDepad<int16_t>(i16.data(), o16.data(), dev, s.cpu, bi, devSize);
      EXPECT_EQ(o16, (testing::refFromBlocked<int16_t, int16_t>(i16, dev, s.cpu, b, false,
                                                                [](int16_t v) { return v; })))
          << at;

      const auto i8 = randomValues<int8_t>(devSize, 4);
      std::vector<int8_t> o8(s.cpu.size());
      if (b == 8) {
        hcwnc8Int8ToNchwDepad(i8.data(), o8.data(), dev, s.cpu, devSize);
        EXPECT_EQ(o8, (testing::refFromBlocked<int8_t, int8_t>(i8, dev, s.cpu, b, false,
                                                               [](int8_t v) { return v; })))
            << at;
      }
      hcwncToNhwcDepad<int8_t>(i8.data(), o8.data(), dev, s.cpu, bi, devSize);
      EXPECT_EQ(o8, (testing::refFromBlocked<int8_t, int8_t>(i8, dev, s.cpu, b, true,
                                                             [](int8_t v) { return v; })))
          << at;

      std::vector<float> f(s.cpu.size()), fs(s.cpu.size());
      // Scales that are floats, scales that need the double product, sums
      // too large for exact float products, results that overflow or are
      // subnormal.
      const struct {
        double scale;
        int32_t zeroPoint;
      } dq[] = {{0.25, 300},     {0.37, 300},     {0.05, 3},  {0.1, -7},    {1.0 / 3, 0},
                {0.05, 1 << 30}, {3e36, -100000}, {1e-42, 1}, {-0.007, 127}};
      for (const auto& [scale, zp] : dq) {
        const auto ref =
            testing::refFromBlocked<int8_t, float>(i8, dev, s.cpu, b, false, [&](int8_t q) {
              return static_cast<float>(
                  static_cast<double>(static_cast<float>(
                      static_cast<int32_t>(static_cast<uint32_t>(q) + static_cast<uint32_t>(zp)))) *
                  scale);
            });
        hcwncInt8ToNchwFp32(i8.data(), f.data(), dev, s.cpu, bi, devSize, scale, zp);
        hcwncInt8ToNchwFp32Scalar(i8.data(), fs.data(), dev, s.cpu, bi, devSize, scale, zp);
        ASSERT_EQ(f.size(), ref.size());
        for (size_t i = 0; i < f.size(); ++i) {
          ASSERT_EQ(floatBits(f[i]), floatBits(ref[i]))
              << at << " scale " << scale << " zero point " << zp << " element " << i;
          ASSERT_EQ(floatBits(fs[i]), floatBits(ref[i]))
              << at << " scale " << scale << " zero point " << zp << " element " << i;
        }
      }

      hcwncInt16ToNchwFp32(i16.data(), f.data(), dev, s.cpu, bi, devSize, 0.1, -7);
      EXPECT_EQ(
          f, (testing::refFromBlocked<int16_t, float>(
                 i16, dev, s.cpu, b, false,
                 [](int16_t q) {
                   return static_cast<float>(static_cast<double>(static_cast<float>(q - 7)) * 0.1);
                 })))
          << at;

      const auto h16 = randomValues<uint16_t>(devSize, 6);
      HCWNCsBf16ToNCHWFp32(h16.data(), f.data(), dev.n, dev.c, dev.h, dev.w, b, s.cpu.n, s.cpu.c,
                           s.cpu.h, s.cpu.w);
      hcwncBf16ToNchwFp32Scalar(h16.data(), fs.data(), dev, s.cpu, b, devSize);
      const auto fref = testing::refFromBlocked<uint16_t, float>(
          h16, dev, s.cpu, b, false, [](uint16_t v) { return bf16ToFloat(v); });
      ASSERT_EQ(f.size(), fref.size());
      for (size_t i = 0; i < f.size(); ++i) {
        ASSERT_EQ(floatBits(f[i]), floatBits(fref[i])) << at << " element " << i;
        ASSERT_EQ(floatBits(fs[i]), floatBits(fref[i])) << at << " element " << i;
      }
    }
  }
}

TEST(BlockedReadBack, ExampleOffset) {
  // Device "HCWNC8" [2,2,2,1,8] to CPU [1,12,2,2]: (0,9,1,0) comes from 49.
  std::vector<int8_t> src(64);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<int8_t>(i);
  std::vector<int8_t> dst(48);
  hcwncToNchwDepad<int8_t>(src.data(), dst.data(), {1, 16, 2, 2}, {1, 12, 2, 2}, 8, 64);
  EXPECT_EQ(dst[(9 * 2 + 1) * 2 + 0], 49);
}

TEST(NchwToNhwcBf16, VectorScalarAndReferenceAgree) {
  const Extents4 shapes[] = {{1, 9, 2, 13}, {2, 16, 3, 8}, {1, 3, 4, 5}, {2, 24, 1, 17}};
  for (const auto& e : shapes) {
    const auto src = randomValues<uint16_t>(e.size(), 9);
    std::vector<uint16_t> ref(e.size()), vec(e.size()), scal(e.size());
    testing::forEachNchw(e, [&](size_t n, size_t c, size_t h, size_t w) {
      ref[testing::nhwcOffset(e, n, c, h, w)] = src[testing::nchwOffset(e, n, c, h, w)];
    });
    const int N = static_cast<int>(e.n), C = static_cast<int>(e.c), H = static_cast<int>(e.h),
              W = static_cast<int>(e.w);
    optimized_transpose_nchw_to_nhwc_bf16(src.data(), vec.data(), N, C, H, W);
    optimized_transpose_nchw_to_nhwc_bf16_scalar(src.data(), scal.data(), N, C, H, W);
    EXPECT_EQ(vec, ref) << label(e, 1);
    EXPECT_EQ(scal, ref) << label(e, 1);
  }
}

TEST(NhwcToNchw, DropsPadding) {
  const Extents4 dev{2, 5, 3, 4}, cpu{2, 3, 2, 3};
  const auto src = randomValues<int16_t>(dev.size(), 2);
  std::vector<int16_t> dst(cpu.size()), ref(cpu.size());
  testing::forEachNchw(cpu, [&](size_t n, size_t c, size_t h, size_t w) {
    ref[testing::nchwOffset(cpu, n, c, h, w)] = src[testing::nhwcOffset(dev, n, c, h, w)];
  });
  nhwcToNchwDepad<int16_t>(src.data(), dst.data(), dev, cpu, dev.size());
  EXPECT_EQ(dst, ref);
}

TEST(Converters, RejectInconsistentShapesBeforeWriting) {
  std::vector<float> src(64, 1.0f);
  std::vector<uint16_t> dst(64, 0xAAAA);
  // Walk of [1,16,2,2] with block 8 needs 64 elements; the buffer claims 63.
  try {
    nchwFp32ToHcwncBf16(src.data(), dst.data(), {1, 16, 2, 2}, {1, 16, 2, 2}, 8, 0, 63);
    FAIL();
  } catch (const KorvanRTException& e) {
    EXPECT_NE(std::string(e.what()).find("tensor out of bound at "), std::string::npos);
  }
  EXPECT_EQ(dst, std::vector<uint16_t>(64, 0xAAAA));
  std::vector<int8_t> i8(64);
  std::vector<float> out(64);
  EXPECT_THROW(
      hcwncInt8ToNchwFp32(i8.data(), out.data(), {1, 8, 2, 2}, {1, 8, 2, 3}, 8, 64, 1.0, 0),
      KorvanRTException);
  EXPECT_THROW(
      hcwncToNchwDepad<int8_t>(i8.data(), i8.data(), {1, 16, 2, 2}, {1, 16, 2, 2}, 8, 64 - 1),
      KorvanRTException);
  EXPECT_THROW(hcwnc8Int8ToNchwDepad(i8.data(), i8.data(), {1, 16, 2, 2}, {1, 16, 2, 2}, 64 - 1),
               KorvanRTException);
  std::vector<uint16_t> b16(64);
  EXPECT_THROW(hcwnc8Bf16ToNchwFp32(b16.data(), out.data(), {1, 16, 2, 2}, {1, 16, 2, 2}, 64 - 1),
               KorvanRTException);
}

}  // namespace
}  // namespace korvanrt
