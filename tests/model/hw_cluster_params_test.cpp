#include "model/hw_cluster_params.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "hsi_builder.hpp"

namespace korvanrt {
namespace {

using ::korvanrt::testing::hsiDocument;
using ::korvanrt::testing::StringReader;
using ::korvanrt::testing::tensorEntry;

HWClusterParams fromText(const std::string& text, bool profiling = false) {
  return HWClusterParams(text.data(), text.size(), profiling, HsiSource::Package);
}

std::string errorOf(const std::string& text, HsiSource source = HsiSource::Package,
                    const char* fileName = nullptr) {
  try {
    HWClusterParams params(text.data(), text.size(), false, source, fileName);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<accepted>";
}

TEST(HWClusterParamsTest, RetainsEveryPartOfAValidDescription) {
  std::string text = hsiDocument(
      tensorEntry({{"name", "\"in0\""}, {"zero_point", "200"}}) + "," +
          tensorEntry({{"name", "\"in1\""}, {"zero_point", "-128"}}),
      tensorEntry({{"name", "\"out0\""}, {"zero_point", "127"}}),
      R"("weights":{"layers":[{"name":"w0","offset":0},{"name":"w1","offset":2147483647}]},)"
      R"("weightsExtend":[)" +
          tensorEntry({{"name", "\"wx\""}}) +
          R"(],"spills":{"layers":[{"name":"s0","offset":16,"size":64},{"name":"s1","offset":-8}]},)"
          R"("fabpak_name":"model.fabpak","unknown_root_key":[1,2])");
  HWClusterParams params(text.data(), text.size(), true, HsiSource::Package);
  text.assign(text.size(), 'x');  // retained parts must not point into the text

  ASSERT_EQ(params.numInputs(), 2u);
  ASSERT_EQ(params.numOutputs(), 1u);
  EXPECT_EQ(params.numWeights(), 0u);
  ASSERT_EQ(params.numWeightsExtend(), 1u);
  EXPECT_EQ(params.getInput(1).name(), "in1");
  EXPECT_EQ(params.getOutput(0).name(), "out0");
  EXPECT_EQ(params.getWeightExtend(0).name(), "wx");

  // zero points keep their low 8 bits
  EXPECT_EQ(params.getInput(0).getQdqParams().zero_point, -56);
  EXPECT_EQ(params.getInput(1).getQdqParams().zero_point, -128);
  EXPECT_EQ(params.getOutput(0).getQdqParams().zero_point, 127);
  EXPECT_EQ(params.getWeightExtend(0).getQdqParams().zero_point, 0);

  EXPECT_EQ(params.weightNames(), (std::vector<std::string>{"w0", "w1"}));
  EXPECT_EQ(params.weightOffsets(), (std::vector<int64_t>{0, 2147483647}));
  EXPECT_EQ(params.spillNames(), (std::vector<std::string>{"s0", "s1"}));
  EXPECT_EQ(params.spillOffsets(), (std::vector<int64_t>{16, -8}));
  EXPECT_EQ(params.spillSizes(), (std::vector<int64_t>{64}));
  EXPECT_EQ(params.fabpakName(), "model.fabpak");
  EXPECT_EQ(params.plcOutputMode(), 1);
  EXPECT_EQ(params.roundingMode(), client::ROUND_NEAREST_EVEN);
  params.setRoundingMode(client::TRUNCATE);
  EXPECT_EQ(params.roundingMode(), client::TRUNCATE);

  EXPECT_THROW(params.getInput(2), std::out_of_range);
  EXPECT_THROW(params.getWeight(0), std::out_of_range);
}

TEST(HWClusterParamsTest, OptionalPartsDefault) {
  struct Case {
    std::string extra;
    bool profiling;
    int32_t plcOutputMode;
  };
  const std::vector<Case> cases = {
      {"", false, 0},
      {"", true, 1},
      {R"("tgr_runtime_control":{})", true, 1},
      {R"("tgr_runtime_control":{"plc_output_mode":3})", false, 3},
      {R"("tgr_runtime_control":{"plc_output_mode":3})", true, 3},
      {R"("weights":{},"weightsExtend":{"not":"an array"})", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    const HWClusterParams params = fromText(hsiDocument("", "", c.extra), c.profiling);
    EXPECT_EQ(params.plcOutputMode(), c.plcOutputMode);
    EXPECT_EQ(params.fabpakName(), "");
    EXPECT_EQ(params.numWeights(), 0u);
    EXPECT_EQ(params.numWeightsExtend(), 0u);
    EXPECT_TRUE(params.weightNames().empty());
    EXPECT_TRUE(params.spillOffsets().empty());
  }
}

TEST(HWClusterParamsTest, WeightsInArrayFormAreCheckedLikeOutputs) {
  // A weight (like an output) may be smaller on the device than on the CPU.
  const std::string small = tensorEntry({{"cpu_shape", "[4,4]"}, {"hw_shape", "[2]"}});
  const HWClusterParams params =
      fromText(hsiDocument("", small, "\"weights\":[" + small + "," + small + "]"));
  EXPECT_EQ(params.numWeights(), 2u);
  EXPECT_EQ(params.getWeight(1).hwShape().dims(), std::vector<uint32_t>{2});
}

TEST(HWClusterParamsTest, InputHardwareTensorMayNotBeSmallerThanCpuTensor) {
  const std::string equal = tensorEntry({{"cpu_shape", "[2,3,4]"}, {"hw_shape", "[4,6]"}});
  EXPECT_NO_THROW(fromText(hsiDocument(equal, "")));

  const std::string smaller = tensorEntry({{"cpu_shape", "[2,3,4]"}, {"hw_shape", "[23]"}});
  ::testing::internal::CaptureStdout();
  const std::string error = errorOf(hsiDocument(equal + "," + smaller, ""));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: Hardware tensor size cannot be smaller than CPU tensor size for input 1\n"
            "    CPU tensor size=24 Hardware tensor size=23\n");
  EXPECT_EQ(error, "Invalid input tensor shapes specified in korvanrt-hsi.json for the model");
}

TEST(HWClusterParamsTest, MissingKeysAreReportedInCheckOrder) {
  struct Case {
    std::string text;
    std::string key;
  };
  const std::string ok = tensorEntry();
  const std::vector<Case> cases = {
      {hsiDocument(tensorEntry({}, {"name"}), ""), "name"},
      {hsiDocument(tensorEntry({}, {"scale_factor"}), ""), "scale_factor"},
      {hsiDocument(ok, tensorEntry({}, {"cpu_dtype"})), "cpu_dtype"},
      {hsiDocument(tensorEntry({}, {"hw_format"}), ""), "hw_format"},
      {hsiDocument(ok, tensorEntry({}, {"hw_dtype"})), "hw_dtype"},
      // several missing: the first in check order wins
      {hsiDocument(tensorEntry({}, {"hw_dtype", "cpu_format"}), ""), "cpu_format"},
      // inputs are checked before outputs
      {hsiDocument(tensorEntry({}, {"hw_dtype"}), tensorEntry({}, {"name"})), "hw_dtype"},
      {hsiDocument("", "", R"("weights":{"layers":[{"name":"w"}]})"), "offset"},
      {hsiDocument("", "", R"("spills":{"layers":[{"offset":0}]})"), "name"},
      {hsiDocument("", "", R"("weightsExtend":[)" + tensorEntry({}, {"scale_factor"}) + "]"),
       "scale_factor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(errorOf(c.text), "Invalid runtime json");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ERROR: " + c.key + " entry missing in korvanrt-hsi.json\n");

    StringReader reader(c.text, "/models/0/korvanrt-hsi.json");
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(HWClusterParams(&reader, false), std::runtime_error);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ERROR: " + c.key + " entry missing in /models/0/korvanrt-hsi.json\n");
  }

  // A reader without a name: no line at all, the same exception.
  StringReader anonymous(cases[0].text, nullptr);
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(HWClusterParams(&anonymous, false), std::runtime_error);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(HWClusterParamsTest, StructuralFaultsNameTheKeyAndTheFile) {
  struct Case {
    std::string text;
    std::string message;  // after "korvanrt-hsi.json: "
  };
  const std::string shapeRule = "must be an array of integers in 0..2147483647";
  const std::string int32Rule = "must be an integer in -2147483648..2147483647";
  const std::string ok = tensorEntry();
  const std::vector<Case> cases = {
      {"[]", "the document must be a JSON object"},
      {R"({"outputs":[]})", "\"inputs\" must be an array"},
      {R"({"inputs":{},"outputs":[]})", "\"inputs\" must be an array"},
      {R"({"inputs":[]})", "\"outputs\" must be an array"},
      {hsiDocument("1", ""), "inputs[0] must be an object"},
      {hsiDocument(ok, "null"), "outputs[0] must be an object"},
      {hsiDocument(tensorEntry({}, {"cpu_shape"}), ""), "\"cpu_shape\" of inputs[0] " + shapeRule},
      {hsiDocument(ok, tensorEntry({{"hw_shape", "\"1x2\""}})),
       "\"hw_shape\" of outputs[0] " + shapeRule},
      {hsiDocument(tensorEntry({{"cpu_shape", "[1,-1]"}}), ""),
       "\"cpu_shape\" of inputs[0] " + shapeRule},
      {hsiDocument(tensorEntry({{"cpu_shape", "[2147483648]"}}), ""),
       "\"cpu_shape\" of inputs[0] " + shapeRule},
      {hsiDocument(tensorEntry({{"hw_shape", "[1.5]"}}), ""),
       "\"hw_shape\" of inputs[0] " + shapeRule},
      {hsiDocument(tensorEntry({{"hw_shape", "[[1]]"}}), ""),
       "\"hw_shape\" of inputs[0] " + shapeRule},
      {hsiDocument(tensorEntry({{"name", "5"}}), ""), "\"name\" of inputs[0] must be a string"},
      {hsiDocument(tensorEntry({{"hw_dtype", "null"}}), ""),
       "\"hw_dtype\" of inputs[0] must be a string"},
      {hsiDocument(tensorEntry({{"scale_factor", "\"0.5\""}}), ""),
       "\"scale_factor\" of inputs[0] must be a number"},
      {hsiDocument(tensorEntry({{"zero_point", "1.5"}}), ""),
       "\"zero_point\" of inputs[0] " + int32Rule},
      {hsiDocument(tensorEntry({{"zero_point", "2147483648"}}), ""),
       "\"zero_point\" of inputs[0] " + int32Rule},
      {hsiDocument(tensorEntry({{"pl_converter_kernel", "1"}}), ""),
       "\"pl_converter_kernel\" of inputs[0] must be a string"},
      {hsiDocument("", "", R"("weights":5)"), "\"weights\" must be an array or an object"},
      {hsiDocument("", "", R"("weights":[)" + tensorEntry({{"cpu_dtype", "1"}}) + "]"),
       "\"cpu_dtype\" of weights[0] must be a string"},
      {hsiDocument("", "", R"("weights":{"layers":{}})"),
       "\"layers\" of \"weights\" must be an array"},
      {hsiDocument("", "", R"("weights":{"layers":[7]})"), "weights.layers[0] must be an object"},
      {hsiDocument("", "", R"("weights":{"layers":[{"name":1,"offset":0}]})"),
       "\"name\" of weights.layers[0] must be a string"},
      {hsiDocument("", "", R"("weights":{"layers":[{"name":"w","offset":"0"}]})"),
       "\"offset\" of weights.layers[0] " + int32Rule},
      {hsiDocument("", "", R"("weights":{"layers":[{"name":"w","offset":4294967296}]})"),
       "\"offset\" of weights.layers[0] " + int32Rule},
      {hsiDocument("", "", R"("weightsExtend":[)" + tensorEntry({}, {"hw_shape"}) + "]"),
       "\"hw_shape\" of weightsExtend[0] " + shapeRule},
      {hsiDocument("", "", R"("spills":[])"), "\"spills\" must be an object"},
      {hsiDocument("", "", R"("spills":{})"), "\"layers\" of \"spills\" must be an array"},
      {hsiDocument("", "", R"("spills":{"layers":[{"name":"s","offset":0,"size":1.5}]})"),
       "\"size\" of spills.layers[0] " + int32Rule},
      {hsiDocument("", "", R"("fabpak_name":3)"), "\"fabpak_name\" must be a string"},
      {hsiDocument("", "", R"("tgr_runtime_control":1)"),
       "\"tgr_runtime_control\" must be an object"},
      {hsiDocument("", "", R"("tgr_runtime_control":{"plc_output_mode":"1"})"),
       "\"plc_output_mode\" of \"tgr_runtime_control\" " + int32Rule},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(errorOf(c.text), "korvanrt-hsi.json: " + c.message);
  }
  EXPECT_EQ(errorOf(cases[0].text, HsiSource::File, "/m/korvanrt-hsi.json"),
            "/m/korvanrt-hsi.json: the document must be a JSON object");
}

TEST(HWClusterParamsTest, MalformedTextIsAParseError) {
  const std::vector<std::string> texts = {
      "",
      "{",
      R"({"inputs":[],"outputs":[],})",
      "// note\n{}",
      "{} {}",
      "{'inputs':[]}",
      std::string(200000, '['),  // far deeper than any stack could recurse
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 32));
    ::testing::internal::CaptureStderr();
    try {
      fromText(text);
      ADD_FAILURE() << "accepted";
    } catch (const KorvanRTException& e) {
      EXPECT_STREQ(e.what(), "korvan_rt/src/HWClusterParams:401: korvanrt-hsi.json parse error!");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "korvanrt-hsi.json parse error!\n");
  }

  StringReader reader("{\"inputs\":", "part/korvanrt-hsi.json");
  ::testing::internal::CaptureStderr();
  try {
    HWClusterParams params(&reader, false);
    ADD_FAILURE() << "accepted";
  } catch (const KorvanRTException& e) {
    EXPECT_NE(
        std::string(e.what()).find(
            "korvanrt-hsi.json parse error! part/korvanrt-hsi.json: Invalid value. (offset 10)"),
        std::string::npos)
        << e.what();
  }
  ::testing::internal::GetCapturedStderr();
}

TEST(HWClusterParamsTest, DeepNestingIsRefusedWithoutRecursion) {
  const size_t depth = 100000;
  const std::string nested = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_EQ(errorOf(hsiDocument(tensorEntry({{"extra", nested}}), "")),
            "korvanrt-hsi.json: the document is nested deeper than 256 levels");
  const std::string shallow = std::string(200, '[') + std::string(200, ']');
  EXPECT_EQ(fromText(hsiDocument(tensorEntry({{"extra", shallow}}), "")).numInputs(), 1u);
}

TEST(HWClusterParamsTest, ReaderSource) {
  EXPECT_THROW(
      {
        try {
          HWClusterParams(static_cast<KorvanIOReader*>(nullptr), false);
        } catch (const std::invalid_argument& e) {
          EXPECT_STREQ(e.what(), "KorvanRT HSI JSON path not valid!");
          throw;
        }
      },
      std::invalid_argument);

  StringReader reader(hsiDocument(tensorEntry(), ""), "korvanrt-hsi.json");
  const HWClusterParams params(&reader, false);
  EXPECT_EQ(params.numInputs(), 1u);

  struct NegativeSize : StringReader {
    NegativeSize() : StringReader("{}", "broken.json") {}
    int64_t size() const override { return -1; }
  } negative;
  EXPECT_THROW(HWClusterParams(&negative, false), std::runtime_error);
}

}  // namespace
}  // namespace korvanrt
