// Prepared weights of a custom-operator graph: constants read from wts.bin,
// narrowed to bfloat16, handed to the operators' weight functions, written to
// the weight buffers and cached in wts_preproc.bin.

#include <cstring>

#include "hw_fixture.hpp"

namespace hw_test {
namespace {

using korvanrt::client::OpsTensor;
using Json = nlohmann::ordered_json;

// What the weight functions saw, and how they answer.
struct Calls {
  std::vector<std::vector<uint16_t>> convInputs;  // first element of each input
  int plus = 0;
  bool fail = false;
} calls;

uint16_t first(const OpsTensor& t) {
  return *static_cast<const uint16_t*>(t.data);
}

// Output elements 0 and 1 = first element of inputs 0 and 1 (so the input
// order shows), element 2 = the last element of input 1.
void convWeights(std::vector<OpsTensor>& in, std::vector<OpsTensor>& out) {
  std::vector<uint16_t> seen;
  for (const auto& t : in) seen.push_back(first(t));
  calls.convInputs.push_back(seen);
  auto* dst = static_cast<uint16_t*>(out[0].data);
  dst[0] = seen.at(0);
  dst[1] = seen.at(1);
  dst[2] = static_cast<const uint16_t*>(in.at(1).data)[3];
  dst[3] = 0;
}

// Output = the inputs' first elements plus one.
void plusWeights(std::vector<OpsTensor>& in, std::vector<OpsTensor>& out) {
  if (calls.fail) throw std::runtime_error("weight function failed");
  ++calls.plus;
  auto* dst = static_cast<uint16_t*>(out[0].data);
  for (size_t i = 0; i < 2; ++i) dst[i] = static_cast<uint16_t>(first(in.at(i)) + 1);
}

Json tensorEntry(const std::string& name, const std::string& hwType, uint32_t count) {
  return Json{{"name", name},
              {"cpu_format", "NCHW"},
              {"cpu_dtype", "float"},
              {"cpu_shape", {1, 1, 1, count}},
              {"hw_format", "NCHW"},
              {"hw_dtype", hwType},
              {"hw_shape", {1, 1, 1, count}},
              {"scale_factor", 1.0}};
}

class CustomOpWeights : public ::testing::Test {
 public:
  Scratch scratch;
  ModelDescription model = example("graph_two_ops");
  fs::path modelDir, cache;
  std::map<std::string, korvanrt::CustomOpFunction> ops{{"conv", &convWeights},
                                                        {"zz", &plusWeights}};
  // c0: float constant for a "bf16" entry; c1: bfloat16 data for an "int8" entry.
  std::vector<float> c0{1.5f, -2.25f, 3.0f, 0.0f};
  std::vector<uint16_t> c1{0x4000, 0x4040, 0x4080, 0x40A0};

  void SetUp() override {
    calls = Calls{};
    uint32_t tie = 0x3F818000;  // halfway between two bfloat16 values
    std::memcpy(&c0[3], &tie, 4);
    korvan::pack::writeModel(model, scratch.dir);
    const auto files = partitionFiles(scratch.dir, model);
    modelDir = scratch.dir / model.name;
    cache = fs::path(files.dir) / "wts_preproc.bin";
    auto hsi = Json::parse(readText(files.hsi));
    hsi["weights"] = {tensorEntry("c0", "bf16", 4), tensorEntry("c1", "int8", 4)};
    auto e0 = tensorEntry("wts_ext_ddr_0", "bf16", 4);
    e0["op_name"] = "conv_custom";
    e0["wts_name"] = {"c1", "c0"};
    hsi["weightsExtend"] = {e0, tensorEntry("wts_ext_ddr_1", "bf16", 2)};
    hsi["connectivity"][0]["weights"] = {"wts_ext_ddr_0"};
    hsi["connectivity"][1]["weights"] = {"wts_ext_ddr_1"};
    std::ofstream(files.hsi) << hsi.dump();
    writeConstants(16);
  }

  void writeConstants(uint64_t c0Size, const Json& c0Shape = Json::array({4})) {
    std::ofstream wts(modelDir / "wts.bin", std::ios::binary);
    wts.write(reinterpret_cast<const char*>(c0.data()), 16);
    wts.write(reinterpret_cast<const char*>(c1.data()), 8);
    Json info{{"subgraph_const_map", {{model.name, {"c0", "c1"}}}},
              {"constinfo",
               {{"c0", {{"type", "float32"}, {"size", c0Size}, {"shape", c0Shape}, {"offset", 0}}},
                {"c1", {{"type", "bf16"}, {"size", 8}, {"shape", {4}}, {"offset", 16}}}}}};
    std::ofstream(modelDir / "custom_op_constinfo.json") << info.dump();
  }

  std::unique_ptr<korvanrt::KorvanHWRunner> runner(const OptionsMap& options = {}) {
    const auto f = partitionFiles(scratch.dir, model);
    return std::make_unique<korvanrt::KorvanHWRunner>(f.hsi, f.dir, model.name, 0u, "", f.weights,
                                                      "tmk", false, false, options, ops);
  }

  static std::vector<uint16_t> contents(const qel::bo& bo) {
    std::vector<uint16_t> v(bo.size() / 2);
    bo.read(v.data(), bo.size(), 0);
    return v;
  }

  bool leftovers() const {
    for (const auto& e : fs::directory_iterator(cache.parent_path()))
      if (e.path().filename().string().rfind("wts_preproc.bin", 0) == 0) return true;
    return false;
  }
};

TEST_F(CustomOpWeights, PreparesCachesAndLoadsFromTheCache) {
  std::vector<uint16_t> first0, first1;
  {
    auto r = runner();
    auto& impl = r->impl();
    first0 = contents(impl.weightSubBos_[0]);
    first1 = contents(impl.weightSubBos_[1]);
  }
  // conv_custom selects "conv" and gets its constants in the order of
  // "wts_name" (c1 before c0); the unnamed entry selects the last key.
  ASSERT_EQ(calls.convInputs.size(), 1u);
  EXPECT_EQ(calls.convInputs[0], (std::vector<uint16_t>{0x4000, 0x3FC0}));
  EXPECT_EQ(first0, (std::vector<uint16_t>{0x4000, 0x3FC0, 0x3F82, 0}));
  EXPECT_EQ(first1, (std::vector<uint16_t>{0x3FC1, 0x4001}));
  EXPECT_EQ(calls.plus, 1);
  // The cache holds both entries back to back.
  const std::string bytes = readText(cache);
  ASSERT_EQ(bytes.size(), 12u);
  std::vector<uint16_t> cached(6);
  std::memcpy(cached.data(), bytes.data(), 12);
  EXPECT_EQ(cached, (std::vector<uint16_t>{0x4000, 0x3FC0, 0x3F82, 0, 0x3FC1, 0x4001}));

  // A second runner loads from the cache: no constants are read, no
  // function is called.
  fs::remove(modelDir / "wts.bin");
  auto again = runner();
  EXPECT_EQ(contents(again->impl().weightSubBos_[0]), first0);
  EXPECT_EQ(contents(again->impl().weightSubBos_[1]), first1);
  EXPECT_EQ(calls.plus, 1);

  // In "low mem" each chunk loads its own part of the cache on its own
  // thread during the inference, and the graph still runs.
  OptionsMap lowMem{{"perf_mem_trade_off", std::string("low mem")}};
  auto chunked = runner(lowMem);
  EXPECT_EQ(chunked->impl().weightCounts_, (std::vector<int32_t>{1, 2}));
  const auto ref = referenceOf(scratch.dir, model);
  std::vector<HostTensor> in{
      korvan::pack::reference::toDevice(model.partitions[0].inputs[0], ref.inputs[0])};
  std::vector<HostTensor> out{HostTensor::zeros(model.partitions[0].outputs[0].hwType,
                                                model.partitions[0].outputs[0].hwShape)};
  auto view = [](HostTensor& t) {
    return korvanrt::Bf16TensorView(reinterpret_cast<uint16_t*>(t.bytes.data()),
                                    korvanrt::Shape(t.shape.begin(), t.shape.end()));
  };
  for (int round = 0; round < 3; ++round) {
    chunked->executeDevice({view(in[0])}, {view(out[0])}, {});
    EXPECT_EQ(korvan::pack::reference::fromDevice(model.partitions[0].outputs[0], out[0]).bytes,
              ref.outputs[0].bytes);
  }
}

// A float constant halfway between two bfloat16 values: rounded to nearest
// even by default (0x3F82 above), its low half dropped under "truncate".
TEST_F(CustomOpWeights, TruncationIsAnOption) {
  auto r = runner({{"rounding_mode", std::string("truncate")}});
  EXPECT_EQ(contents(r->impl().weightSubBos_[0])[2], 0x3F81);
}

TEST_F(CustomOpWeights, FailuresLeaveNoCache) {
  const struct {
    std::function<void(CustomOpWeights&)> setup;
    std::string message;
  } cases[] = {
      {[](CustomOpWeights&) { calls.fail = true; }, "weight function failed"},
      // 8 bytes cannot hold four float elements: refused before reading.
      {[](CustomOpWeights& t) { t.writeConstants(8); },
       "Constant c0 holds 8 bytes, its 4 elements need 16"},
      // An element count that wraps around 64 bits (to 4) is not taken at face value.
      {[](CustomOpWeights& t) {
         t.writeConstants(16, Json::array({(1ull << 62) + 1, 4}));
       },
       "Constant c0 has a shape of more elements than can be counted"},
      {[](CustomOpWeights& t) { fs::remove(t.modelDir / "wts.bin"); },
       "Failed to open the file " + (modelDir / "wts.bin").string() + " for reading."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    calls = Calls{};
    writeConstants(16);
    c.setup(*this);
    const std::string what = messageOf([&] { runner(); });
    EXPECT_TRUE(endsWith(what, c.message)) << what;
    EXPECT_FALSE(leftovers());
  }
}

TEST_F(CustomOpWeights, ModelWithoutConstantsPreparesNothing) {
  Json info{{"subgraph_const_map", {{"another_model", {"c0"}}}}, {"constinfo", Json::object()}};
  std::ofstream(modelDir / "custom_op_constinfo.json") << info.dump();
  auto r = runner();
  EXPECT_EQ(calls.plus, 0);
  EXPECT_EQ(contents(r->impl().weightSubBos_[1]), (std::vector<uint16_t>{0, 0}));
  EXPECT_FALSE(leftovers());
}

}  // namespace
}  // namespace hw_test
