// Every plain example package, opened in both package forms through the
// exported entry points, gives its reference outputs on every inference path.

#include <future>

#include "element_type.hpp"
#include "qel/qel.hpp"
#include "session_fixture.hpp"

namespace session_test {
namespace {

using korvanrt::client::ErtIoTypeNew;

struct Form {
  const char* name;
  bool inMemory;
};
constexpr Form kForms[] = {{"directory", false}, {"in-memory", true}};

// A session over a written example in the given form.
struct OpenExample {
  std::string bytes;
  Scratch cache;
  Session session;

  OpenExample(const ModelDescription& m, bool inMemory) {
    const auto root = writtenExamples() / m.name;
    if (inMemory) {
      bytes = readText(root / (m.name + ".kpkg"));
      session = openSession(memoryOptions(bytes, m.name, cache.dir));
    } else {
      session = openSession(directoryOptions(root / m.name));
    }
  }
};

std::vector<ErtIoTypeNew> recordsOver(std::vector<HostTensor>& tensors) {
  std::vector<ErtIoTypeNew> records;
  for (size_t i = 0; i < tensors.size(); ++i) {
    ErtIoTypeNew r;
    r.data = tensors[i].bytes.data();
    r.index = static_cast<int32_t>(i);
    r.size = tensors[i].bytes.size();
    r.dtype = korvan::pack::elementTypeName(tensors[i].type);
    r.shape = tensors[i].shape;
    records.push_back(r);
  }
  return records;
}

void expectOutputs(const std::vector<HostTensor>& got, const Reference& ref,
                   const std::string& what) {
  ASSERT_EQ(got.size(), ref.outputs.size());
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i].bytes, ref.outputs[i].bytes) << what << ", output " << i;
}

TEST(SessionExamples, EveryInferencePathGivesTheReferenceOutputs) {
  for (const auto& name : exampleNames()) {
    const auto m = example(name);
    if (m.kind != PackageKind::plain) continue;
    const auto& part = m.partitions.at(0);
    auto ref = referenceOf(writtenExamples(), m);
    for (const auto& form : kForms) {
      SCOPED_TRACE(name + " (" + form.name + ")");
      OpenExample open(m, form.inMemory);
      ImplBase& s = *open.session;
      ASSERT_TRUE(s.good());

      auto outs = zerosLike(ref.outputs);
      auto inputs = handlesOver(ref.inputs, part.inputs);
      auto outputs = handlesOver(outs, part.outputs);
      s.forwardErtTensor(inputs, outputs);
      expectOutputs(outs, ref, "forwardErtTensor");

      auto outs5 = zerosLike(ref.outputs);
      auto in5 = recordsOver(ref.inputs);
      auto out5 = recordsOver(outs5);
      std::vector<ErtIoTypeNew> weights;
      s.forward(in5, out5, weights);
      expectOutputs(outs5, ref, "forward with ErtIoTypeNew");

      auto outsAsync = zerosLike(ref.outputs);
      auto asyncOutputs = handlesOver(outsAsync, part.outputs);
      auto future = s.forwardAsync(inputs, asyncOutputs);
      s.waitForwardAsync(future, static_cast<uint64_t>(-1));
      future.get();
      expectOutputs(outsAsync, ref, "forwardAsync");

      // The batch form runs each position on its own outputs.
      auto outsA = zerosLike(ref.outputs), outsB = zerosLike(ref.outputs);
      std::vector<std::vector<ErtTensorType>> batchIn{inputs, inputs};
      std::vector<std::vector<ErtTensorType>> batchOut{handlesOver(outsA, part.outputs),
                                                       handlesOver(outsB, part.outputs)};
      auto batchFuture = s.forwardAsync(batchIn, batchOut);
      batchFuture.get();
      expectOutputs(outsA, ref, "forwardAsync batch, position 0");
      expectOutputs(outsB, ref, "forwardAsync batch, position 1");
    }
  }
}

// Pooled tensors: the caller writes device-format inputs straight into the
// runner's buffers and reads device-format outputs from them.
TEST(SessionExamples, PooledTensorsRunWithoutCopies) {
  for (const char* name : {"loopback_int8_hcwnc8", "conv_bf16"}) {
    SCOPED_TRACE(name);
    const auto m = example(name);
    const auto& part = m.partitions.at(0);
    const auto ref = referenceOf(writtenExamples(), m);
    OpenExample open(m, false);
    ImplBase& s = *open.session;

    for (int round = 0; round < 3; ++round) {
      auto ins = s.getIOTensors("inputs", true);
      auto outs = s.getIOTensors("outputs", true);
      ASSERT_EQ(ins.size(), part.inputs.size());
      ASSERT_EQ(outs.size(), part.outputs.size());
      for (size_t i = 0; i < ins.size(); ++i) {
        ASSERT_TRUE(ins[i].hasBo);
        ins[i].isHwFormat = true;
        const HostTensor device = korvan::pack::reference::toDevice(part.inputs[i], ref.inputs[i]);
        ASSERT_EQ(ins[i].impl->getMetadata().size, device.bytes.size());
        ins[i].impl->getBo().write(device.bytes.data(), device.bytes.size(), 0);
      }
      for (auto& o : outs) o.isHwFormat = true;
      s.forwardErtTensor(ins, outs);
      for (size_t o = 0; o < outs.size(); ++o) {
        HostTensor device = HostTensor::zeros(part.outputs[o].hwType, part.outputs[o].hwShape);
        outs[o].impl->getBo().read(device.bytes.data(), device.bytes.size(), 0);
        EXPECT_EQ(korvan::pack::reference::fromDevice(part.outputs[o], device).bytes,
                  ref.outputs[o].bytes)
            << "round " << round << ", output " << o;
      }
      s.releaseIOTensors(ins);
      s.releaseIOTensors(outs);
    }

    // Descriptions only: the caller's side, no buffers.
    const auto cpu = s.getIOTensors("output", false);
    ASSERT_EQ(cpu.size(), part.outputs.size());
    EXPECT_FALSE(cpu[0].hasBo);
    EXPECT_EQ(cpu[0].impl->getMetadata().dimOrder.size(), part.outputs[0].cpuShape.size());
    EXPECT_TRUE(s.getIOTensors("weights", true).empty());
  }
}

TEST(SessionExamples, HostPointerModeLendsNoBuffers) {
  const auto m = example("loopback_int8_hcwnc8");
  Options o = directoryOptions(writtenExamples() / m.name / m.name);
  o.options["use_host_ptr"] = true;
  Session s = openSession(o);
  const auto ins = s->getIOTensors("inputs", true);
  ASSERT_EQ(ins.size(), 1u);
  EXPECT_FALSE(ins[0].hasBo);
  EXPECT_EQ(ins[0].impl->getMetadata().shape.size(), m.partitions[0].inputs[0].hwShape.size());
  s->releaseIOTensors(ins);  // nothing to give back
}

// Many inferences in flight on one session at once, each with its own data.
TEST(SessionExamples, ConcurrentAsyncInferencesOnOneSession) {
  const auto m = example("loopback_int8_hcwnc8");
  const auto& part = m.partitions.at(0);
  const auto ref = referenceOf(writtenExamples(), m);
  Options o = directoryOptions(writtenExamples() / m.name / m.name);
  o.options["num_of_trelmrt_threads"] = int32_t{4};
  Session s = openSession(o);

  constexpr int kCalls = 24;
  std::vector<HostTensor> ins(kCalls, ref.inputs[0]), outs;
  for (int c = 0; c < kCalls; ++c) {
    for (auto& b : ins[c].bytes) b = static_cast<uint8_t>(b + 3 * c);
    outs.push_back(HostTensor::zeros(part.outputs[0].cpuType, ref.outputs[0].shape));
  }
  std::vector<std::vector<ErtTensorType>> inHandles, outHandles;
  for (int c = 0; c < kCalls; ++c) {
    inHandles.push_back({tensorOver(ins[c], part.inputs[0].name)});
    outHandles.push_back({tensorOver(outs[c], part.outputs[0].name)});
  }
  std::vector<std::future<void>> futures;
  for (int c = 0; c < kCalls; ++c) futures.push_back(s->forwardAsync(inHandles[c], outHandles[c]));
  for (int c = 0; c < kCalls; ++c) {
    futures[c].get();
    EXPECT_EQ(outs[c].bytes, ins[c].bytes) << "call " << c;  // a loopback
  }
}

}  // namespace
}  // namespace session_test
