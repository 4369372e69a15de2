#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "qel/emulator.hpp"
#include "txn_fixture.hpp"

namespace {

using pellix::qel_context;
using txn_test::containerBytes;

constexpr uint64_t kGiB = uint64_t{1} << 30;

class QelContextTest : public ::testing::Test {
 protected:
  void SetUp() override { qel::emu::reset(); }
  void TearDown() override { qel::emu::reset(); }
  // Lets only `bytes` more device memory be allocated.
  static void allowOnly(uint64_t bytes) {
    qel::emu::set_memory_capacity(qel::emu::memory_in_use() + bytes);
  }
};

TEST_F(QelContextTest, OneContextPerContainer) {
  auto& a = qel_context::get_instance(containerBytes(40), "DPU", {{"gops", 5}});
  auto& same = qel_context::get_instance(containerBytes(40), "OTHER", {{"gops", 9}});
  auto& other = qel_context::get_instance(containerBytes(41), "DPU", {});
  EXPECT_EQ(&a, &same);
  EXPECT_NE(&a, &other);
  EXPECT_EQ(a.qos, (std::map<std::string, uint32_t>{{"gops", 5}}));
  EXPECT_EQ(a.hw_context.get_qos(), a.qos);
  EXPECT_EQ(a.kernel.get_name(), "DPU");
  EXPECT_EQ(a.device.get_index(), 0u);
  EXPECT_FALSE(a.pl_device);
  EXPECT_EQ(&a.get_spill_bo(1 << 20), &same.get_spill_bo());

  // A failed creation registers nothing; a later request tries again.
  EXPECT_THROW(qel_context::get_instance(containerBytes(42), "MISSING", {}), std::exception);
  EXPECT_EQ(qel_context::get_instance(containerBytes(42), "DPU", {}).kernel.get_name(), "DPU");
  EXPECT_THROW(qel_context::get_instance({'x'}, "DPU", {}), std::exception);
}

TEST_F(QelContextTest, ProgrammableLogicContextFromAFile) {
  const auto path = std::filesystem::temp_directory_path() / "txn_pl_context.fabpak";
  {
    const auto bytes = containerBytes(43);
    std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
  }
  auto& pl = qel_context::init_pl_instance(path.string());
  EXPECT_EQ(&pl, &qel_context::init_pl_instance(path.string()));
  EXPECT_EQ(pl.pl_device.get_index(), 1u);
  EXPECT_EQ(pl.pl_hw_context.get_mode(), qel::hw_context::access_mode::shared);
  EXPECT_FALSE(pl.device);
  EXPECT_FALSE(pl.kernel);
  EXPECT_EQ(pl.spill_size, 0xFFFF0000u);
  std::filesystem::remove(path);
  EXPECT_THROW(qel_context::init_pl_instance(path.string()), std::exception);
}

TEST_F(QelContextTest, SpillBufferSizes) {
  struct Case {
    const char* what;
    bool withSize;
    uint64_t requested;
    uint64_t allowed;  // device memory left
    uint64_t expectedSize;
    uint64_t expectedSpillSize;
    const char* printed;
  };
  const Case cases[] = {
      {"default fits", false, 0, 8 * kGiB, 0xFFFF0000u, 0xFFFF0000u, ""},
      {"default too large", false, 0, 3 * kGiB, 2 * kGiB, 0xFFFF0000u,
       "Spill size is too large, trying smaller size\n"},
      {"size 0 too large", true, 0, 3 * kGiB, 2 * kGiB, 0xFFFF0000u, ""},
      {"stated size", true, 1 << 20, 8 * kGiB, 1 << 20, 1 << 20, ""},
      {"above 4 GiB", true, 4 * kGiB, 8 * kGiB, 2 * kGiB, 0xFFFF0000u,
       "ERROR! Max Spill Buffer Size is greater than 4GB\n"},
  };
  uint8_t id = 50;
  for (const auto& c : cases) {
    auto& ctx = qel_context::get_instance(containerBytes(id++), "DPU", {});
    allowOnly(c.allowed);
    testing::internal::CaptureStdout();
    auto& bo = c.withSize ? ctx.get_spill_bo(c.requested) : ctx.get_spill_bo();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.what;
    EXPECT_EQ(bo.size(), c.expectedSize) << c.what;
    EXPECT_EQ(ctx.spill_size, c.expectedSpillSize) << c.what;
    // Later requests return the same buffer whatever they ask for.
    EXPECT_EQ(&ctx.get_spill_bo(8 << 20), &bo);
    EXPECT_EQ(ctx.get_spill_bo().size(), c.expectedSize);
    qel::emu::reset();
  }

  auto& ctx = qel_context::get_instance(containerBytes(id++), "DPU", {});
  allowOnly(kGiB);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      attempt == 0 ? ctx.get_spill_bo() : ctx.get_spill_bo(1);  // 1 byte fits: see below
      if (attempt == 0) FAIL() << "no spill buffer fits";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Can not create Spill BO: ", 0), 0u) << e.what();
    }
  }
  EXPECT_EQ(ctx.spill_bo.size(), 1u);
}

}  // namespace
