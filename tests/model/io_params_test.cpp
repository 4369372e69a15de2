#include "model/io_params.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "hsi_builder.hpp"
#include "model/hw_cluster_params.hpp"
#include "model/tensor_metadata.hpp"

namespace korvanrt {
namespace {

using ::korvanrt::testing::hsiDocument;
using ::korvanrt::testing::tensorEntry;

HWClusterParams fromText(const std::string& text) {
  return HWClusterParams(text.data(), text.size(), false, HsiSource::Package);
}

TEST(IOParamsTest, EntryGetters) {
  const HWClusterParams params =
      fromText(hsiDocument(tensorEntry({{"name", "\"img\""},
                                        {"hw_format", "\"HCWNC4\""},
                                        {"hw_shape", "[2,1,2,1,4]"},
                                        {"zero_point", "-300"},
                                        {"pl_converter_kernel", "\"pl_k\""},
                                        {"extra_shape", "[9,8]"}}),
                           ""));
  const IOParams in = params.getInput(0);
  EXPECT_EQ(in.name(), "img");
  EXPECT_EQ(in.cpuFormat(), "NCHW");
  EXPECT_EQ(in.hwFormat(), "HCWNC4");
  EXPECT_EQ(in.cpuDtype(), "float");
  EXPECT_EQ(in.hwDtype(), "int8");
  EXPECT_EQ(in.cpuShape().dims(), (std::vector<uint32_t>{1, 2, 2, 2}));
  EXPECT_EQ(in.hwShape().c(), 4u);
  EXPECT_EQ(in.getShape("HW", "extra_shape").h(), 9u);
  EXPECT_TRUE(in.getShape("HW", "absent").dims().empty());
  EXPECT_EQ(in.plConverterKernel(), "pl_k");
  EXPECT_DOUBLE_EQ(in.getQdqParams().scale, 0.5);
  EXPECT_EQ(in.getQdqParams().zero_point, -44);  // low 8 bits of -300
  EXPECT_EQ(in.zeroPoint(), -300);
}

TEST(IOParamsTest, EntryWithoutTransformations) {
  const HWClusterParams params = fromText(hsiDocument(tensorEntry(), ""));
  const IOParams in = params.getInput(0);
  EXPECT_EQ(in.numRtTransforms(), 0u);
  EXPECT_EQ(in.getRtTransformName(0), "");
  EXPECT_DOUBLE_EQ(in.getRtTransformQdqParams(0).scale, 1.0);
  EXPECT_EQ(in.getRtTransformQdqParams(0).zero_point, 0);
  EXPECT_TRUE(in.getRtTransformPermute(0).empty());
  EXPECT_EQ(in.plConverterKernel(), "");
}

TEST(IOParamsTest, TransformationSteps) {
  const HWClusterParams params = fromText(hsiDocument(
      tensorEntry({{"scale_factor", "0.25"},
                   {"zero_point", "5"},
                   {"rt_transformations",
                    R"([{"transformation":"quantize"},
                        {"transformation":"dequantize","scale":2,"zero_point":-3},
                        {"transformation":"transpose","perm":[0,2,3,1]},
                        {"transformation":"slice","start":[0,1],"size":[1,4294967295]},
                        {"transformation":"pad","pad_at_start":[1],"pad_at_end":[2],
                         "output_shape":[5]},
                        {"transformation":"tile","multiples":[2,2]}])"}}),
      tensorEntry({{"rt_transformations", R"([{"transformation":"quantize"}])"}}, {"zero_point"})));
  const IOParams in = params.getInput(0);
  ASSERT_EQ(in.numRtTransforms(), 6u);
  EXPECT_EQ(in.getRtTransformName(1), "dequantize");
  // A step without its own parameters takes the tensor's.
  EXPECT_DOUBLE_EQ(in.getRtTransformQdqParams(0).scale, 0.25);
  EXPECT_EQ(in.getRtTransformQdqParams(0).zero_point, 5);
  EXPECT_DOUBLE_EQ(in.getRtTransformQdqParams(1).scale, 2.0);
  EXPECT_EQ(in.getRtTransformQdqParams(1).zero_point, -3);
  EXPECT_EQ(params.getOutput(0).getRtTransformQdqParams(0).zero_point, 0);

  EXPECT_EQ(in.getRtTransformPermute(2), (std::vector<uint32_t>{0, 2, 3, 1}));
  EXPECT_EQ(in.getRtTransformStart(3), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(in.getRtTransformSize(3), (std::vector<uint32_t>{1, 4294967295u}));
  EXPECT_EQ(in.getRtTransformPadBefore(4), std::vector<uint32_t>{1});
  EXPECT_EQ(in.getRtTransformPadAfter(4), std::vector<uint32_t>{2});
  EXPECT_EQ(in.getRtTransformShape(4), std::vector<uint32_t>{5});
  EXPECT_EQ(in.getRtTransformMultiples(5), (std::vector<uint32_t>{2, 2}));
  EXPECT_TRUE(in.getRtTransformPermute(5).empty());  // key the step does not carry
}

TEST(IOParamsTest, MalformedTransformationsRaise) {
  struct Case {
    std::string list;
    std::string fragment;
  };
  const std::vector<Case> cases = {
      {R"({"transformation":"tile"})", "\"rt_transformations\" of tensor \"t\" is not an array"},
      {R"([7])", "rt_transformations[0] of tensor \"t\" is not an object"},
      {R"([{"transformation":1}])", "\"transformation\" of rt_transformations[0]"},
      {R"([{"perm":[1]}])", "\"transformation\" of rt_transformations[0]"},
      {R"([{"transformation":"transpose","perm":[-1]}])", "\"perm\" of rt_transformations[0]"},
      {R"([{"transformation":"transpose","perm":[4294967296]}])", "\"perm\""},
      {R"([{"transformation":"transpose","perm":"0123"}])", "\"perm\""},
      {R"([{"transformation":"quantize","scale":"1"}])", "\"scale\" of rt_transformations[0]"},
      {R"([{"transformation":"quantize","zero_point":0.5}])",
       "\"zero_point\" of rt_transformations"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    const HWClusterParams params =
        fromText(hsiDocument(tensorEntry({{"rt_transformations", c.list}}), ""));
    const IOParams in = params.getInput(0);
    try {
      in.numRtTransforms();
      in.getRtTransformName(0);
      in.getRtTransformQdqParams(0);
      in.getRtTransformPermute(0);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.fragment), std::string::npos) << e.what();
    }
  }
  const HWClusterParams params = fromText(
      hsiDocument(tensorEntry({{"rt_transformations", R"([{"transformation":"pad"}])"}}), ""));
  EXPECT_THROW(params.getInput(0).getRtTransformName(1), std::out_of_range);
  EXPECT_THROW(params.getInput(0).getRtTransformShape(1), std::out_of_range);
}

TEST(ErtIOMetaDataTest, CpuAndHardwareDescriptions) {
  const HWClusterParams params = fromText(hsiDocument(tensorEntry({{"name", "\"a\""}}) + "," +
                                                          tensorEntry({{"name", "\"b\""},
                                                                       {"cpu_shape", "[1,3,4,4]"},
                                                                       {"hw_format", "\"CHWN\""},
                                                                       {"hw_dtype", "\"bf16\""},
                                                                       {"hw_shape", "[3,4,4,1]"},
                                                                       {"scale_factor", "0.125"},
                                                                       {"zero_point", "300"}}),
                                                      tensorEntry({{"name", "\"y\""},
                                                                   {"cpu_dtype", "\"uint16\""},
                                                                   {"hw_format", "\"NCHW\""},
                                                                   {"hw_dtype", "\"bf16\""},
                                                                   {"hw_shape", "[2,3]"}})));

  const auto cpu = params.createErtIOMetaData("inputs", false, 1);
  ASSERT_EQ(cpu.size(), 2u);
  const client::TensorMetadataType& b = cpu[1];
  EXPECT_EQ(b.name, "b");
  EXPECT_EQ(b.dtype, client::FP32);
  EXPECT_EQ(b.format, client::NCHW);
  EXPECT_EQ(b.shape, (std::vector<uint32_t>{1, 3, 4, 4}));
  EXPECT_EQ(b.size, 192u);
  EXPECT_EQ(b.strides, (std::vector<uint32_t>{48, 16, 4, 1}));
  EXPECT_EQ(b.dimOrder, (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_DOUBLE_EQ(b.scale, 0.125);
  EXPECT_EQ(b.zeroPoint, 300);  // not reduced to 8 bits here
  EXPECT_EQ(b.roundingMode, client::TRUNCATE);

  const auto hw = params.createErtIOMetaData("input", true, 0);
  ASSERT_EQ(hw.size(), 2u);
  EXPECT_EQ(hw[0].format, client::NHWC);
  EXPECT_TRUE(hw[0].dimOrder.empty());
  EXPECT_EQ(hw[1].dtype, client::BF16);
  EXPECT_EQ(hw[1].format, client::OTHER);
  EXPECT_EQ(hw[1].size, 96u);
  EXPECT_EQ(hw[1].strides, (std::vector<uint32_t>{16, 4, 1, 1}));
  EXPECT_EQ(hw[1].dimOrder, (std::vector<uint32_t>{1, 2, 3, 0}));

  const auto out = params.createErtIOMetaData("output", false, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].dtype, client::UINT16);
  const auto hwOut = params.createErtIOMetaData("outputs", true, 0);
  EXPECT_EQ(hwOut[0].format, client::NCHW);
  EXPECT_EQ(hwOut[0].size, 12u);
  EXPECT_TRUE(params.createErtIOMetaData("weights", false, 0).empty());
}

TEST(ErtIOMetaDataTest, Faults) {
  const HWClusterParams badLetter = fromText(
      hsiDocument(tensorEntry({{"hw_format", "\"CHWX\""}, {"hw_shape", "[1,1,1,8]"}}), ""));
  try {
    badLetter.createErtIOMetaData("inputs", true, 0);
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Character 'X' in HW format not found in CPU format.");
  }
  EXPECT_NO_THROW(badLetter.createErtIOMetaData("inputs", false, 0));

  const HWClusterParams badType =
      fromText(hsiDocument(tensorEntry({{"cpu_dtype", "\"float64\""}}), ""));
  try {
    badType.createErtIOMetaData("inputs", false, 0);
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Unknown DataType: float64");
  }

  try {
    tensorByteSize(static_cast<client::DataType>(8), {2, 3});
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Unsupported DataType for size calculation");
  }
}

TEST(ErtIOMetaDataTest, Helpers) {
  EXPECT_EQ(tensorByteSize(client::BF16, {}), 0u);
  EXPECT_EQ(tensorByteSize(client::FP32, {65536, 65536, 2}), 34359738368u);  // 64-bit
  EXPECT_TRUE(rowMajorStrides({}).empty());
  EXPECT_EQ(rowMajorStrides({5}), std::vector<uint32_t>{1});
  EXPECT_TRUE(hwDimOrder("", "NCHW").empty());
  EXPECT_EQ(hwDimOrder("NCHW", "CHW"), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(tensorFormatOf("NHW"), client::NHW);
  EXPECT_EQ(tensorFormatOf("HCWNC8"), client::HCWNC8);
  EXPECT_EQ(tensorFormatOf("nchw"), client::OTHER);
}

}  // namespace
}  // namespace korvanrt
