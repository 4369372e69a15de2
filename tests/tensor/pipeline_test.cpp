#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "pipeline_reference.hpp"
#include "tensor/pipeline/conversion.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {
namespace {

using client::BF16;
using client::BOOL;
using client::DataType;
using client::FP32;
using client::INT16;
using client::INT8;
using testing::Desc;
using testing::makeParams;
using testing::product;

const ConversionContext kCtx{};

template <typename T>
std::vector<T> sample(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<T> v(n);
  for (auto& x : v) {
    if constexpr (std::is_same_v<T, float>) {
      x = static_cast<float>(static_cast<int>(gen() % 2001) - 1000) / 16.0f;
    } else {
      x = static_cast<T>(gen());
    }
  }
  return v;
}

// Runs the input conversion of the description's entry; the device buffer
// starts zero-filled like the runner's.
template <typename TDev, typename TCpu>
std::vector<TDev> convertIn(const HWClusterParams& params, std::vector<TCpu>& src, DataType from,
                            DataType to) {
  const IOParams e = params.getInput(0);
  std::vector<TDev> dev(product(e.hwShape().dims()), TDev{});
  HostTensor cpuT{src.data(), from, toShape(e.cpuShape().dims())};
  HostTensor devT{dev.data(), to, toShape(e.hwShape().dims())};
  kernel_params_ k;
  preprocessInput(kCtx, cpuT, devT, e, false, k, 0);
  return dev;
}

template <typename TCpu, typename TDev>
std::vector<TCpu> convertOut(const HWClusterParams& params, std::vector<TDev>& dev, DataType from,
                             DataType to) {
  const IOParams e = params.getOutput(0);
  std::vector<TCpu> out(product(e.cpuShape().dims()), TCpu{});
  HostTensor devT{dev.data(), from, toShape(e.hwShape().dims())};
  HostTensor cpuT{out.data(), to, toShape(e.cpuShape().dims())};
  kernel_params_ k;
  postprocessOutput(kCtx, devT, cpuT, e, false, k);
  return out;
}

std::string describe(const Desc& d) {
  return d.cpuFormat + testing::jsonList(d.cpuShape) + " <-> " + d.hwFormat +
         testing::jsonList(d.hwShape);
}

// Every input route of a variant against the reference, on small odd shapes.
template <typename TCpu, typename TDev, typename Conv>
void checkInputs(const std::vector<Desc>& descs, const char* cpuType, const char* hwType,
                 DataType from, DataType to, Conv conv, double scale = 1.0, int zp = 0) {
  for (const Desc& d : descs) {
    const auto params = makeParams(d, cpuType, hwType, "", scale, zp);
    auto src = sample<TCpu>(product(d.cpuShape), 17);
    const auto got = convertIn<TDev>(*params, src, from, to);
    EXPECT_EQ(got, (testing::refInput<TDev>(d, src, conv))) << describe(d);
  }
}

template <typename TCpu, typename TDev, typename Conv>
void checkOutputs(const std::vector<Desc>& descs, const char* cpuType, const char* hwType,
                  DataType from, DataType to, Conv conv, double scale = 1.0, int zp = 0) {
  for (const Desc& d : descs) {
    const auto params = makeParams(d, cpuType, hwType, "", scale, zp);
    auto dev = sample<TDev>(product(d.hwShape), 23);
    const auto got = convertOut<TCpu>(*params, dev, from, to);
    const auto ref = testing::refOutput<TCpu>(d, dev, conv);
    ASSERT_EQ(got.size(), ref.size());
    for (size_t i = 0; i < ref.size(); ++i) {
      if constexpr (std::is_same_v<TCpu, float>) {
        ASSERT_EQ(floatBits(got[i]), floatBits(ref[i])) << describe(d) << " at " << i;
      } else {
        ASSERT_EQ(got[i], ref[i]) << describe(d) << " at " << i;
      }
    }
  }
}

uint16_t bf16(float f) {
  uint16_t h;
  float_to_bfloat16_avx512_unrolled(&f, &h, 1, 0);
  return h;
}

TEST(InputRoutes, FloatToBf16) {
  checkInputs<float, bf16_t>(
      {
          {"NCHW", {1, 3, 2, 2}, "NCHW", {1, 3, 2, 2}},        // element-wise
          {"NCHW", {2, 5, 3, 3}, "HCWNC8", {3, 1, 3, 2, 8}},   // blocked converter
          {"NCHW", {1, 13, 2, 5}, "HCWNC4", {3, 4, 6, 1, 4}},  // blocked, padded H, W
          {"NCHW", {2, 5, 3, 3}, "NHWC", {2, 3, 3, 5}},        // bf16 transposer
          {"NCHW", {1, 5, 3, 3}, "NHWC", {1, 4, 4, 8}},        // padded NHWC: generic
          {"NHWC", {1, 3, 3, 5}, "HCWNC8", {3, 1, 3, 1, 8}},   // generic, blocked
          {"NCHW", {1, 3, 2, 2}, "NCHW", {1, 4, 3, 3}},        // generic, padding only
      },
      "float", "bf16", FP32, BF16, bf16);
}

TEST(InputRoutes, FloatToInt8AndInt16) {
  auto q8 = [](float x) { return quantizeValue<int8_t>(x, 0.25, -3); };
  checkInputs<float, int8_t>(
      {
          {"NCHW", {1, 3, 2, 2}, "NCHW", {1, 3, 2, 2}},
          {"NCHW", {2, 13, 3, 17}, "HCWNC8", {3, 2, 17, 2, 8}},  // vector converter
          {"NCHW", {1, 13, 3, 17}, "HCWNC4", {3, 4, 17, 1, 4}},
          {"NCHW", {1, 5, 3, 3}, "HCWNC4", {4, 2, 3, 1, 4}},  // padded H: generic
          {"NHWC", {1, 3, 3, 5}, "NCHW", {1, 5, 3, 4}},
      },
      "float", "int8", FP32, INT8, q8, 0.25, -3);
  auto q16 = [](float x) { return quantizeValue<int16_t>(x, 0.01, 7); };
  checkInputs<float, int16_t>({{"NCHW", {1, 3, 2, 2}, "NCHW", {1, 3, 2, 2}},
                               {"NCHW", {2, 5, 3, 3}, "HCWNC4", {3, 2, 3, 2, 4}}},
                              "float", "int16", FP32, INT16, q16, 0.01, 7);
}

TEST(InputRoutes, SameTypeCopies) {
  auto id8 = [](int8_t v) { return v; };
  checkInputs<int8_t, int8_t>(
      {
          {"NCHW", {1, 3, 2, 2}, "NCHW", {1, 3, 2, 2}},
          {"NCHW", {1, 13, 2, 19}, "HCWNC8", {2, 2, 19, 1, 8}},
          {"NCHW", {2, 13, 2, 5}, "HCWNC8", {2, 2, 8, 2, 8}},  // padded W: generic
          {"NHWC", {1, 2, 3, 5}, "HCWNC4", {2, 2, 3, 1, 4}},
      },
      "int8", "int8", INT8, INT8, id8);
  checkInputs<int16_t, int16_t>({{"NCHW", {2, 3, 2, 5}, "NHWC", {2, 3, 6, 4}}}, "int16", "int16",
                                INT16, INT16, [](int16_t v) { return v; });
  checkInputs<bf16_t, bf16_t>({{"NCHW", {1, 9, 2, 3}, "HCWNC8", {2, 2, 3, 1, 8}},
                               {"NCHW", {2, 9, 3, 19}, "HCWNC8", {3, 2, 19, 2, 8}}},
                              "bf16", "bf16", BF16, BF16, [](bf16_t v) { return v; });
  checkInputs<int16_t, int16_t>({{"NCHW", {3, 16, 2, 17}, "HCWNC8", {2, 2, 17, 3, 8}}}, "int16",
                                "int16", INT16, INT16, [](int16_t v) { return v; });
}

TEST(InputRoutes, BoolToInt8) {
  const Desc d{"NCHW", {1, 3, 2, 3}, "HCWNC8", {2, 1, 3, 1, 8}};
  const auto params = makeParams(d, "bool", "int8");
  bool src[18];
  for (size_t i = 0; i < 18; ++i) src[i] = i % 3 == 0;
  const IOParams e = params->getInput(0);
  std::vector<int8_t> dev(48, 0);
  kernel_params_ k;
  preprocessInput(kCtx, HostTensor{src, BOOL, {1, 3, 2, 3}}, HostTensor{dev.data(), INT8, {48}}, e,
                  false, k, 0);
  std::vector<int8_t> srcBytes(src, src + 18);
  EXPECT_EQ(dev, (testing::refInput<int8_t>(d, srcBytes, [](int8_t v) { return v; })));
}

TEST(OutputRoutes, SameType) {
  auto id8 = [](int8_t v) { return v; };
  checkOutputs<int8_t, int8_t>(
      {
          {"NCHW", {1, 3, 2, 3}, "NCHW", {1, 4, 3, 4}},          // depad
          {"NCHW", {2, 5, 3, 4}, "NHWC", {2, 3, 4, 6}},          // NHWC read-back
          {"NCHW", {1, 16, 2, 8}, "HCWNC8", {2, 2, 8, 1, 8}},    // vector read-back
          {"NCHW", {2, 16, 2, 16}, "HCWNC8", {2, 2, 16, 2, 8}},  // vector read-back, N = 2
          {"NCHW", {1, 12, 2, 8}, "HCWNC8", {2, 2, 8, 1, 8}},    // channel padding
          {"NHWC", {2, 3, 5, 7}, "HCWNC4", {3, 2, 5, 2, 4}},
          {"NHWC", {1, 2, 3, 3}, "NCHW", {1, 4, 3, 4}},       // generic transpose
          {"NHCW", {1, 3, 5, 4}, "HCWNC8", {3, 1, 4, 1, 8}},  // generic, blocked
      },
      "int8", "int8", INT8, INT8, id8);
  checkOutputs<int16_t, int16_t>({{"NCHW", {1, 13, 2, 3}, "HCWNC8", {2, 2, 3, 1, 8}},
                                  {"NHCW", {2, 3, 5, 4}, "HCWNC4", {3, 2, 4, 2, 4}}},
                                 "int16", "int16", INT16, INT16, [](int16_t v) { return v; });
  checkOutputs<bf16_t, bf16_t>({{"NCHW", {1, 5, 2, 3}, "HCWNC4", {2, 2, 3, 1, 4}},
                                {"NHWC", {1, 2, 3, 3}, "NCHW", {1, 4, 3, 4}}},
                               "bf16", "bf16", BF16, BF16, [](bf16_t v) { return v; });
}

TEST(OutputRoutes, ToFloat) {
  checkOutputs<float, bf16_t>(
      {
          {"NCHW", {1, 3, 2, 2}, "NCHW", {1, 3, 2, 2}},        // widening
          {"NCHW", {2, 13, 2, 3}, "HCWNC8", {2, 2, 3, 2, 8}},  // blocked converter
          {"NCHW", {1, 3, 2, 3}, "NCHW", {1, 4, 3, 4}},        // depad and widen
          {"NCHW", {1, 5, 2, 3}, "NHWC", {1, 3, 4, 8}},        // generic
      },
      "float", "bf16", BF16, FP32, [](bf16_t v) { return bf16ToFloat(v); });
  // The blocked converter adds the full 32-bit zero point, the generic plan
  // its low 8 bits (300 -> 44) with the fused formula.
  checkOutputs<float, int8_t>(
      {{"NCHW", {2, 13, 2, 3}, "HCWNC8", {2, 2, 3, 2, 8}}}, "float", "int8", INT8, FP32,
      [](int8_t q) { return dequantizeConverter(q, 300, 0.5); }, 0.5, 300);
  checkOutputs<float, int8_t>(
      {{"NCHW", {1, 5, 2, 3}, "NHWC", {1, 3, 4, 8}}}, "float", "int8", INT8, FP32,
      [](int8_t q) { return dequantizeFused(q, 0.5f, 44); }, 0.5, 300);
  checkOutputs<float, int16_t>(
      {{"NCHW", {1, 5, 2, 3}, "HCWNC4", {2, 2, 3, 1, 4}},
       {"NHWC", {1, 2, 3, 5}, "NCHW", {1, 5, 3, 4}}},
      "float", "int16", INT16, FP32, [](int16_t q) { return dequantizeConverter(q, -3, 0.125); },
      0.125, -3);
}

TEST(OutputRoutes, Int8ToBool) {
  const Desc d{"NCHW", {1, 3, 2, 3}, "HCWNC8", {2, 1, 3, 1, 8}};
  const auto params = makeParams(d, "bool", "int8");
  auto dev = sample<int8_t>(48, 3);
  dev[0] = 0;
  bool out[18];
  kernel_params_ k;
  postprocessOutput(kCtx, HostTensor{dev.data(), INT8, {2, 1, 3, 1, 8}},
                    HostTensor{out, BOOL, {1, 3, 2, 3}}, params->getOutput(0), false, k);
  const auto ref = testing::refOutput<int8_t>(d, dev, [](int8_t v) { return v; });
  for (size_t i = 0; i < 18; ++i) EXPECT_EQ(out[i], ref[i] != 0) << i;
}

TEST(RoundTrips, LoopbackReproducesCallerData) {
  {
    const auto params =
        makeParams({"NCHW", {2, 13, 3, 5}, "HCWNC8", {3, 2, 5, 2, 8}}, "float", "bf16");
    // Quarters below 64 have at most 8 significant bits: exact in bfloat16.
    std::vector<float> src(2 * 13 * 15);
    for (size_t i = 0; i < src.size(); ++i)
      src[i] = static_cast<float>(static_cast<int>((i * 37) % 511) - 255) / 4.0f;
    auto dev = convertIn<bf16_t>(*params, src, FP32, BF16);
    EXPECT_EQ((convertOut<float>(*params, dev, BF16, FP32)), src);
  }
  {
    const auto params =
        makeParams({"NCHW", {2, 13, 3, 17}, "HCWNC8", {3, 2, 17, 2, 8}}, "int8", "int8");
    auto src = sample<int8_t>(2 * 13 * 3 * 17, 6);
    auto dev = convertIn<int8_t>(*params, src, INT8, INT8);
    EXPECT_EQ((convertOut<int8_t>(*params, dev, INT8, INT8)), src);
  }
  {
    const auto params = makeParams({"NCHW", {1, 3, 5, 7}, "NHWC", {1, 6, 8, 4}}, "int16", "int16");
    auto src = sample<int16_t>(105, 7);
    auto dev = convertIn<int16_t>(*params, src, INT16, INT16);
    EXPECT_EQ((convertOut<int16_t>(*params, dev, INT16, INT16)), src);
  }
}

TEST(TransformLists, SingleStepsAndChains) {
  const Desc nchw{"NCHW", {1, 3, 2, 2}, "NHWC", {1, 2, 2, 3}};
  // Single type-changing step.
  {
    const auto params = makeParams(nchw, "float", "int8",
                                   ",\"rt_transformations\":[{\"transformation\":\"quantize\","
                                   "\"scale\":0.5,\"zero_point\":1}]",
                                   1.0, 0);
    auto src = sample<float>(12, 1);
    const auto dev = convertIn<int8_t>(*params, src, FP32, INT8);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(dev[i], quantizeValue<int8_t>(src[i], 0.5, 1));
  }
  // Chain: quantize into the step's output_shape, then transpose to NHWC.
  {
    const auto params = makeParams(
        nchw, "float", "int8",
        ",\"rt_transformations\":[{\"transformation\":\"quantize\",\"output_shape\":[1,3,2,2]},"
        "{\"transformation\":\"transpose\",\"perm\":[0,2,3,1]}]",
        0.25, 0);
    auto src = sample<float>(12, 2);
    const auto dev = convertIn<int8_t>(*params, src, FP32, INT8);
    EXPECT_EQ(dev, (testing::refInput<int8_t>(
                       nchw, src, [](float x) { return quantizeValue<int8_t>(x, 0.25, 0); })));
  }
  // int8 pad step (layouts differ, so the list is reached).
  {
    const auto params = makeParams({"NCHW", {1, 3, 2, 2}, "NHWC", {1, 4, 2, 2}}, "int8", "int8",
                                   ",\"rt_transformations\":[{\"transformation\":\"pad\","
                                   "\"pad_at_start\":[0,0,0,0],\"pad_at_end\":[0,1,0,0],"
                                   "\"output_shape\":[1,4,2,2]}]");
    auto src = sample<int8_t>(12, 3);
    const auto dev = convertIn<int8_t>(*params, src, INT8, INT8);
    EXPECT_EQ(std::vector<int8_t>(dev.begin(), dev.begin() + 12), src);
    EXPECT_EQ(std::vector<int8_t>(dev.begin() + 12, dev.end()), std::vector<int8_t>(4, 0));
  }
  // Output chain ending in the type change; depad step roles.
  {
    const auto params = makeParams(
        {"NCHW", {1, 2, 2, 2}, "NCHW", {1, 2, 2, 3}}, "float", "int16",
        ",\"rt_transformations\":[{\"transformation\":\"depad\",\"pad_at_start\":[1,2,2,3],"
        "\"pad_at_end\":[1,2,2,2],\"output_shape\":[1,2,2,2]},"
        "{\"transformation\":\"dequantize\",\"scale\":2.0}]");
    std::vector<int16_t> dev = {1, 2, 9, 3, 4, 9, 5, 6, 9, 7, 8, 9};
    const auto out = convertOut<float>(*params, dev, INT16, FP32);
    EXPECT_EQ(out, (std::vector<float>{2, 4, 6, 8, 10, 12, 14, 16}));
  }
}

TEST(TransformLists, ErrorTexts) {
  const Desc d{"NCHW", {1, 3, 2, 2}, "NHWC", {1, 2, 2, 3}};
  auto expectInput = [&](const std::string& cpuType, const std::string& list,
                         const std::string& message) {
    const auto params = makeParams(d, cpuType, "int8", ",\"rt_transformations\":[" + list + "]");
    std::vector<float> f(12);
    std::vector<int8_t> i8(12);
    try {
      if (cpuType == "float")
        convertIn<int8_t>(*params, f, FP32, INT8);
      else
        convertIn<int8_t>(*params, i8, INT8, INT8);
      FAIL() << message;
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  };
  const std::string pad =
      "{\"transformation\":\"pad\",\"pad_at_start\":[0,0,0,0],\"pad_at_end\":[0,0,0,0],"
      "\"output_shape\":[1,3,2,2]}";
  expectInput("float", pad, "Invalid RT transform type with 2 different types: pad");
  expectInput("int8", "{\"transformation\":\"Pad\"}", "Invalid RT transform type: Pad");
  expectInput("int8", "{\"transformation\":\"reshape\",\"output_shape\":[1,3,2,3]}",
              "Cannot reshape with incorrect number of elements. Do you mean to resize?");
  expectInput("float",
              "{\"transformation\":\"quantize\"},{\"transformation\":\"transpose\","
              "\"perm\":[0,2,3,1]}",
              "step 0 (quantize) of a chain has no output_shape");
}

TEST(Routes, RejectDeviceShapesTheConvertersCannotServe) {
  auto expectError = [](const Desc& d) {
    const auto params = makeParams(d, "int8", "int8");
    auto src = sample<int8_t>(product(d.cpuShape), 4);
    EXPECT_THROW(convertIn<int8_t>(*params, src, INT8, INT8), KorvanRTException) << describe(d);
  };
  expectError({"NCHW", {1, 8, 2, 2}, "HCWNC8", {2, 1, 2, 2, 8}});  // other batch
  expectError({"NCHW", {1, 8, 2, 4}, "HCWNC8", {4, 1, 2, 1, 8}});  // narrower W
  // The caller's buffer disagrees with the description.
  const auto params = makeParams({"NCHW", {1, 3, 2, 2}, "HCWNC8", {2, 1, 2, 1, 8}}, "int8", "int8");
  std::vector<int8_t> dev(32), out(11);
  kernel_params_ k;
  EXPECT_THROW(
      postprocessOutput(kCtx, HostTensor{dev.data(), INT8, {2, 1, 2, 1, 8}},
                        HostTensor{out.data(), INT8, {11}}, params->getOutput(0), false, k),
      KorvanRTException);
}

}  // namespace
}  // namespace korvanrt
