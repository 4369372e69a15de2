#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "model/hw_cluster_params.hpp"
#include "qel/emulator.hpp"
#include "txn/pellix_qel.hpp"
#include "txn/threadsafe_queue.hpp"
#include "txn_fixture.hpp"

namespace {

using korvanrt::pellix_qel;
using qel::command_state;
using qel::program::builder;
using qel::program::operand;
using testing::EndsWith;
using testing::StartsWith;
using namespace std::chrono_literals;
using namespace txn_test;

// Three subgraphs whose result depends on their order: 1s into bytes 0-7,
// bytes 0-7 copied to 8-15, 3s into bytes 0-3.
std::vector<builder> orderedPrograms(size_t count = 3) {
  std::vector<builder> p(3);
  p[0].fill(operand::argument(5), 1, 8);
  p[1].copy(operand::argument(5, 8), operand::argument(5), 8);
  p[2].fill(operand::argument(5), 3, 4);
  p.resize(count);
  return p;
}

const std::vector<uint8_t> kOrdered = {3, 3, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// A partition of one subgraph per program, each set bound to its own output.
struct Partition {
  Partition(const std::vector<builder>& programs, int32_t sets, bool preemption = false)
      : ctx(context(1)) {
    std::vector<std::unique_ptr<MemoryReader>> owned;
    std::vector<korvanrt::KorvanIOReader*> txns, descs;
    for (const auto& p : programs) {
      owned.push_back(std::make_unique<MemoryReader>(p.transaction(), "ml_txn.bin"));
      txns.push_back(owned.back().get());
      owned.push_back(std::make_unique<MemoryReader>(
          std::string(R"({"external_buffers":{"cp":{"name":"runtime_control_packet",)"
                      R"("qel_id":3,"size_in_bytes":8}}})"),
          "external_buffer_id.json"));
      descs.push_back(owned.back().get());
    }
    MemoryReader pkt(std::vector<char>(8, 0), "ctrl_pkt0.bin");
    qel = std::make_unique<pellix_qel>(txns, &pkt, nullptr, sets, &ctx, descs);
    qel->preemption_ = preemption;
    qel->set_wait_limit(200ms);
    for (int32_t b = 0; b < sets; ++b) {
      outputs.push_back(qel::ext::bo(ctx.device, 16));
      for (uint32_t s = 0; s < programs.size(); ++s)
        qel->set_argument(qel::bo(), outputs[b], outputs[b], qel::bo(), s, b);
      qel->add_run(b);
    }
  }

  std::vector<uint8_t> output(int b) const {
    const auto* p = outputs[b].map<uint8_t*>();
    return {p, p + 16};
  }

  // The chunk run lists the runner builds in its memory-saving mode.
  void makePipes() {
    const int32_t n = qel->num_subgraphs_, half = (n + 1) / 2;
    for (int32_t b = 0; b < qel->num_buffer_sets_; ++b) {
      for (int32_t from : {0, half}) {
        if (from >= n) break;
        qel::runlist list(ctx.hw_context);
        for (int32_t s = from; s < (from == 0 ? half : n); ++s) list.add(qel->runs_[b * n + s]);
        qel->pipe_runlists_[b].push_back(list);
      }
    }
  }

  pellix::qel_context& ctx;
  std::unique_ptr<pellix_qel> qel;
  std::vector<qel::bo> outputs;
};

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { qel::emu::reset(); }
  void TearDown() override { qel::emu::reset(); }
};

TEST_F(RunTest, RunListsExecuteSubgraphsInOrder) {
  Partition part(orderedPrograms(), 2);
  EXPECT_EQ(part.qel->runlists_[1].size(), 3u);
  part.qel->run_graph(1);
  EXPECT_EQ(part.output(1), kOrdered);
  EXPECT_EQ(part.output(0), std::vector<uint8_t>(16, 0));
  part.qel->run_graph(0);
  EXPECT_EQ(part.output(0), kOrdered);

  part.makePipes();
  ASSERT_EQ(part.qel->pipe_runlists_[1].size(), 2u);
  EXPECT_EQ(part.qel->pipe_runlists_[1][0].size(), 2u);
  std::memset(part.outputs[1].map(), 0, 16);
  part.qel->run_graph_pipe(1, 0);
  part.qel->run_graph_pipe(1, 1);
  EXPECT_EQ(part.output(1), kOrdered);
  EXPECT_THROW(part.qel->run_graph_pipe(1, 2), std::out_of_range);
  EXPECT_THROW(part.qel->run_graph(2), std::out_of_range);
}

TEST_F(RunTest, PreemptionStartsASingleRunDirectly) {
  Partition part(orderedPrograms(1), 1, true);
  EXPECT_EQ(part.qel->runlists_[0].size(), 0u);
  part.qel->run_graph(0);
  EXPECT_EQ(part.output(0)[7], 1);
  Partition listed(orderedPrograms(1), 1, false);
  EXPECT_EQ(listed.qel->runlists_[0].size(), 1u);
}

// Waits until the device has let go of every run of the partition.
void settle(const Partition& part) {
  for (const auto& r : part.qel->runs_)
    for (int i = 0; i < 400 && !qel::is_final(r.state()) && r.state() != command_state::new_command;
         ++i)
      std::this_thread::sleep_for(5ms);
}

TEST_F(RunTest, TimeoutsAreReportedAndLeaveTheRuntimeUsable) {
  struct Case {
    const char* what;
    size_t subgraphs;
    bool preemption;
    bool pipe;
    std::string prefix;
  };
  const Case cases[] = {
      {"run list", 3, false, false, "runlist [buf_index=0] timed out! Command State="},
      {"pipe", 3, false, true, "runlist [buf_index=0][pipe_index=0] timed out! Command State="},
      {"single run", 1, true, false, "runlist [buf_index=0] timed out! Command State="},
  };
  for (const auto& c : cases) {
    Partition part(orderedPrograms(c.subgraphs), 1, c.preemption);
    if (c.pipe) part.makePipes();
    qel::emu::reset();
    qel::emu::set_hang(1);
    try {
      c.pipe ? part.qel->run_graph_pipe(0, 0) : part.qel->run_graph(0);
      ADD_FAILURE() << c.what << ": no timeout";
    } catch (const std::runtime_error& e) {
      const std::string state = std::to_string(static_cast<int>(
          c.pipe ? part.qel->pipe_runlists_[0][0].state()
                 : (c.preemption ? part.qel->runs_[0].state() : part.qel->runlists_[0].state())));
      std::string expected = c.prefix + state;
      if (c.preemption) expected += ": QEL run index 0 failed! Error State=UNKNOWN ERROR!";
      EXPECT_EQ(e.what(), expected) << c.what;
    }
    qel::emu::reset();  // releases the hung run
    settle(part);
    std::memset(part.outputs[0].map(), 0, 16);
    if (c.pipe) {
      part.qel->run_graph_pipe(0, 0);
      part.qel->run_graph_pipe(0, 1);
    } else {
      part.qel->run_graph(0);
    }
    EXPECT_EQ(part.output(0)[7], 1) << c.what;
  }
}

TEST_F(RunTest, CommandErrorsNameTheFailingRun) {
  struct Case {
    const char* what;
    size_t subgraphs;
    bool preemption;
    int pipe;  // -1: whole run list
    int32_t set;
    uint64_t nthRun;
    command_state state;
    std::string suffix;
  };
  const Case cases[] = {
      {"second run of set 0", 2, false, -1, 0, 2, command_state::error,
       ": runlist index 1 failed! Error State=ERT_CMD_STATE_ERROR"},
      {"first run of set 1", 2, false, -1, 1, 1, command_state::no_response,
       ": runlist index 2 failed! Error State=ERT_CMD_STATE_NORESPONSE"},
      {"second pipe of set 1", 3, false, 1, 1, 1, command_state::abort,
       ": runlist index 5 failed! Error State=ERT_CMD_STATE_ABORT"},
      {"single run", 1, true, -1, 1, 1, command_state::timeout,
       ": QEL run index 1 failed! Error State=ERT_CMD_STATE_TIMEOUT"},
  };
  for (const auto& c : cases) {
    Partition part(orderedPrograms(c.subgraphs), 2, c.preemption);
    part.makePipes();
    qel::emu::reset();
    qel::emu::set_fault(c.nthRun, c.state);
    try {
      c.pipe >= 0 ? part.qel->run_graph_pipe(c.set, c.pipe) : part.qel->run_graph(c.set);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), EndsWith(c.suffix)) << c.what;
      EXPECT_THAT(e.what(), StartsWith("qel: ")) << c.what;
    }
    // The same buffer set runs again.
    part.qel->run_graph(c.set);
    EXPECT_EQ(part.output(c.set)[7], 1) << c.what;
  }
}

TEST_F(RunTest, DebugLevelFromTheEnvironment) {
  Partition part(orderedPrograms(2), 1);
  {
    ScopedEnv env("ENABLE_ML_DEBUG", "abc");
    EXPECT_THROW(part.qel->run_graph(0), std::invalid_argument);
    EXPECT_THROW(part.qel->run_graph_pipe(0, 0), std::invalid_argument);
    EXPECT_EQ(qel::emu::runs_submitted(), 0u);
  }
  // A level without a dump session only tells the user and returns.
  ScopedEnv env("ENABLE_ML_DEBUG", "4");
  qel::emu::set_fault(1, command_state::error);
  testing::internal::CaptureStdout();
  EXPECT_NO_THROW(part.qel->run_graph(0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Will wait for user input.\n");
}

TEST_F(RunTest, QemuTestWaitsWithoutLimit) {
  std::vector<builder> slow(1);
  slow[0].delay(100ms).fill(operand::argument(5), 9, 1);
  Partition part(slow, 1);
  part.qel->set_wait_limit(1ms);
  part.qel->qemu_test_ = true;
  part.qel->run_graph(0);
  EXPECT_EQ(part.output(0)[0], 9);
}

TEST(ThreadsafeQueueTest, HandsOutValuesInOrderAndWakesWaiters) {
  korvanrt::ThreadsafeQueue<int> q;
  for (int i = 0; i < 3; ++i) q.push(i);
  for (int i = 0; i < 3; ++i) {
    int v = -1;
    q.waitAndPop(v);
    EXPECT_EQ(v, i);
  }
  int got = -1;
  std::thread waiter([&] { q.waitAndPop(got); });
  std::this_thread::sleep_for(20ms);
  q.push(7);
  waiter.join();
  EXPECT_EQ(got, 7);
}

// Two buffer sets re-bound and run from two threads at once, as the hardware
// runner does with the sets it takes from its queue.
TEST_F(RunTest, BufferSetsRunConcurrently) {
  const auto pkt = copyCtrlPkt();
  MemoryReader txn(copyThroughCtrlPkt().transaction(), "ml_txn.bin");
  MemoryReader pktReader(pkt, "ctrl_pkt0.bin");
  MemoryReader desc(copyDescription(), "external_buffer_id.json");
  auto& ctx = context(1);
  pellix_qel q({&txn}, &pktReader, nullptr, 2, &ctx, {&desc});
  const std::string hsi = copyHsi();
  korvanrt::HWClusterParams params(hsi.data(), hsi.size(), false, korvanrt::HsiSource::Package);

  // Two input/output pairs per set; each round binds the other pair.
  std::vector<qel::bo> in, out;
  pellix_qel::AddressMaps addresses(2);
  pellix_qel::BufferMaps buffers(2);
  for (int i = 0; i < 4; ++i) {
    in.push_back(qel::ext::bo(ctx.device, 64));
    out.push_back(qel::ext::bo(ctx.device, 64));
    std::memset(in.back().map(), 0x20 + i, 64);
  }
  for (int b = 0; b < 2; ++b) {
    addresses[b] = {{"ifm_ddr", in[b].address()}, {"ofm_ddr", out[b].address()}};
    buffers[b] = {{"ifm_ddr", in[b]}, {"ofm_ddr", out[b]}};
  }
  q.set_arguments(addresses, buffers, qel::bo(), {in[0], in[1]}, {out[0], out[1]}, {});
  for (int b = 0; b < 2; ++b) q.add_run(b);

  auto worker = [&](int b) {
    auto myAddresses = addresses;
    auto myBuffers = buffers;
    for (int round = 0; round < 20; ++round) {
      const int pair = b + 2 * (round % 2);
      myAddresses[b] = {{"ifm_ddr", in[pair].address()}, {"ofm_ddr", out[pair].address()}};
      myBuffers[b] = {{"ifm_ddr", in[pair]}, {"ofm_ddr", out[pair]}};
      std::vector<std::vector<qel::bo>> ins(2), outs(2);
      ins[b] = {in[pair]};
      outs[b] = {out[pair]};
      std::memset(out[pair].map(), 0, 64);
      q.patch_arguments(myAddresses, myBuffers, qel::bo(), ins, outs, {}, params, b);
      q.run_graph(b);
      EXPECT_EQ(out[pair].map<uint8_t*>()[kCopyBytes - 1], 0x20 + pair) << b << " " << round;
    }
  };
  std::thread t0(worker, 0), t1(worker, 1);
  t0.join();
  t1.join();
}

}  // namespace
