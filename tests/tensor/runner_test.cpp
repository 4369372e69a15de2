#include <gtest/gtest.h>
#include <unistd.h>

#include <any>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pipeline_reference.hpp"
#include "profiling/timestamps.hpp"
#include "runner/korvan_runner.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {
namespace {

using client::ErtTensorType;
using client::TensorMetadataType;

// Caller-side tensor implementation holding only a description.
class DescribedTensor : public client::ErtTensorTypeImplBase {
 public:
  explicit DescribedTensor(TensorMetadataType m) : metadata_(std::move(m)) {}
  const qel::bo& getBo() const override { throw std::logic_error("no buffer object"); }
  qel::bo& getMutableBo() override { throw std::logic_error("no buffer object"); }
  void setBo(const qel::bo&) override {}
  const TensorMetadataType& getMetadata() const override { return metadata_; }
  const qel::device& getDevice() const override { throw std::logic_error("no device"); }
  const qel::hw_context& getHwContext() const override { throw std::logic_error("no context"); }

 private:
  TensorMetadataType metadata_;
};

// A list of caller tensors whose implementations the test owns.
struct CallerTensors {
  std::vector<std::unique_ptr<DescribedTensor>> impls;
  std::vector<ErtTensorType> list;
  CallerTensors() { list.reserve(8); }
  ~CallerTensors() {
    for (auto& t : list) t.impl = nullptr;
  }
  void add(void* data, client::DataType dtype, std::vector<uint32_t> shape,
           bool isHwFormat = false) {
    TensorMetadataType m;
    m.dtype = dtype;
    m.shape = std::move(shape);
    impls.push_back(std::make_unique<DescribedTensor>(m));
    list.emplace_back();
    list.back().data = data;
    list.back().isHwFormat = isHwFormat;
    list.back().impl = impls.back().get();
  }
};

// Runner whose device step copies every device input to the device output of
// the same position (the descriptions below are loopbacks).
class LoopbackRunner : public KorvanRunner {
 public:
  using KorvanRunner::KorvanRunner;
  int deviceCalls = 0;
  std::vector<const void*> deviceInputData;
  std::vector<std::vector<uint8_t>> deviceInputBytes;

  void executeDevice(const std::vector<ErtTensorType>& inputs,
                     const std::vector<ErtTensorType>& outputs) override {
    ++deviceCalls;
    for (size_t i = 0; i < inputs.size(); ++i) {
      const IOParams e = getHWClusterParams().getInput(i);
      const size_t bytes = testing::product(e.hwShape().dims()) * datatypeBytes(e.hwDtype());
      deviceInputData.push_back(inputs[i].data);
      const auto* p = static_cast<const uint8_t*>(inputs[i].data);
      deviceInputBytes.emplace_back(p, p + bytes);
      if (i < outputs.size()) std::memcpy(outputs[i].data, inputs[i].data, bytes);
    }
  }
  void executeDevice(const std::vector<Bf16TensorView>& inputs,
                     const std::vector<Bf16TensorView>& outputs,
                     const std::vector<Bf16TensorView>&) override {
    ++deviceCalls;
    for (size_t i = 0; i < inputs.size() && i < outputs.size(); ++i)
      std::memcpy(outputs[i].data, inputs[i].data, outputs[i].size() * sizeof(bf16_t));
  }
  const std::unordered_map<std::string, timestamps*>& records() const { return timestamps_; }

 protected:
  void appendDeviceTensor(std::vector<ErtTensorType>& list, const ErtTensorType& caller,
                          const TensorMetadataType* metadata, void* data) override {
    list.emplace_back();
    list.back().data = metadata == nullptr ? caller.data : data;
    list.back().isHwFormat = metadata == nullptr && caller.isHwFormat;
  }

 private:
  static size_t datatypeBytes(const std::string& t) {
    return t == "int8" || t == "uint8" || t == "bool" ? 1 : 2;
  }
};

class RunnerTest : public ::testing::Test {
 protected:
  std::filesystem::path dir_;
  OptionsMap options_;

  void SetUp() override {
    // Test processes run side by side and may get the same addresses: the
    // process id keeps their directories apart.
    dir_ = std::filesystem::temp_directory_path() /
           ("korvan_runner_test_" + std::to_string(::getpid()) + "_" +
            std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<LoopbackRunner> makeRunner(const std::string& entries, bool profiling = false,
                                             const std::string& outputs = "") {
    const auto path = dir_ / "korvanrt-hsi.json";
    std::ofstream(path) << "{\"inputs\":[" << entries << "],\"outputs\":["
                        << (outputs.empty() ? entries : outputs) << "]}";
    return std::make_unique<LoopbackRunner>(dir_.string(), path.string(), &options_, profiling);
  }

  static std::string entry(const std::string& cpuType, const std::string& cpuShape,
                           const std::string& hwFormat, const std::string& hwType,
                           const std::string& hwShape, const std::string& extra = "") {
    return "{\"name\":\"t\",\"scale_factor\":0.5,\"zero_point\":3,\"cpu_format\":\"NCHW\","
           "\"cpu_dtype\":\"" +
           cpuType + "\",\"cpu_shape\":" + cpuShape + ",\"hw_format\":\"" + hwFormat +
           "\",\"hw_dtype\":\"" + hwType + "\",\"hw_shape\":" + hwShape + extra + "}";
  }
};

std::string messageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(RunnerTest, LoopbackReproducesCallerData) {
  auto runner = makeRunner(entry("float", "[1,13,3,5]", "HCWNC8", "bf16", "[3,2,5,1,8]"));
  std::vector<float> in(195), out(195, -1.0f);
  for (size_t i = 0; i < in.size(); ++i)
    in[i] = static_cast<float>(static_cast<int>(i % 101) - 50) / 4.0f;
  CallerTensors inputs, outputs;
  inputs.add(in.data(), client::FP32, {1, 13, 3, 5});
  outputs.add(out.data(), client::FP32, {1, 13, 3, 5});
  runner->execute(inputs.list, outputs.list);
  EXPECT_EQ(out, in);
  EXPECT_EQ(runner->deviceCalls, 1);
  // The device buffer was 4096-byte aligned and zero in the padding lanes.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(runner->deviceInputData[0]) % 4096, 0u);
  const auto& dev = runner->deviceInputBytes[0];
  for (size_t h = 0; h < 3; ++h)
    for (size_t w = 0; w < 5; ++w)
      for (size_t lane = 5; lane < 8; ++lane) {
        const size_t offset = (((h * 2 + 1) * 5 + w) * 8 + lane) * 2;
        EXPECT_EQ(dev[offset] | dev[offset + 1], 0);
      }
}

TEST_F(RunnerTest, QuantizedLoopbackUsesBothNumberRules) {
  auto runner = makeRunner(entry("float", "[2,9,2,3]", "HCWNC8", "int8", "[2,2,3,2,8]"));
  std::vector<float> in(108), out(108);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i) * 0.37f - 20.0f;
  CallerTensors inputs, outputs;
  inputs.add(in.data(), client::FP32, {2, 9, 2, 3});
  outputs.add(out.data(), client::FP32, {2, 9, 2, 3});
  runner->execute(inputs.list, outputs.list);
  for (size_t i = 0; i < in.size(); ++i) {
    const int8_t q = quantizeValue<int8_t>(in[i], 0.5, 3);
    ASSERT_EQ(out[i], dequantizeConverter(q, 3, 0.5)) << i;
  }
}

TEST_F(RunnerTest, CountAndElementChecks) {
  auto runner = makeRunner(entry("float", "[1,3,8,9]", "NCHW", "bf16", "[1,3,8,9]"));
  std::vector<float> a(216), b(216);
  CallerTensors two, one, outputs;
  two.add(a.data(), client::FP32, {1, 3, 8, 9});
  two.add(b.data(), client::FP32, {1, 3, 8, 9});
  one.add(a.data(), client::FP32, {1, 3, 8, 8});
  outputs.add(b.data(), client::FP32, {1, 3, 8, 9});
  EXPECT_TRUE(endsWith(messageOf([&] { runner->execute(two.list, outputs.list); }),
                       ": Received 2 inputs, expected 1"));
  EXPECT_TRUE(endsWith(messageOf([&] { runner->execute(one.list, two.list); }),
                       ": Received 2 outputs, expected 1"));
  const std::string m = messageOf([&] { runner->execute(one.list, outputs.list); });
  EXPECT_EQ(m.rfind("korvan_rt/src/KorvanRunner:", 0), 0u) << m;
  EXPECT_TRUE(endsWith(m, ": Input 0 number of elements mismatch: received 192 expected 216")) << m;
  EXPECT_EQ(runner->deviceCalls, 0);
}

TEST_F(RunnerTest, DeviceFormatInputPassesThrough) {
  auto runner = makeRunner(entry("int8", "[1,3,2,2]", "HCWNC8", "int8", "[2,1,2,1,8]"));
  std::vector<int8_t> dev(32, 7), out(12);
  CallerTensors inputs, outputs, wrong;
  inputs.add(dev.data(), client::INT8, {2, 1, 2, 1, 8}, true);
  outputs.add(out.data(), client::INT8, {1, 3, 2, 2});
  runner->execute(inputs.list, outputs.list);
  EXPECT_EQ(runner->deviceInputData[0], dev.data());
  EXPECT_EQ(out, std::vector<int8_t>(12, 7));
  // Its count is checked against the device shape.
  wrong.add(dev.data(), client::INT8, {1, 3, 2, 2}, true);
  EXPECT_TRUE(endsWith(messageOf([&] { runner->execute(wrong.list, outputs.list); }),
                       "Input 0 number of elements mismatch: received 12 expected 32"));
}

TEST_F(RunnerTest, RejectsUnsupportedTypePairs) {
  auto runner = makeRunner(entry("float", "[1,3,2,2]", "NCHW", "bf16", "[1,3,2,2]"));
  std::vector<float> in(12);
  std::vector<int8_t> out(12);
  CallerTensors inputs, outputs;
  inputs.add(in.data(), client::FP32, {1, 3, 2, 2});
  outputs.add(out.data(), client::INT8, {1, 3, 2, 2});
  try {
    runner->execute(inputs.list, outputs.list);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "Invalid input/output type combination for output processing: . Please check "
                 "tensor type compatibility.");
  }
  EXPECT_EQ(runner->deviceCalls, 1);
  // An input pair without a conversion would leave the device tensor zero.
  CallerTensors int16In;
  std::vector<int16_t> i16(12);
  int16In.add(i16.data(), client::INT16, {1, 3, 2, 2});
  EXPECT_THROW(runner->execute(int16In.list, outputs.list), KorvanRTException);
  // A device type without a buffer format.
  auto bad = makeRunner(entry("float", "[1,3,2,2]", "NCHW", "fp32", "[1,3,2,2]"));
  EXPECT_THROW(bad->execute(inputs.list, outputs.list), KorvanRTException);
}

TEST_F(RunnerTest, RoundingModeOption) {
  const std::string e = entry("float", "[1,1,1,2]", "NCHW", "bf16", "[1,1,1,2]");
  options_["rounding_mode"] = std::string("truncate");
  auto runner = makeRunner(e);
  EXPECT_EQ(runner->roundingMode(), client::TRUNCATE);
  EXPECT_EQ(runner->getHWClusterParams().roundingMode(), client::TRUNCATE);
  // Truncation reaches the device: 0x3F818000 becomes 0x3F81.
  std::vector<float> in = {bitsToFloat(0x3F818000u), 1.0f}, out(2);
  CallerTensors inputs, outputs;
  inputs.add(in.data(), client::FP32, {1, 1, 1, 2});
  outputs.add(out.data(), client::FP32, {1, 1, 1, 2});
  runner->execute(inputs.list, outputs.list);
  EXPECT_EQ(floatBits(out[0]), 0x3F810000u);
  // The runner's own qdq reads the same mode.
  std::vector<bf16_t> h(2);
  runner->qdq(TensorView<float>(in.data(), {2}), qdq_params{}, TensorView<bf16_t>(h.data(), {2}));
  EXPECT_EQ(h[0], 0x3F81);

  options_["rounding_mode"] = std::string("nearest");
  EXPECT_EQ(messageOf([&] { makeRunner(e); }),
            "Invalid rounding mode 'nearest', choose from 'round-to-nearest-even' or 'truncate'");
  options_["rounding_mode"] = 1;
  EXPECT_THROW(makeRunner(e), std::bad_any_cast);
}

TEST_F(RunnerTest, ProfilingRecordsRuns) {
  const std::string e = entry("float", "[1,8,2,8]", "HCWNC8", "bf16", "[2,1,8,1,8]");
  std::vector<float> in(128), out(128);
  CallerTensors inputs, outputs;
  inputs.add(in.data(), client::FP32, {1, 8, 2, 8});
  outputs.add(out.data(), client::FP32, {1, 8, 2, 8});
  auto quiet = makeRunner(e, false);
  quiet->execute(inputs.list, outputs.list);
  EXPECT_TRUE(quiet->records().empty());
  auto profiled = makeRunner(e, true);
  profiled->execute(inputs.list, outputs.list);
  profiled->execute(inputs.list, outputs.list);
  ASSERT_EQ(profiled->records().count(profiled->runnerId()), 1u);
  const timestamps* record = profiled->records().at(profiled->runnerId());
  EXPECT_EQ(record->count_, 2);
  const auto& input = record->json_[0]["Input Quantization and Transformation"][0];
  EXPECT_TRUE(input["sections"].contains("NCHWFp32ToHCWNCsBf16")) << record->json_.dump();
  EXPECT_TRUE(input["sections"].contains("Init input 0"));
  EXPECT_TRUE(record->json_[1].contains("Object Destruction"));
}

TEST_F(RunnerTest, BaseAccessorsAndPool) {
  auto runner = makeRunner(entry("float", "[1,1,1,2]", "NCHW", "bf16", "[1,1,1,2]"));
  EXPECT_EQ(messageOf([&] { runner->getDevice(); }),
            "Device not available in base KorvanRunner implementation");
  EXPECT_EQ(messageOf([&] { runner->getHwContext(); }),
            "HW Context not available in base KorvanRunner implementation");
  EXPECT_TRUE(runner->getTensorsFromMemPool("input").empty());
  EXPECT_EQ(runner->get_context(), nullptr);
}

TEST_F(RunnerTest, CustomOperatorPath) {
  auto runner = makeRunner(entry("float", "[1,2,1,2]", "NCHW", "bf16", "[1,2,1,2]"));
  std::vector<float> in = {1.0f, 2.5f, -3.0f, 0.15625f}, out(4);
  client::OpsTensor ti, to;
  ti.data = in.data();
  ti.shape = {1, 2, 1, 2};
  ti.dtype = "float";
  to.data = out.data();
  to.shape = {1, 2, 1, 2};
  to.dtype = "float";
  std::vector<client::ErtIoTypeNew> weights;
  runner->execute(std::vector<client::OpsTensor>{ti}, std::vector<client::OpsTensor>{to}, weights);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(floatBits(out[i]) & 0xFFFFu, 0u);
    EXPECT_EQ(floatBits(out[i]) >> 16, floatBits(in[i]) >> 16);
  }
  client::OpsTensor empty = ti;
  empty.shape.clear();
  EXPECT_TRUE(endsWith(messageOf([&] {
                         runner->execute(std::vector<client::OpsTensor>{empty},
                                         std::vector<client::OpsTensor>{to}, weights);
                       }),
                       ":     Invalid input tensor shape. Input tensor shape is empty "));
  weights.resize(1);
  EXPECT_TRUE(endsWith(messageOf([&] {
                         runner->execute(std::vector<client::OpsTensor>{ti},
                                         std::vector<client::OpsTensor>{to}, weights);
                       }),
                       ": Received 1 weights, expected 0"));
}

}  // namespace
}  // namespace korvanrt
