#include <benchmark/benchmark.h>

#include <string>

#include "model/hw_cluster_params.hpp"

namespace {

// A description with `count` inputs and outputs, each with a short list of
// runtime transformations.
std::string description(int count) {
  std::string entries;
  for (int i = 0; i < count; ++i) {
    if (i > 0) entries += ",";
    entries += R"({"name":"t)" + std::to_string(i) +
               R"(","scale_factor":0.125,"zero_point":3,"cpu_format":"NCHW","cpu_dtype":"float",)"
               R"("cpu_shape":[1,64,56,56],"hw_format":"HCWNC8","hw_dtype":"int8",)"
               R"("hw_shape":[56,8,56,1,8],"rt_transformations":[{"transformation":"quantize"},)"
               R"({"transformation":"transpose","perm":[0,2,3,1]}]})";
  }
  return R"({"inputs":[)" + entries + R"(],"outputs":[)" + entries +
         R"(],"spills":{"layers":[{"name":"s","offset":0,"size":4096}]},"fabpak_name":"m.fabpak"})";
}

void BM_ParseDescription(benchmark::State& state) {
  const std::string text = description(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    korvanrt::HWClusterParams params(text.data(), text.size(), false, korvanrt::HsiSource::Package);
    benchmark::DoNotOptimize(params.numInputs());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseDescription)->Arg(1)->Arg(16)->Arg(256);

}  // namespace
BENCHMARK_MAIN();
