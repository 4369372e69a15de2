#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>

#include "core/error.hpp"
#include "model/hw_cluster_params.hpp"
#include "package_generated.h"
#include "qel/emulator.hpp"
#include "txn/elf_inflate.hpp"
#include "txn/pellix_qel.hpp"
#include "txn_fixture.hpp"

namespace {

using korvanrt::pellix_qel;
using qel::program::builder;
using qel::program::operand;
using namespace txn_test;

constexpr uint64_t kOffset = pellix_qel::kAddressOffset;

uint64_t word(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The copy partition built from files, with its own input and output
// buffers per buffer set.
struct CopyPartition {
  explicit CopyPartition(int32_t sets, uint8_t ctxId = 1,
                         const std::string& description = copyDescription())
      : ctx(context(ctxId)) {
    MemoryReader txn(copyThroughCtrlPkt().transaction(), "ml_txn.bin");
    MemoryReader pkt(copyCtrlPkt(), "ctrl_pkt0.bin");
    MemoryReader desc(description, "external_buffer_id.json");
    qel = std::make_unique<pellix_qel>(std::vector<korvanrt::KorvanIOReader*>{&txn}, &pkt, nullptr,
                                       sets, &ctx, std::vector<korvanrt::KorvanIOReader*>{&desc});
    for (int32_t b = 0; b < sets; ++b) {
      inputs.push_back(filled(static_cast<uint8_t>(10 * (b + 1))));
      outputs.push_back(qel::ext::bo(ctx.device, 64));
      addresses.push_back({{"ifm_ddr", inputs[b].address()}, {"ofm_ddr", outputs[b].address()}});
      buffers.push_back({{"ifm_ddr", inputs[b]}, {"ofm_ddr", outputs[b]}});
    }
  }

  qel::bo filled(uint8_t base) const {
    qel::bo bo = qel::ext::bo(ctx.device, 64);
    auto* p = bo.map<uint8_t*>();
    for (int i = 0; i < 64; ++i) p[i] = static_cast<uint8_t>(base + i);
    return bo;
  }

  void bindAll() {
    qel->set_arguments(addresses, buffers, qel::bo(), inputs, outputs, {});
    for (int32_t b = 0; b < qel->num_buffer_sets_; ++b) qel->add_run(b);
  }

  // The output of buffer set b holds the copied input bytes.
  void expectCopied(const qel::bo& in, const qel::bo& out) const {
    EXPECT_EQ(0, std::memcmp(out.map<uint8_t*>(), in.map<uint8_t*>() + kInputSkew, kCopyBytes));
  }

  pellix::qel_context& ctx;
  std::unique_ptr<pellix_qel> qel;
  std::vector<qel::bo> inputs, outputs;
  pellix_qel::AddressMaps addresses;
  pellix_qel::BufferMaps buffers;
};

class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override { qel::emu::reset(); }
  void TearDown() override { qel::emu::reset(); }
};

TEST_F(TransactionTest, InstructionBufferWrapsTheBinary) {
  struct Case {
    uint32_t total;
    size_t fileBytes;
  };
  for (const Case c : {Case{16, 16}, Case{4096, 4096}, Case{4096, 5000}}) {
    std::vector<char> bin(c.fileBytes, 0x5a);
    std::memcpy(bin.data() + 12, &c.total, 4);
    MemoryReader txn(bin, "ml_txn.bin");
    pellix_qel q({&txn}, nullptr, nullptr, 1, &context(1), {});
    ASSERT_EQ(q.instr_bos_.size(), 1u);
    const auto& bo = q.instr_bos_[0];
    ASSERT_EQ(bo.size(), c.total + 8u) << c.total;
    const auto* p = bo.map<uint8_t*>();
    uint32_t header[2];
    std::memcpy(header, p, 8);
    EXPECT_EQ(header[0], 0u);
    EXPECT_EQ(header[1], c.total + 8);
    EXPECT_EQ(0, std::memcmp(p + 8, bin.data(), c.total));
    EXPECT_EQ(bo.get_flags(), qel::bo::flags::cacheable);
  }
}

TEST_F(TransactionTest, MalformedBinariesAreRefused) {
  struct Case {
    const char* what;
    uint32_t total;
    size_t fileBytes;
  };
  for (const Case c : {Case{"size beyond the file", 100, 50}, Case{"size below the header", 8, 16},
                       Case{"file shorter than a header", 16, 10}}) {
    std::vector<char> bin(c.fileBytes, 0);
    if (c.fileBytes >= 16) std::memcpy(bin.data() + 12, &c.total, 4);
    MemoryReader txn(bin, "ml_txn.bin");
    EXPECT_THROW(pellix_qel({&txn}, nullptr, nullptr, 1, &context(1), {}), std::runtime_error)
        << c.what;
  }
  pellix_qel q({}, nullptr, nullptr, 1, &context(1), {});
  std::vector<uint8_t> bin(40, 0);
  const uint32_t total = 41;
  std::memcpy(bin.data() + 12, &total, 4);
  EXPECT_THROW(q.load_txn_bin(bin.data(), bin.size()), std::runtime_error);
  try {
    q.load_txn_bin(static_cast<korvanrt::KorvanIOReader*>(nullptr));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Transaction not valid!");
  }
}

TEST_F(TransactionTest, ControlPacketCarriesEachBufferSetsAddresses) {
  CopyPartition part(2);
  ASSERT_TRUE(part.qel->patch_ctrl_pkt_);
  // Both sets start from the full control packet.
  const auto pristine = copyCtrlPkt();
  for (int b = 0; b < 2; ++b)
    EXPECT_EQ(0, std::memcmp(part.qel->ctrl_pkt_mapped_[b], pristine.data(), kCtrlPktSize));

  part.bindAll();
  for (int b = 0; b < 2; ++b) {
    const auto* pkt = part.qel->ctrl_pkt_mapped_[b];
    // Low 48 bits: pristine offset plus device address; the top two bytes
    // keep the pristine junk.
    EXPECT_EQ(word(pkt + kInputWord), (kInputPristine & 0xFFFF000000000000ull) |
                                          (0x10 + part.inputs[b].address() + kOffset));
    EXPECT_EQ(word(pkt + kOutputWord), part.outputs[b].address() + kOffset);
    part.qel->run_graph(b);
    part.expectCopied(part.inputs[b], part.outputs[b]);
  }
  EXPECT_NE(0, std::memcmp(part.outputs[0].map(), part.outputs[1].map(), kCopyBytes));
}

TEST_F(TransactionTest, RebindingABufferSetMovesOnlyThatSet) {
  CopyPartition part(2);
  part.bindAll();
  korvanrt::HWClusterParams params(copyHsi().data(), copyHsi().size(), false,
                                   korvanrt::HsiSource::Package);
  const qel::bo in2 = part.filled(200), out2 = qel::ext::bo(part.ctx.device, 64);
  auto addresses = part.addresses;
  auto buffers = part.buffers;
  addresses[1] = {{"ifm_ddr", in2.address()}, {"ofm_ddr", out2.address()}};
  buffers[1] = {{"ifm_ddr", in2}, {"ofm_ddr", out2}};
  const std::vector<std::vector<qel::bo>> ins{{}, {in2}}, outs{{}, {out2}};
  for (int round = 0; round < 2; ++round) {  // patching twice gives the same bytes
    part.qel->patch_arguments(addresses, buffers, qel::bo(), ins, outs, {}, params, 1);
    part.qel->run_graph(1);
    part.expectCopied(in2, out2);
  }
  std::memset(part.outputs[1].map(), 0, 64);
  std::memset(part.outputs[0].map(), 0, 64);
  part.qel->run_graph(0);
  part.expectCopied(part.inputs[0], part.outputs[0]);
  EXPECT_EQ(part.outputs[1].map<uint8_t*>()[0], 0);  // set 1 no longer writes there

  // Back to the first buffers.
  part.qel->patch_arguments(part.addresses, part.buffers, qel::bo(), {{}, {part.inputs[1]}},
                            {{}, {part.outputs[1]}}, {}, params, 1);
  part.qel->run_graph(1);
  part.expectCopied(part.inputs[1], part.outputs[1]);

  try {
    part.qel->get_addr_and_apply(0, 0, "nowhere");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "buffer name nowhere was not added during control packet evaulation from "
                 "external_buffer_id.jsonunordered_map::at");
  }
  auto missing = addresses;
  missing[1].erase("ofm_ddr");
  EXPECT_THROW(part.qel->patch_arguments(missing, buffers, qel::bo(), ins, outs, {}, params, 1),
               std::out_of_range);
  EXPECT_THROW(part.qel->patch_arguments(addresses, buffers, qel::bo(), ins, outs, {}, params, 2),
               std::out_of_range);
}

TEST_F(TransactionTest, PatchOffsetsOutsideTheControlPacketAreRefused) {
  for (int64_t offset : {-8, -1, 57, 64, 1 << 30}) {
    EXPECT_THROW(CopyPartition(1, 1, copyDescription(offset)), std::runtime_error) << offset;
  }
  EXPECT_NO_THROW(CopyPartition(1, 1, copyDescription(56)));  // the last word
}

TEST_F(TransactionTest, DescriptionFaults) {
  MemoryReader txn(copyThroughCtrlPkt().transaction(), "ml_txn.bin");
  auto build = [&](korvanrt::KorvanIOReader* desc) {
    MemoryReader pkt(copyCtrlPkt(), "ctrl_pkt0.bin");
    txn.rewind();
    pellix_qel q({&txn}, &pkt, nullptr, 1, &context(1), {desc});
  };
  try {
    build(nullptr);
    FAIL();
  } catch (const korvanrt::KorvanRTException& e) {
    EXPECT_STREQ(e.what(),
                 "korvan_rt/include/pellix_qel:180: ERROR!  external_buffer_id.json not found!");
  }
  struct Case {
    std::string text;
    std::string message;
  };
  for (const auto& c :
       {Case{"", "Error reading external_buffer_id.json1"},
        Case{"{\"a\":1,}", "Error reading external_buffer_id.json4"},
        Case{"{\"external_buffers\":{}}", "[Error] Number of external buffers found = 0!!!"}}) {
    MemoryReader desc(c.text, "external_buffer_id.json");
    try {
      build(&desc);
      FAIL() << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

TEST_F(TransactionTest, MissingControlPacketIsReportedAndNeverTouched) {
  MemoryReader txn(copyThroughCtrlPkt().transaction(), "ml_txn.bin");
  MemoryReader desc(copyDescription(), "external_buffer_id.json");
  testing::internal::CaptureStderr();
  pellix_qel q({&txn}, nullptr, nullptr, 2, &context(1), {&desc});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[Error] Failed to open a serialzed ctrl pkt bin\n"
            "[Error] Failed to open a serialzed ctrl pkt bin\n");
  CopyPartition part(2);
  EXPECT_THROW(
      q.set_arguments(part.addresses, part.buffers, qel::bo(), part.inputs, part.outputs, {}),
      std::runtime_error);
}

TEST_F(TransactionTest, QemuTestLiftsTheWaitLimit) {
  struct Case {
    const char* value;
    bool set;
  };
  for (const Case c : {Case{"1", true}, Case{"0", false}, Case{"2", false}, Case{nullptr, false}}) {
    ScopedEnv env("QEMU_TEST", c.value);
    pellix_qel q({}, nullptr, nullptr, 1, &context(1), {});
    EXPECT_EQ(q.qemu_test_, c.set) << (c.value ? c.value : "unset");
  }
  ScopedEnv env("QEMU_TEST", "yes");
  EXPECT_THROW(pellix_qel({}, nullptr, nullptr, 1, &context(1), {}), std::invalid_argument);
}

std::vector<char> compress(const std::vector<char>& data) {
  uLongf length = compressBound(data.size());
  std::vector<char> out(length);
  EXPECT_EQ(Z_OK, compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                            reinterpret_cast<const Bytef*>(data.data()), data.size(), 1));
  out.resize(length);
  return out;
}

TEST_F(TransactionTest, ElfModulesBindBufferObjects) {
  builder p;
  p.copy(operand::argument(5), operand::argument(4, 4), 16);
  const std::string desc =
      R"({"external_buffers":{"in":{"name":"ifm_ddr","qel_id":1,"size_in_bytes":64},)"
      R"("out":{"name":"ofm_ddr","qel_id":2,"size_in_bytes":64}}})";
  for (bool compressed : {false, true}) {
    MemoryReader elf(compressed ? compress(p.elf()) : p.elf(), "dir/model.elf");
    MemoryReader d(desc, "external_buffer_id.json");
    pellix_qel q({&elf}, nullptr, nullptr, 1, &context(1), {&d});
    EXPECT_TRUE(q.elf_mode_);
    EXPECT_FALSE(q.patch_ctrl_pkt_);
    CopyPartition bufs(1);
    q.set_argument(qel::bo(), bufs.inputs[0], bufs.outputs[0], qel::bo(), 0, 0);
    q.add_run(0);
    q.run_graph(0);
    EXPECT_EQ(0,
              std::memcmp(bufs.outputs[0].map<uint8_t*>(), bufs.inputs[0].map<uint8_t*>() + 4, 16))
        << compressed;
    // Re-binding without weights or spill buffer keeps working.
    CopyPartition other(1);
    q.patch_argument(qel::bo(), other.inputs[0], other.outputs[0], qel::bo(), 0, 0);
    q.run_graph(0);
    EXPECT_EQ(
        0, std::memcmp(other.outputs[0].map<uint8_t*>(), other.inputs[0].map<uint8_t*>() + 4, 16));
  }

  MemoryReader ctrl(p.elf(), "ctrl.elf");
  pellix_qel q({&ctrl}, nullptr, nullptr, 1, &context(1), {});
  EXPECT_TRUE(q.ctrl_elf_);
  EXPECT_EQ((std::vector<int32_t>{q.wts_arg_idx_[0], q.ifm_arg_idx_[0], q.ofm_arg_idx_[0],
                                  q.ctrl_pkt_arg_idx_[0], q.spill_arg_idx_[0]}),
            (std::vector<int32_t>{4, 5, 6, 3, 7}));

  MemoryReader corrupt(std::vector<char>(64, 0x33), "model.elf");
  try {
    pellix_qel bad({&corrupt}, nullptr, nullptr, 1, &context(1), {});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Uncompression failed with error code: -3");
  }
}

TEST_F(TransactionTest, InflationGrowsPastTheFirstCapacity) {
  std::vector<char> big((64u << 20) + 4096, 'x');
  const auto packed = compress(big);
  EXPECT_EQ(korvanrt::inflateElf(packed), big);
  try {
    korvanrt::inflateElf(packed, 64u << 20);  // capped: never grows
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Uncompression failed with error code: -5");
  }
}

// A sub-partition record with the given parts; empty vectors are left out.
std::vector<uint8_t> subPartition(bool withBinary, const std::vector<uint8_t>& data,
                                  const std::vector<uint8_t>& pkt,
                                  const std::vector<uint8_t>& patchJson,
                                  const std::vector<uint8_t>& extJson) {
  flatbuffers::FlatBufferBuilder fbb;
  flatbuffers::Offset<trelm::fbs::Transaction> txn = 0;
  if (withBinary) {
    auto bin = trelm::fbs::CreateBinaryDirect(fbb, 0, nullptr, data.empty() ? nullptr : &data,
                                              pkt.empty() ? nullptr : &pkt,
                                              patchJson.empty() ? nullptr : &patchJson);
    txn = trelm::fbs::CreateTransaction(fbb, bin);
  }
  fbb.Finish(trelm::fbs::CreateSubPartitionDirect(
      fbb, nullptr, extJson.empty() ? nullptr : &extJson, nullptr, txn));
  return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
}

std::vector<uint8_t> bytes(const std::string& s) {
  return {s.begin(), s.end()};
}
std::vector<uint8_t> bytes(const std::vector<char>& s) {
  return {s.begin(), s.end()};
}

TEST_F(TransactionTest, PackageRecordCopiesThroughItsControlPacket) {
  const auto data = bytes(copyThroughCtrlPkt().transaction());
  const auto pkt = bytes(copyCtrlPkt());
  const auto patch = bytes(R"({"offset_unit":"byte","control_packet_patch":{
      "0":{"offset":8,"size":6,"operation":"add","name":"ifm_ddr"},
      "1":{"offset":24,"size":6,"operation":"add","name":"ofm_ddr"}}})");
  const auto ext = bytes(copyDescription());
  const auto record = subPartition(true, data, pkt, patch, ext);
  CopyPartition bufs(2);
  pellix_qel q(flatbuffers::GetRoot<trelm::fbs::SubPartition>(record.data()), 2, &bufs.ctx);
  ASSERT_EQ(q.ctrl_pkt_patches_.size(), 2u);
  q.set_arguments(bufs.addresses, bufs.buffers, qel::bo(), bufs.inputs, bufs.outputs, {});
  for (int b = 0; b < 2; ++b) {
    q.add_run(b);
    q.run_graph(b);
    bufs.expectCopied(bufs.inputs[b], bufs.outputs[b]);
  }

  struct Case {
    const char* what;
    std::vector<uint8_t> record;
  };
  for (const auto& c :
       {Case{"no transaction", subPartition(false, {}, {}, {}, ext)},
        Case{"no data", subPartition(true, {}, pkt, patch, ext)},
        Case{"patches without a packet", subPartition(true, data, {}, patch, ext)},
        Case{"no external buffers", subPartition(true, data, pkt, patch, {})},
        Case{"patch beyond the packet",
             subPartition(true, data, bytes(std::vector<char>(16, 0)), patch, ext)}}) {
    EXPECT_THROW(
        pellix_qel(flatbuffers::GetRoot<trelm::fbs::SubPartition>(c.record.data()), 1, &bufs.ctx),
        std::runtime_error)
        << c.what;
  }
}

TEST_F(TransactionTest, SetArgumentsWithoutPatchingPassesNoControlPacket) {
  // A record without a patch description runs without control-packet
  // patching; the program then takes its addresses from arguments 4 and 5.
  builder p;
  p.copy(operand::argument(5), operand::argument(4, kInputSkew), kCopyBytes);
  const auto record = subPartition(true, bytes(p.transaction()), {}, {}, bytes(copyDescription()));
  CopyPartition bufs(1);
  pellix_qel q(flatbuffers::GetRoot<trelm::fbs::SubPartition>(record.data()), 1, &bufs.ctx);
  EXPECT_FALSE(q.patch_ctrl_pkt_);
  q.set_arguments(bufs.addresses, bufs.buffers, qel::bo(), bufs.inputs, bufs.outputs, {});
  q.add_run(0);
  q.run_graph(0);
  bufs.expectCopied(bufs.inputs[0], bufs.outputs[0]);
  EXPECT_EQ(q.qel_id_by_name_.size(), 3u);  // every described name is known
}

}  // namespace
