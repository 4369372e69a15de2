// A caller batch is cut into slices of the model's batch and run D slices at
// a time; a partial last run never touches the caller's memory past its batch.

#include "session_fixture.hpp"

namespace session_test {
namespace {

using korvan::pack::OpDesc;
using korvan::pack::OpKind;
using korvan::pack::TensorDesc;

// batch_double with its tensors listed `d` times, one x + x per copy: a
// description for a device that takes `d` slices per run.
ModelDescription deviceBatchVariant(int d) {
  ModelDescription m = example("batch_double");
  m.name = "batch_double_d" + std::to_string(d);
  m.deviceBatchSize = d;
  auto& part = m.partitions.at(0);
  const TensorDesc in = part.inputs.at(0), out = part.outputs.at(0);
  const OpDesc add = part.program.at(0);
  part.inputs.clear();
  part.outputs.clear();
  part.program.clear();
  for (int k = 0; k < d; ++k) {
    part.inputs.push_back(in);
    part.inputs.back().name = "ifm_ddr_" + std::to_string(k);
    part.outputs.push_back(out);
    part.outputs.back().name = "ofm_ddr_" + std::to_string(k);
    OpDesc op = add;
    op.dst.buffer = part.outputs.back().name;
    op.a.buffer = op.b.buffer = part.inputs.back().name;
    part.program.push_back(op);
  }
  return m;
}

// The first `slices` slices of `t`.
HostTensor firstSlices(const HostTensor& t, uint64_t slices) {
  auto shape = t.shape;
  shape[0] = slices;
  HostTensor s = HostTensor::zeros(t.type, shape);
  std::copy_n(t.bytes.begin(), s.bytes.size(), s.bytes.begin());
  return s;
}

TEST(SessionBatches, DeviceBatchRunsSliceTheCallerBatch) {
  const Scratch scratch;
  const auto ref = referenceOf(writtenExamples(), example("batch_double"));
  ASSERT_EQ(ref.inputs[0].shape[0], 8u);
  const auto m4 = deviceBatchVariant(4);
  korvan::pack::writeDirectoryPackage(m4, scratch.dir / m4.name);
  Session s = openSession(directoryOptions(scratch.dir / m4.name));

  // 8 slices: two full runs. 6 slices: the second run carries two padding
  // slices whose results go nowhere. 1 slice: one run, three padding slices.
  for (const uint64_t batch : {8u, 6u, 1u}) {
    SCOPED_TRACE("caller batch " + std::to_string(batch));
    HostTensor in = firstSlices(ref.inputs[0], batch);
    const HostTensor expected = firstSlices(ref.outputs[0], batch);
    // The output buffer is followed by guard bytes that must stay untouched.
    std::vector<uint8_t> outBytes(expected.bytes.size() + 256, 0xEE);
    TensorMetadataType meta;
    meta.name = "ofm_ddr_0";
    meta.dtype = korvanrt::client::FP32;
    meta.size = expected.bytes.size();
    for (const auto d : expected.shape) meta.shape.push_back(static_cast<uint32_t>(d));
    ErtTensorType out(meta);
    out.data = outBytes.data();
    std::vector<ErtTensorType> inputs{tensorOver(in, "ifm_ddr_0")}, outputs{out};
    s->forwardErtTensor(inputs, outputs);
    EXPECT_TRUE(std::equal(expected.bytes.begin(), expected.bytes.end(), outBytes.begin()));
    EXPECT_TRUE(std::all_of(outBytes.begin() + static_cast<std::ptrdiff_t>(expected.bytes.size()),
                            outBytes.end(), [](uint8_t b) { return b == 0xEE; }));
  }
}

TEST(SessionBatches, ModelBatchOfTwoTakesMultiplesOfTwo) {
  const Scratch scratch;
  const auto ref = referenceOf(writtenExamples(), example("batch_double"));
  ModelDescription m = example("batch_double");
  m.name = "batch_pair";
  auto& part = m.partitions.at(0);
  part.inputs[0].cpuShape = part.outputs[0].cpuShape = {2, 8, 2, 2};
  part.inputs[0].hwShape = part.outputs[0].hwShape = {2, 1, 2, 2, 8};
  part.program[0].count = 64;
  korvan::pack::writeDirectoryPackage(m, scratch.dir / m.name);
  Session s = openSession(directoryOptions(scratch.dir / m.name));

  HostTensor four = firstSlices(ref.inputs[0], 4);
  HostTensor out = HostTensor::zeros(four.type, four.shape);
  std::vector<ErtTensorType> inputs{tensorOver(four, "ifm_ddr_0")};
  std::vector<ErtTensorType> outputs{tensorOver(out, "ofm_ddr_0")};
  s->forwardErtTensor(inputs, outputs);
  EXPECT_EQ(out.bytes, firstSlices(ref.outputs[0], 4).bytes);

  HostTensor three = firstSlices(ref.inputs[0], 3);
  HostTensor out3 = HostTensor::zeros(three.type, three.shape);
  std::vector<ErtTensorType> in3{tensorOver(three, "ifm_ddr_0")};
  std::vector<ErtTensorType> o3{tensorOver(out3, "ofm_ddr_0")};
  EXPECT_EQ(messageOf([&] { s->forwardErtTensor(in3, o3); }),
            "ERROR: Input tensor 0 size 3 from user is not multiple of the size 2 in "
            "korvanrt-hsi.json");
  EXPECT_EQ(out3.bytes, HostTensor::zeros(three.type, three.shape).bytes);
}

// A description whose tensors cannot be grouped by the device batch is
// refused when the session is made, before anything runs.
TEST(SessionBatches, DescriptionsThatCannotMatchTheDeviceBatchAreRefused) {
  const Scratch scratch;
  ModelDescription m = example("batch_double");
  m.name = "batch_double_bad_d";
  m.deviceBatchSize = 4;  // but one input and one output
  korvan::pack::writeDirectoryPackage(m, scratch.dir / m.name);
  const auto message = messageOf([&] { openSession(directoryOptions(scratch.dir / m.name)); });
  EXPECT_NE(message.find("device_batch_size 4 cannot be run"), std::string::npos) << message;

  ModelDescription zero = example("batch_double");
  zero.name = "batch_double_d0";
  zero.deviceBatchSize = 0;
  korvan::pack::writeDirectoryPackage(zero, scratch.dir / zero.name);
  EXPECT_TRUE(endsWith(messageOf([&] { openSession(directoryOptions(scratch.dir / zero.name)); }),
                       "must be at least 1"));
}

}  // namespace
}  // namespace session_test
