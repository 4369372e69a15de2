#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "model/hw_cluster_params.hpp"
#include "qel/emulator.hpp"
#include "txn/cert_qel.hpp"
#include "txn_fixture.hpp"

namespace {

using korvanrt::cert_qel;
using korvanrt::pellix_qel;
using qel::program::builder;
using qel::program::operand;
using namespace txn_test;

std::string entry(const char* key, const char* name, const char* qelId) {
  return std::string("\"") + key + "\":{\"name\":\"" + name + "\",\"qel_id\":" + qelId +
         ",\"size_in_bytes\":64}";
}

std::string description(const std::string& entries) {
  return "{\"external_buffers\":{" + entries + "}}";
}

class CertQelTest : public ::testing::Test {
 protected:
  void SetUp() override { qel::emu::reset(); }
  void TearDown() override { qel::emu::reset(); }

  // An ELF partition whose program copies 16 bytes from argument `from` to
  // argument `to`.
  std::unique_ptr<cert_qel> elfPartition(int from, int to, const std::string& desc,
                                         int32_t sets = 1) {
    builder p;
    p.copy(operand::argument(to), operand::argument(from), 16);
    MemoryReader elf(p.elf(), "model.elf");
    MemoryReader d(desc, "external_buffer_id.json");
    return std::make_unique<cert_qel>(std::vector<korvanrt::KorvanIOReader*>{&elf}, nullptr,
                                      nullptr, sets, &ctx,
                                      std::vector<korvanrt::KorvanIOReader*>{&d});
  }

  qel::bo buffer(uint8_t fill) {
    qel::bo bo = qel::ext::bo(ctx.device, 64);
    for (int i = 0; i < 64; ++i) bo.map<uint8_t*>()[i] = static_cast<uint8_t>(fill + i);
    return bo;
  }

  static bool copied(const qel::bo& in, const qel::bo& out) {
    return std::memcmp(in.map(), out.map(), 16) == 0;
  }

  pellix::qel_context& ctx = context(1);
};

TEST_F(CertQelTest, SetArgumentsBindsNamedBuffersAtTheirQelId) {
  const auto desc =
      description(entry("w", "wts_ddr", "0") + "," + entry("i", "ifm_ddr", "1") + "," +
                  entry("o", "ofm_ddr", "2") + "," + entry("c", "runtime_control_packet", "3"));
  auto q = elfPartition(1, 2, desc, 2);
  std::vector<qel::bo> in{buffer(1), buffer(70)}, out{buffer(0), buffer(0)};
  // The weights are not in the maps: that argument stays unset, no error.
  pellix_qel::BufferMaps buffers{{{"ifm_ddr", in[0]}, {"ofm_ddr", out[0]}},
                                 {{"ifm_ddr", in[1]}, {"ofm_ddr", out[1]}}};
  q->set_arguments({}, buffers, qel::bo(), in, out, {});
  for (int b = 0; b < 2; ++b) {
    q->add_run(b);
    q->run_graph(b);
    EXPECT_TRUE(copied(in[b], out[b])) << b;
  }

  const qel::bo in2 = buffer(150), out2 = buffer(0);
  buffers[1] = {{"ifm_ddr", in2}, {"ofm_ddr", out2}};
  korvanrt::HWClusterParams params(copyHsi().data(), copyHsi().size(), false,
                                   korvanrt::HsiSource::Package);
  q->patch_arguments({}, buffers, qel::bo(), {}, {}, {}, params, 1);
  q->run_graph(1);
  EXPECT_TRUE(copied(in2, out2));
}

TEST_F(CertQelTest, SetArgumentRemapsOnlySmallQelIds) {
  const auto desc = description(entry("i", "ifm_ddr", "1") + "," + entry("o", "ofm_ddr", "7") +
                                "," + entry("c", "runtime_control_packet", "0"));
  auto q = elfPartition(1, 5, desc);
  const qel::bo in = buffer(3), out = buffer(0);
  q->set_argument(qel::bo(), in, out, qel::bo(), 0, 0);
  EXPECT_EQ(q->ifm_arg_idx_[0], 1);
  EXPECT_EQ(q->ofm_arg_idx_[0], 5);  // qel_id 7 leaves the default
  EXPECT_EQ(q->ctrl_pkt_arg_idx_[0], 6);
  q->add_run(0);
  q->run_graph(0);
  EXPECT_TRUE(copied(in, out));

  // patch_argument keeps the remapped slots.
  const qel::bo in2 = buffer(90), out2 = buffer(0), w = buffer(0), spill = buffer(0);
  q->patch_argument(w, in2, out2, spill, 0, 0);
  q->run_graph(0);
  EXPECT_TRUE(copied(in2, out2));

  auto noId = elfPartition(1, 5, description("\"i\":{\"name\":\"ifm_ddr\",\"size_in_bytes\":8}"));
  try {
    noId->set_argument(qel::bo(), in, out, qel::bo(), 0, 0);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "[Error] qel_id field not specified in external_buffer_id.json");
  }
}

TEST_F(CertQelTest, TransactionModeOnlyRecordsSlotsAndNeverPatches) {
  MemoryReader txn(copyThroughCtrlPkt().transaction(), "ml_txn.bin");
  MemoryReader pkt(copyCtrlPkt(), "ctrl_pkt0.bin");
  const auto desc = copyDescription();
  MemoryReader d(desc, "external_buffer_id.json");
  cert_qel q({&txn}, &pkt, nullptr, 1, &ctx, {&d});
  const qel::bo in = buffer(1), out = buffer(0);
  pellix_qel::AddressMaps addresses{{{"ifm_ddr", in.address()}, {"ofm_ddr", out.address()}}};
  pellix_qel::BufferMaps buffers{{{"ifm_ddr", in}, {"ofm_ddr", out}}};
  q.set_arguments(addresses, buffers, qel::bo(), {in}, {out}, {});
  EXPECT_EQ(q.ifm_arg_idx_[0], 1);
  EXPECT_EQ(q.ofm_arg_idx_[0], 2);
  EXPECT_TRUE(q.qel_id_by_name_.empty());
  korvanrt::HWClusterParams params(copyHsi().data(), copyHsi().size(), false,
                                   korvanrt::HsiSource::Package);
  q.patch_arguments(addresses, buffers, qel::bo(), {{in}}, {{out}}, {}, params, 0);
  const auto pristine = copyCtrlPkt();
  EXPECT_EQ(0, std::memcmp(q.ctrl_pkt_mapped_[0], pristine.data(), pristine.size()));

  // In this mode a large qel_id is stored as it is.
  MemoryReader big(description("\"i\":{\"name\":\"ifm_ddr\",\"qel_id\":9,\"size_in_bytes\":64,"
                               "\"control_packet_patch_locations\":[]}"),
                   "external_buffer_id.json");
  txn.rewind();
  testing::internal::CaptureStderr();  // no control packet, as the runner builds it
  cert_qel unbounded({&txn}, nullptr, nullptr, 1, &ctx, {&big});
  testing::internal::GetCapturedStderr();
  unbounded.set_arguments({}, {{}}, qel::bo(), {in}, {out}, {});
  EXPECT_EQ(unbounded.ifm_arg_idx_[0], 9);
}

}  // namespace
