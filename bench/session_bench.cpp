// Host time of one inference through a model session opened the way a
// framework opens it (libkorvanrt.so and its exported entry points): a small
// model (one 4 KiB int8 input, one output) whose device program does
// nothing. Beside it the same inference on the runner alone, one tensor
// handle copy, and an inference on pooled device buffers (no host copies).

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "hw_runner/korvan_hw_runner.hpp"
#include "korvanrt/client.hpp"
#include "model_description.hpp"
#include "package_writer.hpp"

namespace {

namespace fs = std::filesystem;
using korvanrt::client::ErtTensorType;
using korvanrt::client::ImplBase;
using korvanrt::client::Options;
using korvanrt::client::TensorMetadataType;

constexpr const char* kModel = R"({
  "name": "session_bench_small",
  "partitions": [{
    "inputs": [{"name": "ifm_ddr_0", "cpu_format": "NCHW", "cpu_dtype": "int8",
                "cpu_shape": [1, 16, 16, 16], "hw_format": "NCHW", "hw_dtype": "int8",
                "hw_shape": [1, 16, 16, 16], "scale_factor": 1.0}],
    "outputs": [{"name": "ofm_ddr_0", "cpu_format": "NCHW", "cpu_dtype": "int8",
                 "cpu_shape": [1, 16, 16, 16], "hw_format": "NCHW", "hw_dtype": "int8",
                 "hw_shape": [1, 16, 16, 16], "scale_factor": 1.0}],
    "program": []
  }]
})";

const fs::path& modelDir() {
  static const fs::path dir = [] {
    const fs::path d = fs::temp_directory_path() /
                       ("korvan_session_bench_" + std::to_string(::getpid())) /
                       "session_bench_small";
    korvan::pack::writeDirectoryPackage(korvan::pack::parseModelDescriptionText(kModel), d);
    return d;
  }();
  return dir;
}

struct Runtime {
  ImplBase* (*create)(const void*, size_t) = nullptr;
  void (*destroy)(ImplBase*) = nullptr;
  Runtime() {
    void* lib = ::dlopen("libkorvanrt.so", RTLD_NOW);
    create = reinterpret_cast<decltype(create)>(::dlsym(lib, "korvan_client_Model_createImpl"));
    destroy = reinterpret_cast<decltype(destroy)>(::dlsym(lib, "korvan_client_Model_destroyImpl"));
  }
};

const Runtime& runtime() {
  static const Runtime r;
  return r;
}

struct SessionDeleter {
  void operator()(ImplBase* s) const { runtime().destroy(s); }
};

std::unique_ptr<ImplBase, SessionDeleter> openSession() {
  Options o;
  o.modelPath = modelDir().string();
  o.deviceName = "tmk";
  o.options["num_of_trelmrt_threads"] = int32_t{1};
  return std::unique_ptr<ImplBase, SessionDeleter>(runtime().create(&o, sizeof(o)));
}

TensorMetadataType metadata(const std::string& name) {
  TensorMetadataType m;
  m.name = name;
  m.dtype = korvanrt::client::INT8;
  m.shape = {1, 16, 16, 16};
  m.size = 4096;
  return m;
}

void BM_ForwardErtTensor(benchmark::State& state) {
  auto session = openSession();
  std::vector<int8_t> in(4096, 3), out(4096, 0);
  std::vector<ErtTensorType> inputs{ErtTensorType(metadata("ifm_ddr_0"))};
  std::vector<ErtTensorType> outputs{ErtTensorType(metadata("ofm_ddr_0"))};
  inputs[0].data = in.data();
  outputs[0].data = out.data();
  for (auto _ : state) session->forwardErtTensor(inputs, outputs);
  if (out != std::vector<int8_t>(4096, 0)) state.SkipWithError("the empty program wrote outputs");
}
BENCHMARK(BM_ForwardErtTensor)->Unit(benchmark::kMicrosecond);

// Device buffers lent by the session: the caller's handles are bound as they
// are, nothing is converted or copied on the host.
void BM_ForwardPooled(benchmark::State& state) {
  auto session = openSession();
  auto inputs = session->getIOTensors("inputs", true);
  auto outputs = session->getIOTensors("outputs", true);
  for (auto& t : inputs) t.isHwFormat = true;
  for (auto& t : outputs) t.isHwFormat = true;
  for (auto _ : state) session->forwardErtTensor(inputs, outputs);
  session->releaseIOTensors(inputs);
  session->releaseIOTensors(outputs);
}
BENCHMARK(BM_ForwardPooled)->Unit(benchmark::kMicrosecond);

// The runner alone, as the session calls it: the difference to
// BM_ForwardErtTensor is the session's own share.
void BM_RunnerExecute(benchmark::State& state) {
  korvanrt::OptionsMap options{{"num_of_trelmrt_threads", int32_t{1}}};
  std::map<std::string, korvanrt::CustomOpFunction> noOps;
  const std::string dir = (modelDir() / "0").string();
  korvanrt::KorvanHWRunner runner(dir + "/korvanrt-hsi.json", dir, "session_bench_small", 0u, "",
                                  dir + "/wts32.bin", "tmk", false, false, options, noOps);
  std::vector<int8_t> in(4096, 3), out(4096, 0);
  std::vector<ErtTensorType> inputs{ErtTensorType(metadata("ifm_ddr_0"))};
  std::vector<ErtTensorType> outputs{ErtTensorType(metadata("ofm_ddr_0"))};
  inputs[0].data = in.data();
  outputs[0].data = out.data();
  for (auto _ : state) runner.execute(inputs, outputs);
}
BENCHMARK(BM_RunnerExecute)->Unit(benchmark::kMicrosecond);

// One handle copy and its destruction: each goes through the loader to the
// runtime's own create and destroy functions.
void BM_TensorHandleCopy(benchmark::State& state) {
  const ErtTensorType source(metadata("ifm_ddr_0"));
  for (auto _ : state) {
    ErtTensorType copy(source);
    benchmark::DoNotOptimize(copy.impl);
  }
}
BENCHMARK(BM_TensorHandleCopy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
