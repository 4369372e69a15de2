#include <gtest/gtest.h>

#include <thread>

#include "test_device.hpp"

namespace {

using namespace std::chrono_literals;
using qel::command_state;
using qel::program::builder;
using qel::program::operand;
using qel_test::finish;
using qel_test::test_device;

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { qel::emu::reset(); }
  void TearDown() override { qel::emu::reset(); }

  // A run that writes `value` into the first byte of `out`.
  qel::run marker_run(const qel::bo& out, std::uint8_t value,
                      std::chrono::nanoseconds delay = 0ns) {
    builder p;
    if (delay.count()) p.delay(delay);
    p.fill(operand::argument(3), value, 1);
    instrs_.push_back(t.instruction_bo(p));
    return t.txn_run(instrs_.back(), {out});
  }

  test_device t;
  std::vector<qel::bo> instrs_;
};

TEST_F(RunTest, StatesAndRepeatedStarts) {
  auto out = t.buffer(8);
  auto r = marker_run(out, 7);
  EXPECT_EQ(r.state(), command_state::new_command);
  EXPECT_THROW(r.wait(), qel::error);  // never started
  for (int i = 0; i < 3; ++i) {
    r.start();
    EXPECT_EQ(r.wait2(), std::cv_status::no_timeout);
    EXPECT_EQ(r.state(), command_state::completed);
  }
  EXPECT_EQ(out.map<std::uint8_t*>()[0], 7);
  EXPECT_EQ(qel::emu::runs_submitted(), 3u);
  EXPECT_THROW(qel::run().start(), qel::error);
  EXPECT_THROW(r.set_arg_at_index(64, std::uint64_t{0}), qel::error);
}

TEST_F(RunTest, ArgumentsAreCapturedAtStart) {
  auto a = t.buffer(8), b = t.buffer(8);
  auto r = marker_run(a, 1, 50ms);
  r.start();
  r.set_arg_at_index(3, b.address() + qel_test::address_offset);  // next start only
  ASSERT_EQ(r.wait(), command_state::completed);
  EXPECT_EQ(a.map<std::uint8_t*>()[0], 1);
  EXPECT_EQ(b.map<std::uint8_t*>()[0], 0);
  ASSERT_EQ(finish(r), command_state::completed);
  EXPECT_EQ(b.map<std::uint8_t*>()[0], 1);
}

TEST_F(RunTest, WaitLimitsAndFailureReports) {
  auto out = t.buffer(8);
  auto slow = marker_run(out, 1, 300ms);
  slow.start();
  EXPECT_THROW(slow.start(), qel::error);  // already in flight
  EXPECT_EQ(slow.wait2(20ms), std::cv_status::timeout);
  const auto pending = slow.wait(1ms);
  EXPECT_TRUE(pending == command_state::running || pending == command_state::queued);
  EXPECT_EQ(slow.wait2(0ms), std::cv_status::no_timeout);

  builder p;
  p.fault(command_state::abort);
  auto instr = t.instruction_bo(p);
  auto bad = t.txn_run(instr, {});
  bad.start();
  EXPECT_EQ(bad.wait(), command_state::abort);
  try {
    bad.wait2();
    FAIL() << "wait2 reported success for an aborted run";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("ABORT (6)"), std::string::npos) << e.what();
  }
}

TEST_F(RunTest, RunListExecutesInOrderAndRepeats) {
  auto out = t.buffer(8);
  qel::runlist list(t.ctx);
  EXPECT_THROW(list.wait(), qel::error);  // never executed
  for (std::uint8_t v : {1, 2, 3}) list.add(marker_run(out, v));
  EXPECT_THROW(list.add(qel::run()), qel::error);
  for (int i = 0; i < 2; ++i) {
    out.map<std::uint8_t*>()[0] = 0;
    list.execute();
    EXPECT_EQ(list.wait(), std::cv_status::no_timeout);
    EXPECT_EQ(list.state(), command_state::completed);
    EXPECT_EQ(out.map<std::uint8_t*>()[0], 3);  // last run wrote last
  }
  // Runs of another context do not belong here.
  test_device other(2);
  qel::runlist foreign(other.ctx);
  EXPECT_THROW(foreign.add(marker_run(out, 1)), qel::error);
  // An empty list completes at once.
  qel::runlist empty(t.ctx);
  empty.execute();
  EXPECT_EQ(empty.wait(), std::cv_status::no_timeout);
}

TEST_F(RunTest, FailingRunStopsTheListAndIsIdentified) {
  auto out = t.buffer(8);
  std::vector<qel::run> runs = {marker_run(out, 1), marker_run(out, 2), marker_run(out, 3)};
  qel::runlist list(t.ctx);
  for (const auto& r : runs) list.add(r);
  qel::emu::set_fault(2, command_state::no_response);  // the list's second run
  list.execute();
  try {
    list.wait();
    FAIL() << "no command error";
  } catch (const qel::runlist::command_error& e) {
    EXPECT_EQ(e.get_command_state(), command_state::no_response);
    EXPECT_TRUE(e.get_run() == runs[1]);
    EXPECT_FALSE(e.get_run() == runs[0]);
    EXPECT_NE(std::string(e.what()).find("NORESPONSE (9)"), std::string::npos) << e.what();
  }
  EXPECT_EQ(list.state(), command_state::no_response);
  EXPECT_EQ(static_cast<int>(list.state()), 9);
  EXPECT_EQ(out.map<std::uint8_t*>()[0], 1);  // the third run never ran
  EXPECT_EQ(runs[2].state(), command_state::new_command);
  // The list stays usable.
  list.execute();
  EXPECT_EQ(list.wait(), std::cv_status::no_timeout);
  EXPECT_EQ(out.map<std::uint8_t*>()[0], 3);
}

TEST_F(RunTest, FaultSettingsTable) {
  struct fault_case {
    const char* settings;
    command_state expect;
  };
  const std::vector<fault_case> cases = {
      {"fail=2:error", command_state::error},
      {"fail=2:abort", command_state::abort},
      {"fail=2:timeout", command_state::timeout},
      {"fail=2:9", command_state::no_response},
  };
  auto out = t.buffer(8);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    qel::emu::reset();
    qel::emu::configure(c.settings);
    auto r = marker_run(out, 1);
    EXPECT_EQ(finish(r), command_state::completed);
    EXPECT_EQ(finish(r), c.expect);
    EXPECT_EQ(finish(r), command_state::completed);
  }
  for (const char* bad : {"fail=0:error", "fail=1:completed", "delay_ms=x", "speed=3", "memory"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(qel::emu::configure(bad), qel::error);
  }
  qel::ini::set("Emulator.faults", "memory=1M");
  EXPECT_EQ(qel::emu::memory_capacity(), 1u << 20);
}

TEST_F(RunTest, DelayAndHangMakeHostTimeoutsReal) {
  auto out = t.buffer(8);
  qel::emu::set_run_delay(100ms);
  auto r = marker_run(out, 1);
  r.start();
  EXPECT_EQ(r.wait2(10ms), std::cv_status::timeout);
  EXPECT_EQ(r.wait2(), std::cv_status::no_timeout);

  qel::emu::reset();
  qel::emu::set_hang(1);
  qel::runlist list(t.ctx);
  list.add(r);
  list.execute();
  EXPECT_EQ(list.wait(50ms), std::cv_status::timeout);
  EXPECT_EQ(list.state(), command_state::running);
  qel::emu::reset();  // releases the hung run
  EXPECT_THROW(list.wait(), qel::runlist::command_error);
  EXPECT_EQ(r.state(), command_state::abort);
}

TEST_F(RunTest, SimulatedLatencyIsAccurate) {
  test_device timed(3, {{"run_overhead_ns", 2'000'000}, {"op_overhead_ns", 1'000'000}});
  builder p;
  p.delay(5ms).fill(operand::argument(3), 1, 1);  // 2 + 5 + 2 x 1 = 9 ms
  auto instr = timed.instruction_bo(p);
  auto out = timed.buffer(8);
  auto r = timed.txn_run(instr, {out});
  // Never early; the best of a few runs within 10% (the machine may be busy).
  auto best = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 7; ++i) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(finish(r), command_state::completed);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 9ms);
    best = std::min(best, took);
  }
  EXPECT_LT(best, 9900us);
}

TEST(Engines, RunListsOverlapOnlyWithSeveralEngines) {
  for (unsigned engines : {1u, 2u}) {
    SCOPED_TRACE(engines);
    qel::emu::reset();
    qel::emu::set_engines(engines);
    test_device t(4, {{"run_overhead_ns", 60'000'000}});
    auto out = t.buffer(8);
    auto instr = t.instruction_bo(builder{});
    std::vector<qel::runlist> lists;
    for (int i = 0; i < 2; ++i) {
      lists.emplace_back(t.ctx);
      lists.back().add(t.txn_run(instr, {out}));
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto& l : lists) l.execute();
    for (auto& l : lists) l.wait();
    const auto took = std::chrono::steady_clock::now() - start;
    if (engines == 1)
      EXPECT_GE(took, 120ms);
    else
      EXPECT_LT(took, 110ms);
  }
  qel::emu::reset();
}

TEST_F(RunTest, ConcurrentRunsFromManyThreads) {
  constexpr int threads = 6, rounds = 40;
  std::vector<qel::bo> outs;
  std::vector<qel::run> runs;
  for (int i = 0; i < threads; ++i) {
    outs.push_back(t.buffer(64));
    builder p;
    p.fill(operand::argument(3), static_cast<std::uint8_t>(i + 1), 64)
        .copy(operand::argument(3, 32), operand::argument(3, 0), 32);
    instrs_.push_back(t.instruction_bo(p));
    runs.push_back(t.txn_run(instrs_.back(), {outs.back()}));
  }
  std::vector<std::thread> pool;
  std::atomic<int> failures{0};
  for (int i = 0; i < threads; ++i)
    pool.emplace_back([&, i] {
      qel::runlist list(t.ctx);
      list.add(runs[i]);
      for (int k = 0; k < rounds; ++k) {
        list.execute();
        if (list.wait(10s) != std::cv_status::no_timeout) ++failures;
        if (outs[i].map<std::uint8_t*>()[63] != i + 1) ++failures;
      }
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(qel::emu::runs_submitted(), static_cast<std::uint64_t>(threads * rounds));
}

TEST_F(RunTest, TimelineRecordsRunsWhenEnabled) {
  auto out = t.buffer(8);
  auto r = marker_run(out, 1);
  qel::ini::set("Debug.ml_timeline", "true");
  finish(r);
  qel::ini::set("Debug.ml_timeline", "false");
  finish(r);
  const auto tl = qel::emu::timeline();
  ASSERT_EQ(tl.size(), 1u);
  EXPECT_EQ(tl[0].kernel, "DPU");
  EXPECT_EQ(tl[0].state, command_state::completed);
  EXPECT_LE(tl[0].start, tl[0].end);
}

}  // namespace
