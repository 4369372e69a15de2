// Serialized argument lists of the user-model protocol: round trip, and lists
// that end early or claim more than they hold.

#include <gtest/gtest.h>

#include <cstring>

#include "korvanrt/types.hpp"
#include "session/private_impl.hpp"

namespace {

using korvanrt::client::PrivateImpl;
using korvanrt::client::Tensor;

std::vector<uint8_t> words(std::initializer_list<uint64_t> values) {
  std::vector<uint8_t> bytes(values.size() * 8);
  size_t i = 0;
  for (const auto v : values) std::memcpy(bytes.data() + 8 * i++, &v, 8);
  return bytes;
}

TEST(ArgumentList, RoundTrip) {
  int a = 0, b = 0, c = 0;
  const std::vector<Tensor> ins{{&a, {1, 8, 2, 2}}, {&b, {}}};
  const std::vector<Tensor> outs{{&c, {3}}};
  const auto bytes = PrivateImpl::serializeArgs(ins, outs);
  EXPECT_EQ(bytes.size(), 8u * (1 + 6 + 2 + 1 + 3));
  std::vector<Tensor> gotIn{{nullptr, {9}}}, gotOut;
  PrivateImpl::deserializeArgs(bytes.data(), bytes.size(), gotIn, gotOut);
  ASSERT_EQ(gotIn.size(), 2u);
  ASSERT_EQ(gotOut.size(), 1u);
  EXPECT_EQ(gotIn[0].data, &a);
  EXPECT_EQ(gotIn[0].shape, (std::vector<uint64_t>{1, 8, 2, 2}));
  EXPECT_EQ(gotIn[1].data, &b);
  EXPECT_TRUE(gotIn[1].shape.empty());
  EXPECT_EQ(gotOut[0].data, &c);
  EXPECT_EQ(gotOut[0].shape, (std::vector<uint64_t>{3}));

  // Unaligned bytes read the same.
  std::vector<uint8_t> shifted(bytes.size() + 1);
  std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
  PrivateImpl::deserializeArgs(shifted.data() + 1, bytes.size(), gotIn, gotOut);
  EXPECT_EQ(gotIn[0].shape, (std::vector<uint64_t>{1, 8, 2, 2}));
}

TEST(ArgumentList, ListsThatDoNotHoldWhatTheyClaimAreRefused) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uint64_t size;
  } cases[] = {
      {"empty", {}, 0},
      {"no output count", words({0}), 8},
      {"size shorter than the words", words({0, 0}), 12},
      {"huge input count", words({~0ull, 0, 0}), 24},
      {"rank beyond the list", words({1, 0, 1000, 1, 2}), 40},
      {"missing dimension", words({1, 0, 4, 1, 2, 3}), 48},
      {"huge output count", words({0, 1ull << 60, 0}), 24},
  };
  for (const auto& c : cases) {
    std::vector<Tensor> ins, outs;
    EXPECT_THROW(PrivateImpl::deserializeArgs(c.bytes.data(), c.size, ins, outs),
                 korvanrt::KorvanRTException)
        << c.what;
  }
  std::vector<Tensor> ins, outs;
  EXPECT_THROW(PrivateImpl::deserializeArgs(nullptr, 16, ins, outs), korvanrt::KorvanRTException);
}

}  // namespace
