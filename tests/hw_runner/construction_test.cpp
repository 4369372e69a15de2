#include "device/qel_context.hpp"
#include "hw_fixture.hpp"
#include "txn/pellix_qel.hpp"

namespace hw_test {
namespace {

using korvanrt::KorvanHWRunnerImpl;

TEST(HWRunnerConstruction, OptionErrors) {
  const auto m = example("loopback_nhwc");
  const struct {
    OptionsMap options;
    std::string message;
  } cases[] = {
      {{{"num_of_trelmrt_threads", int32_t{9}}},
       "Number of TRELM Runtime threads (num_of_trelmrt_threads) cannot exceed 8!"},
      {{{"perf_mem_trade_off", std::string("fast")}},
       "Invalid 'perf_mem_trade_off' mode fast specified, set from {performance, balanced, low "
       "mem}"},
  };
  for (const auto& c : cases) {
    const std::string what = messageOf([&] { makeRunner(writtenExamples(), m, c.options); });
    EXPECT_EQ(what.rfind("korvan_rt/src/KorvanHWRunner:", 0), 0u) << what;
    EXPECT_TRUE(endsWith(what, ": " + c.message)) << what;
  }
}

TEST(HWRunnerConstruction, EightBufferSetsAreReadyInPerformanceMode) {
  const auto m = example("loopback_two_inputs");
  OptionsMap options{{"num_of_trelmrt_threads", int32_t{8}}};
  auto runner = makeRunner(writtenExamples(), m, options);
  auto& impl = runner->impl();
  EXPECT_EQ(impl.numThreads(), 8);
  for (size_t t = 0; t < 8; ++t) {
    ASSERT_TRUE(impl.inputBos_[t]);
    ASSERT_TRUE(impl.outputBos_[t]);
    // Sub-buffers lie back to back in their set's buffer, in description order.
    EXPECT_EQ(impl.inputSubBos_[t][1].address(),
              impl.inputSubBos_[t][0].address() + impl.inputSizes_[0]);
  }
  // The queue hands out the sets in ascending order.
  for (int32_t expected = 0; expected < 8; ++expected) {
    int32_t set = -1;
    impl.execQueue_.waitAndPop(set);
    EXPECT_EQ(set, expected);
  }
  for (int32_t t = 0; t < 8; ++t) impl.execQueue_.push(t);
}

TEST(HWRunnerConstruction, MemoryModesAllocateWhatTheyPromise) {
  const auto m = example("conv_bf16");
  for (const char* mode : {"performance", "balanced", "low mem"}) {
    SCOPED_TRACE(mode);
    OptionsMap options{{"perf_mem_trade_off", std::string(mode)},
                       {"num_of_trelmrt_threads", int32_t{2}}};
    auto runner = makeRunner(writtenExamples(), m, options);
    auto& impl = runner->impl();
    const bool perf = std::string(mode) == "performance";
    EXPECT_EQ(impl.weightsAllocated_, std::string(mode) != "low mem");
    EXPECT_EQ(impl.spillAllocated_, perf);
    EXPECT_EQ(impl.ioAllocated_, perf);
    EXPECT_EQ(static_cast<bool>(impl.inputBos_[1]), perf);
    EXPECT_EQ(static_cast<bool>(impl.weightsBo_), std::string(mode) != "low mem");
    if (!perf) {
      // The tensor-handle path needs every buffer up front.
      auto ref = referenceOf(writtenExamples(), m);
      const std::string what = messageOf([&] { expectReferenceOutputs(*runner, m, ref); });
      EXPECT_TRUE(endsWith(what, ": Some QEL BOs were not initialized, cannot continue!")) << what;
    }
  }
}

TEST(HWRunnerConstruction, LowMemSplitsTheRunsOfAGraphIntoTwoChunks) {
  const auto m = example("graph_two_ops");
  OptionsMap options{{"perf_mem_trade_off", std::string("low mem")},
                     {"num_of_trelmrt_threads", int32_t{2}}};
  auto runner = makeRunner(writtenExamples(), m, options);
  auto& impl = runner->impl();
  EXPECT_EQ(impl.numRunChunks_, 2);
  EXPECT_EQ(impl.runChunkSizes_, (std::vector<int32_t>{1, 1}));
  for (const auto& pipes : impl.transactionRuntime()->pipe_runlists_) {
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[0].size(), 1u);
    EXPECT_EQ(pipes[1].size(), 1u);
  }
}

// A runner whose device generation is unknown, or whose configuration
// container cannot be found, has no context: it is built, but refuses every
// device operation instead of waiting for buffer sets it never made.
TEST(HWRunnerConstruction, RunnerWithoutContextRefusesWork) {
  const auto m = example("loopback_nhwc");
  OptionsMap noContainer{{"fabpak_path", std::string("/nonexistent/unified-4x4.fabpak")}};
  std::vector<std::unique_ptr<korvanrt::KorvanHWRunner>> runners;
  runners.push_back(makeRunner(writtenExamples(), m, {}, "unknown-device"));
  runners.push_back(makeRunner(writtenExamples(), m, noContainer));
  const auto ref = referenceOf(writtenExamples(), m);
  for (auto& runner : runners) {
    EXPECT_EQ(runner->get_context(), nullptr);
    EXPECT_TRUE(endsWith(messageOf([&] { runner->getDevice(); }), ": context not initialized"));
    EXPECT_TRUE(endsWith(messageOf([&] { runner->getHwContext(); }), ": context not initialized"));
    EXPECT_TRUE(endsWith(messageOf([&] { expectReferenceOutputs(*runner, m, ref); }),
                         ": context not initialized"));
    std::vector<korvanrt::Bf16TensorView> none;
    EXPECT_TRUE(endsWith(messageOf([&] { runner->executeDevice(none, none, none); }),
                         ": context not initialized"));
    EXPECT_TRUE(endsWith(messageOf([&] { runner->getTensorsFromMemPool("input"); }),
                         ": context not initialized"));
  }
}

TEST(HWRunnerConstruction, GraphConnectivityErrors) {
  const auto m = example("graph_two_ops");
  const struct {
    std::string connectivity;
    std::string message;
  } cases[] = {
      {R"([{"inputs":["ifm_ddr_3"],"outputs":["spill_ddr_0"]},)"
       R"({"inputs":["spill_ddr_0"],"outputs":["ofm_ddr_0"]}])",
       "ERROR!  Connectivity Input Buffer Index above number of input buffers!"},
      {R"([{"inputs":["ifm_ddr_0"],"outputs":["spill_ddr_0"]},)"
       R"({"inputs":["spill_ddr_0"],"outputs":["out_0"]}])",
       "ERROR! Invalid buffer name out_0"},
      {R"([{"inputs":["ifm_ddr_0"],"outputs":["spill_ddr_0"]},)"
       R"({"inputs":["spill_ddr_0"],"outputs":["ofm_ddr_1"]}])",
       "ERROR!  Connectivity Output Buffer Index above number of output buffers!"},
      {R"([{"inputs":["ifm_ddr_0"],"outputs":["spill_ddr_0"]}])",
       "Number of custom ops does not match connectivity in custom_graph_metadata.json!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Scratch scratch;
    korvan::pack::writeModel(m, scratch.dir);
    const auto f = partitionFiles(scratch.dir, m);
    auto doc = nlohmann::ordered_json::parse(readText(f.hsi));
    doc["connectivity"] = nlohmann::ordered_json::parse(c.connectivity);
    std::ofstream(f.hsi) << doc.dump();
    const std::string what = messageOf([&] { makeRunner(scratch.dir, m, {}); });
    EXPECT_TRUE(endsWith(what, ": " + c.message)) << what;
  }
}

}  // namespace
}  // namespace hw_test
