#include "partition_plan.hpp"

#include <zlib.h>

#include <cstdio>
#include <map>
#include <stdexcept>

#include "qel/fabpak_builder.hpp"
#include "qel/program_builder.hpp"
#include "qel/uuid.hpp"
#include "reference_model.hpp"

namespace korvan::pack {

namespace {

using Json = nlohmann::ordered_json;
using qel::program::operand;

constexpr std::uint64_t kAlign = 64;
constexpr std::uint64_t kPatchBits = 6;  // bytes of the 48-bit address field

std::uint64_t alignUp(std::uint64_t v) {
  return (v + kAlign - 1) / kAlign * kAlign;
}

std::string dump(const Json& j) {
  return j.dump(2) + "\n";
}

Json shapeJson(const std::vector<std::uint64_t>& shape) {
  Json a = Json::array();
  for (auto d : shape) a.push_back(d);
  return a;
}

Json tensorJson(const TensorDesc& t) {
  Json e;
  e["name"] = t.name;
  e["scale_factor"] = t.scale;
  if (t.zeroPoint) e["zero_point"] = *t.zeroPoint;
  e["cpu_format"] = t.cpuFormat;
  e["cpu_dtype"] = elementTypeName(t.cpuType);
  e["cpu_shape"] = shapeJson(t.cpuShape);
  e["hw_format"] = t.hwFormat;
  e["hw_dtype"] = elementTypeName(t.hwType);
  e["hw_shape"] = shapeJson(t.hwShape);
  if (!t.rtTransformations.is_null()) e["rt_transformations"] = t.rtTransformations;
  return e;
}

Json patchLocation(std::uint64_t slot) {
  return Json::array({{{"offset", slot * 8}, {"size", kPatchBits}, {"operation", "add"}}});
}

// Where each named buffer of a partition lives: its control-packet slot and,
// for weight and spill layers, the byte offset inside the coalesced buffer.
struct Layout {
  std::map<std::string, std::uint64_t> slot;
  std::map<std::string, std::uint64_t> offset;   // weights and spills
  std::map<std::string, std::uint64_t> padding;  // inputs and outputs
  std::map<std::string, int> qelId;              // ELF form: argument slot
  std::vector<std::uint8_t> weights;
  std::uint64_t spillBytes = 0;
  std::uint64_t slots = 0;
};

Layout layoutOf(const PartitionDesc& part) {
  Layout l;
  auto addSlot = [&](const std::string& name) { l.slot[name] = l.slots++; };
  for (const auto& t : part.inputs) addSlot(t.name), l.padding[t.name] = t.paddingBefore;
  for (const auto& t : part.outputs) addSlot(t.name), l.padding[t.name] = t.paddingBefore;
  for (const auto& w : part.weights) {
    addSlot(w.name);
    const auto at = alignUp(l.weights.size());
    const auto bytes = reference::encodeWeight(w);
    l.weights.resize(at, 0);
    l.weights.insert(l.weights.end(), bytes.begin(), bytes.end());
    l.offset[w.name] = at;
    l.qelId[w.name] = kWeightsQelId;
  }
  l.weights.resize((l.weights.size() + 3) / 4 * 4, 0);
  for (const auto& s : part.spills) {
    addSlot(s.name);
    l.spillBytes = alignUp(l.spillBytes);
    l.offset[s.name] = l.spillBytes;
    l.spillBytes += s.size;
    l.qelId[s.name] = kSpillQelId;
  }
  if (!part.inputs.empty()) l.qelId[part.inputs[0].name] = kInputQelId;
  if (!part.outputs.empty()) l.qelId[part.outputs[0].name] = kOutputQelId;
  return l;
}

// Assembles a program, mapping each operand through `place`.
template <typename Place>
std::vector<char> assemble(const std::vector<OpDesc>& program, const std::string& where,
                           Place&& place) {
  qel::program::builder b;
  for (std::size_t i = 0; i < program.size(); ++i) {
    const auto& op = program[i];
    const auto f = where + "[" + std::to_string(i) + "]";
    auto at = [&](const OperandDesc& o, const char* role) { return place(o, f + "." + role); };
    switch (op.kind) {
      case OpKind::copy:
        b.copy(at(op.dst, "dst"), at(op.src, "src"), op.bytes);
        break;
      case OpKind::fill:
        b.fill(at(op.dst, "dst"), op.value, op.bytes);
        break;
      case OpKind::add: {
        const auto type = op.addType == ElementType::bf16   ? qel::program::element_type::bf16
                          : op.addType == ElementType::int8 ? qel::program::element_type::int8
                                                            : qel::program::element_type::fp32;
        b.add(type, at(op.dst, "dst"), at(op.a, "a"), at(op.b, "b"), op.count);
        break;
      }
      case OpKind::conv1x1_bf16:
      case OpKind::conv1x1_int8: {
        const qel::program::conv_shape shape{op.height, op.width, op.batch, op.inChannels,
                                             op.outChannels};
        const auto bias = op.bias ? at(*op.bias, "bias") : operand::none();
        if (op.kind == OpKind::conv1x1_bf16)
          b.conv1x1_bf16(shape, at(op.dst, "dst"), at(op.src, "src"), at(op.weights, "weights"),
                         bias, op.relu);
        else
          b.conv1x1_int8(shape, {op.inZero, op.outZero, op.multiplier, op.shift}, at(op.dst, "dst"),
                         at(op.src, "src"), at(op.weights, "weights"), bias, op.relu);
        break;
      }
    }
  }
  return b.transaction();
}

std::vector<std::uint8_t> bytesOf(const std::vector<char>& v) {
  return {v.begin(), v.end()};
}

std::vector<std::uint8_t> deflate(const std::vector<char>& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::vector<std::uint8_t> out(size);
  if (compress2(out.data(), &size, reinterpret_cast<const Bytef*>(data.data()),
                static_cast<uLong>(data.size()), Z_BEST_COMPRESSION) != Z_OK)
    throw std::runtime_error("zlib compression of the ELF module failed");
  out.resize(size);
  return out;
}

std::string wordsText(const std::vector<std::uint8_t>& image) {
  std::string text;
  char word[16];
  for (std::size_t i = 0; i + 4 <= image.size(); i += 4) {
    const std::uint32_t v = image[i] | (image[i + 1] << 8) | (image[i + 2] << 16) |
                            (static_cast<std::uint32_t>(image[i + 3]) << 24);
    std::snprintf(word, sizeof word, "%08x\n", v);
    text += word;
  }
  return text;
}

std::string flatPatchJson(const Json& externalBuffers) {
  Json patches = Json::object();
  std::size_t n = 0;
  auto add = [&](const Json& holder) {
    for (const auto& loc : holder.at("control_packet_patch_locations")) {
      Json p = loc;
      p["name"] = holder.at("name");
      patches["patch_" + std::to_string(n++)] = p;
    }
  };
  for (const auto& [key, entry] : externalBuffers.items()) {
    if (entry.at("name") == "runtime_control_packet") continue;
    if (entry.contains("coalesed_buffers"))
      for (const auto& c : entry.at("coalesed_buffers")) add(c);
    else
      add(entry);
  }
  return dump({{"offset_unit", "byte"}, {"size_unit", "byte"}, {"control_packet_patch", patches}});
}

// Tensor entries of external_buffer_id.json; the first input and output take
// the argument slots, further ones are reached through the control packet.
void addTensorEntries(Json& buffers, const PartitionDesc& part, const Layout& l, bool patches,
                      std::size_t& n) {
  int extraId = kSpillQelId + 1;
  auto add = [&](const TensorDesc& t, int id) {
    Json e;
    e["name"] = t.name;
    e["qel_id"] = id;
    e["size_in_bytes"] = t.paddingBefore + t.hwBytes();
    if (t.paddingBefore) e["extra_padding_before"] = t.paddingBefore;
    if (patches) e["control_packet_patch_locations"] = patchLocation(l.slot.at(t.name));
    buffers["buffer_" + std::to_string(n++)] = e;
  };
  for (std::size_t i = 0; i < part.inputs.size(); ++i)
    add(part.inputs[i], i == 0 ? kInputQelId : extraId++);
  for (std::size_t i = 0; i < part.outputs.size(); ++i)
    add(part.outputs[i], i == 0 ? kOutputQelId : extraId++);
}

void addCoalesced(Json& buffers, const char* name, int qelId, std::uint64_t size,
                  const std::vector<std::string>& layers, const Layout& l, bool patches,
                  std::size_t& n) {
  if (layers.empty()) return;
  Json list = Json::array();
  for (std::size_t k = 0; k < layers.size(); ++k) {
    Json c;
    c["logical_id"] = k;
    c["name"] = layers[k];
    c["offset_in_bytes"] = l.offset.at(layers[k]);
    if (patches) c["control_packet_patch_locations"] = patchLocation(l.slot.at(layers[k]));
    list.push_back(c);
  }
  buffers["buffer_" + std::to_string(n++)] = {
      {"name", name}, {"qel_id", qelId}, {"size_in_bytes", size}, {"coalesed_buffers", list}};
}

void addControlPacket(Json& buffers, std::uint64_t size, std::size_t& n) {
  buffers["buffer_" + std::to_string(n++)] = {
      {"name", "runtime_control_packet"}, {"qel_id", kControlPacketQelId}, {"size_in_bytes", size}};
}

std::uint64_t ctrlPktSize(const Layout& l) {
  return std::max<std::uint64_t>(8, l.slots * 8);
}

// Operands of a custom operator: only its bound arguments.
operand boundArgument(const OperandDesc& o, const std::string& field) {
  if (o.buffer == "weights") return operand::argument(kWeightsQelId + 3, o.offset);
  if (o.buffer == "input") return operand::argument(kInputQelId + 3, o.offset);
  if (o.buffer == "output") return operand::argument(kOutputQelId + 3, o.offset);
  throw DescriptionError(field, "\"" + o.buffer +
                                    "\": a custom operator reaches only input, output and "
                                    "weights");
}

}  // namespace

PartitionFiles planPartition(const ModelDescription& model, std::size_t index) {
  const auto& part = model.partitions.at(index);
  const auto where = "partitions[" + std::to_string(index) + "]";
  const Layout l = layoutOf(part);
  const bool elf = model.form == ProgramForm::elf;
  const bool customOp = model.kind == PackageKind::customOp;
  PartitionFiles files;

  Json hsi;
  hsi["inputs"] = Json::array();
  for (const auto& t : part.inputs) hsi["inputs"].push_back(tensorJson(t));
  hsi["outputs"] = Json::array();
  for (const auto& t : part.outputs) hsi["outputs"].push_back(tensorJson(t));
  std::vector<std::string> weightNames, spillNames;
  if (!part.weights.empty()) {
    Json layers = Json::array();
    for (const auto& w : part.weights) {
      layers.push_back({{"name", w.name}, {"offset", l.offset.at(w.name) / 4}});
      weightNames.push_back(w.name);
    }
    hsi["weights"] = {{"layers", layers}};
  }
  if (!part.spills.empty()) {
    Json layers = Json::array();
    for (const auto& s : part.spills) {
      layers.push_back({{"name", s.name}, {"offset", l.offset.at(s.name)}});
      spillNames.push_back(s.name);
    }
    hsi["spills"] = {{"layers", layers}};
  }
  if (!model.fabpakName.empty()) hsi["fabpak_name"] = model.fabpakName;
  if (model.deviceBatchSize) hsi["device_batch_size"] = *model.deviceBatchSize;
  files.hsiJson = dump(hsi);

  if (elf) {
    if (part.inputs.size() != 1)
      throw DescriptionError(where + ".inputs", "the ELF form takes exactly one input");
    if (part.outputs.size() != 1)
      throw DescriptionError(where + ".outputs", "the ELF form takes exactly one output");
  }
  Json buffers = Json::object();
  std::size_t n = 0;
  const bool patches = !elf;
  addCoalesced(buffers, "coalesed_weights", kWeightsQelId, l.weights.size(), weightNames, l,
               patches, n);
  addTensorEntries(buffers, part, l, patches, n);
  if (!elf) addControlPacket(buffers, ctrlPktSize(l), n);
  addCoalesced(buffers, "coalesed_spills", kSpillQelId, l.spillBytes, spillNames, l, patches, n);
  files.externalBufferJson = dump({{"external_buffers", buffers}});
  if (!elf) {
    files.ctrlPktPatchJson = flatPatchJson(buffers);
    files.ctrlPkt.assign(ctrlPktSize(l), 0);
  }

  // Device program: the bytes a program names are found through the control
  // packet (transaction binaries) or through the kernel arguments (ELF).
  auto place = [&](const OperandDesc& o, const std::string& field) -> operand {
    if (customOp) return boundArgument(o, field);
    if (!l.slot.count(o.buffer))
      throw DescriptionError(field, "\"" + o.buffer + "\" names no buffer of the partition");
    std::uint64_t inside = o.offset;
    if (auto p = l.padding.find(o.buffer); p != l.padding.end()) inside += p->second;
    if (!elf) return operand::control_word(kControlPacketArgument, l.slot.at(o.buffer) * 8, inside);
    if (auto off = l.offset.find(o.buffer); off != l.offset.end()) inside += off->second;
    return operand::argument(
        static_cast<std::uint8_t>(model.elfArgumentBase + l.qelId.at(o.buffer)), inside);
  };
  const auto txn = assemble(part.program, where + ".program", place);
  if (elf) {
    const auto module = qel::program::make_elf(txn);
    files.program = model.compressElf ? deflate(module) : bytesOf(module);
    files.isElf = true;
  } else {
    files.program = bytesOf(txn);
  }
  files.weights = l.weights;
  files.weightsText = wordsText(l.weights);
  return files;
}

PartitionFiles planOperator(const ModelDescription& model, std::size_t index) {
  const auto& op = model.operators.at(index);
  const auto where = "operators[" + std::to_string(index) + "]";
  PartitionFiles files;
  // The operator's view of its buffers: one input, one output, in the
  // argument slots; every entry carries a patch location because the
  // runtime's reader requires one in the transaction form.
  const auto& part = model.partitions[0];
  auto sizeOf = [&](const std::string& name, const std::string& field) -> std::uint64_t {
    const auto under = name.find("ddr_");
    std::size_t i = 0;
    try {
      if (under == std::string::npos) throw std::invalid_argument(name);
      std::size_t used = 0;
      i = std::stoul(name.substr(under + 4), &used);
      if (under + 4 + used != name.size()) throw std::invalid_argument(name);
    } catch (const std::logic_error&) {
      throw DescriptionError(field,
                             "\"" + name + "\" is not ifm_ddr_<i>, ofm_ddr_<i> or spill_ddr_<i>");
    }
    if (name.rfind("ifm_ddr_", 0) == 0 && i < part.inputs.size()) return part.inputs[i].hwBytes();
    if (name.rfind("ofm_ddr_", 0) == 0 && i < part.outputs.size()) return part.outputs[i].hwBytes();
    if (name.rfind("spill_ddr_", 0) == 0 && i < part.spills.size()) return part.spills[i].size;
    throw DescriptionError(field, "\"" + name + "\" names no graph input, output or spill");
  };
  Json buffers = Json::object();
  buffers["buffer_0"] = {{"name", op.input},
                         {"qel_id", kInputQelId},
                         {"size_in_bytes", sizeOf(op.input, where + ".input")},
                         {"control_packet_patch_locations", patchLocation(0)}};
  buffers["buffer_1"] = {{"name", op.output},
                         {"qel_id", kOutputQelId},
                         {"size_in_bytes", sizeOf(op.output, where + ".output")},
                         {"control_packet_patch_locations", patchLocation(1)}};
  // Graph inputs and outputs keep their sizes here, under their own names
  // (the runtime sizes the graph's buffers from the first operator's file).
  std::size_t n = 2;
  for (const auto* list : {&part.inputs, &part.outputs})
    for (const auto& t : *list) {
      if (t.name == op.input || t.name == op.output) continue;
      buffers["buffer_" + std::to_string(n++)] = {
          {"name", t.name},
          {"qel_id", 9},
          {"size_in_bytes", t.hwBytes()},
          {"control_packet_patch_locations", patchLocation(2)}};
    }
  addControlPacket(buffers, 24, n);
  files.externalBufferJson = dump({{"external_buffers", buffers}});
  files.ctrlPktPatchJson = flatPatchJson(buffers);
  files.ctrlPkt.assign(24, 0);
  files.program = bytesOf(assemble(op.program, where + ".program", boundArgument));
  return files;
}

std::string customGraphMetadata(const ModelDescription& model) {
  const auto& part = model.partitions[0];
  Json doc;
  doc["inputs"] = Json::array();
  for (const auto& t : part.inputs) doc["inputs"].push_back(tensorJson(t));
  doc["outputs"] = Json::array();
  for (const auto& t : part.outputs) doc["outputs"].push_back(tensorJson(t));
  if (!part.spills.empty()) {
    // One spill buffer per layer, each of its own size.
    Json layers = Json::array();
    for (const auto& s : part.spills)
      layers.push_back({{"name", s.name}, {"offset", 0}, {"size", s.size}});
    doc["spills"] = {{"layers", layers}};
  }
  if (model.deviceBatchSize) doc["device_batch_size"] = *model.deviceBatchSize;
  doc["custom_ops_list"] = Json::array();
  doc["connectivity"] = Json::array();
  for (const auto& op : model.operators) {
    doc["custom_ops_list"].push_back(op.name);
    Json c = {{"inputs", {op.input}}, {"outputs", {op.output}}};
    if (!op.weights.empty()) c["weights"] = {op.weights};
    doc["connectivity"].push_back(c);
  }
  return dump(doc);
}

std::string customOpMetadata(const std::string& name, const std::string& input,
                             const std::string& output, const std::string& weights) {
  Json c = {{"inputs", {input}}, {"outputs", {output}}};
  if (!weights.empty()) c["weights"] = {weights};
  return dump({{"op_name", name}, {"connectivity", Json::array({c})}});
}

std::string partitionInfoJson(const ModelDescription& model) {
  Json doc;
  doc["compiler"] = "korvan-pack";
  doc["modelname"] = model.name;
  doc["runner_type"] = "hw";
  doc["num_kte_partitions"] = model.partitions.size();
  doc["vistrel_profiling_enabled"] = false;
  return dump(doc);
}

std::vector<std::uint8_t> containerBytes() {
  const auto id = qel::uuid::from_string("6b6f7276-616e-2d70-6163-6b0000000001");
  return bytesOf(qel::fabpak_builder(id).add_kernel("DPU").build());
}

std::string containerName(const ModelDescription& model) {
  return model.fabpakName.empty() ? "unified-4x4.fabpak" : model.fabpakName;
}

}  // namespace korvan::pack
