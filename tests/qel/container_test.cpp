#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "test_device.hpp"

namespace {

using qel_test::test_uuid;

std::vector<char> sample_container() {
  return qel::fabpak_builder(test_uuid(9))
      .add_kernel("DPU")
      .add_kernel("conv_nchw_hcwnc8", "noop")
      .set_property("run_overhead_ns", 5000)
      .build();
}

TEST(Container, RoundTripFromBytesAndFile) {
  const auto bytes = sample_container();
  qel::fabpak f(bytes);
  EXPECT_EQ(f.get_uuid(), test_uuid(9));
  EXPECT_EQ(f.kernel_names(), (std::vector<std::string>{"DPU", "conv_nchw_hcwnc8"}));

  const std::string path = "qel_container_test.fabpak";
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(qel::fabpak(path).get_uuid(), test_uuid(9));
  EXPECT_THROW(qel::fabpak(std::string("no/such/file.fabpak")), qel::error);
}

TEST(Container, MalformedBytesRaise) {
  const auto good = sample_container();
  struct mutation {
    const char* name;
    std::function<void(std::vector<char>&)> apply;
  };
  const std::vector<mutation> cases = {
      {"empty", [](auto& b) { b.clear(); }},
      {"truncated", [](auto& b) { b.resize(b.size() - 1); }},
      {"bad magic", [](auto& b) { b[0] = 'X'; }},
      {"bad version", [](auto& b) { b[8] = 7; }},
      {"flipped payload byte", [](auto& b) { b[45] ^= 1; }},
      {"trailing byte", [](auto& b) { b.push_back(0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = good;
    c.apply(bytes);
    EXPECT_THROW(qel::fabpak{bytes}, qel::error);
  }
  // A kernel listed twice.
  auto dup = qel::fabpak_builder(test_uuid(1)).add_kernel("DPU").add_kernel("DPU").build();
  EXPECT_THROW(qel::fabpak{dup}, qel::error);
}

TEST(Container, UuidOrderingAndText) {
  const auto a = test_uuid(1), b = test_uuid(2);
  EXPECT_LT(a, b);
  std::map<qel::uuid, int> m{{b, 2}, {a, 1}};
  EXPECT_EQ(m.begin()->second, 1);
  EXPECT_EQ(a.to_string(), "51e10000-0000-0000-0000-000000000001");
  EXPECT_EQ(qel::uuid::from_string(a.to_string()), a);
  EXPECT_FALSE(qel::uuid());
  EXPECT_THROW(qel::uuid::from_string("51e10000-0000"), std::invalid_argument);
}

TEST(Container, ContextsAndKernelsNeedRegisteredContainers) {
  qel::fabpak f(sample_container());
  qel::device dev(0);
  EXPECT_THROW(qel::hw_context(dev, test_uuid(99), qel::hw_context::access_mode::shared),
               qel::error);
  EXPECT_EQ(dev.register_fabpak(f), f.get_uuid());
  EXPECT_EQ(dev.register_fabpak(f), f.get_uuid());  // again: harmless

  qel::hw_context ctx(dev, f.get_uuid(), {{"priority", 512}, {"latency", 2000}});
  EXPECT_EQ(ctx.get_qos().at("priority"), 512u);
  EXPECT_THROW(qel::hw_context(dev, f.get_uuid(), {{"speed", 1}}), qel::error);

  qel::kernel k(ctx, "DPU");
  EXPECT_EQ(k.group_id(1), 1u);
  EXPECT_EQ(k.group_id(3), 0u);
  EXPECT_THROW(k.group_id(64), qel::error);
  EXPECT_THROW(qel::kernel(ctx, "MISSING"), qel::error);

  // Devices: 0 and 1 exist and are shared while open.
  EXPECT_EQ(qel::device(1).get_index(), 1u);
  EXPECT_TRUE(qel::device(0) == dev);
  EXPECT_THROW(qel::device(2), qel::error);
  qel::device pl(1);
  EXPECT_THROW(qel::hw_context(pl, f.get_uuid(), qel::hw_context::access_mode::shared), qel::error);
  pl.register_fabpak(f);
  qel::hw_context plctx(pl, f.get_uuid(), qel::hw_context::access_mode::shared);
  EXPECT_NO_THROW(qel::kernel(plctx, "conv_nchw_hcwnc8"));
}

TEST(Container, ElfRoundTripAndMalformedElf) {
  qel::program::builder p;
  p.fill(qel::program::operand::argument(3), 1, 4);
  const auto image = p.elf();
  qel::module m{qel::elf(image)};
  EXPECT_EQ(m.program_size(), p.transaction().size());

  struct mutation {
    const char* name;
    std::function<void(std::vector<char>&)> apply;
  };
  const std::vector<mutation> cases = {
      {"short", [](auto& b) { b.resize(40); }},
      {"bad magic", [](auto& b) { b[1] = 'X'; }},
      {"32-bit class", [](auto& b) { b[4] = 1; }},
      {"section table past end",
       [](auto& b) {
         b[0x28] = static_cast<char>(0xF0);
         b[0x2D] = 1;
       }},
      {"bad name table index", [](auto& b) { b[0x3e] = 9; }},
      {"section past end", [](auto& b) { b.resize(b.size() - 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = image;
    c.apply(bytes);
    EXPECT_THROW(qel::elf{bytes}, qel::error);
  }
  // A valid ELF without the program section.
  auto other = image;
  const auto pos = std::string(other.begin(), other.end()).find(".qel.program");
  ASSERT_NE(pos, std::string::npos);
  other[pos + 1] = 'x';
  qel::elf e(other);
  EXPECT_THROW(qel::module{e}, qel::error);
}

TEST(Container, IniKeys) {
  qel::ini::set("Debug.ml_timeline", "true");
  EXPECT_EQ(qel::ini::get("Debug.ml_timeline"), "true");
  qel::ini::set("Debug.ml_timeline", "false");
  EXPECT_THROW(qel::ini::set("Debug.ml_timeline", "yes"), qel::error);
  EXPECT_THROW(qel::ini::set("Debug.unknown", "1"), qel::error);
}

}  // namespace

namespace {

// Runs in a fresh process: the environment is read at first use.
bool settings_from_environment() {
  setenv("QEL_EMU_FAULTS", "memory=1M; fail=1:timeout", 1);
  if (qel::emu::memory_capacity() != (1u << 20)) return false;
  qel_test::test_device t;
  qel::program::builder p;
  auto instr = t.instruction_bo(p);
  auto r = t.txn_run(instr, {});
  if (qel_test::finish(r) != qel::command_state::timeout) return false;
  if (qel_test::finish(r) != qel::command_state::completed) return false;
  qel::emu::reset();  // back to the environment's settings, not the defaults
  return qel::emu::memory_capacity() == (1u << 20) &&
         qel_test::finish(r) == qel::command_state::timeout;
}

bool bad_environment_raises() {
  setenv("QEL_EMU_FAULTS", "fail=abc", 1);
  try {
    qel::emu::memory_capacity();
  } catch (const qel::error& e) {
    return std::string(e.what()).find("QEL_EMU_FAULTS") != std::string::npos;
  }
  return false;
}

TEST(Environment, FaultSettingsComeFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(settings_from_environment() ? 0 : 1), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(_exit(bad_environment_raises() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
