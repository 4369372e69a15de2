// Every example is written in both forms; the runtime's description parsers
// read back what was written.

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <set>

#include "core/file_io_api.hpp"
#include "example_models.hpp"
#include "model/hw_cluster_params.hpp"
#include "model/package.hpp"
#include "npy_file.hpp"
#include "package_generated.h"

namespace {

namespace fs = std::filesystem;
using korvan::pack::PackageKind;
using Json = nlohmann::ordered_json;

std::vector<std::uint32_t> u32(const std::vector<std::uint64_t>& v) {
  return {v.begin(), v.end()};
}

// The parsed description holds the described tensors, in order.
void expectTensors(const korvanrt::HWClusterParams& params,
                   const korvan::pack::PartitionDesc& part) {
  ASSERT_EQ(params.numInputs(), part.inputs.size());
  ASSERT_EQ(params.numOutputs(), part.outputs.size());
  for (std::size_t i = 0; i < part.inputs.size(); ++i) {
    const auto in = params.getInput(i);
    EXPECT_EQ(in.name(), part.inputs[i].name);
    EXPECT_EQ(in.hwShape().dims(), u32(part.inputs[i].hwShape));
    EXPECT_EQ(in.cpuShape().dims(), u32(part.inputs[i].cpuShape));
    EXPECT_EQ(in.hwDtype(), korvan::pack::elementTypeName(part.inputs[i].hwType));
    EXPECT_EQ(in.numRtTransforms(), part.inputs[i].rtTransformations.size());
  }
  for (std::size_t i = 0; i < part.outputs.size(); ++i)
    EXPECT_EQ(params.getOutput(i).name(), part.outputs[i].name);
  std::vector<std::string> weights, spills;
  for (const auto& w : part.weights) weights.push_back(w.name);
  for (const auto& s : part.spills) spills.push_back(s.name);
  EXPECT_EQ(params.weightNames(), weights);
  EXPECT_EQ(params.spillNames(), spills);
}

// Patch names must be buffers the runtime knows by name, and each patch
// lies inside the control packet.
void expectPatchesResolve(const std::string& extJson, std::size_t ctrlSize,
                          const korvan::pack::PartitionDesc& part) {
  std::set<std::string> known;
  for (const auto* list : {&part.inputs, &part.outputs})
    for (const auto& t : *list) known.insert(t.name);
  for (const auto& w : part.weights) known.insert(w.name);
  for (const auto& s : part.spills) known.insert(s.name);
  const auto doc = Json::parse(extJson);
  for (const auto& [key, entry] : doc.at("external_buffers").items()) {
    if (entry.at("name") == "runtime_control_packet") {
      EXPECT_EQ(entry.at("size_in_bytes"), ctrlSize);
      continue;
    }
    const auto holders =
        entry.contains("coalesed_buffers") ? entry.at("coalesed_buffers") : Json::array({entry});
    for (const auto& h : holders) {
      EXPECT_TRUE(known.count(h.at("name"))) << h.at("name");
      for (const auto& loc : h.at("control_packet_patch_locations"))
        EXPECT_LE(loc.at("offset").get<std::size_t>() + 8, ctrlSize);
    }
  }
}

TEST(PackPackage, DirectoryFormReadsBack) {
  korvanrt::IOAPI io;
  for (const auto& e : pack_test::loadExamples()) {
    SCOPED_TRACE(e.file);
    const auto root = pack_test::writtenExamples() / e.model.name;
    const auto modelDir = root / e.model.name;
    const auto& part0 = e.model.partitions[0];
    if (e.model.kind == PackageKind::customGraph) {
      // The graph description is read like a partition description.
      auto reader = io.open_reader((modelDir / "custom_graph_metadata.json").c_str());
      korvanrt::HWClusterParams params(reader.get(), false);
      expectTensors(params, part0);
      const auto meta = Json::parse(pack_test::readText(modelDir / "custom_graph_metadata.json"));
      ASSERT_EQ(meta.at("custom_ops_list").size(), e.model.operators.size());
      ASSERT_EQ(meta.at("connectivity").size(), e.model.operators.size());
      EXPECT_TRUE(fs::exists(root / "unified-custom-ops.fabpak"));
      EXPECT_TRUE(fs::exists(modelDir / "ctrl_pkt0.bin"));
      for (const auto& op : e.model.operators)
        for (const char* f : {"ml_txn.bin", "external_buffer_id.json", "custom_op_metadata.json"})
          EXPECT_TRUE(fs::exists(root / op.name / "0" / f)) << op.name << "/" << f;
      continue;
    }
    if (e.model.kind == PackageKind::plain) {
      const auto info = Json::parse(pack_test::readText(modelDir / "partition-info.json"));
      EXPECT_EQ(info.at("modelname"), e.model.name);
      EXPECT_EQ(info.at("num_kte_partitions"), e.model.partitions.size());
      EXPECT_EQ(info.at("vistrel_profiling_enabled"), false);
    } else {
      EXPECT_FALSE(fs::exists(modelDir / "partition-info.json"));
      const auto meta =
          Json::parse(pack_test::readText(modelDir / "0" / "custom_op_metadata.json"));
      EXPECT_EQ(meta.at("op_name"), e.model.opName);
      EXPECT_TRUE(meta.at("connectivity").is_array());
    }
    for (std::size_t p = 0; p < e.model.partitions.size(); ++p) {
      const auto dir = modelDir / std::to_string(p);
      auto reader = io.open_reader((dir / "korvanrt-hsi.json").c_str());
      ASSERT_TRUE(reader);
      korvanrt::HWClusterParams params(reader.get(), false);
      expectTensors(params, e.model.partitions[p]);
      EXPECT_EQ(params.fabpakName(), e.model.fabpakName);
      const bool elf = e.model.form == korvan::pack::ProgramForm::elf;
      EXPECT_EQ(fs::exists(dir / "ml_txn.elf"), elf);
      EXPECT_EQ(fs::exists(dir / "ml_txn.bin"), !elf);
      EXPECT_TRUE(fs::exists(dir / "unified-4x4.fabpak"));
      const bool weights = !e.model.partitions[p].weights.empty();
      EXPECT_EQ(fs::exists(dir / "wts32.bin"), weights && !e.model.textWeights);
      EXPECT_EQ(fs::exists(dir / "wts32.txt"), weights && e.model.textWeights);
      if (!elf)
        expectPatchesResolve(pack_test::readText(dir / "external_buffer_id.json"),
                             fs::file_size(dir / "ctrl_pkt0.bin"), e.model.partitions[p]);
      // The transaction header's total size is the file size.
      if (!elf) {
        const auto txn = pack_test::readText(dir / "ml_txn.bin");
        ASSERT_GE(txn.size(), 16u);
        std::uint32_t total;
        std::memcpy(&total, txn.data() + 12, 4);
        EXPECT_EQ(total, txn.size());
      }
    }
  }
}

TEST(PackPackage, InMemoryFormReadsBack) {
  std::vector<korvan::pack::ModelDescription> all;
  for (const auto& e : pack_test::loadExamples()) all.push_back(e.model);
  // The models in the reverse of name order: the writer sorts them.
  std::reverse(all.begin(), all.end());
  const auto buffer = korvan::pack::buildMemoryPackage(all);
  const auto* root = korvanrt::verifyPackage(buffer.data(), buffer.size());
  ASSERT_NE(root->models(), nullptr);
  ASSERT_EQ(root->models()->size(), all.size());
  for (std::size_t i = 1; i < root->models()->size(); ++i)
    EXPECT_LT(root->models()->Get(i - 1)->name()->str(), root->models()->Get(i)->name()->str());
  for (const auto& m : all) {
    SCOPED_TRACE(m.name);
    const auto* entry = korvanrt::findModel(*root, m.name);
    const bool graph = m.kind == PackageKind::customGraph;
    EXPECT_EQ(entry->custom_ops() ? entry->custom_ops()->size() : 0u,
              graph ? m.operators.size() : 0u);
    for (std::size_t p = 0; p < m.partitions.size(); ++p) {
      const auto& sub = korvanrt::subPartitionAt(*entry, p);
      korvanrt::HWClusterParams params(&sub, false);
      expectTensors(params, m.partitions[p]);
      ASSERT_NE(korvanrt::findSharedEntry(*root, sub), nullptr);
      ASSERT_NE(sub.transaction(), nullptr);
      ASSERT_NE(sub.transaction()->binary(), nullptr);
      const auto* bin = sub.transaction()->binary();
      const bool elf = m.form == korvan::pack::ProgramForm::elf;
      EXPECT_EQ(bin->is_elf(), elf ? 1 : 0);
      EXPECT_EQ(bin->ctrl_pkt_patch_json() != nullptr, !elf);
      EXPECT_EQ(bin->ctrl_pkt() != nullptr, !elf);
      EXPECT_EQ(sub.weights() != nullptr, !m.partitions[p].weights.empty());
      if (sub.weights()) {
        EXPECT_EQ(sub.weights()->is_binary(), m.textWeights ? 0 : 1);
      }
      if (!elf && !graph)
        expectPatchesResolve({reinterpret_cast<const char*>(sub.external_buffer_json()->data()),
                              sub.external_buffer_json()->size()},
                             bin->ctrl_pkt()->size(), m.partitions[p]);
    }
    if (m.kind == PackageKind::plain) {
      const auto info = Json::parse(entry->partition_info()->str());
      EXPECT_EQ(info.at("modelname"), m.name);
    }
  }
}

TEST(PackPackage, ReferenceFilesMatchTheDescription) {
  for (const auto& e : pack_test::loadExamples()) {
    SCOPED_TRACE(e.file);
    const auto dir = pack_test::writtenExamples() / e.model.name / "reference";
    const auto manifest = Json::parse(pack_test::readText(dir / "manifest.json"));
    const auto& part = e.model.partitions[0];
    const auto batch = e.model.callerBatch ? e.model.callerBatch : part.inputs[0].cpuShape[0];
    const auto& in = manifest.at("partitions")[0].at("inputs");
    ASSERT_EQ(in.size(), part.inputs.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
      const auto t = korvan::pack::readNpy(dir / in[i].at("file").get<std::string>());
      auto shape = part.inputs[i].cpuShape;
      shape[0] = batch;
      EXPECT_EQ(t.shape, shape);
    }
    ASSERT_EQ(manifest.at("partitions")[0].at("outputs").size(), part.outputs.size());
  }
}

}  // namespace
