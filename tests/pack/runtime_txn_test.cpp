// The runtime's transaction layer runs the written plain packages, from the
// partition files and from the in-memory package, and produces the reference
// outputs. Buffers are laid out and named as the hardware runner does.

#include <gtest/gtest.h>

#include "core/file_io_api.hpp"
#include "device/qel_context.hpp"
#include "example_models.hpp"
#include "model/package.hpp"
#include "npy_file.hpp"
#include "package_generated.h"
#include "partition_plan.hpp"
#include "reference_model.hpp"
#include "txn/pellix_qel.hpp"

namespace {

namespace fs = std::filesystem;
using namespace korvan::pack;
using Json = nlohmann::ordered_json;

struct Buffers {
  korvanrt::pellix_qel::AddressMaps addresses{1};
  korvanrt::pellix_qel::BufferMaps bos{1};
  qel::bo weights, input, output;
  std::vector<qel::bo> spills;
  std::map<std::string, std::uint64_t> padding;
};

// Input and output sub-buffers of one whole buffer each, the weights image
// with its layers, one spill buffer with its coalesced layers.
Buffers allocate(pellix::qel_context& ctx, const PartitionDesc& part, const Json& ext,
                 const Json& hsi, const std::vector<std::uint8_t>& weights,
                 const std::vector<HostTensor>& deviceInputs) {
  Buffers b;
  auto& names = b.addresses[0];
  auto& bos = b.bos[0];
  auto entryOf = [&](const std::string& name) {
    for (const auto& [k, e] : ext.at("external_buffers").items())
      if (e.at("name") == name) return e;
    return Json();
  };
  auto carve = [&](const std::vector<TensorDesc>& list, qel::bo& whole) {
    std::uint64_t total = 0;
    for (const auto& t : list) total += entryOf(t.name).at("size_in_bytes").get<std::uint64_t>();
    whole = qel::ext::bo(ctx.device, total);
    std::uint64_t at = 0;
    for (const auto& t : list) {
      const auto e = entryOf(t.name);
      const auto size = e.at("size_in_bytes").get<std::uint64_t>();
      qel::bo sub(whole, size, at);
      names[t.name] = sub.address();
      bos[t.name] = sub;
      b.padding[t.name] = e.value("extra_padding_before", 0ull);
      at += size;
    }
  };
  carve(part.inputs, b.input);
  carve(part.outputs, b.output);
  for (std::size_t i = 0; i < part.inputs.size(); ++i) {
    const auto& t = part.inputs[i];
    bos[t.name].write(deviceInputs[i].bytes.data(), deviceInputs[i].bytes.size(),
                      b.padding[t.name]);
    bos[t.name].sync(qel::bo::direction::to_device);
  }
  if (!weights.empty()) {
    b.weights = qel::ext::bo(ctx.device, weights.size());
    b.weights.write(weights.data(), weights.size(), 0);
    b.weights.sync(qel::bo::direction::to_device);
    bos["coalesed_weights"] = b.weights;
    for (const auto& layer : hsi.at("weights").at("layers"))
      names[layer.at("name")] = b.weights.address() + 4 * layer.at("offset").get<std::uint64_t>();
  }
  if (const auto s = entryOf("coalesed_spills"); !s.is_null()) {
    b.spills.push_back(qel::ext::bo(ctx.device, s.at("size_in_bytes").get<std::uint64_t>()));
    bos["coalesed_spills"] = b.spills[0];
    for (const auto& c : s.at("coalesed_buffers"))
      names[c.at("name")] = b.spills[0].address() + c.at("offset_in_bytes").get<std::uint64_t>();
  }
  return b;
}

TEST(PackRuntimeTxn, PlainExamplesRunThroughTheTransactionLayer) {
  korvanrt::IOAPI io;
  int ran = 0;
  for (const auto& e : pack_test::loadExamples()) {
    const auto& m = e.model;
    if (m.kind != PackageKind::plain || m.callerBatch) continue;
    SCOPED_TRACE(e.file);
    const auto root = pack_test::writtenExamples() / m.name;
    const auto dir = root / m.name / "0";
    const auto& part = m.partitions[0];
    const auto containerText = pack_test::readText(dir / "unified-4x4.fabpak");
    auto& ctx = pellix::qel_context::get_instance({containerText.begin(), containerText.end()},
                                                  "DPU", {{"gops", 1}});
    std::vector<HostTensor> devIn;
    for (const auto& t : part.inputs) {
      auto in = readNpy(root / "reference" / "0" / "input" / (t.name + ".npy"));
      in.type = t.cpuType;
      devIn.push_back(reference::toDevice(t, in));
    }
    const auto ext = Json::parse(pack_test::readText(dir / "external_buffer_id.json"));
    const auto hsi = Json::parse(pack_test::readText(dir / "korvanrt-hsi.json"));
    // The weights image (wts32.bin and wts32.txt hold the same words).
    const auto weights = planPartition(m, 0).weights;
    const auto package = buildMemoryPackage({m});
    const auto* pkgRoot = korvanrt::verifyPackage(package.data(), package.size());
    const auto& sub = korvanrt::subPartitionAt(*korvanrt::findModel(*pkgRoot, m.name), 0);

    for (const bool fromFiles : {true, false}) {
      SCOPED_TRACE(fromFiles ? "files" : "in-memory package");
      auto b = allocate(ctx, part, ext, hsi, weights, devIn);
      std::unique_ptr<korvanrt::pellix_qel> q;
      if (fromFiles) {
        const bool elf = m.form == ProgramForm::elf;
        auto txn = io.open_reader((dir / (elf ? "ml_txn.elf" : "ml_txn.bin")).c_str());
        auto ctrl = io.open_reader((dir / "ctrl_pkt0.bin").c_str());
        auto extReader = io.open_reader((dir / "external_buffer_id.json").c_str());
        q = std::make_unique<korvanrt::pellix_qel>(
            std::vector<korvanrt::KorvanIOReader*>{txn.get()}, ctrl.get(), nullptr, 1, &ctx,
            std::vector<korvanrt::KorvanIOReader*>{extReader.get()});
      } else {
        q = std::make_unique<korvanrt::pellix_qel>(&sub, 1, &ctx);
      }
      q->set_arguments(b.addresses, b.bos, b.weights, {b.input}, {b.output}, b.spills);
      q->add_run(0);
      ASSERT_NO_THROW(q->run_graph(0));
      for (const auto& t : part.outputs) {
        auto& bo = b.bos[0].at(t.name);
        bo.sync(qel::bo::direction::from_device);
        HostTensor dev = HostTensor::zeros(t.hwType, t.hwShape);
        bo.read(dev.bytes.data(), dev.bytes.size(), b.padding[t.name]);
        auto expected = readNpy(root / "reference" / "0" / "output" / (t.name + ".npy"));
        EXPECT_EQ(reference::fromDevice(t, dev).bytes, expected.bytes) << t.name;
      }
      ++ran;
    }
  }
  EXPECT_GE(ran, 16);
}

}  // namespace
