#include "model/tensor_dims.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "model/rt_transform.hpp"

namespace korvanrt {
namespace {

TEST(TensorDimsTest, LogicalSizesOfPlainAndBlockedLayouts) {
  struct Case {
    std::string format;
    std::vector<uint32_t> dims;
    uint32_t n, c, h, w;
    uint32_t size;
    char blockAxis;
    int32_t blockSize;
    std::vector<uint32_t> dim;  // dim(i) for every i
  };
  const std::vector<Case> cases = {
      {"NCHW", {1, 3, 224, 224}, 1, 3, 224, 224, 150528, 'W', 1, {1, 3, 224, 224}},
      {"NHWC", {2, 5, 6, 7}, 2, 7, 5, 6, 420, 'C', 1, {2, 5, 6, 7}},
      {"HCWNC4", {7, 2, 5, 1, 4}, 1, 8, 7, 5, 280, 'C', 4, {7, 8, 5, 1, 4}},
      {"HCWNC8", {3, 2, 4, 2, 8}, 2, 16, 3, 4, 384, 'C', 8, {3, 16, 4, 2, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const TensorDims dims(c.format, c.dims);
    EXPECT_EQ(dims.n(), c.n);
    EXPECT_EQ(dims.c(), c.c);
    EXPECT_EQ(dims.h(), c.h);
    EXPECT_EQ(dims.w(), c.w);
    EXPECT_EQ(dims.size(), c.size);
    EXPECT_EQ(dims.blockAxis(), c.blockAxis);
    EXPECT_EQ(dims.blockSize(), c.blockSize);
    for (size_t i = 0; i < c.dim.size(); ++i) EXPECT_EQ(dims.dim(i), c.dim[i]) << "dim " << i;
  }
}

TEST(TensorDimsTest, WidthBlockedLayout) {
  const TensorDims dims("W/4HW4", {3, 10, 4});
  EXPECT_EQ(dims.h(), 10u);
  EXPECT_EQ(dims.w(), 12u);
  EXPECT_EQ(dims.blockAxis(), 'W');
  EXPECT_EQ(dims.blockSize(), 4);
  EXPECT_EQ(dims.dim(0), 12u);
  EXPECT_EQ(dims.dim(1), 10u);
  EXPECT_EQ(dims.axisPositions().at('H'), 3);
  EXPECT_EQ(dims.positionAxes(), (std::map<int32_t, char>{{0, 'W'}, {3, 'H'}, {4, 'W'}}));
  EXPECT_THROW(dims.n(), std::out_of_range);
  EXPECT_THROW(dims.c(), std::out_of_range);
}

TEST(TensorDimsTest, PositionMaps) {
  const TensorDims dims("HCWNC4", {7, 2, 5, 1, 4});
  EXPECT_EQ(dims.axisPositions(),
            (std::map<char, int32_t>{{'H', 0}, {'C', 1}, {'W', 2}, {'N', 3}}));
  EXPECT_EQ(dims.positionAxes(),
            (std::map<int32_t, char>{{0, 'H'}, {1, 'C'}, {2, 'W'}, {3, 'N'}, {4, 'C'}}));
  EXPECT_EQ(TensorDims("NCHW", {}).size(), 1u);
  EXPECT_EQ(TensorDims("NC", {65536, 65536}).size(), 0u);  // 32-bit product wraps
}

TEST(TensorDimsTest, AccessorsRejectWhatTheLayoutLacks) {
  // Missing letters, shapes shorter than the layout, blocks that are no axis.
  EXPECT_THROW(TensorDims("NHW", {1, 2, 3}).c(), std::out_of_range);
  EXPECT_THROW(TensorDims("HW", {2, 3}).n(), std::out_of_range);
  EXPECT_THROW(TensorDims("NCHW", {1, 3}).h(), std::out_of_range);
  EXPECT_THROW(TensorDims("HCWNC4", {7, 2, 5}).c(), std::out_of_range);
  EXPECT_THROW(TensorDims("W/4HW4", {3}).w(), std::out_of_range);
  EXPECT_THROW(TensorDims("NCHW", {1, 3, 4, 4}).dim(4), std::out_of_range);
  EXPECT_THROW(TensorDims("1234", {1}).dim(0), std::out_of_range);
  EXPECT_THROW(TensorDims("nchw", {1}).dim(0), std::out_of_range);
  EXPECT_THROW(TensorDims("NC99999999999", {1, 1}), std::out_of_range);  // block size overflows
}

TEST(RtTransformTest, KindsMatchExactly) {
  const std::vector<std::pair<std::string, RtTransformType>> cases = {
      {"quantize", QUANTIZE},
      {"dequantize", DEQUANTIZE},
      {"reshape", RESHAPE},
      {"transpose", TRANSPOSE},
      {"pad", PAD},
      {"slice", SLICE},
      {"tile", TILE},
      {"depad", DEPAD},
      {"qdq_depad", QDQ_DEPAD},
      {"Quantize", INVALID},
      {" pad", INVALID},
      {"", INVALID},
  };
  for (const auto& [text, kind] : cases) EXPECT_EQ(stringToRtTransformType(text), kind) << text;
}

}  // namespace
}  // namespace korvanrt
