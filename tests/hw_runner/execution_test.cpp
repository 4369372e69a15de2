#include <qel/emulator.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "hw_fixture.hpp"

namespace hw_test {
namespace {

using korvanrt::bf16_t;
using korvanrt::Bf16TensorView;
namespace reference = korvan::pack::reference;

TEST(HWRunnerExecution, MemoryModesGiveTheSameOutputs) {
  for (const char* name : {"graph_two_ops", "custom_op_copy", "conv_bf16", "loopback_nhwc"}) {
    const auto m = example(name);
    const auto ref = referenceOf(writtenExamples(), m);
    for (const char* mode : {"performance", "balanced", "low mem"}) {
      SCOPED_TRACE(std::string(name) + ", " + mode);
      OptionsMap options{{"perf_mem_trade_off", std::string(mode)},
                         {"num_of_trelmrt_threads", int32_t{2}}};
      auto runner = makeRunner(writtenExamples(), m, options);
      for (int round = 0; round < 3; ++round) {
        ViewCall call(m, ref);
        runner->executeDevice(call.inputs, call.outputs, {});
        call.expectReference(m, ref);
      }
    }
  }
}

// Concurrent tensor-view inferences on two buffer sets, with the graph run
// in two chunks on chunk threads in "low mem": every caller gets its own
// correct outputs.
TEST(HWRunnerExecution, ConcurrentViewInferencesInEveryMode) {
  const auto m = example("graph_two_ops");
  const auto ref = referenceOf(writtenExamples(), m);
  for (const char* mode : {"performance", "balanced", "low mem"}) {
    SCOPED_TRACE(mode);
    OptionsMap options{{"perf_mem_trade_off", std::string(mode)},
                       {"num_of_trelmrt_threads", int32_t{2}}};
    auto runner = makeRunner(writtenExamples(), m, options);
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
      callers.emplace_back([&, c] {
        for (int r = 0; r < 5; ++r) {
          // Every element 1 + c in bfloat16; the graph doubles it twice.
          ViewCall call(m, ref);
          const float value = static_cast<float>(1 + c);
          uint32_t bits = 0;
          std::memcpy(&bits, &value, 4);
          for (size_t i = 0; i < call.inputs[0].size(); ++i)
            call.inputs[0].data[i] = static_cast<bf16_t>(bits >> 16);
          runner->executeDevice(call.inputs, call.outputs, {});
          const float expected = 4.0f * value;
          std::memcpy(&bits, &expected, 4);
          for (size_t i = 0; i < call.outputs[0].size(); ++i)
            if (call.outputs[0].data[i] != static_cast<bf16_t>(bits >> 16)) {
              ++failures;
              break;
            }
        }
      });
    for (auto& t : callers) t.join();
    EXPECT_EQ(failures.load(), 0);
  }
}

TEST(HWRunnerExecution, CountMismatchMessages) {
  const auto m = example("loopback_two_inputs");
  auto runner = makeRunner(writtenExamples(), m, {});
  HostTensor t = HostTensor::zeros(korvan::pack::ElementType::int8, {1});
  std::vector<ErtTensorType> three, two;
  for (int i = 0; i < 3; ++i) three.push_back(tensorOver(t, "x"));
  for (int i = 0; i < 2; ++i) two.push_back(tensorOver(t, "x"));
  EXPECT_TRUE(endsWith(messageOf([&] { runner->executeDevice(three, two); }),
                       ": Mismatch in number of input tensors. Expected:2 Actual:3"));
  EXPECT_TRUE(endsWith(messageOf([&] { runner->executeDevice(two, three); }),
                       ": Mismatch in number of output tensors. Expected:2Actual:3"));
}

// Device-format tensors bound to buffers of their own: the runner neither
// writes the inputs nor reads the outputs back into host memory.
TEST(HWRunnerExecution, CallerBoundBuffersAreUsedInPlace) {
  const auto m = example("loopback_nhwc");
  const auto ref = referenceOf(writtenExamples(), m);
  auto runner = makeRunner(writtenExamples(), m, {});
  const auto& part = m.partitions.at(0);
  const HostTensor deviceIn = reference::toDevice(part.inputs[0], ref.inputs[0]);
  const auto bytes = deviceIn.bytes.size();

  qel::ext::bo inBo(runner->getDevice(), bytes), outBo(runner->getDevice(), bytes);
  inBo.write(deviceIn.bytes.data(), bytes, 0);
  std::vector<uint8_t> hostIn(bytes, 0xAB), hostOut(bytes, 0xCD);
  auto bound = [&](const std::string& name, qel::bo& bo, std::vector<uint8_t>& host) {
    TensorMetadataType meta;
    meta.name = name;
    meta.size = bytes;
    meta.dtype = korvanrt::client::BF16;
    ErtTensorType t(meta);
    t.impl->setBo(bo);
    t.hasBo = true;
    t.data = host.data();
    return std::vector<ErtTensorType>{t};
  };
  auto inputs = bound(part.inputs[0].name, inBo, hostIn);
  auto outputs = bound(part.outputs[0].name, outBo, hostOut);
  runner->executeDevice(inputs, outputs);

  // The device read the caller's buffer, not the host bytes behind `data`.
  HostTensor deviceOut = HostTensor::zeros(part.outputs[0].hwType, part.outputs[0].hwShape);
  outBo.read(deviceOut.bytes.data(), bytes, 0);
  EXPECT_EQ(reference::fromDevice(part.outputs[0], deviceOut).bytes, ref.outputs[0].bytes);
  EXPECT_EQ(hostIn, std::vector<uint8_t>(bytes, 0xAB));
  EXPECT_EQ(hostOut, std::vector<uint8_t>(bytes, 0xCD));
  std::vector<uint8_t> inNow(bytes);
  inBo.read(inNow.data(), bytes, 0);
  EXPECT_EQ(inNow, deviceIn.bytes);

  // A bound tensor must be the one the description names at its position.
  auto wrong = bound("other", inBo, hostIn);
  EXPECT_TRUE(endsWith(messageOf([&] { runner->executeDevice(wrong, outputs); }),
                       "bound to a buffer of another tensor; expected " + part.inputs[0].name));
}

// The pool lends buffer sets independently of the inferences, so it may copy
// a set's buffer list while an inference binds caller buffers into it; under
// ThreadSanitizer this shows whether that is guarded.
TEST(HWRunnerExecution, PoolLendsWhileInferencesBindCallerBuffers) {
  const auto m = example("loopback_nhwc");
  const auto ref = referenceOf(writtenExamples(), m);
  const auto& part = m.partitions.at(0);
  OptionsMap options{{"num_of_trelmrt_threads", int32_t{2}}};
  auto runner = makeRunner(writtenExamples(), m, options);
  const HostTensor deviceIn = reference::toDevice(part.inputs[0], ref.inputs[0]);
  const auto bytes = deviceIn.bytes.size();
  constexpr int kRounds = 30;
  std::atomic<int> failures{0};
  auto caller = [&] {
    qel::ext::bo inBo(runner->getDevice(), bytes), outBo(runner->getDevice(), bytes);
    inBo.write(deviceIn.bytes.data(), bytes, 0);
    auto bound = [&](const std::string& name, qel::bo& bo) {
      TensorMetadataType meta;
      meta.name = name;
      meta.size = bytes;
      meta.dtype = korvanrt::client::BF16;
      ErtTensorType t(meta);
      t.impl->setBo(bo);
      t.hasBo = true;
      return std::vector<ErtTensorType>{t};
    };
    const auto inputs = bound(part.inputs[0].name, inBo);
    const auto outputs = bound(part.outputs[0].name, outBo);
    for (int r = 0; r < kRounds; ++r) {
      runner->executeDevice(inputs, outputs);
      HostTensor out = HostTensor::zeros(part.outputs[0].hwType, part.outputs[0].hwShape);
      outBo.read(out.bytes.data(), bytes, 0);
      if (reference::fromDevice(part.outputs[0], out).bytes != ref.outputs[0].bytes) ++failures;
    }
  };
  std::thread lender([&] {
    for (int r = 0; r < kRounds; ++r) {
      const auto lent = runner->getTensorsFromMemPool("input");
      std::vector<ErtTensorType> handles;
      for (const auto& bo : lent) {
        handles.emplace_back(TensorMetadataType{});
        handles.back().impl->setBo(bo);
      }
      runner->releaseTensorsToMemPool(handles);
    }
  });
  std::thread first(caller), second(caller);
  first.join();
  second.join();
  lender.join();
  EXPECT_EQ(failures.load(), 0);
}

// More callers than buffer sets: every caller gets its own correct outputs,
// and callers beyond the number of sets wait for a set to come back.
TEST(HWRunnerExecution, ConcurrentCallersShareTheBufferSets) {
  const auto m = example("loopback_int8_hcwnc8");
  const auto ref = referenceOf(writtenExamples(), m);
  const auto& part = m.partitions.at(0);
  OptionsMap options{{"num_of_trelmrt_threads", int32_t{8}}};
  auto runner = makeRunner(writtenExamples(), m, options);
  constexpr int kCallers = 12, kRounds = 20;
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c)
    callers.emplace_back([&, c] {
      for (int r = 0; r < kRounds; ++r) {
        // Each caller sends its own values: the input shifted by caller and round.
        HostTensor in = ref.inputs[0];
        for (auto& b : in.bytes) b = static_cast<uint8_t>(b + c * 7 + r);
        HostTensor out = HostTensor::zeros(part.outputs[0].cpuType, part.outputs[0].cpuShape);
        std::vector<ErtTensorType> inputs{tensorOver(in, part.inputs[0].name)};
        std::vector<ErtTensorType> outputs{tensorOver(out, part.outputs[0].name)};
        runner->execute(inputs, outputs);
        if (out.bytes != in.bytes) ++failures;
      }
    });
  for (auto& t : callers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(HWRunnerExecution, ThirdCallerWaitsForOneOfTwoSets) {
  const auto m = example("loopback_int8_hcwnc8");
  const auto ref = referenceOf(writtenExamples(), m);
  OptionsMap options{{"num_of_trelmrt_threads", int32_t{2}}};
  auto runner = makeRunner(writtenExamples(), m, options);
  qel::emu::set_engines(4);
  qel::emu::set_run_delay(std::chrono::milliseconds(150));
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c)
    callers.emplace_back([&] { expectReferenceOutputs(*runner, m, ref); });
  for (auto& t : callers) t.join();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  qel::emu::reset();
  // Two runs at once on four engines, the third after one of them.
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}

TEST(HWRunnerExecution, DeviceFailureReturnsTheBufferSet) {
  const auto m = example("loopback_nhwc");
  const auto ref = referenceOf(writtenExamples(), m);
  for (const char* mode : {"performance", "low mem"}) {
    SCOPED_TRACE(mode);
    OptionsMap options{{"perf_mem_trade_off", std::string(mode)}};
    auto runner = makeRunner(writtenExamples(), m, options);
    qel::emu::set_fault(qel::emu::runs_submitted() + 1, qel::command_state::error);
    std::string what;
    if (std::string(mode) == "performance") {
      what = messageOf([&] { expectReferenceOutputs(*runner, m, ref); });
    } else {
      ViewCall call(m, ref);
      what = messageOf([&] { runner->executeDevice(call.inputs, call.outputs, {}); });
    }
    EXPECT_EQ(what.rfind("korvan_rt/src/KorvanHWRunner:", 0), 0u) << what;
    EXPECT_NE(what.find(": Subgraph loopback_nhwc execution failed: "), std::string::npos) << what;
    // The only buffer set came back: the next inference runs.
    if (std::string(mode) == "performance") {
      expectReferenceOutputs(*runner, m, ref);
    } else {
      ViewCall call(m, ref);
      runner->executeDevice(call.inputs, call.outputs, {});
      call.expectReference(m, ref);
    }
  }
  qel::emu::reset();
}

TEST(HWRunnerExecution, PoolLendsEachSetOnce) {
  const auto m = example("loopback_two_inputs");
  OptionsMap options{{"num_of_trelmrt_threads", int32_t{2}}};
  auto runner = makeRunner(writtenExamples(), m, options);
  auto& impl = runner->impl();
  const auto first = runner->getTensorsFromMemPool("input");
  const auto second = runner->getTensorsFromMemPool("input");
  EXPECT_EQ(first, impl.inputSubBos_[0]);
  EXPECT_EQ(second, impl.inputSubBos_[1]);
  EXPECT_TRUE(endsWith(messageOf([&] { runner->getTensorsFromMemPool("weights"); }),
                       ": Unknown buffer type requested: weights"));

  auto handles = [](const std::vector<qel::bo>& bos) {
    std::vector<ErtTensorType> list;
    for (const auto& bo : bos) {
      list.emplace_back(TensorMetadataType{});
      list.back().impl->setBo(bo);
    }
    return list;
  };
  std::atomic<bool> third{false};
  std::thread waiter([&] {
    runner->getTensorsFromMemPool("input");
    third = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(third.load());
  // Buffers never handed out change nothing.
  runner->releaseTensorsToMemPool(handles(impl.outputSubBos_[0]));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(third.load());
  // Releasing the first set hands it to the waiter.
  runner->releaseTensorsToMemPool(handles(first));
  waiter.join();
  EXPECT_TRUE(third.load());
  runner->releaseTensorsToMemPool(handles(second));
  EXPECT_EQ(runner->getTensorsFromMemPool("input"), second);
}

TEST(HWRunnerExecution, BufferDumpFollowsTheBits) {
  const auto m = example("conv_bf16");
  const auto ref = referenceOf(writtenExamples(), m);
  Scratch scratch;
  const auto cwd = fs::current_path();
  fs::current_path(scratch.dir);
  for (const char* value : {"6", "0"}) {
    SCOPED_TRACE(value);
    ::setenv("DUMP_L3_BUFFERS", value, 1);
    {
      auto runner = makeRunner(writtenExamples(), m, {});
      expectReferenceOutputs(*runner, m, ref);
      testing::internal::CaptureStdout();
      runner.reset();
      const std::string printed = testing::internal::GetCapturedStdout();
      EXPECT_EQ(printed,
                std::string(value) == "0" ? "" : "Finished Execution and Dumping L3 Buffers...\n");
    }
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(scratch.dir))
      files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    if (std::string(value) == "0") {
      EXPECT_TRUE(files.empty());
    } else {
      EXPECT_EQ(files, (std::vector<std::string>{"inputSubBO_conv_bf16_id_0_0_0.bin",
                                                 "outputBO_conv_bf16_id_0_0_0.bin"}));
      // Size first, then the bytes of the output buffer: the expected output.
      const std::string out = readText(scratch.dir / "outputBO_conv_bf16_id_0_0_0.bin");
      uint64_t n = 0;
      std::memcpy(&n, out.data(), 8);
      EXPECT_EQ(n + 8, out.size());
    }
    for (const auto& f : files) fs::remove(scratch.dir / f);
  }
  ::unsetenv("DUMP_L3_BUFFERS");
  fs::current_path(cwd);
}

}  // namespace
}  // namespace hw_test
