// The runtime's layout converters beside the same layout change written with
// a general-purpose tensor library (Eigen's Tensor module: map, pad, reshape,
// shuffle and cast, evaluated single-threaded). Both sides get the same
// cache-resident tensors; each pair is checked to give the same elements
// before it is timed.
//
// Every benchmark reports bytes read plus written per second and:
//   memcpy_ratio  time of memcpy(bytes read + written) / time of the conversion
//   vs_eigen      time of the library expression / time of our converter
//                 (only on our side; above 1 means we are faster)

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <unsupported/Eigen/CXX11/Tensor>
#include <vector>

#include "tensor/aligned_allocator.hpp"
#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/simd_converters.hpp"

namespace korvanrt {
namespace {

template <typename T>
using Buffer = std::vector<T, aligned_4k_allocator<T>>;
using Clock = std::chrono::steady_clock;
using Index = Eigen::Index;

template <typename T, int R>
using Map = Eigen::TensorMap<Eigen::Tensor<T, R, Eigen::RowMajor, Index>>;

struct Nchw {
  size_t n, c, h, w;
  size_t size() const { return n * c * h * w; }
  size_t cb() const { return (c + 7) / 8; }
  size_t blockedSize() const { return n * cb() * 8 * h * w; }
  Extents4 ext() const { return {n, c, h, w}; }
  Extents4 blocked() const { return {n, cb() * 8, h, w}; }
  std::string name() const {
    return std::to_string(n) + "x" + std::to_string(c) + "x" + std::to_string(h) + "x" +
           std::to_string(w);
  }
};

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

// Best time of `fn` over `reps` runs.
double bestSeconds(const std::function<void()>& fn, int reps) {
  fn();
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = Clock::now();
    fn();
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

double memcpySeconds(size_t bytes) {
  Buffer<uint8_t> a(bytes, 1), b(bytes, 2);
  return bestSeconds([&] { std::memcpy(b.data(), a.data(), bytes); }, 30);
}

// One layout change: our converter, the library expression, and the bytes
// each reads and writes. Both write into their own output buffer.
struct Case {
  std::function<void()> ours, eigen;
  std::function<bool()> same;  // outputs agree (run after both)
  size_t traffic;
};

void run(benchmark::State& state, const Case& c, bool oursSide) {
  c.ours();
  c.eigen();
  if (!c.same()) {
    state.SkipWithError("the library expression and our converter disagree");
    return;
  }
  const double copy = memcpySeconds(c.traffic);
  const auto& fn = oursSide ? c.ours : c.eigen;
  double best = 1e30;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    fn();
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.traffic));
  state.counters["memcpy_ratio"] = copy / best;
  if (oursSide) state.counters["vs_eigen"] = bestSeconds(c.eigen, 20) / best;
}

// Padding of the channel axis up to whole blocks of 8.
std::array<std::pair<Index, Index>, 4> channelPadding(const Nchw& s) {
  return {{{0, 0}, {0, static_cast<Index>(s.cb() * 8 - s.c)}, {0, 0}, {0, 0}}};
}
std::array<Index, 4> dims4(const Nchw& s) {
  return {static_cast<Index>(s.n), static_cast<Index>(s.c), static_cast<Index>(s.h),
          static_cast<Index>(s.w)};
}
// [N, CB, 8, H, W] and the blocked device order [H, CB, W, N, 8].
std::array<Index, 5> split5(const Nchw& s) {
  return {static_cast<Index>(s.n), static_cast<Index>(s.cb()), 8, static_cast<Index>(s.h),
          static_cast<Index>(s.w)};
}
std::array<Index, 5> device5(const Nchw& s) {
  return {static_cast<Index>(s.h), static_cast<Index>(s.cb()), static_cast<Index>(s.w),
          static_cast<Index>(s.n), 8};
}
// Shuffle between the two: the permutation is its own inverse, so the same
// axis list takes [N, CB, 8, H, W] to [H, CB, W, N, 8] and back.
constexpr std::array<Index, 5> kBlockPerm{3, 1, 4, 0, 2};

template <typename T>
bool sameBits(const Buffer<T>& a, const Buffer<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// float "NCHW" to bfloat16 "HCWNC8" (round to nearest even).
Case fp32ToBf16Blocked(const Nchw& s) {
  auto src = std::make_shared<Buffer<float>>(filled<float>(s.size()));
  auto ours = std::make_shared<Buffer<bf16_t>>(s.blockedSize());
  auto lib = std::make_shared<Buffer<bf16_t>>(s.blockedSize());
  Case c;
  c.traffic = s.size() * 4 + s.blockedSize() * 2;
  c.ours = [=] {
    nchwFp32ToHcwncBf16(src->data(), ours->data(), s.ext(), s.blocked(), 8, 0, ours->size());
  };
  c.eigen = [=] {
    Map<const float, 4> in(src->data(), dims4(s));
    Map<Eigen::bfloat16, 5> out(reinterpret_cast<Eigen::bfloat16*>(lib->data()), device5(s));
    out = in.pad(channelPadding(s)).reshape(split5(s)).shuffle(kBlockPerm).cast<Eigen::bfloat16>();
  };
  c.same = [=] { return sameBits(*ours, *lib); };
  return c;
}

// int8 "NCHW" to int8 "HCWNC8".
Case int8ToBlocked(const Nchw& s) {
  auto src = std::make_shared<Buffer<int8_t>>(filled<int8_t>(s.size()));
  auto ours = std::make_shared<Buffer<int8_t>>(s.blockedSize());
  auto lib = std::make_shared<Buffer<int8_t>>(s.blockedSize());
  Case c;
  c.traffic = s.size() + s.blockedSize();
  c.ours = [=] {
    optimized_reshape_and_transpose_neon(src->data(), ours->data(), static_cast<int>(s.n),
                                         static_cast<int>(s.c), static_cast<int>(s.h),
                                         static_cast<int>(s.w), 8);
  };
  c.eigen = [=] {
    Map<const int8_t, 4> in(src->data(), dims4(s));
    Map<int8_t, 5> out(lib->data(), device5(s));
    out = in.pad(channelPadding(s)).reshape(split5(s)).shuffle(kBlockPerm);
  };
  c.same = [=] { return sameBits(*ours, *lib); };
  return c;
}

// The device's [N, CB*8, H, W] view of a blocked tensor, cut to the CPU channels.
std::array<Index, 4> paddedDims4(const Nchw& s) {
  return {static_cast<Index>(s.n), static_cast<Index>(s.cb() * 8), static_cast<Index>(s.h),
          static_cast<Index>(s.w)};
}

// bfloat16 "HCWNC8" to float "NCHW" (widening, padding dropped).
Case bf16BlockedToFp32(const Nchw& s) {
  auto src = std::make_shared<Buffer<bf16_t>>(filled<bf16_t>(s.blockedSize()));
  auto ours = std::make_shared<Buffer<float>>(s.size());
  auto lib = std::make_shared<Buffer<float>>(s.size());
  Case c;
  c.traffic = s.blockedSize() * 2 + s.size() * 4;
  c.ours = [=] {
    HCWNCsBf16ToNCHWFp32(src->data(), ours->data(), s.n, s.cb() * 8, s.h, s.w, 8, s.n, s.c, s.h,
                         s.w);
  };
  c.eigen = [=] {
    Map<const Eigen::bfloat16, 5> in(reinterpret_cast<const Eigen::bfloat16*>(src->data()),
                                     device5(s));
    Map<float, 4> out(lib->data(), dims4(s));
    out = in.shuffle(kBlockPerm)
              .reshape(paddedDims4(s))
              .slice(std::array<Index, 4>{0, 0, 0, 0}, dims4(s))
              .cast<float>();
  };
  c.same = [=] { return sameBits(*ours, *lib); };
  return c;
}

// int8 "HCWNC8" to int8 "NCHW" (padding dropped).
Case int8BlockedToNchw(const Nchw& s) {
  auto src = std::make_shared<Buffer<int8_t>>(filled<int8_t>(s.blockedSize()));
  auto ours = std::make_shared<Buffer<int8_t>>(s.size());
  auto lib = std::make_shared<Buffer<int8_t>>(s.size());
  Case c;
  c.traffic = s.blockedSize() + s.size();
  c.ours = [=] {
    hcwnc8Int8ToNchwDepad(src->data(), ours->data(), s.blocked(), s.ext(), src->size());
  };
  c.eigen = [=] {
    Map<const int8_t, 5> in(src->data(), device5(s));
    Map<int8_t, 4> out(lib->data(), dims4(s));
    out = in.shuffle(kBlockPerm)
              .reshape(paddedDims4(s))
              .slice(std::array<Index, 4>{0, 0, 0, 0}, dims4(s));
  };
  c.same = [=] { return sameBits(*ours, *lib); };
  return c;
}

int registerAll() {
  const Nchw shapes[] = {{1, 3, 224, 224}, {1, 64, 224, 224}};
  const std::pair<const char*, Case (*)(const Nchw&)> cases[] = {
      {"Fp32NchwToBf16Hcwnc8", fp32ToBf16Blocked},
      {"Int8NchwToHcwnc8", int8ToBlocked},
      {"Bf16Hcwnc8ToFp32Nchw", bf16BlockedToFp32},
      {"Int8Hcwnc8ToNchw", int8BlockedToNchw},
  };
  for (const auto& [name, make] : cases) {
    for (const Nchw& s : shapes) {
      const auto c = std::make_shared<Case>(make(s));
      for (bool oursSide : {true, false}) {
        const std::string label = std::string(name) + (oursSide ? "/Ours/" : "/Eigen/") + s.name();
        benchmark::RegisterBenchmark(label.c_str(), [c, oursSide](benchmark::State& st) {
          run(st, *c, oursSide);
        })->Unit(benchmark::kMicrosecond);
      }
    }
  }
  return 0;
}

const int kRegistered = registerAll();

}  // namespace
}  // namespace korvanrt

BENCHMARK_MAIN();
