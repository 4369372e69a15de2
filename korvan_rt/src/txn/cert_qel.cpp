#include "txn/cert_qel.hpp"

#include <rapidjson/document.h>

#include "txn/external_buffer_entry.hpp"

namespace korvanrt {

namespace {

std::vector<int32_t>* tableOf(cert_qel& q, BufferClass c) {
  switch (c) {
    case BufferClass::Input:
      return &q.ifm_arg_idx_;
    case BufferClass::Output:
      return &q.ofm_arg_idx_;
    case BufferClass::Weights:
      return &q.wts_arg_idx_;
    case BufferClass::Spill:
      return &q.spill_arg_idx_;
    default:
      return nullptr;
  }
}

}  // namespace

void cert_qel::set_argument(const qel::bo& weights, const qel::bo& input, const qel::bo& output,
                            const qel::bo& spill, uint32_t s, uint32_t b) {
  auto& run = runAt(s, b);
  for (const auto& m : externalBuffers(s).GetObject()) {
    const auto e = readExternalBufferEntry(m.value);
    if (auto* table = tableOf(*this, classifyBuffer(e.name, false)); table && e.qel_id <= 4)
      table->at(s) = static_cast<int32_t>(e.qel_id);
  }
  if (weights)
    run.set_arg_at_index(wts_arg_idx_[s], weights);
  else
    run.set_arg_at_index(wts_arg_idx_[s], uint32_t{0});
  run.set_arg_at_index(ifm_arg_idx_[s], input);
  run.set_arg_at_index(ofm_arg_idx_[s], output);
  if (spill) run.set_arg_at_index(spill_arg_idx_[s], spill);
}

void cert_qel::bindBufferSet(const BufferMaps& buffers, size_t b) {
  auto& run = runAt(0, static_cast<uint32_t>(b));
  for (const auto& m : externalBuffers(0).GetObject()) {
    const auto e = readExternalBufferEntry(m.value);
    if (elf_mode_) {
      const auto& named = buffers.at(b);
      if (auto it = named.find(std::string(e.name)); it != named.end())
        run.set_arg_at_index(static_cast<int>(e.qel_id), it->second);
    } else if (auto* table = tableOf(*this, classifyBuffer(e.name, false))) {
      table->at(0) = static_cast<int32_t>(e.qel_id);
    }
  }
}

void cert_qel::set_arguments(const AddressMaps& /*addresses*/, const BufferMaps& buffers,
                             const qel::bo& /*weights*/, const std::vector<qel::bo>& inputs,
                             const std::vector<qel::bo>& /*outputs*/,
                             const std::vector<qel::bo>& /*spills*/) {
  for (size_t b = 0; b < inputs.size(); ++b) bindBufferSet(buffers, b);
}

void cert_qel::patch_arguments(const AddressMaps& /*addresses*/, const BufferMaps& buffers,
                               const qel::bo& /*weights*/,
                               const std::vector<std::vector<qel::bo>>& /*inputs*/,
                               const std::vector<std::vector<qel::bo>>& /*outputs*/,
                               const std::vector<qel::bo>& /*spills*/,
                               const HWClusterParams& /*params*/, int32_t b) {
  checkBufferSet(b);
  bindBufferSet(buffers, static_cast<size_t>(b));
}

}  // namespace korvanrt
