// Command-line values: runtime options typed per key, tensor sources, name
// suggestions and the checks of caller tensors against the model.

#include <gtest/gtest.h>

#include <cstdint>

#include "name_suggestion.hpp"
#include "session_options.hpp"
#include "tensor_source.hpp"

namespace korvan::run {
namespace {

TEST(SessionOptions, ValuesTakeTheTypeTheRuntimeReads) {
  const auto options = parseOptions({"num_of_trelmrt_threads=4", "rounding_mode=truncate",
                                     "use_host_ptr=true", "gops=7", "max_spill_buffer_size=4096",
                                     "my_flag=false", "my_count=3", "my_text=abc"});
  EXPECT_EQ(std::any_cast<std::int32_t>(options.at("num_of_trelmrt_threads")), 4);
  EXPECT_EQ(std::any_cast<std::string>(options.at("rounding_mode")), "truncate");
  EXPECT_TRUE(std::any_cast<bool>(options.at("use_host_ptr")));
  EXPECT_EQ(std::any_cast<std::uint32_t>(options.at("gops")), 7u);
  EXPECT_EQ(std::any_cast<std::uint64_t>(options.at("max_spill_buffer_size")), 4096u);
  EXPECT_FALSE(std::any_cast<bool>(options.at("my_flag")));
  EXPECT_EQ(std::any_cast<std::int32_t>(options.at("my_count")), 3);
  EXPECT_EQ(std::any_cast<std::string>(options.at("my_text")), "abc");
  EXPECT_EQ(optionsAsText(options).at("gops"), "7");
}

TEST(SessionOptions, RefusesMalformedValues) {
  for (const char* text :
       {"num_of_trelmrt_threads=four", "num_of_trelmrt_threads=", "gops=-1", "use_host_ptr=yes",
        "=x", "no_equals_sign", "num_of_trelmrt_threads=99999999999"})
    EXPECT_THROW(parseOptions({text}), std::invalid_argument) << text;
}

TEST(TensorSources, ParsesFilesAndRandom) {
  const auto file = parseTensorSource("x=@in/a.npy", true);
  EXPECT_EQ(file.name, "x");
  EXPECT_EQ(file.file, "in/a.npy");
  EXPECT_TRUE(parseTensorSource("x=random", true).random);
  for (const char* text : {"x", "=@a.npy", "x=a.npy", "x=@"})
    EXPECT_THROW(parseTensorSource(text, true), std::invalid_argument) << text;
  EXPECT_THROW(parseTensorSource("x=random", false), std::invalid_argument);
}

TEST(TensorSources, UnknownNamesSuggestTheClosest) {
  std::vector<TensorInfo> tensors(2);
  tensors[0].name = "ifm_ddr_0";
  tensors[1].name = "ifm_ddr_1";
  EXPECT_EQ(findTensor(tensors, "ifm_ddr_1", "input"), 1u);
  try {
    findTensor(tensors, "ifm_dr_1", "input");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "unknown input \"ifm_dr_1\"; did you mean \"ifm_ddr_1\"? (known: ifm_ddr_0, "
                 "ifm_ddr_1)");
  }
  EXPECT_EQ(closestName("zzzzzzzz", {"ifm_ddr_0"}), "");
}

TEST(CallerTensors, ChecksTypeRankExtentsAndBatch) {
  TensorInfo info;
  info.name = "ifm";
  info.cpuDtype = "float";
  info.cpuShape = {2, 3, 4};
  const struct {
    ElementType type;
    std::vector<std::uint64_t> shape;
    std::int64_t batches;  // -1: refused
    const char* message;
  } cases[] = {
      {ElementType::fp32, {2, 3, 4}, 1, ""},
      {ElementType::fp32, {6, 3, 4}, 3, ""},
      {ElementType::fp32,
       {3, 3, 4},
       -1,
       "input ifm: expected float [2, 3, 4], given float [3, 3, 4]: the first extent must be a "
       "positive multiple of 2"},
      {ElementType::fp32, {0, 3, 4}, -1, nullptr},
      {ElementType::fp32,
       {2, 4, 4},
       -1,
       "input ifm: expected float [2, 3, 4], given float [2, 4, 4]: extent 1 differs"},
      {ElementType::fp32,
       {2, 12},
       -1,
       "input ifm: expected float [2, 3, 4], given float [2, 12]: ranks differ"},
      {ElementType::int8,
       {2, 3, 4},
       -1,
       "input ifm: expected float [2, 3, 4], given int8 [2, 3, 4]: element types differ"},
  };
  for (const auto& c : cases) {
    HostTensor t = HostTensor::zeros(c.type, c.shape);
    if (c.batches >= 0) {
      EXPECT_EQ(checkCallerTensor(info, t, "input"), static_cast<std::uint64_t>(c.batches));
      continue;
    }
    try {
      checkCallerTensor(info, t, "input");
      ADD_FAILURE() << shapeText(c.shape);
    } catch (const std::invalid_argument& e) {
      if (c.message != nullptr) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
  }
  // bfloat16 tensors come as uint16 patterns and are retagged.
  info.cpuDtype = "bf16";
  HostTensor patterns = HostTensor::zeros(ElementType::uint16, {2, 3, 4});
  EXPECT_EQ(checkCallerTensor(info, patterns, "input"), 1u);
  EXPECT_EQ(patterns.type, ElementType::bf16);
}

}  // namespace
}  // namespace korvan::run
