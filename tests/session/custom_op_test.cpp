// Packages that bring their own libraries: CPU operators of custom-operator
// packages, and a user model library that runs its model through
// korvan_rt_executeRunnerNew.

#include <cstring>

#include "session_fixture.hpp"

namespace session_test {
namespace {

using korvanrt::client::ErtIoType;
using korvanrt::client::ErtIoTypeNew;
using korvanrt::client::Tensor;

fs::path copyOfPackage(const fs::path& scratch, const std::string& name) {
  fs::create_directories(scratch);
  fs::copy(writtenExamples() / name, scratch / name, fs::copy_options::recursive);
  return scratch / name / name;
}

uint16_t bf16Nearest(float f) {
  uint32_t bits = 0;
  std::memcpy(&bits, &f, 4);
  return static_cast<uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

std::vector<ErtIoTypeNew> recordOver(HostTensor& t) {
  ErtIoTypeNew r;
  r.data = t.bytes.data();
  r.size = t.bytes.size();
  r.dtype = "float";
  r.shape = t.shape;
  return {r};
}

TEST(SessionCustomOps, OperatorLibraryFunctionsReplaceTheLayoutConversion) {
  const Scratch scratch;
  const auto dir = copyOfPackage(scratch.dir, "custom_op_copy");
  // The operator's metadata names its library and functions; the library sits
  // somewhere under the package's parent directory.
  replaceInFile(dir / "0" / "custom_op_metadata.json", "\"op_name\": \"copy_op\",",
                "\"op_name\": \"copy_op\", \"c_apis\": {\"lib\": \"libsession_test_ops\", "
                "\"preprocess\": \"negate_bf16\", \"postprocess\": \"reverse_bf16\"},");
  for (const std::string side : {"ifm", "ofm"})
    replaceInFile(dir / "0" / "korvanrt-hsi.json", "\"name\": \"" + side + "_ddr_0\",",
                  "\"name\": \"" + side + "_ddr_0\", \"op_name\": \"copy_op\",");
  fs::create_directories(scratch.dir / "custom_op_copy" / "ops");
  fs::copy_file(SESSION_TEST_OPS_LIB,
                scratch.dir / "custom_op_copy" / "ops" / "libsession_test_ops.so");

  const auto ref = referenceOf(writtenExamples(), example("custom_op_copy"));
  Session s = openSession(directoryOptions(dir));
  HostTensor in = ref.inputs[0];
  HostTensor out = HostTensor::zeros(in.type, in.shape);
  auto ins = recordOver(in), outs = recordOver(out);
  std::vector<ErtIoTypeNew> weights;
  s->forward(ins, outs, weights);

  // Rounded to bfloat16, negated on the way in, reversed on the way out.
  const uint64_t n = in.count();
  for (uint64_t i = 0; i < n; ++i) {
    const uint32_t expected = static_cast<uint32_t>(bf16Nearest(in.get<float>(n - 1 - i)) ^ 0x8000u)
                              << 16;
    uint32_t got = 0;
    std::memcpy(&got, out.bytes.data() + 4 * i, 4);
    ASSERT_EQ(got, expected) << "element " << i;
  }

  // A package naming a function its library lacks cannot be loaded.
  replaceInFile(dir / "0" / "custom_op_metadata.json", "reverse_bf16", "no_such_function");
  EXPECT_NE(messageOf([&] {
              openSession(directoryOptions(dir));
            }).find("ERROR: Cannot load symbol 'no_such_function'"),
            std::string::npos);
}

// A custom-operator graph without CPU operators: both device programs run on
// the tensors as given (x + x twice).
TEST(SessionCustomOps, GraphPackageRunsItsOperators) {
  const auto m = example("graph_two_ops");
  const auto ref = referenceOf(writtenExamples(), m);
  Session s = openSession(directoryOptions(writtenExamples() / m.name / m.name));
  HostTensor in = ref.inputs[0];
  HostTensor out = HostTensor::zeros(in.type, in.shape);
  auto ins = recordOver(in), outs = recordOver(out);
  std::vector<ErtIoTypeNew> weights;
  s->forward(ins, outs, weights);
  EXPECT_EQ(out.bytes, ref.outputs[0].bytes);

  auto none = std::vector<ErtIoTypeNew>{};
  EXPECT_TRUE(endsWith(messageOf([&] { s->forward(none, outs, weights); }),
                       ": Number of Inputs not matching! "));
}

struct UserModel {
  Scratch scratch;
  fs::path dir;
  Reference ref = referenceOf(writtenExamples(), example("batch_double"));
  UserModel() {
    dir = copyOfPackage(scratch.dir, "batch_double");
    fs::copy_file(SESSION_TEST_USER_LIB, dir / "libkorvan_usermodel.so");
  }
  // Slice 0 of the reference input and output.
  HostTensor slice(const HostTensor& t) const {
    HostTensor s = HostTensor::zeros(t.type, {1, 8, 2, 2});
    std::copy_n(t.bytes.begin(), s.bytes.size(), s.bytes.begin());
    return s;
  }
};

TEST(SessionUserModel, UserLibraryRunsTheModelThroughTheRuntime) {
  UserModel um;
  Session s = openSession(directoryOptions(um.dir));
  HostTensor in = um.slice(um.ref.inputs[0]);
  HostTensor out = HostTensor::zeros(in.type, in.shape);
  const std::vector<Tensor> ins{{in.bytes.data(), {1, 8, 2, 2}}};
  std::vector<Tensor> outs{{out.bytes.data(), {1, 8, 2, 2}}};
  s->forward(ins, outs);
  EXPECT_EQ(out.bytes, um.slice(um.ref.outputs[0]).bytes);
  EXPECT_EQ(s->getOfmShapes(), (std::vector<std::vector<uint64_t>>{{1, 8, 2, 2}}));

  // The records path places each record by its index and checks its size.
  std::fill(out.bytes.begin(), out.bytes.end(), 0);
  std::vector<ErtIoType> recIn(1), recOut(1);
  recIn[0] = {in.bytes.data(), "x", 0, in.bytes.size(), "float"};
  recOut[0] = {out.bytes.data(), "y", 0, out.bytes.size(), "float"};
  s->forward(recIn, recOut);
  EXPECT_EQ(out.bytes, um.slice(um.ref.outputs[0]).bytes);
  recOut[0].size = 8;
  EXPECT_TRUE(endsWith(messageOf([&] { s->forward(recIn, recOut); }),
                       ": Tensor sizes for ORT OFMs do not match expected OFM sizes for this "
                       "partition"));
}

TEST(SessionUserModel, StatusCodesOfTheUserLibrary) {
  UserModel um;
  Session s = openSession(directoryOptions(um.dir));
  HostTensor in = HostTensor::zeros(ElementType::fp32, {2, 8, 2, 2});
  std::vector<Tensor> outs{{in.bytes.data(), {2, 8, 2, 2}}};

  const std::vector<Tensor> wrongShape{{in.bytes.data(), {2, 8, 2, 2}}};
  testing::internal::CaptureStderr();
  EXPECT_THROW(s->forward(wrongShape, outs), korvanrt::client::BadArgsException);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Shapes do not match for Input 0. Expected (1,8,2,2,), got (2,8,2,2,)\n");

  const std::vector<Tensor> twoInputs{{in.bytes.data(), {1, 8, 2, 2}},
                                      {in.bytes.data(), {1, 8, 2, 2}}};
  testing::internal::CaptureStderr();
  EXPECT_THROW(s->forward(twoInputs, outs), korvanrt::client::BadArgsException);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Number of Inputs do not match. Expected 1, got 2\n");
}

}  // namespace
}  // namespace session_test
