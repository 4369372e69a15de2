// Construction of the transaction runtime: instruction buffers, ELF modules,
// runs, run lists, external-buffer descriptions and control packets.

#include <rapidjson/document.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "core/error.hpp"
#include "package_generated.h"
#include "txn/elf_inflate.hpp"
#include "txn/pellix_qel.hpp"
#include "txn/transaction_op.hpp"

namespace korvanrt {

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

// The whole content of a reader, from its first byte.
std::vector<char> readAll(KorvanIOReader& reader, const char* what) {
  const int64_t size = reader.size();
  if (size < 0)
    throw std::runtime_error(std::string("Cannot read the size of ") + what + " " + reader.name());
  std::vector<char> data(static_cast<size_t>(size));
  reader.rewind();
  if (size > 0 && reader.sequential_read(data.data(), data.size()) != 1)
    throw std::runtime_error(std::string("Cannot read ") + what + " " + reader.name());
  return data;
}

}  // namespace

void pellix_qel::initCommon(const int32_t& numBufferSets, pellix::qel_context* context,
                            int32_t subgraphs) {
  if (context == nullptr)
    throw std::invalid_argument("Transaction runtime without a device context");
  if (numBufferSets < 1)
    throw std::invalid_argument("Number of buffer sets must be at least 1, not " +
                                std::to_string(numBufferSets));
  context_ = context;
  kernel_ = context->kernel;
  num_buffer_sets_ = numBufferSets;
  num_subgraphs_ = subgraphs;
  ext_buf_doc_ = std::make_unique<rapidjson::Document>();
  runlists_.reserve(num_buffer_sets_);
  for (int32_t b = 0; b < num_buffer_sets_; ++b) runlists_.emplace_back(context_->hw_context);
  pipe_runlists_.resize(num_buffer_sets_);
  runs_.resize(static_cast<size_t>(num_buffer_sets_) * num_subgraphs_);
}

pellix_qel::pellix_qel(const std::vector<KorvanIOReader*>& txnReaders,
                       KorvanIOReader* ctrlPktReader, KorvanIOReader* /*ctrlPktPatchReader*/,
                       const int32_t& numBufferSets, pellix::qel_context* context,
                       const std::vector<KorvanIOReader*>& extBufReaders) {
  initCommon(numBufferSets, context, static_cast<int32_t>(txnReaders.size()));

  for (auto* reader : txnReaders) {
    if (reader != nullptr && std::filesystem::path(reader->name()).extension() == ".elf") {
      elf_mode_ = true;
      patch_ctrl_pkt_ = false;
      loadElf(readAll(*reader, "ELF module"),
              std::string_view(reader->name()).find("ctrl.elf") != std::string_view::npos);
    } else {
      load_txn_bin(reader);
    }
  }
  if (elf_mode_ && elfs_.size() != txnReaders.size())
    throw std::runtime_error("A partition cannot mix ELF modules and transaction binaries");
  createRuns();

  external_buffers_.resize(extBufReaders.size());
  for (size_t i = 0; i < extBufReaders.size(); ++i) {
    auto* reader = extBufReaders[i];
    if (reader == nullptr)
      throw KorvanRTException("ERROR!  external_buffer_id.json not found!",
                              "korvan_rt/include/pellix_qel", 180);
    const auto text = readAll(*reader, "external buffer description");
    ext_buf_doc_->Parse<kParseFlags>(text.data(), text.size());
    if (ext_buf_doc_->HasParseError())
      throw std::runtime_error("Error reading external_buffer_id.json" +
                               std::to_string(static_cast<int>(ext_buf_doc_->GetParseError())));
    if (!elf_mode_) {
      // The reader throws on every fault, so a return is a success.
      if (readCtrlPktPatchJson(*ext_buf_doc_, ctrl_pkt_patches_) != 0)
        patch_ctrl_pkt_ = false;
      else
        loadCtrlPktFile(ctrlPktReader);
    }
    auto found = ext_buf_doc_->FindMember("external_buffers");
    if (found != ext_buf_doc_->MemberEnd() && found->value.IsObject()) {
      external_buffers_[i] = std::move(found->value);
      if (external_buffers_[i].MemberCount() == 0)
        throw std::runtime_error("[Error] Number of external buffers found = 0!!!");
    }
  }
  appendDefaultIndices();
  readQemuTest();
}

pellix_qel::pellix_qel(const trelm::fbs::SubPartition* subPartition, const int32_t& numBufferSets,
                       pellix::qel_context* context) {
  if (subPartition == nullptr)
    throw std::invalid_argument("Transaction runtime without a sub-partition");
  initCommon(numBufferSets, context, 1);
  const auto* transaction = subPartition->transaction();
  const auto* binary = transaction ? transaction->binary() : nullptr;
  if (binary == nullptr) throw std::runtime_error("Sub-partition has no transaction binary record");
  const auto* data = binary->data();
  if (data == nullptr || data->size() == 0)
    throw std::runtime_error("Sub-partition's transaction binary record has no data");

  if (binary->is_elf() == 1) {
    patch_ctrl_pkt_ = false;
    elf_mode_ = true;
    const bool ctrlElf = binary->elf_name() && binary->elf_name()->str() == "ctrl.elf";
    loadElf(std::vector<char>(data->begin(), data->end()), ctrlElf);
    createRuns();
  } else {
    load_txn_bin(data->data(), data->size());
    createRuns();
    const auto* patchJson = binary->ctrl_pkt_patch_json();
    if (patchJson != nullptr && patchJson->size() != 0) {
      const auto* ctrlPkt = binary->ctrl_pkt();
      if (ctrlPkt == nullptr)
        throw std::runtime_error(
            "Sub-partition has a control packet patch description but no control packet");
      readCtrlPktPatchJson(patchJson, ctrl_pkt_patches_);
      loadCtrlPkt(ctrlPkt->data(), ctrlPkt->size());
    } else {
      patch_ctrl_pkt_ = false;
    }
  }

  const auto* extJson = subPartition->external_buffer_json();
  if (extJson == nullptr)
    throw std::runtime_error("Sub-partition has no external buffer description");
  external_buffers_.resize(1);
  parseExternalBuffers(reinterpret_cast<const char*>(extJson->data()), extJson->size(), 0);
  appendDefaultIndices();
  readQemuTest();
}

pellix_qel::~pellix_qel() = default;

void pellix_qel::parseExternalBuffers(const char* text, size_t length, size_t index) {
  ext_buf_doc_->Parse<kParseFlags>(text, length);
  if (ext_buf_doc_->HasParseError())
    throw std::runtime_error("Error reading external_buffer_id.json" +
                             std::to_string(static_cast<int>(ext_buf_doc_->GetParseError())));
  auto found = ext_buf_doc_->FindMember("external_buffers");
  if (found != ext_buf_doc_->MemberEnd() && found->value.IsObject()) {
    external_buffers_[index] = std::move(found->value);
    if (external_buffers_[index].MemberCount() == 0)
      throw std::runtime_error("[Error] Number of external buffers found = 0!!!");
  }
}

void pellix_qel::loadElf(std::vector<char> data, bool ctrlElf) {
  if (!isElfImage(data)) data = inflateElf(data);
  elfs_.emplace_back(data.data(), data.size());
  if (ctrlElf) ctrl_elf_ = true;
  modules_.emplace_back(elfs_.back());
}

void pellix_qel::createRuns() {
  if (elf_mode_) {
    for (int32_t s = 0; s < num_subgraphs_; ++s) {
      elf_kernels_.emplace_back(context_->hw_context, modules_[s], "DPU");
      for (int32_t b = 0; b < num_buffer_sets_; ++b)
        runs_[static_cast<size_t>(b) * num_subgraphs_ + s] = qel::run(elf_kernels_.back());
    }
  } else {
    for (auto& r : runs_) r = qel::run(kernel_);
  }
}

void pellix_qel::load_txn_bin(KorvanIOReader* reader) {
  if (reader == nullptr) throw std::runtime_error("Transaction not valid!");
  std::vector<uint8_t> bytes(transaction_op::kHeaderSize);
  if (reader->sequential_read(bytes.data(), bytes.size()) != 1)
    throw std::runtime_error(std::string("Transaction binary ") + reader->name() +
                             " is shorter than its header");
  const uint32_t total = transactionTotalSize(bytes.data());
  const int64_t fileSize = reader->size();
  // The stated size must fit the file before anything of that size is made.
  if (total < transaction_op::kHeaderSize || (fileSize >= 0 && total > fileSize))
    throw std::runtime_error(std::string("Transaction binary ") + reader->name() + " states " +
                             std::to_string(total) + " bytes but holds " +
                             std::to_string(fileSize));
  bytes.resize(total);
  if (total > transaction_op::kHeaderSize &&
      reader->sequential_read(bytes.data() + transaction_op::kHeaderSize,
                              total - transaction_op::kHeaderSize) != 1)
    throw std::runtime_error(std::string("Transaction binary ") + reader->name() +
                             " ends before its stated size of " + std::to_string(total) + " bytes");
  load_txn_bin(bytes.data(), bytes.size());
}

void pellix_qel::load_txn_bin(const uint8_t* data, size_t available) {
  if (data == nullptr) throw std::runtime_error("Transaction not valid!");
  const transaction_op op(data, available);
  std::vector<uint8_t> serialized(op.size());
  op.serialize(serialized.data());
  qel::bo bo(context_->hw_context, serialized.size(), qel::bo::flags::cacheable,
             kernel_.group_id(1));
  bo.write(serialized.data(), serialized.size(), 0);
  bo.sync(qel::bo::direction::to_device, serialized.size(), 0);
  instr_bos_.push_back(std::move(bo));
}

void pellix_qel::loadCtrlPktFile(KorvanIOReader* reader) {
  if (reader == nullptr) {
    for (int32_t b = 0; b < num_buffer_sets_; ++b)
      std::cerr << "[Error] Failed to open a serialzed ctrl pkt bin" << std::endl;
    return;
  }
  const int64_t size = reader->size();
  if (size == -1) {
    for (int32_t b = 0; b < num_buffer_sets_; ++b)
      std::cerr << "Error reading file size:" << static_cast<uint64_t>(size) << std::endl;
    return;
  }
  const auto content = readAll(*reader, "control packet");
  loadCtrlPkt(reinterpret_cast<const uint8_t*>(content.data()), content.size());
}

void pellix_qel::loadCtrlPkt(const uint8_t* data, uint64_t size) {
  ctrl_pkt_size_ = size;
  ctrl_pkt_mapped_.assign(num_buffer_sets_, nullptr);
  ctrl_pkt_pristine_.assign(num_buffer_sets_, {});
  ctrl_pkt_bos_.assign(num_buffer_sets_, qel::bo());
  for (int32_t b = 0; b < num_buffer_sets_; ++b) {
    ctrl_pkt_bos_[b] = qel::ext::bo(context_->device, size);
    ctrl_pkt_mapped_[b] = ctrl_pkt_bos_[b].map<uint8_t*>();
    ctrl_pkt_pristine_[b].assign(data, data + size);
    if (size != 0) std::memcpy(ctrl_pkt_mapped_[b], data, size);
  }
  checkPatchOffsets();
}

void pellix_qel::checkPatchOffsets() const {
  for (const auto& p : ctrl_pkt_patches_) {
    if (p.offset < 0 || static_cast<uint64_t>(p.offset) + 8 > ctrl_pkt_size_)
      throw std::runtime_error("Control packet patch of " + p.name + " at offset " +
                               std::to_string(p.offset) + " lies outside the control packet of " +
                               std::to_string(ctrl_pkt_size_) + " bytes");
  }
}

void pellix_qel::appendDefaultIndices() {
  for (int32_t s = 0; s < num_subgraphs_; ++s) {
    wts_arg_idx_.push_back(ctrl_elf_ ? 4 : 3);
    ifm_arg_idx_.push_back(ctrl_elf_ ? 5 : 4);
    ofm_arg_idx_.push_back(ctrl_elf_ ? 6 : 5);
    ctrl_pkt_arg_idx_.push_back(ctrl_elf_ ? 3 : 6);
    spill_arg_idx_.push_back(7);
  }
}

void pellix_qel::readQemuTest() {
  if (const char* v = std::getenv("QEMU_TEST")) qemu_test_ = std::stoi(v) == 1;
}

}  // namespace korvanrt
