// Throughput of the layout converters and the generic conversion plan. Every
// benchmark reports bytes read plus written per second (B per conversion)
// and two ratios to memcpy measured in the same run:
//   memcpy_ratio          time of memcpy(B bytes) / time of the conversion
//   memcpy_traffic_ratio  time of memcpy(B/2 bytes), which reads and writes B
//                         bytes in total, / time of the conversion.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "model/hw_cluster_params.hpp"
#include "model/tensor_dims.hpp"
#include "tensor/aligned_allocator.hpp"
#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/pad_depad.hpp"
#include "tensor/layout/shape_ops.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/pipeline/conversion.hpp"
#include "tensor/pipeline/layout_plan.hpp"
#include "tensor/quant/qdq.hpp"

namespace korvanrt {
namespace {

template <typename T>
using Buffer = std::vector<T, aligned_4k_allocator<T>>;

using Clock = std::chrono::steady_clock;

template <typename T>
Buffer<T> filled(size_t n) {
  Buffer<T> v(n);
  std::mt19937 gen(1);
  for (auto& x : v) {
    if constexpr (std::is_same_v<T, float>) {
      x = static_cast<float>(static_cast<int>(gen() % 2000) - 1000) * 0.01f;
    } else {
      x = static_cast<T>(gen());
    }
  }
  return v;
}

// Seconds one memcpy of `bytes` takes (best of several repetitions).
double memcpySeconds(size_t bytes) {
  Buffer<uint8_t> a(bytes, 1), b(bytes, 2);
  double best = 1e30;
  for (int rep = 0; rep < 30; ++rep) {
    const auto t0 = Clock::now();
    std::memcpy(b.data(), a.data(), bytes);
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

// Runs `convert` in the benchmark loop and reports throughput and the ratio
// to memcpy of the same traffic.
void measure(benchmark::State& state, size_t bytesRead, size_t bytesWritten,
             const std::function<void()>& convert) {
  const size_t traffic = bytesRead + bytesWritten;
  const double copy = memcpySeconds(traffic);
  const double copyTraffic = memcpySeconds(traffic / 2);
  convert();  // warm caches and pages
  double best = 1e30;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    convert();
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * traffic));
  state.counters["memcpy_ratio"] = copy / best;
  state.counters["memcpy_traffic_ratio"] = copyTraffic / best;
}

struct Nchw {
  size_t n, c, h, w;
  size_t size() const { return n * c * h * w; }
  Extents4 ext() const { return {n, c, h, w}; }
  Extents4 blocked(size_t b) const { return {n, ceilDiv(c, b) * b, h, w}; }
};

void Fp32NchwToBf16Hcwnc8(benchmark::State& state, Nchw s) {
  const Extents4 dev = s.blocked(8);
  auto src = filled<float>(s.size());
  Buffer<bf16_t> dst(dev.size());
  measure(state, src.size() * 4, dst.size() * 2,
          [&] { nchwFp32ToHcwncBf16(src.data(), dst.data(), s.ext(), dev, 8, 0, dst.size()); });
}

void Fp32NchwToBf16Hcwnc8Scalar(benchmark::State& state, Nchw s) {
  const Extents4 dev = s.blocked(8);
  auto src = filled<float>(s.size());
  Buffer<bf16_t> dst(dev.size());
  measure(state, src.size() * 4, dst.size() * 2, [&] {
    nchwFp32ToHcwncBf16Scalar(src.data(), dst.data(), s.ext(), dev, 8, 0, dst.size());
  });
}

void Int8NchwToHcwnc8(benchmark::State& state, Nchw s) {
  auto src = filled<int8_t>(s.size());
  Buffer<int8_t> dst(s.blocked(8).size());
  measure(state, src.size(), dst.size(), [&] {
    optimized_reshape_and_transpose_neon(src.data(), dst.data(), static_cast<int>(s.n),
                                         static_cast<int>(s.c), static_cast<int>(s.h),
                                         static_cast<int>(s.w), 8);
  });
}

// `scale` exactly a float (as descriptions written from float parameters
// carry it) takes the vector arithmetic; any other double the lookup table.
void int8Hcwnc8ToFp32Nchw(benchmark::State& state, Nchw s, double scale) {
  const Extents4 dev = s.blocked(8);
  auto src = filled<int8_t>(dev.size());
  Buffer<float> dst(s.size());
  measure(state, s.size(), dst.size() * 4, [&] {
    hcwncInt8ToNchwFp32(src.data(), dst.data(), dev, s.ext(), 8, src.size(), scale, 3);
  });
}
void Int8Hcwnc8ToFp32Nchw(benchmark::State& state, Nchw s) {
  int8Hcwnc8ToFp32Nchw(state, s, static_cast<double>(0.05f));
}
void Int8Hcwnc8ToFp32NchwDoubleScale(benchmark::State& state, Nchw s) {
  int8Hcwnc8ToFp32Nchw(state, s, 0.05);
}

void Int8Hcwnc8ToNchw(benchmark::State& state, Nchw s) {
  const Extents4 dev = s.blocked(8);
  auto src = filled<int8_t>(dev.size());
  Buffer<int8_t> dst(s.size());
  const uint32_t n = static_cast<uint32_t>(s.n), h = static_cast<uint32_t>(s.h),
                 w = static_cast<uint32_t>(s.w);
  const TensorDims hw("HCWNC8", {h, static_cast<uint32_t>(dev.c / 8), w, n, 8});
  const TensorDims cpu("NCHW", {n, static_cast<uint32_t>(s.c), h, w});
  const bool vector = dev.c == s.c && s.w % 8 == 0;
  measure(state, s.size(), dst.size(), [&] {
    if (vector) {
      neon_hcwnc_int8_to_nchw_int8(src.data(), dst.data(), hw, cpu, "HCWNC8", "int8");
    } else {
      hcwnc8Int8ToNchwDepad(src.data(), dst.data(), dev, s.ext(), src.size());
    }
  });
}

void Bf16Hcwnc8ToFp32Nchw(benchmark::State& state, Nchw s) {
  const Extents4 dev = s.blocked(8);
  auto src = filled<bf16_t>(dev.size());
  Buffer<float> dst(s.size());
  measure(state, s.size() * 2, dst.size() * 4, [&] {
    HCWNCsBf16ToNCHWFp32(src.data(), dst.data(), dev.n, dev.c, dev.h, dev.w, 8, s.n, s.c, s.h, s.w);
  });
}

void Bf16NchwToNhwc(benchmark::State& state, Nchw s) {
  auto src = filled<bf16_t>(s.size());
  Buffer<bf16_t> dst(s.size());
  measure(state, s.size() * 2, s.size() * 2, [&] {
    optimized_transpose_nchw_to_nhwc_bf16(src.data(), dst.data(), static_cast<int>(s.n),
                                          static_cast<int>(s.c), static_cast<int>(s.h),
                                          static_cast<int>(s.w));
  });
}

// The generic plan standing in for the dedicated routes: quantize (for
// float), pad the channels to whole blocks, reshape and permute.
template <typename TCpu, typename TDev>
void genericPlanToHcwnc8(benchmark::State& state, Nchw s) {
  const Extents4 dev = s.blocked(8);
  auto src = filled<TCpu>(s.size());
  Buffer<TDev> quantized(std::is_same_v<TCpu, TDev> ? 0 : s.size());
  Buffer<TDev> padded(dev.size());
  Buffer<TDev> dst(dev.size());
  const auto u = [](size_t v) { return static_cast<uint32_t>(v); };
  const TensorDims cpu("NCHW", {u(s.n), u(s.c), u(s.h), u(s.w)});
  const TensorDims hw("HCWNC8", {u(s.h), u(dev.c / 8), u(s.w), u(s.n), 8});
  std::vector<uint32_t> K, perm;
  planCpuToHw(cpu, hw, K, perm);
  const Shape cpuShape{s.n, s.c, s.h, s.w}, padShape{s.n, dev.c, s.h, s.w};
  measure(state, s.size() * sizeof(TCpu), dst.size() * sizeof(TDev), [&] {
    TensorView<TDev> S;
    if constexpr (std::is_same_v<TCpu, TDev>) {
      S = TensorView<TDev>(src.data(), cpuShape);
    } else {
      S = TensorView<TDev>(quantized.data(), cpuShape);
      qdqConvert(TensorView<TCpu>(src.data(), cpuShape), qdq_params{}, S, 0);
    }
    TensorView<TDev> T(padded.data(), padShape);
    if (dev.c != s.c) {
      padTensor(S, cpuShape, {0, 0, 0, 0}, {0, dev.c - s.c, 0, 0}, padShape, T);
    } else {
      T = S;
    }
    reshapeAndTranspose(T, K, perm, TensorView<TDev>(dst.data(), {dst.size()}));
  });
}

void GenericPlanFp32ToBf16Hcwnc8(benchmark::State& state, Nchw s) {
  genericPlanToHcwnc8<float, bf16_t>(state, s);
}
void GenericPlanInt8ToHcwnc8(benchmark::State& state, Nchw s) {
  genericPlanToHcwnc8<int8_t, int8_t>(state, s);
}

// Entry-point dispatch and planning on a small tensor: description lookup,
// route choice and the conversion itself.
void EntryPointFp32Bf16Hcwnc8(benchmark::State& state, Nchw s, bool output) {
  const Extents4 dev = s.blocked(8);
  const std::string shape = "[" + std::to_string(s.n) + "," + std::to_string(s.c) + "," +
                            std::to_string(s.h) + "," + std::to_string(s.w) + "]";
  const std::string hwShape = "[" + std::to_string(s.h) + "," + std::to_string(dev.c / 8) + "," +
                              std::to_string(s.w) + "," + std::to_string(s.n) + ",8]";
  const std::string entry =
      "{\"name\":\"x\",\"scale_factor\":1.0,\"cpu_format\":\"NCHW\",\"cpu_dtype\":\"float\","
      "\"cpu_shape\":" +
      shape + ",\"hw_format\":\"HCWNC8\",\"hw_dtype\":\"bf16\",\"hw_shape\":" + hwShape + "}";
  const std::string text = "{\"inputs\":[" + entry + "],\"outputs\":[" + entry + "]}";
  HWClusterParams params(text.data(), text.size(), false, HsiSource::Package);
  auto src = filled<float>(s.size());
  Buffer<bf16_t> dst(dev.size());
  Buffer<float> back(s.size());
  const IOParams in = params.getInput(0), out = params.getOutput(0);
  const ConversionContext ctx{};
  kernel_params_ k;
  const HostTensor cpuT{src.data(), client::FP32, {s.n, s.c, s.h, s.w}};
  const HostTensor devT{dst.data(), client::BF16, {s.h, dev.c / 8, s.w, s.n, 8}};
  const HostTensor backT{back.data(), client::FP32, {s.n, s.c, s.h, s.w}};
  if (output) {
    measure(state, dst.size() * 2, back.size() * 4,
            [&] { postprocessOutput(ctx, devT, backT, out, false, k); });
  } else {
    measure(state, src.size() * 4, dst.size() * 2,
            [&] { preprocessInput(ctx, cpuT, devT, in, false, k, 0); });
  }
}

std::string shapeName(const Nchw& s) {
  return std::to_string(s.n) + "x" + std::to_string(s.c) + "x" + std::to_string(s.h) + "x" +
         std::to_string(s.w);
}

// NxCxHxW shapes of the report; the last one has an odd channel count.
const Nchw kShapes[] = {{1, 64, 224, 224}, {8, 64, 56, 56}, {1, 3, 224, 224},
                        {1, 256, 14, 14},  {1, 16, 14, 14}, {1, 13, 56, 56}};

int registerAll() {
  using Fn = void (*)(benchmark::State&, Nchw);
  const std::pair<const char*, Fn> converters[] = {
      {"Fp32NchwToBf16Hcwnc8", Fp32NchwToBf16Hcwnc8},
      {"Fp32NchwToBf16Hcwnc8Scalar", Fp32NchwToBf16Hcwnc8Scalar},
      {"GenericPlanFp32ToBf16Hcwnc8", GenericPlanFp32ToBf16Hcwnc8},
      {"Int8NchwToHcwnc8", Int8NchwToHcwnc8},
      {"GenericPlanInt8ToHcwnc8", GenericPlanInt8ToHcwnc8},
      {"Int8Hcwnc8ToFp32Nchw", Int8Hcwnc8ToFp32Nchw},
      {"Int8Hcwnc8ToFp32NchwDoubleScale", Int8Hcwnc8ToFp32NchwDoubleScale},
      {"Int8Hcwnc8ToNchw", Int8Hcwnc8ToNchw},
      {"Bf16Hcwnc8ToFp32Nchw", Bf16Hcwnc8ToFp32Nchw},
      {"Bf16NchwToNhwc", Bf16NchwToNhwc},
  };
  for (const auto& [name, fn] : converters) {
    for (const Nchw& s : kShapes) {
      benchmark::RegisterBenchmark((std::string(name) + "/" + shapeName(s)).c_str(), fn, s)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  const Nchw small{1, 16, 14, 14};
  benchmark::RegisterBenchmark(("PreprocessInput/" + shapeName(small)).c_str(),
                               EntryPointFp32Bf16Hcwnc8, small, false)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark(("PostprocessOutput/" + shapeName(small)).c_str(),
                               EntryPointFp32Bf16Hcwnc8, small, true)
      ->Unit(benchmark::kMicrosecond);
  return 0;
}

const int kRegistered = registerAll();

}  // namespace
}  // namespace korvanrt

BENCHMARK_MAIN();
