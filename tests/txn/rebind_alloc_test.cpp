// Re-binding a buffer set runs at every inference that changes buffers; it
// must not allocate. Every operator new of this program is counted.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "model/hw_cluster_params.hpp"
#include "txn/pellix_qel.hpp"
#include "txn_fixture.hpp"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using korvanrt::pellix_qel;
using namespace txn_test;

TEST(RebindTest, PatchArgumentsAllocatesNothing) {
  MemoryReader txn(copyThroughCtrlPkt().transaction(), "ml_txn.bin");
  MemoryReader pkt(copyCtrlPkt(), "ctrl_pkt0.bin");
  MemoryReader desc(copyDescription(), "external_buffer_id.json");
  auto& ctx = context(1);
  pellix_qel q({&txn}, &pkt, nullptr, 1, &ctx, {&desc});
  const std::string hsi = copyHsi();
  korvanrt::HWClusterParams params(hsi.data(), hsi.size(), false, korvanrt::HsiSource::Package);
  const qel::bo in = qel::ext::bo(ctx.device, 64), out = qel::ext::bo(ctx.device, 64);
  const qel::bo w = qel::ext::bo(ctx.device, 64);
  const pellix_qel::AddressMaps addresses{{{"ifm_ddr", in.address()}, {"ofm_ddr", out.address()}}};
  const pellix_qel::BufferMaps buffers{{{"ifm_ddr", in}, {"ofm_ddr", out}}};
  const std::vector<std::vector<qel::bo>> ins{{in}}, outs{{out}};
  q.set_arguments(addresses, buffers, w, {in}, {out}, {});
  // Warm-up: the first binding of an argument slot may grow the run's list.
  q.patch_arguments(addresses, buffers, w, ins, outs, {}, params, 0);
  q.patch_argument(w, in, out, qel::bo(), 0, 0);

  const long before = allocations.load();
  for (int i = 0; i < 100; ++i) q.patch_arguments(addresses, buffers, w, ins, outs, {}, params, 0);
  EXPECT_EQ(allocations.load() - before, 0);
  for (int i = 0; i < 100; ++i) q.patch_argument(w, in, out, qel::bo(), 0, 0);
  EXPECT_EQ(allocations.load() - before, 0);
}

}  // namespace
