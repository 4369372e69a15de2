// Host time of one inference through the hardware runner on the emulated
// device: a small model (one 4 KiB int8 input, one output) whose device
// program does nothing, for 1 and 4 buffer sets and 1 to 4 caller threads.
// The "device 1ms" variant gives every run 1 ms of device time on as many
// engines as buffer sets, so throughput shows whether inferences of
// different buffer sets overlap.

#include <benchmark/benchmark.h>
#include <unistd.h>
#include <qel/emulator.hpp>

#include <filesystem>
#include <map>
#include <memory>

#include "hw_runner/korvan_hw_runner.hpp"
#include "model_description.hpp"
#include "package_writer.hpp"

namespace {

namespace fs = std::filesystem;
using korvanrt::client::ErtTensorType;
using korvanrt::client::TensorMetadataType;

constexpr const char* kModel = R"({
  "name": "bench_small",
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

const fs::path& packageDir() {
  static const fs::path dir = [] {
    const fs::path d =
        fs::temp_directory_path() / ("korvan_hw_bench_" + std::to_string(::getpid()));
    korvan::pack::writeDirectoryPackage(korvan::pack::parseModelDescriptionText(kModel),
                                        d / "bench_small");
    return d;
  }();
  return dir;
}

std::unique_ptr<korvanrt::KorvanHWRunner> runner;
korvanrt::OptionsMap options;
std::map<std::string, korvanrt::CustomOpFunction> noOps;

void setUp(int sets) {
  options = {{"num_of_trelmrt_threads", static_cast<int32_t>(sets)}};
  const std::string dir = (packageDir() / "bench_small" / "0").string();
  runner = std::make_unique<korvanrt::KorvanHWRunner>(dir + "/korvanrt-hsi.json", dir,
                                                      "bench_small", 0u, "", dir + "/wts32.bin",
                                                      "tmk", false, false, options, noOps);
}

ErtTensorType tensor(std::vector<int8_t>& bytes) {
  TensorMetadataType m;
  m.size = bytes.size();
  m.dtype = korvanrt::client::INT8;
  m.shape = {1, 16, 16, 16};
  ErtTensorType t(m);
  t.data = bytes.data();
  return t;
}

void inferences(benchmark::State& state, bool deviceTime) {
  const int sets = static_cast<int>(state.range(0));
  if (state.thread_index() == 0) {
    if (deviceTime) {
      qel::emu::set_engines(static_cast<unsigned>(sets));
      qel::emu::set_run_delay(std::chrono::milliseconds(1));
    }
    setUp(sets);
  }
  std::vector<int8_t> in(4096, 3), out(4096);
  std::vector<ErtTensorType> inputs{tensor(in)}, outputs{tensor(out)};
  for (auto _ : state) runner->execute(inputs, outputs);
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    runner.reset();
    qel::emu::reset();
  }
}

void BM_Inference(benchmark::State& state) {
  inferences(state, false);
}
void BM_InferenceDevice1ms(benchmark::State& state) {
  inferences(state, true);
}

BENCHMARK(BM_Inference)
    ->Arg(1)
    ->Arg(4)
    ->ThreadRange(1, 4)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InferenceDevice1ms)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->ThreadRange(1, 4)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
