// The written packages run on the emulated device and produce the reference
// outputs. The driver here binds buffers the way the runtime does: device
// addresses (+0x80000000) in the argument slots named by
// external_buffer_id.json, the control packet patched with the addresses of
// every named buffer, ELF modules with their buffers bound by name.

#include <gtest/gtest.h>
#include <zlib.h>

#include <map>

#include "example_models.hpp"
#include "npy_file.hpp"
#include "qel/qel.hpp"
#include "reference_model.hpp"

namespace {

namespace fs = std::filesystem;
using namespace korvan::pack;
using Json = nlohmann::ordered_json;

constexpr std::uint64_t kAddressOffset = 0x80000000ull;

std::vector<char> readBytes(const fs::path& p) {
  const auto s = pack_test::readText(p);
  return {s.begin(), s.end()};
}

struct Device {
  qel::device dev;
  qel::hw_context ctx;
  qel::kernel dpu;

  explicit Device(const fs::path& container) {
    qel::fabpak f(readBytes(container));
    dev = qel::device(0);
    dev.register_fabpak(f);
    ctx = qel::hw_context(dev, f.get_uuid(), qel::hw_context::qos_type{{"gops", 1}});
    dpu = qel::kernel(ctx, "DPU");
  }
};

// One context for every package: they all use the same container.
Device& device(const fs::path& container) {
  static Device d(container);
  return d;
}

std::uint64_t deviceAddress(const qel::bo& b) {
  return b.address() + kAddressOffset;
}

void runToCompletion(qel::run& r) {
  r.start();
  ASSERT_EQ(r.wait(std::chrono::milliseconds(10000)), qel::command_state::completed)
      << r.error_text();
}

// Buffers of one partition for one inference slice.
struct Bound {
  std::map<std::string, qel::bo> bos;              // by name, as the runtime's buffer table
  std::map<std::string, std::uint64_t> addresses;  // by name, plain address()
  std::map<std::string, std::uint64_t> padding;
};

Bound bindPlain(Device& d, const fs::path& dir, const PartitionDesc& part, const Json& ext,
                const std::vector<HostTensor>& deviceInputs) {
  Bound b;
  const Json hsi = Json::parse(pack_test::readText(dir / "korvanrt-hsi.json"));
  auto tensorBuffer = [&](const TensorDesc& t) {
    std::uint64_t size = 0, pad = 0;
    for (const auto& [k, e] : ext.at("external_buffers").items())
      if (e.at("name") == t.name) {
        size = e.at("size_in_bytes");
        pad = e.value("extra_padding_before", 0ull);
        break;
      }
    qel::ext::bo bo(d.dev, size);
    b.bos[t.name] = bo;
    b.addresses[t.name] = bo.address();
    b.padding[t.name] = pad;
    return bo;
  };
  for (std::size_t i = 0; i < part.inputs.size(); ++i) {
    auto bo = tensorBuffer(part.inputs[i]);
    bo.write(deviceInputs[i].bytes.data(), deviceInputs[i].bytes.size(),
             b.padding[part.inputs[i].name]);
    bo.sync(qel::bo::direction::to_device);
  }
  for (const auto& t : part.outputs) tensorBuffer(t);
  if (fs::exists(dir / "wts32.bin") || fs::exists(dir / "wts32.txt")) {
    std::vector<char> image;
    if (fs::exists(dir / "wts32.bin")) {
      image = readBytes(dir / "wts32.bin");
    } else {
      std::istringstream words(pack_test::readText(dir / "wts32.txt"));
      std::uint32_t w;
      while (words >> std::hex >> w)
        for (int k = 0; k < 4; ++k) image.push_back(static_cast<char>((w >> (8 * k)) & 0xff));
    }
    qel::ext::bo w(d.dev, image.size());
    w.write(image.data(), image.size(), 0);
    w.sync(qel::bo::direction::to_device);
    b.bos["coalesed_weights"] = w;
    for (const auto& layer : hsi.at("weights").at("layers"))
      b.addresses[layer.at("name")] = w.address() + 4 * layer.at("offset").get<std::uint64_t>();
  }
  for (const auto& [k, e] : ext.at("external_buffers").items()) {
    if (e.at("name") != "coalesed_spills") continue;
    qel::ext::bo s(d.dev, e.at("size_in_bytes"));
    b.bos["coalesed_spills"] = s;
    for (const auto& c : e.at("coalesed_buffers"))
      b.addresses[c.at("name")] = s.address() + c.at("offset_in_bytes").get<std::uint64_t>();
  }
  return b;
}

// The control packet with every patch location of a named buffer filled in.
qel::ext::bo patchedControlPacket(Device& d, const fs::path& dir, const Json& ext, const Bound& b) {
  const auto pristine = readBytes(dir / "ctrl_pkt0.bin");
  qel::ext::bo ctrl(d.dev, pristine.size());
  auto* mapped = ctrl.map<std::uint8_t*>();
  std::memcpy(mapped, pristine.data(), pristine.size());
  auto patch = [&](const Json& holder) {
    for (const auto& loc : holder.at("control_packet_patch_locations")) {
      const auto offset = loc.at("offset").get<std::size_t>();
      std::uint64_t word;
      std::memcpy(&word, pristine.data() + offset, 8);
      const auto value =
          (word & ((1ull << 48) - 1)) + b.addresses.at(holder.at("name")) + kAddressOffset;
      const auto low = static_cast<std::uint32_t>(value);
      const auto high = static_cast<std::uint16_t>(value >> 32);
      std::memcpy(mapped + offset, &low, 4);
      std::memcpy(mapped + offset + 4, &high, 2);
    }
  };
  for (const auto& [k, e] : ext.at("external_buffers").items()) {
    if (e.at("name") == "runtime_control_packet") continue;
    if (e.contains("coalesed_buffers"))
      for (const auto& c : e.at("coalesed_buffers")) patch(c);
    else
      patch(e);
  }
  ctrl.sync(qel::bo::direction::to_device);
  return ctrl;
}

std::vector<char> inflateIfNeeded(const std::vector<char>& data) {
  if (data.size() >= 4 && std::memcmp(data.data(),
                                      "\x7f"
                                      "ELF",
                                      4) == 0)
    return data;
  std::vector<char> out(1 << 20);
  uLongf size = out.size();
  const int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                            reinterpret_cast<const Bytef*>(data.data()), data.size());
  EXPECT_EQ(rc, Z_OK);
  out.resize(size);
  return out;
}

qel::run plainRun(Device& d, const fs::path& dir, const ModelDescription& m, const Json& ext,
                  const Bound& b, qel::bo& instr, qel::ext::kernel& elfKernel, qel::ext::bo& ctrl) {
  if (m.form == ProgramForm::elf) {
    const auto data = inflateIfNeeded(readBytes(dir / "ml_txn.elf"));
    elfKernel = qel::ext::kernel(d.ctx, qel::module(qel::elf(data)), "DPU");
    qel::run r(elfKernel);
    r.set_arg_at_index(0, std::uint64_t{3});
    r.set_arg_at_index(1, std::uint32_t{0});
    r.set_arg_at_index(2, std::uint32_t{0});
    for (const auto& [k, e] : ext.at("external_buffers").items())
      if (auto it = b.bos.find(e.at("name")); it != b.bos.end())
        r.set_arg_at_index(m.elfArgumentBase + e.at("qel_id").get<int>(), it->second);
    return r;
  }
  const auto txn = readBytes(dir / "ml_txn.bin");
  std::vector<char> ib(8 + txn.size());
  const std::uint32_t header[2] = {0, static_cast<std::uint32_t>(txn.size() + 8)};
  std::memcpy(ib.data(), header, 8);
  std::memcpy(ib.data() + 8, txn.data(), txn.size());
  instr = qel::bo(d.ctx, ib.size(), qel::bo::flags::cacheable, d.dpu.group_id(1));
  instr.write(ib.data(), ib.size(), 0);
  instr.sync(qel::bo::direction::to_device);
  ctrl = patchedControlPacket(d, dir, ext, b);
  qel::run r(d.dpu);
  r.set_arg_at_index(0, std::uint64_t{2});
  r.set_arg_at_index(1, instr);
  r.set_arg_at_index(2, std::uint64_t{instr.size() / 4});
  for (const auto& [k, e] : ext.at("external_buffers").items()) {
    const auto id = e.at("qel_id").get<int>();
    if (auto it = b.bos.find(e.at("name")); it != b.bos.end() && id <= 4)
      r.set_arg_at_index(id + 3, deviceAddress(it->second));
  }
  r.set_arg_at_index(6, deviceAddress(ctrl));
  return r;
}

HostTensor sliceOf(const HostTensor& t, std::uint64_t slice,
                   const std::vector<std::uint64_t>& shape) {
  HostTensor s = HostTensor::zeros(t.type, shape);
  std::memcpy(s.bytes.data(), t.bytes.data() + slice * s.bytes.size(), s.bytes.size());
  return s;
}

HostTensor readOutput(const qel::bo& bo, std::uint64_t pad, const TensorDesc& t) {
  bo.sync(qel::bo::direction::from_device);
  HostTensor dev = HostTensor::zeros(t.hwType, t.hwShape);
  bo.read(dev.bytes.data(), dev.bytes.size(), pad);
  return reference::fromDevice(t, dev);
}

TEST(PackDeviceRun, ExamplesProduceTheReferenceOutputs) {
  for (const auto& e : pack_test::loadExamples()) {
    SCOPED_TRACE(e.file);
    const auto& m = e.model;
    const auto root = pack_test::writtenExamples() / m.name;
    const auto ref = root / "reference" / "0";
    const auto& part = m.partitions[0];
    std::vector<HostTensor> inputs, expected;
    for (const auto& t : part.inputs) {
      inputs.push_back(readNpy(ref / "input" / (t.name + ".npy")));
      inputs.back().type = t.cpuType;  // bfloat16 files read back as uint16
    }
    for (const auto& t : part.outputs) {
      expected.push_back(readNpy(ref / "output" / (t.name + ".npy")));
      expected.back().type = t.cpuType;
    }
    const bool graph = m.kind == PackageKind::customGraph;
    const auto partDir = graph ? root / m.name : root / m.name / "0";
    Device& d = device(graph ? root / "unified-custom-ops.fabpak" : partDir / "unified-4x4.fabpak");
    const auto slices = inputs[0].shape[0] / part.inputs[0].cpuShape[0];
    for (std::uint64_t s = 0; s < slices; ++s) {
      std::vector<HostTensor> devIn;
      for (std::size_t i = 0; i < part.inputs.size(); ++i)
        devIn.push_back(
            reference::toDevice(part.inputs[i], sliceOf(inputs[i], s, part.inputs[i].cpuShape)));
      Bound b;
      if (graph) {
        // Each operator runs with its connectivity buffers in the input and
        // output slots, one after the other.
        std::map<std::string, qel::bo> named;
        qel::ext::bo in(d.dev, devIn[0].bytes.size());
        in.write(devIn[0].bytes.data(), devIn[0].bytes.size(), 0);
        in.sync(qel::bo::direction::to_device);
        named["ifm_ddr_0"] = in;
        named["ofm_ddr_0"] = qel::ext::bo(d.dev, part.outputs[0].hwBytes());
        for (std::size_t k = 0; k < part.spills.size(); ++k)
          named["spill_ddr_" + std::to_string(k)] = qel::ext::bo(d.dev, part.spills[k].size);
        for (const auto& op : m.operators) {
          const auto txn = readBytes(root / op.name / "0" / "ml_txn.bin");
          std::vector<char> ib(8 + txn.size());
          const std::uint32_t header[2] = {0, static_cast<std::uint32_t>(txn.size() + 8)};
          std::memcpy(ib.data(), header, 8);
          std::memcpy(ib.data() + 8, txn.data(), txn.size());
          qel::bo instr(d.ctx, ib.size(), qel::bo::flags::cacheable, d.dpu.group_id(1));
          instr.write(ib.data(), ib.size(), 0);
          instr.sync(qel::bo::direction::to_device);
          qel::run r(d.dpu);
          r.set_arg_at_index(0, std::uint64_t{2});
          r.set_arg_at_index(1, instr);
          r.set_arg_at_index(2, std::uint64_t{instr.size() / 4});
          r.set_arg_at_index(3, std::uint64_t{0});
          r.set_arg_at_index(4, deviceAddress(named.at(op.input)));
          r.set_arg_at_index(5, deviceAddress(named.at(op.output)));
          r.set_arg_at_index(6, std::uint64_t{0});
          runToCompletion(r);
        }
        const auto got = readOutput(named.at("ofm_ddr_0"), 0, part.outputs[0]);
        EXPECT_EQ(got.bytes, sliceOf(expected[0], s, part.outputs[0].cpuShape).bytes);
        continue;
      }
      const auto ext = Json::parse(pack_test::readText(partDir / "external_buffer_id.json"));
      b = bindPlain(d, partDir, part, ext, devIn);
      qel::bo instr;
      qel::ext::kernel elfKernel;
      qel::ext::bo ctrl;
      qel::run r;
      if (m.kind == PackageKind::customOp) {
        // A custom operator gets its input and output in the data slots.
        const auto txn = readBytes(partDir / "ml_txn.bin");
        std::vector<char> ib(8 + txn.size());
        const std::uint32_t header[2] = {0, static_cast<std::uint32_t>(txn.size() + 8)};
        std::memcpy(ib.data(), header, 8);
        std::memcpy(ib.data() + 8, txn.data(), txn.size());
        instr = qel::bo(d.ctx, ib.size(), qel::bo::flags::cacheable, d.dpu.group_id(1));
        instr.write(ib.data(), ib.size(), 0);
        r = qel::run(d.dpu);
        r.set_arg_at_index(0, std::uint64_t{2});
        r.set_arg_at_index(1, instr);
        r.set_arg_at_index(2, std::uint64_t{instr.size() / 4});
        r.set_arg_at_index(3, std::uint32_t{0});
        r.set_arg_at_index(4, deviceAddress(b.bos.at(part.inputs[0].name)));
        r.set_arg_at_index(5, deviceAddress(b.bos.at(part.outputs[0].name)));
        r.set_arg_at_index(6, std::uint64_t{0});
      } else {
        r = plainRun(d, partDir, m, ext, b, instr, elfKernel, ctrl);
      }
      runToCompletion(r);
      for (std::size_t i = 0; i < part.outputs.size(); ++i) {
        const auto& t = part.outputs[i];
        const auto got = readOutput(b.bos.at(t.name), b.padding.at(t.name), t);
        EXPECT_EQ(got.bytes, sliceOf(expected[i], s, t.cpuShape).bytes) << t.name;
      }
    }
  }
}

}  // namespace
