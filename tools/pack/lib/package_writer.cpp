#include "package_writer.hpp"

#include <flatbuffers/flatbuffers.h>

#include <fstream>
#include <set>
#include <stdexcept>

#include "npy_file.hpp"
#include "package_generated.h"
#include "partition_plan.hpp"
#include "reference_model.hpp"

namespace korvan::pack {

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::ordered_json;

void writeFile(const fs::path& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}
void writeFile(const fs::path& path, const std::string& text) {
  writeFile(path, text.data(), text.size());
}
void writeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  writeFile(path, bytes.data(), bytes.size());
}

// Transaction binaries are "ml_txn.bin"; ELF modules take a name without
// "ctrl.elf" in it, so that the runtime keeps the data-argument order.
const char* programFileName(const PartitionFiles& f) {
  return f.isElf ? "ml_txn.elf" : "ml_txn.bin";
}

void writePartitionFiles(const fs::path& dir, const PartitionFiles& f, bool textWeights) {
  fs::create_directories(dir);
  if (!f.hsiJson.empty()) writeFile(dir / "korvanrt-hsi.json", f.hsiJson);
  writeFile(dir / programFileName(f), f.program);
  writeFile(dir / "external_buffer_id.json", f.externalBufferJson);
  if (!f.ctrlPkt.empty()) {
    writeFile(dir / "ctrl_pkt0.bin", f.ctrlPkt);
    writeFile(dir / "ctrlPktPatch.json", f.ctrlPktPatchJson);
  }
  if (!f.weights.empty()) {
    if (textWeights)
      writeFile(dir / "wts32.txt", f.weightsText);
    else
      writeFile(dir / "wts32.bin", f.weights);
  }
}

std::vector<std::uint8_t> bytesOf(const std::string& s) {
  return {s.begin(), s.end()};
}

}  // namespace

void writeDirectoryPackage(const ModelDescription& model, const fs::path& modelDir) {
  // Plan everything first, so a description fault leaves no half package.
  // The reference run checks every program operand against its buffer.
  reference::computeReference(model);
  std::vector<PartitionFiles> parts;
  if (model.kind == PackageKind::customGraph) {
    for (std::size_t m = 0; m < model.operators.size(); ++m)
      parts.push_back(planOperator(model, m));
  } else {
    for (std::size_t p = 0; p < model.partitions.size(); ++p)
      parts.push_back(planPartition(model, p));
  }
  fs::create_directories(modelDir);
  const auto container = containerBytes();
  switch (model.kind) {
    case PackageKind::plain:
      writeFile(modelDir / "partition-info.json", partitionInfoJson(model));
      for (std::size_t p = 0; p < parts.size(); ++p) {
        const auto dir = modelDir / std::to_string(p);
        writePartitionFiles(dir, parts[p], model.textWeights);
        writeFile(dir / containerName(model), container);
      }
      break;
    case PackageKind::customOp: {
      const auto dir = modelDir / "0";
      writePartitionFiles(dir, parts[0], model.textWeights);
      writeFile(dir / containerName(model), container);
      writeFile(dir / "custom_op_metadata.json",
                customOpMetadata(model.opName, model.opInput, model.opOutput, ""));
      break;
    }
    case PackageKind::customGraph: {
      writeFile(modelDir / "custom_graph_metadata.json", customGraphMetadata(model));
      writeFile(modelDir / "ctrl_pkt0.bin", parts[0].ctrlPkt);
      const auto root = modelDir.parent_path();
      writeFile(root / "unified-custom-ops.fabpak", container);
      for (std::size_t m = 0; m < parts.size(); ++m) {
        const auto& op = model.operators[m];
        const auto dir = root / op.name / "0";
        writePartitionFiles(dir, parts[m], false);
        writeFile(dir / "custom_op_metadata.json",
                  customOpMetadata(op.name, op.input, op.output, op.weights));
      }
      break;
    }
  }
}

std::vector<std::uint8_t> buildMemoryPackage(const std::vector<ModelDescription>& models) {
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<trelm::fbs::ModelEntry>> entries;
  std::set<std::string> names, containers;
  for (const auto& model : models) {
    reference::computeReference(model);
    if (!names.insert(model.name).second)
      throw DescriptionError("name", "two models are named \"" + model.name + "\"");
    containers.insert(containerName(model));
    std::vector<flatbuffers::Offset<trelm::fbs::SubPartition>> subs;
    std::vector<flatbuffers::Offset<flatbuffers::String>> customOps;
    std::vector<PartitionFiles> parts;
    std::string hsi;
    if (model.kind == PackageKind::customGraph) {
      // One sub-partition: the graph description with the first operator's
      // program and buffers; the operator list marks the graph.
      parts.push_back(planOperator(model, 0));
      hsi = customGraphMetadata(model);
      for (const auto& op : model.operators) customOps.push_back(fbb.CreateString(op.name));
    } else {
      for (std::size_t p = 0; p < model.partitions.size(); ++p)
        parts.push_back(planPartition(model, p));
    }
    for (const auto& f : parts) {
      const auto hsiBytes = bytesOf(hsi.empty() ? f.hsiJson : hsi);
      const auto ext = bytesOf(f.externalBufferJson);
      const auto patch = bytesOf(f.ctrlPktPatchJson);
      const auto binary = trelm::fbs::CreateBinaryDirect(
          fbb, f.isElf ? 1 : 0, f.isElf ? programFileName(f) : nullptr, &f.program,
          f.ctrlPkt.empty() ? nullptr : &f.ctrlPkt, patch.empty() ? nullptr : &patch);
      const auto txn = trelm::fbs::CreateTransaction(fbb, binary);
      flatbuffers::Offset<trelm::fbs::Weights> weights = 0;
      if (!f.weights.empty()) {
        const auto text = bytesOf(f.weightsText);
        weights = model.textWeights ? trelm::fbs::CreateWeightsDirect(fbb, 0, &text)
                                    : trelm::fbs::CreateWeightsDirect(fbb, 1, &f.weights);
      }
      subs.push_back(trelm::fbs::CreateSubPartitionDirect(
          fbb, &hsiBytes, &ext, containerName(model).c_str(), txn, weights));
    }
    const auto info = partitionInfoJson(model);
    entries.push_back(trelm::fbs::CreateModelEntryDirect(
        fbb, model.name.c_str(), customOps.empty() ? nullptr : &customOps,
        model.kind == PackageKind::plain ? info.c_str() : nullptr, &subs));
  }
  const auto container = containerBytes();
  std::vector<flatbuffers::Offset<trelm::fbs::SharedEntry>> shared;
  for (const auto& key : containers)
    shared.push_back(trelm::fbs::CreateSharedEntryDirect(fbb, key.c_str(), &container));
  fbb.Finish(trelm::fbs::CreateModelPackageDirect(fbb, &shared, &entries));
  return {fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize()};
}

void writeReference(const ModelDescription& model, const fs::path& dir) {
  const auto results = reference::computeReference(model);
  Json manifest;
  manifest["model"] = model.name;
  manifest["bfloat16_storage"] = "uint16 bit patterns ('<u2')";
  manifest["partitions"] = Json::array();
  for (std::size_t p = 0; p < results.size(); ++p) {
    const auto& part = model.partitions[p];
    Json entry;
    for (const auto& [kind, describedList, tensors] :
         {std::tuple{"input", &part.inputs, &results[p].inputs},
          std::tuple{"output", &part.outputs, &results[p].outputs}}) {
      const auto sub = dir / std::to_string(p) / kind;
      fs::create_directories(sub);
      Json list = Json::array();
      for (std::size_t i = 0; i < describedList->size(); ++i) {
        const auto& t = (*tensors)[i];
        const auto file = (*describedList)[i].name + ".npy";
        writeNpy(sub / file, t);
        Json shape = Json::array();
        for (auto d : t.shape) shape.push_back(d);
        list.push_back({{"name", (*describedList)[i].name},
                        {"file", std::to_string(p) + "/" + kind + "/" + file},
                        {"dtype", elementTypeName(t.type)},
                        {"shape", shape}});
      }
      entry[std::string(kind) + "s"] = list;
    }
    manifest["partitions"].push_back(entry);
  }
  writeFile(dir / "manifest.json", manifest.dump(2) + "\n");
}

void writeModel(const ModelDescription& model, const fs::path& outDir) {
  const auto root = outDir / model.name;
  writeDirectoryPackage(model, root / model.name);
  writeFile(root / (model.name + ".kpkg"), buildMemoryPackage({model}));
  writeReference(model, root / "reference");
}

}  // namespace korvan::pack
