#include <gtest/gtest.h>

#include <numeric>

#include "test_device.hpp"

namespace {

using qel_test::test_device;

class BufferTest : public ::testing::Test {
 protected:
  void SetUp() override { qel::emu::reset(); }
  void TearDown() override { qel::emu::reset(); }
  test_device t;
};

TEST_F(BufferTest, WriteReadMapAndSubBufferShareMemory) {
  qel::bo parent(t.ctx, 4096, 0);
  std::vector<std::uint8_t> data(4096);
  std::iota(data.begin(), data.end(), 0);
  parent.write(data.data());

  qel::bo sub(parent, 100, 1000);
  EXPECT_EQ(sub.size(), 100u);
  EXPECT_EQ(sub.address(), parent.address() + 1000);
  EXPECT_EQ(sub.map<std::uint8_t*>(), parent.map<std::uint8_t*>() + 1000);
  std::uint8_t b = 0;
  sub.read(&b, 1, 5);
  EXPECT_EQ(b, data[1005]);

  const std::uint8_t v = 0xAB;
  sub.write(&v, 1, 99);
  EXPECT_EQ(parent.map<std::uint8_t*>()[1099], 0xAB);
  // A sub-buffer of a sub-buffer stacks the offsets.
  qel::bo subsub(sub, 10, 90);
  EXPECT_EQ(subsub.address(), parent.address() + 1090);
}

TEST_F(BufferTest, SubBufferKeepsParentAlive) {
  qel::bo sub;
  {
    qel::bo parent(t.dev, 8192, 0);
    std::memset(parent.map(), 0x5A, 8192);
    sub = qel::bo(parent, 16, 8176);
  }
  EXPECT_EQ(qel_test::contents<std::uint8_t>(sub), std::vector<std::uint8_t>(16, 0x5A));
}

TEST_F(BufferTest, CopiesShareTheObjectAndCompareByIdentity) {
  qel::bo a(t.ctx, 64, 0);
  qel::bo copy = a;
  qel::bo other(a, 64, 0);  // same memory, different buffer object
  EXPECT_TRUE(copy == a);
  EXPECT_FALSE(other == a);
  EXPECT_FALSE(qel::bo());
  EXPECT_TRUE(a);
}

TEST_F(BufferTest, OutOfRangeAccessRaisesAndTouchesNothing) {
  qel::bo parent(t.ctx, 256, 0);
  qel::bo b(parent, 128, 64);
  std::vector<char> scratch(512, 'x');
  struct access {
    std::size_t size, offset;
  };
  for (const auto& a :
       std::vector<access>{{129, 0}, {1, 128}, {0, 129}, {2, SIZE_MAX}, {SIZE_MAX, 2}}) {
    SCOPED_TRACE(std::to_string(a.size) + "@" + std::to_string(a.offset));
    EXPECT_THROW(b.write(scratch.data(), a.size, a.offset), qel::error);
    EXPECT_THROW(b.read(scratch.data(), a.size, a.offset), qel::error);
    EXPECT_THROW(b.sync(qel::bo::direction::to_device, a.size, a.offset), qel::error);
    EXPECT_THROW(qel::bo(b, a.size, a.offset), qel::error);
  }
  EXPECT_EQ(qel_test::contents<char>(parent), std::vector<char>(256, 0));
  // The last byte is reachable.
  EXPECT_NO_THROW(b.write(scratch.data(), 1, 127));
}

TEST_F(BufferTest, EmptyHandlesRaise) {
  qel::bo empty;
  char c;
  EXPECT_THROW(empty.address(), qel::error);
  EXPECT_THROW(empty.map(), qel::error);
  EXPECT_THROW(empty.read(&c, 1, 0), qel::error);
  EXPECT_THROW(qel::bo(empty, 1, 0), qel::error);
  EXPECT_THROW(qel::ext::bo(qel::device(), 16), qel::error);
  EXPECT_THROW(qel::bo(t.ctx, 16, 99), qel::error);  // no such memory group
}

TEST_F(BufferTest, AddressesAreUniqueAlignedAndLeaveRoomForTheDeviceOffset) {
  std::vector<qel::bo> bos;
  for (int i = 0; i < 16; ++i) bos.push_back(qel::ext::bo(t.dev, 1 + i * 1000));
  for (std::size_t i = 0; i < bos.size(); ++i) {
    const auto a = bos[i].address();
    EXPECT_EQ(a % 4096, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bos[i].map()) % 4096, 0u);
    EXPECT_LT(a + 0x80000000ull + bos[i].size(), 1ull << 48);
    for (std::size_t j = 0; j < i; ++j) {
      // Ranges do not overlap.
      EXPECT_TRUE(a >= bos[j].address() + bos[j].size() || bos[j].address() >= a + bos[i].size());
    }
  }
}

TEST_F(BufferTest, UserMemoryBufferUsesCallerMemory) {
  alignas(4096) static std::uint32_t host[1024];
  host[7] = 77;
  qel::ext::bo b(t.dev, host, sizeof host);
  EXPECT_EQ(b.map(), static_cast<void*>(host));
  std::uint32_t v = 0;
  b.read(&v, 4, 28);
  EXPECT_EQ(v, 77u);
  EXPECT_EQ(qel::emu::memory_in_use(), 0u);  // caller memory is not device memory
  EXPECT_THROW(qel::ext::bo(t.dev, nullptr, 16), qel::error);
}

TEST_F(BufferTest, LargeBuffersAreLazyAndCapacityLimitsAllocation) {
  // The shared spill buffer's first attempt: costs nothing until touched.
  qel::ext::bo big(t.dev, 4294901760ull);
  EXPECT_EQ(big.size(), 4294901760ull);
  big.map<char*>()[4294901759ull] = 1;
  big.write("x", 1, 123456789);

  qel::emu::set_memory_capacity(4ull << 30);
  EXPECT_THROW(qel::ext::bo(t.dev, 4294901760ull), qel::error);
  big = qel::ext::bo();
  EXPECT_EQ(qel::emu::memory_in_use(), 0u);
  try {
    qel::ext::bo b(t.dev, (4ull << 30) + 1);
    FAIL() << "allocation beyond capacity succeeded";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("out of device memory"), std::string::npos);
  }
  qel::ext::bo fits(t.dev, 2147483648ull);  // the fallback size fits
  EXPECT_EQ(qel::emu::memory_in_use(), 2147483648ull);
}

}  // namespace
