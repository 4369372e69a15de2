// Latency of an empty device run and throughput of the device copy
// instruction against memcpy.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "qel/emulator.hpp"
#include "qel/fabpak_builder.hpp"
#include "qel/program_builder.hpp"
#include "qel/qel.hpp"

namespace {

struct bench_device {
  bench_device() {
    std::array<std::uint8_t, 16> id{0xbe, 0x9c};
    container = qel::fabpak(qel::fabpak_builder(qel::uuid(id)).add_kernel("DPU").build());
    dev = qel::device(0);
    dev.register_fabpak(container);
    ctx = qel::hw_context(dev, container.get_uuid(), qel::hw_context::qos_type{});
    dpu = qel::kernel(ctx, "DPU");
  }

  qel::run make_run(const qel::program::builder& p, const std::vector<qel::bo>& data) {
    const auto bytes = p.instruction_buffer();
    instr = qel::bo(ctx, bytes.size(), qel::bo::flags::cacheable, dpu.group_id(1));
    instr.write(bytes.data());
    qel::run r(dpu);
    r.set_arg_at_index(0, std::uint64_t{2});
    r.set_arg_at_index(1, instr);
    r.set_arg_at_index(2, std::uint64_t{instr.size() / 4});
    for (std::size_t i = 0; i < data.size(); ++i)
      r.set_arg_at_index(static_cast<int>(3 + i), data[i].address() + 0x80000000ull);
    return r;
  }

  qel::fabpak container;
  qel::device dev;
  qel::hw_context ctx;
  qel::kernel dpu;
  qel::bo instr;
};

void BM_EmptyRun(benchmark::State& state) {
  bench_device d;
  auto r = d.make_run(qel::program::builder{}, {});
  for (auto _ : state) {
    r.start();
    if (r.wait() != qel::command_state::completed) state.SkipWithError("run failed");
  }
}
BENCHMARK(BM_EmptyRun)->UseRealTime();

void BM_EmptyRunList(benchmark::State& state) {
  bench_device d;
  auto r = d.make_run(qel::program::builder{}, {});
  qel::runlist list(d.ctx);
  list.add(r);
  for (auto _ : state) {
    list.execute();
    list.wait();
  }
}
BENCHMARK(BM_EmptyRunList)->UseRealTime();

void BM_CopyOp(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  bench_device d;
  qel::ext::bo src(d.dev, bytes), dst(d.dev, bytes);
  std::memset(src.map(), 1, bytes);
  std::memset(dst.map(), 0, bytes);
  qel::program::builder p;
  p.copy(qel::program::operand::argument(4), qel::program::operand::argument(3), bytes);
  auto r = d.make_run(p, {src, dst});

  // memcpy of the same buffers, for the ratio.
  const int reps = 20;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) {
    std::memcpy(dst.map(), src.map(), bytes);
    benchmark::ClobberMemory();
  }
  const double memcpy_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;

  double device_s = 0;
  for (auto _ : state) {
    const auto s = std::chrono::steady_clock::now();
    r.start();
    r.wait();
    device_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - s).count();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["memcpy_ratio"] = memcpy_s / (device_s / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_CopyOp)->Arg(1 << 20)->Arg(16 << 20)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
