// Kernel arguments of the runs and patching of the control packets.

#include <rapidjson/document.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "model/hw_cluster_params.hpp"
#include "txn/external_buffer_entry.hpp"
#include "txn/pellix_qel.hpp"

namespace korvanrt {

namespace {

constexpr uint64_t kLow48 = (uint64_t{1} << 48) - 1;

uint64_t loadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void storeLe(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void setZero4(qel::run& run, int index) {
  run.set_arg_at_index(index, uint32_t{0});
}

// Map lookups by a name held in JSON storage: the key string is reused per
// thread so that re-binding does not allocate once it has grown.
template <typename Map>
const typename Map::mapped_type& lookup(const Map& map, std::string_view name) {
  thread_local std::string key;
  key.assign(name);
  return map.at(key);
}

template <typename Map>
const typename Map::mapped_type* find(const Map& map, std::string_view name) {
  thread_local std::string key;
  key.assign(name);
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

int32_t& classTable(pellix_qel& q, BufferClass c, size_t s) {
  switch (c) {
    case BufferClass::Input:
      return q.ifm_arg_idx_.at(s);
    case BufferClass::Output:
      return q.ofm_arg_idx_.at(s);
    case BufferClass::Weights:
      return q.wts_arg_idx_.at(s);
    case BufferClass::Spill:
      return q.spill_arg_idx_.at(s);
    default:
      return q.ctrl_pkt_arg_idx_.at(s);
  }
}

std::string_view tensorName(const IOParams& p) {
  const auto* e = p.entry();
  if (e == nullptr || !e->IsObject()) throw std::runtime_error("Tensor entry is not an object");
  auto it = e->FindMember("name");
  if (it == e->MemberEnd() || !it->value.IsString())
    throw std::runtime_error("Tensor entry has no string \"name\"");
  return {it->value.GetString(), it->value.GetStringLength()};
}

}  // namespace

uint64_t pellix_qel::deviceAddress(const qel::bo& bo) {
  return bo ? bo.address() + kAddressOffset : 0;
}

uint64_t pellix_qel::deviceAddressOrZero(const qel::bo& bo) {
  try {
    return deviceAddress(bo);
  } catch (const std::exception&) {
    return 0;
  }
}

void pellix_qel::checkBufferSet(int64_t b) const {
  if (b < 0 || b >= num_buffer_sets_)
    throw std::out_of_range("Buffer set index " + std::to_string(b) + " is out of range (" +
                            std::to_string(num_buffer_sets_) + " buffer sets)");
}

qel::run& pellix_qel::runAt(uint32_t s, uint32_t b) {
  checkBufferSet(b);
  if (s >= static_cast<uint32_t>(num_subgraphs_))
    throw std::out_of_range("Subgraph index " + std::to_string(s) + " is out of range (" +
                            std::to_string(num_subgraphs_) + " subgraphs)");
  return runs_[static_cast<size_t>(b) * num_subgraphs_ + s];
}

const rapidjson::Value& pellix_qel::externalBuffers(size_t s) const {
  if (s >= external_buffers_.size() || !external_buffers_[s].IsObject())
    throw std::runtime_error("Subgraph " + std::to_string(s) +
                             " has no \"external_buffers\" object in its external_buffer_id.json");
  return external_buffers_[s];
}

void pellix_qel::writePatchedWord(size_t b, const ControlPacketPatch& patch, uint64_t address) {
  if (b >= ctrl_pkt_mapped_.size() || ctrl_pkt_mapped_[b] == nullptr)
    throw std::runtime_error("Control packet of buffer set " + std::to_string(b) +
                             " was not loaded; cannot patch " + patch.name);
  if (patch.offset < 0 || static_cast<uint64_t>(patch.offset) + 8 > ctrl_pkt_size_)
    throw std::runtime_error("Control packet patch of " + patch.name + " at offset " +
                             std::to_string(patch.offset) + " lies outside the control packet");
  const auto offset = static_cast<size_t>(patch.offset);
  const uint64_t value = (loadLe64(ctrl_pkt_pristine_[b].data() + offset) & kLow48) + address;
  uint8_t* word = ctrl_pkt_mapped_[b] + offset;
  storeLe(word, value, 4);
  storeLe(word + 4, value >> 32, 2);
}

void pellix_qel::set_argument(const qel::bo& weights, const qel::bo& input, const qel::bo& output,
                              const qel::bo& spill, uint32_t s, uint32_t b) {
  auto& run = runAt(s, b);
  const uint64_t wts = deviceAddressOrZero(weights);
  const uint64_t ifm = deviceAddressOrZero(input);
  const uint64_t ofm = deviceAddressOrZero(output);
  const uint64_t spl = deviceAddressOrZero(spill);

  for (const auto& m : externalBuffers(s).GetObject()) {
    const auto e = readExternalBufferEntry(m.value);
    const auto c = classifyBuffer(e.name, true);
    if (c != BufferClass::None && e.qel_id <= 4)
      classTable(*this, c, s) = static_cast<int32_t>(e.qel_id) + 3;
  }

  if (elf_mode_) {
    run.set_arg_at_index(0, uint64_t{3});
    setZero4(run, 1);
    setZero4(run, 2);
    if (weights)
      run.set_arg_at_index(wts_arg_idx_[s], weights);
    else
      setZero4(run, wts_arg_idx_[s]);
    run.set_arg_at_index(ifm_arg_idx_[s], input);
    run.set_arg_at_index(ofm_arg_idx_[s], output);
    if (spill) run.set_arg_at_index(spill_arg_idx_[s], spill);
    return;
  }
  const auto& instr = instr_bos_.at(s);
  run.set_arg_at_index(0, uint64_t{2});
  run.set_arg_at_index(1, instr);
  run.set_arg_at_index(2, uint64_t{instr.size() / 4});
  run.set_arg_at_index(wts_arg_idx_[s], wts);
  run.set_arg_at_index(ifm_arg_idx_[s], ifm);
  run.set_arg_at_index(ofm_arg_idx_[s], ofm);
  run.set_arg_at_index(ctrl_pkt_arg_idx_[s], uint64_t{0});
  if (spill) run.set_arg_at_index(spill_arg_idx_[s], spl);
}

void pellix_qel::patch_argument(const qel::bo& weights, const qel::bo& input, const qel::bo& output,
                                const qel::bo& spill, uint32_t s, uint32_t b) {
  auto& run = runAt(s, b);
  if (elf_mode_) {
    // Empty handles are treated as in set_argument: no weights bind four
    // zero bytes, no spill buffer leaves its argument as it is.
    if (weights)
      run.set_arg_at_index(wts_arg_idx_[s], weights);
    else
      setZero4(run, wts_arg_idx_[s]);
    run.set_arg_at_index(ifm_arg_idx_[s], input);
    run.set_arg_at_index(ofm_arg_idx_[s], output);
    if (spill) run.set_arg_at_index(spill_arg_idx_[s], spill);
    return;
  }
  run.set_arg_at_index(wts_arg_idx_[s], deviceAddressOrZero(weights));
  run.set_arg_at_index(ifm_arg_idx_[s], deviceAddressOrZero(input));
  run.set_arg_at_index(ofm_arg_idx_[s], deviceAddressOrZero(output));
  run.set_arg_at_index(spill_arg_idx_[s], deviceAddressOrZero(spill));
}

void pellix_qel::set_arguments(const AddressMaps& addresses, const BufferMaps& buffers,
                               const qel::bo& /*weights*/, const std::vector<qel::bo>& inputs,
                               const std::vector<qel::bo>& outputs,
                               const std::vector<qel::bo>& /*spills*/) {
  const auto& described = externalBuffers(0);
  for (size_t b = 0; b < inputs.size(); ++b) {
    auto& run = runAt(0, static_cast<uint32_t>(b));
    const uint64_t ifm = deviceAddress(inputs[b]);
    const uint64_t ofm = deviceAddress(outputs.at(b));
    uint64_t ctrlPkt = 0;

    if (patch_ctrl_pkt_) {
      if (b < ctrl_pkt_bos_.size()) ctrlPkt = deviceAddress(ctrl_pkt_bos_[b]);
      for (size_t k = 0; k < ctrl_pkt_patches_.size(); ++k) {
        const auto& patch = ctrl_pkt_patches_[k];
        auto& indices = patch_indices_[patch.name];
        if (std::find(indices.begin(), indices.end(), static_cast<int32_t>(k)) == indices.end())
          indices.push_back(static_cast<int32_t>(k));

        const auto& named = addresses.at(b);
        if (auto it = named.find(patch.name); it != named.end()) {
          writePatchedWord(b, patch, it->second + kAddressOffset);
        } else if (patch.name.find("ifm_ddr") != std::string::npos) {
          writePatchedWord(b, patch, ifm);
        } else if (patch.name.find("ofm_ddr") != std::string::npos) {
          writePatchedWord(b, patch, ofm);
        } else if (patch.name.find("wts_ddr") != std::string::npos ||
                   patch.name.find("spill") != std::string::npos) {
          writePatchedWord(b, patch, 0);
        } else {
          std::cerr << "Fully qualified name " << patch.name
                    << " does not contain ifm_ddr, wts_ddr or ofm_ddr!" << std::endl;
        }
      }
      if (b < ctrl_pkt_bos_.size() && ctrl_pkt_bos_[b])
        ctrl_pkt_bos_[b].sync(qel::bo::direction::to_device);
    }

    for (const auto& m : described.GetObject()) {
      const auto e = readExternalBufferEntry(m.value);
      // Every described name is recorded here, so that later re-binding only
      // reads this map (it may run on several threads at once).
      qel_id_by_name_.insert_or_assign(std::string(e.name), static_cast<int32_t>(e.qel_id));
      const auto* bo = find(buffers.at(b), e.name);
      if (bo == nullptr) continue;
      if (elf_mode_)
        run.set_arg_at_index(static_cast<int>(e.qel_id) + 3, *bo);
      else if (e.qel_id <= 4)
        run.set_arg_at_index(static_cast<int>(e.qel_id) + 3, deviceAddress(*bo));
    }

    if (elf_mode_) {
      run.set_arg_at_index(0, uint64_t{3});
      setZero4(run, 1);
      setZero4(run, 2);
    } else {
      const auto& instr = instr_bos_.at(0);
      run.set_arg_at_index(0, uint64_t{2});
      run.set_arg_at_index(1, instr);
      run.set_arg_at_index(2, uint64_t{instr.size() / 4});
      run.set_arg_at_index(ctrl_pkt_arg_idx_[0], patch_ctrl_pkt_ ? ctrlPkt : uint64_t{0});
    }
  }
}

void pellix_qel::patch_arguments(const AddressMaps& addresses, const BufferMaps& buffers,
                                 const qel::bo& weights,
                                 const std::vector<std::vector<qel::bo>>& inputs,
                                 const std::vector<std::vector<qel::bo>>& outputs,
                                 const std::vector<qel::bo>& spills, const HWClusterParams& params,
                                 int32_t b) {
  auto& run = runAt(0, static_cast<uint32_t>(b));
  const auto& named = addresses.at(b);
  // A name that set_arguments did not record binds slot 0.
  auto slotOf = [&](std::string_view name) {
    auto it = qel_id_by_name_.find(name);
    return it == qel_id_by_name_.end() ? 0 : it->second;
  };
  auto bindLayers = [&](const qel::bo& bo, std::string_view key,
                        const std::vector<std::string>& layers) {
    const int32_t id = slotOf(key);
    if (elf_mode_)
      run.set_arg_at_index(id + 3, bo);
    else if (id <= 4)
      run.set_arg_at_index(id + 3, deviceAddress(bo));
    if (patch_ctrl_pkt_)
      for (const auto& name : layers) get_addr_and_apply(named.at(name) + kAddressOffset, b, name);
  };
  auto bindTensors = [&](uint32_t count, auto entryAt) {
    for (uint32_t j = 0; j < count; ++j) {
      const auto name = tensorName(entryAt(j));
      const uint64_t a = lookup(named, name) + kAddressOffset;
      const int32_t id = slotOf(name);
      if (elf_mode_)
        run.set_arg_at_index(id + 3, lookup(buffers.at(b), name));
      else if (id <= 4)
        run.set_arg_at_index(id + 3, a);
      if (patch_ctrl_pkt_) {
        auto it = patch_indices_.find(name);
        if (it == patch_indices_.end())
          throw std::runtime_error("buffer name " + std::string(name) +
                                   " was not added during control packet evaulation from "
                                   "external_buffer_id.json" +
                                   "unordered_map::at");
        for (int32_t k : it->second) writePatchedWord(b, ctrl_pkt_patches_[k], a);
      }
    }
  };

  if (weights) bindLayers(weights, "coalesed_weights", params.weightNames());
  if (!spills.empty() && spills.front())
    bindLayers(spills.front(), "coalesed_spills", params.spillNames());
  if (static_cast<size_t>(b) < inputs.size() && !inputs[b].empty())
    bindTensors(params.numInputs(), [&](uint32_t j) { return params.getInput(j); });
  if (static_cast<size_t>(b) < outputs.size() && !outputs[b].empty())
    bindTensors(params.numOutputs(), [&](uint32_t j) { return params.getOutput(j); });
  if (patch_ctrl_pkt_ && static_cast<size_t>(b) < ctrl_pkt_bos_.size() && ctrl_pkt_bos_[b])
    ctrl_pkt_bos_[b].sync(qel::bo::direction::to_device);
}

void pellix_qel::get_addr_and_apply(uint64_t address, int32_t b, const std::string& name) {
  checkBufferSet(b);
  auto it = patch_indices_.find(name);
  if (it == patch_indices_.end())
    throw std::runtime_error("buffer name " + name +
                             " was not added during control packet evaulation from "
                             "external_buffer_id.json" +
                             "unordered_map::at");
  for (int32_t k : it->second)
    writePatchedWord(static_cast<size_t>(b), ctrl_pkt_patches_[k], address);
}

}  // namespace korvanrt
