#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "tensor/layout/pad_depad.hpp"
#include "tensor/layout/shape_ops.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {
namespace {

template <typename T>
std::vector<T> iota(size_t n, int start = 1) {
  std::vector<T> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<T>(start + static_cast<int>(i));
  return v;
}

// Reference padding written from the definition (element by element).
template <typename T>
std::vector<T> refPad(const std::vector<T>& src, const Shape& in, const Shape& before,
                      const Shape& after) {
  Shape out(in.size());
  for (size_t k = 0; k < in.size(); ++k) out[k] = in[k] + before[k] + after[k];
  std::vector<T> dst(shapeSize(out), T{});
  std::vector<size_t> idx(in.size(), 0);
  for (size_t i = 0; i < src.size(); ++i) {
    size_t rem = i, o = 0;
    for (size_t k = in.size(); k-- > 0;) {
      idx[k] = rem % in[k];
      rem /= in[k];
    }
    for (size_t k = 0; k < in.size(); ++k) o = o * out[k] + idx[k] + before[k];
    dst[o] = src[i];
  }
  return dst;
}

template <typename T>
void checkPad(const Shape& in, const Shape& before, const Shape& after) {
  auto src = iota<T>(shapeSize(in));
  auto ref = refPad(src, in, before, after);
  Shape out(in.size());
  for (size_t k = 0; k < in.size(); ++k) out[k] = in[k] + before[k] + after[k];
  std::vector<T> dst(ref.size(), static_cast<T>(99));
  padTensor(TensorView<T>(src.data(), in), in, before, after, out, TensorView<T>(dst.data(), out));
  EXPECT_EQ(dst, ref);
}

TEST(Pad, FastAndGeneralPathsMatchDefinition) {
  struct Case {
    Shape in, before, after;
  };
  const Case cases[] = {
      {{1, 3, 2, 2}, {0, 0, 0, 0}, {0, 1, 0, 0}},  // channel padding
      {{2, 3, 2, 5}, {0, 0, 0, 0}, {0, 1, 2, 3}},  // N = 2, every axis padded
      {{2, 3, 2, 5}, {0, 0, 0, 0}, {0, 0, 0, 0}},  // nothing padded
      {{1, 1, 2, 2}, {0, 0, 1, 1}, {0, 0, 0, 0}},  // leading padding: general path
      {{3, 4}, {1, 0}, {0, 2}},                    // rank 2
      {{2, 1, 2, 3, 2}, {0, 1, 0, 0, 1}, {1, 0, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    checkPad<int8_t>(c.in, c.before, c.after);
    checkPad<int16_t>(c.in, c.before, c.after);
    checkPad<bf16_t>(c.in, c.before, c.after);
  }
}

TEST(Pad, Errors) {
  auto src = iota<int8_t>(12);
  std::vector<int8_t> dst(16);
  const Shape in{1, 3, 2, 2};
  auto call = [&](const Shape& before, const Shape& after, const Shape& out, size_t dstSize) {
    padTensor(TensorView<int8_t>(src.data(), in), in, before, after, out,
              TensorView<int8_t>(dst.data(), {dstSize}));
  };
  try {
    call({0, 0, 0, 0}, {0, 1, 0, 0}, {1, 4, 4}, 16);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "in_shape and out_shape must be the same size");
  }
  // The fast path's output_shape disagrees with the padded shape.
  EXPECT_THROW(call({0, 0, 0, 0}, {0, 1, 0, 0}, {1, 2, 2, 4}, 16), std::invalid_argument);
  // Destination too small.
  try {
    call({0, 0, 0, 0}, {0, 1, 0, 0}, {1, 4, 2, 2}, 15);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "xbuffer_storage not resizable");
  }
}

TEST(Depad, KeepsLeadingCorner) {
  struct Case {
    Shape in, out;
  };
  const Case cases[] = {{{1, 1, 2, 3}, {1, 1, 2, 2}},
                        {{2, 3, 2, 5}, {2, 2, 1, 3}},
                        {{2, 2, 3, 2, 3}, {1, 2, 2, 2, 1}},
                        {{4, 6}, {4, 6}}};
  for (const auto& c : cases) {
    auto src = iota<int16_t>(shapeSize(c.in));
    // Reference: take the leading corner of the padded tensor.
    Shape before(c.in.size(), 0), after(c.in.size());
    std::vector<int16_t> ref;
    {
      std::vector<size_t> idx(c.in.size());
      for (size_t i = 0; i < src.size(); ++i) {
        size_t rem = i;
        bool keep = true;
        for (size_t k = c.in.size(); k-- > 0;) {
          idx[k] = rem % c.in[k];
          rem /= c.in[k];
          keep = keep && idx[k] < c.out[k];
        }
        if (keep) ref.push_back(src[i]);
      }
    }
    std::vector<int16_t> dst(shapeSize(c.out));
    depadTensor(TensorView<int16_t>(src.data(), c.in), c.in, c.out,
                TensorView<int16_t>(dst.data(), c.out));
    EXPECT_EQ(dst, ref);
    std::vector<int8_t> s8(src.begin(), src.end()), d8(dst.size());
    DepadTensors(TensorView<int8_t>(s8.data(), c.in), TensorView<int8_t>(d8.data(), c.out), c.in,
                 c.out, 1.0f, 0);
    EXPECT_EQ(std::vector<int16_t>(d8.begin(), d8.end()), ref);
  }
  std::vector<int8_t> s(6), d(6);
  EXPECT_THROW(depadTensor(TensorView<int8_t>(s.data(), {6}), {6}, {1, 6},
                           TensorView<int8_t>(d.data(), {6})),
               std::invalid_argument);
}

TEST(DepadTensors, ConversionsByTypePair) {
  std::vector<int8_t> q = {127, 0, -3, 4};
  std::vector<float> f(2, -1.0f);
  DepadTensors(TensorView<int8_t>(q.data(), {2, 2}), TensorView<float>(f.data(), {2, 1}), {2, 2},
               {2, 1}, 0.5f, 5);
  EXPECT_EQ(f, (std::vector<float>{66.0f, 1.0f}));
  bool b[2] = {true, true};
  DepadTensors(TensorView<int8_t>(q.data(), {2, 2}), TensorView<bool>(b, {1, 2}), {2, 2}, {1, 2},
               1.0f, 0);
  EXPECT_TRUE(b[0]);
  EXPECT_FALSE(b[1]);
  // float source: nothing is written.
  std::vector<float> fs = {1, 2, 3, 4};
  std::vector<int8_t> untouched(4, 9);
  DepadTensors(TensorView<float>(fs.data(), {4}), TensorView<int8_t>(untouched.data(), {4}), {4},
               {4}, 1.0f, 0);
  EXPECT_EQ(untouched, std::vector<int8_t>(4, 9));
}

TEST(DepadBf16ToFloat, WidensLeadingCorner) {
  std::vector<uint16_t> src = {0x3F80, 0x4000, 0x4040, 0x8000, 0x4080, 0x40A0};
  std::vector<float> dst(4);
  depadBf16ToFloat(src.data(), dst.data(), {2, 3}, {2, 2});
  EXPECT_EQ(dst, (std::vector<float>{1.0f, 2.0f, -0.0f, 4.0f}));
  std::vector<float> all(6);
  depadBf16ToFloat(src.data(), all.data(), {6}, {6});
  EXPECT_EQ(all[2], 3.0f);
  try {
    depadBf16ToFloat(src.data(), all.data(), {6}, {5});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported number of dimensions");
  }
}

TEST(ReshapeAndTranspose, BlockedPlanAndErrors) {
  // K [1,2,4,2,2] (N, CB, 4, H, W) with perm [3,1,4,0,2] -> [H, CB, W, N, 4].
  auto src = iota<int8_t>(32, 0);
  std::vector<int8_t> dst(32);
  reshapeAndTranspose(TensorView<int8_t>(src.data(), {1, 8, 2, 2}), {1, 2, 4, 2, 2},
                      {3, 1, 4, 0, 2}, TensorView<int8_t>(dst.data(), {2, 2, 2, 1, 4}));
  for (size_t c = 0; c < 8; ++c)
    for (size_t h = 0; h < 2; ++h)
      for (size_t w = 0; w < 2; ++w)
        EXPECT_EQ(dst[((h * 2 + c / 4) * 2 + w) * 4 + c % 4], src[(c * 2 + h) * 2 + w]);

  auto expectMessage = [&](const std::vector<uint32_t>& K, const std::vector<uint32_t>& perm,
                           const char* message) {
    try {
      reshapeAndTranspose(TensorView<int8_t>(src.data(), {32}), K, perm,
                          TensorView<int8_t>(dst.data(), {32}));
      FAIL() << message;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), message);
    }
  };
  expectMessage({1, 2, 5, 3}, {0, 1, 2, 3},
                "Cannot reshape with incorrect number of elements. Do you mean to resize?");
  expectMessage({1, 2, 4, 2, 2}, {0, 1, 5, 2, 3}, "Permutation contains wrong axis");
  expectMessage({1, 2, 4, 2, 2}, {0, 1, 1, 2, 3}, "Permutation contains wrong axis");
  expectMessage({1, 2, 4, 2, 2}, {0, 1, 2}, "Permutation does not have the same size as shape");
}

TEST(SliceAndTile, SubBlockAndRepeat) {
  auto src = iota<int16_t>(12, 0);  // [3, 4]
  std::vector<int16_t> s(4);
  sliceTensor(TensorView<int16_t>(src.data(), {3, 4}), {1, 1}, {2, 2},
              TensorView<int16_t>(s.data(), {2, 2}));
  EXPECT_EQ(s, (std::vector<int16_t>{5, 6, 9, 10}));
  std::vector<int16_t> t(8);
  tileTensor(TensorView<int16_t>(src.data(), {1, 2}), {2, 2},
             TensorView<int16_t>(t.data(), {2, 4}));
  EXPECT_EQ(t, (std::vector<int16_t>{0, 1, 0, 1, 0, 1, 0, 1}));
  std::vector<int16_t> t2(12);
  tileTensor(TensorView<int16_t>(src.data(), {2, 2}), {3, 1},
             TensorView<int16_t>(t2.data(), {6, 2}));
  EXPECT_EQ(t2, (std::vector<int16_t>{0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}));
  // A tile result larger than the destination.
  EXPECT_THROW(tileTensor(TensorView<int16_t>(src.data(), {2, 2}), {3, 1},
                          TensorView<int16_t>(t.data(), {8})),
               std::runtime_error);
  std::vector<int16_t> big(128);
  try {
    sliceTensor(TensorView<int16_t>(big.data(), {1, 1, 1, 1, 1, 1, 128}), {0, 0, 0, 0, 0, 0, 0},
                {1, 1, 1, 1, 1, 1, 1}, TensorView<int16_t>(big.data(), {1}));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid input shape: 7");
  }
}

}  // namespace
}  // namespace korvanrt
