// Cost of re-binding one buffer set of a transaction partition and of one
// run_graph of an empty program on the emulated device.

#include <benchmark/benchmark.h>

#include "model/hw_cluster_params.hpp"
#include "txn/pellix_qel.hpp"
#include "txn_fixture.hpp"

namespace {

using korvanrt::pellix_qel;
using namespace txn_test;

void BM_PatchArguments(benchmark::State& state) {
  MemoryReader txn(copyThroughCtrlPkt().transaction(), "ml_txn.bin");
  MemoryReader pkt(copyCtrlPkt(), "ctrl_pkt0.bin");
  MemoryReader desc(copyDescription(), "external_buffer_id.json");
  auto& ctx = context(1);
  pellix_qel q({&txn}, &pkt, nullptr, 1, &ctx, {&desc});
  const std::string hsi = copyHsi();
  korvanrt::HWClusterParams params(hsi.data(), hsi.size(), false, korvanrt::HsiSource::Package);
  const qel::bo in = qel::ext::bo(ctx.device, 64), out = qel::ext::bo(ctx.device, 64);
  const pellix_qel::AddressMaps addresses{{{"ifm_ddr", in.address()}, {"ofm_ddr", out.address()}}};
  const pellix_qel::BufferMaps buffers{{{"ifm_ddr", in}, {"ofm_ddr", out}}};
  const std::vector<std::vector<qel::bo>> ins{{in}}, outs{{out}};
  q.set_arguments(addresses, buffers, qel::bo(), {in}, {out}, {});
  for (auto _ : state) q.patch_arguments(addresses, buffers, qel::bo(), ins, outs, {}, params, 0);
}
BENCHMARK(BM_PatchArguments)->Unit(benchmark::kMicrosecond);

void BM_RunGraphEmpty(benchmark::State& state) {
  MemoryReader txn(qel::program::builder().transaction(), "ml_txn.bin");
  MemoryReader pkt(std::vector<char>(8, 0), "ctrl_pkt0.bin");
  MemoryReader desc(std::string(R"({"external_buffers":{"cp":{"name":"runtime_control_packet",)"
                                R"("qel_id":3,"size_in_bytes":8}}})"),
                    "external_buffer_id.json");
  auto& ctx = context(1);
  pellix_qel q({&txn}, &pkt, nullptr, 1, &ctx, {&desc});
  const qel::bo out = qel::ext::bo(ctx.device, 64);
  q.set_argument(qel::bo(), out, out, qel::bo(), 0, 0);
  q.add_run(0);
  for (auto _ : state) q.run_graph(0);
}
BENCHMARK(BM_RunGraphEmpty)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
