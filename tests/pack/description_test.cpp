// The description parser names the field of every description it cannot
// represent.

#include <gtest/gtest.h>

#include "model_description.hpp"
#include "package_writer.hpp"

namespace {

using korvan::pack::DescriptionError;
using Json = nlohmann::ordered_json;

Json validDescription() {
  return Json::parse(R"({
    "name": "m",
    "partitions": [{
      "inputs": [{"name": "in", "cpu_format": "NCHW", "cpu_dtype": "float", "cpu_shape": [1, 8, 2, 2],
                  "hw_format": "HCWNC8", "hw_dtype": "bf16", "hw_shape": [2, 1, 2, 1, 8]}],
      "outputs": [{"name": "out", "cpu_format": "NCHW", "cpu_dtype": "float", "cpu_shape": [1, 8, 2, 2],
                   "hw_format": "HCWNC8", "hw_dtype": "bf16", "hw_shape": [2, 1, 2, 1, 8]}],
      "weights": [{"name": "w", "dtype": "bf16", "shape": [8, 8], "generator": {"kind": "ramp"}}],
      "program": [{"op": "copy", "dst": "out", "src": "in", "bytes": 64}]
    }]
  })");
}

// The field named by the error a modified description raises when it is
// written.
std::string faultField(const Json& doc) {
  try {
    auto model = korvan::pack::parseModelDescription(doc);
    korvan::pack::buildMemoryPackage({model});
  } catch (const DescriptionError& e) {
    return e.field();
  }
  return "(accepted)";
}

TEST(PackDescription, ValidDescriptionIsAccepted) {
  EXPECT_EQ(faultField(validDescription()), "(accepted)");
}

TEST(PackDescription, RejectionsNameTheField) {
  struct Case {
    const char* pointer;
    Json value;
    const char* field;
  };
  const std::vector<Case> cases = {
      {"/name", "a/b", "name"},
      {"/program_form", "object", "program_form"},
      {"/partitions/0/inputs/0/cpu_dtype", "float64", "partitions[0].inputs[0].cpu_dtype"},
      {"/partitions/0/inputs/0/hw_format", "NCHW8", "partitions[0].inputs[0].hw_format"},
      {"/partitions/0/inputs/0/hw_shape", Json::array({2, 1, 2, 1}),
       "partitions[0].inputs[0].hw_shape"},
      {"/partitions/0/inputs/0/hw_shape", Json::array({1, 1, 1, 1, 8}),
       "partitions[0].inputs[0].hw_shape"},
      {"/partitions/0/inputs/0/zero_point", 200, "partitions[0].inputs[0].zero_point"},
      {"/partitions/0/outputs/0/name", "in", "partitions[0].outputs[0].name"},
      {"/partitions/0/weights/0/values", Json::array({1, 2}), "partitions[0].weights[0].values"},
      {"/partitions/0/program/0/op", "mul", "partitions[0].program[0].op"},
      {"/partitions/0/program/0/src", "nowhere", "partitions[0].program[0].src"},
      {"/partitions/0/program/0/bytes", 65, "partitions[0].program[0].src"},
      {"/partitions/0/inputs/0/rt_transformations",
       Json::parse(R"([{"transformation": "transpose", "perm": [0, 1]}])"),
       "partitions[0].inputs[0]"},
      {"/partitions/0/program/0",
       Json::parse(R"({"op": "conv1x1_bf16", "dst": "out", "src": "in", "weights": "w",
                       "height": 65536, "width": 65536, "batch": 65536, "in_channels": 65536})"),
       "partitions[0].program[0]"},
  };
  for (const auto& c : cases) {
    auto doc = validDescription();
    doc[Json::json_pointer(c.pointer)] = c.value;
    EXPECT_EQ(faultField(doc), c.field) << c.pointer;
  }
}

TEST(PackDescription, FormRestrictionsNameTheField) {
  auto twoInputs = validDescription();
  twoInputs["program_form"] = "elf";
  twoInputs["partitions"][0]["inputs"].push_back(twoInputs["partitions"][0]["inputs"][0]);
  twoInputs["partitions"][0]["inputs"][1]["name"] = "in2";
  EXPECT_EQ(faultField(twoInputs), "partitions[0].inputs");

  auto compressedTxn = validDescription();
  compressedTxn["compress_elf"] = true;
  EXPECT_EQ(faultField(compressedTxn), "compress_elf");

  auto missing = validDescription();
  missing["partitions"][0]["inputs"][0].erase("cpu_format");
  EXPECT_EQ(faultField(missing), "partitions[0].inputs[0].cpu_format");

  EXPECT_THROW(korvan::pack::parseModelDescriptionText("{\"name\": "), DescriptionError);
}

}  // namespace
