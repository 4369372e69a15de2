#pragma once

// Example packages written to a scratch directory, hardware runners built on
// them, and caller tensors made from the reference files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "hw_runner/hw_runner_impl.hpp"
#include "hw_runner/korvan_hw_runner.hpp"
#include "model_description.hpp"
#include "npy_file.hpp"
#include "package_writer.hpp"
#include "reference_model.hpp"

namespace hw_test {

namespace fs = std::filesystem;
using korvan::pack::HostTensor;
using korvan::pack::ModelDescription;
using korvan::pack::PackageKind;
using korvanrt::OptionsMap;
using korvanrt::client::ErtTensorType;
using korvanrt::client::TensorMetadataType;

inline std::string readText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline ModelDescription example(const std::string& name) {
  return korvan::pack::parseModelDescriptionText(
      readText(fs::path(KORVAN_PACK_EXAMPLES) / (name + ".json")));
}

inline std::vector<std::string> exampleNames() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(KORVAN_PACK_EXAMPLES))
    if (e.path().extension() == ".json") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A scratch directory removed with the object.
struct Scratch {
  fs::path dir;
  Scratch() {
    static int serial = 0;
    dir = fs::temp_directory_path() /
          ("korvan_hw_test_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

// Every example written once per test program.
inline const fs::path& writtenExamples() {
  static const Scratch scratch;
  static const bool written = [] {
    for (const auto& name : exampleNames()) korvan::pack::writeModel(example(name), scratch.dir);
    return true;
  }();
  (void)written;
  return scratch.dir;
}

// Where a written model's runner reads its partition.
struct PartitionFiles {
  std::string dir, hsi, weights;
};

inline PartitionFiles partitionFiles(const fs::path& root, const ModelDescription& m) {
  PartitionFiles f;
  if (m.kind == PackageKind::customGraph) {
    f.dir = (root / m.name / m.name).string();
    f.hsi = f.dir + "/custom_graph_metadata.json";
  } else {
    f.dir = (root / m.name / m.name / "0").string();
    f.hsi = f.dir + "/korvanrt-hsi.json";
  }
  f.weights = f.dir + "/wts32.bin";
  return f;
}

inline std::unique_ptr<korvanrt::KorvanHWRunner> makeRunner(const fs::path& root,
                                                            const ModelDescription& m,
                                                            const OptionsMap& options,
                                                            const std::string& device = "tmk",
                                                            bool profiling = false) {
  static std::map<std::string, korvanrt::CustomOpFunction> noOps;
  const auto f = partitionFiles(root, m);
  return std::make_unique<korvanrt::KorvanHWRunner>(f.hsi, f.dir, m.name, 0u, "", f.weights, device,
                                                    false, profiling, options, noOps);
}

inline korvanrt::client::DataType dataTypeOf(korvan::pack::ElementType t) {
  using korvan::pack::ElementType;
  switch (t) {
    case ElementType::fp32:
      return korvanrt::client::FP32;
    case ElementType::bf16:
      return korvanrt::client::BF16;
    case ElementType::int8:
      return korvanrt::client::INT8;
    case ElementType::uint8:
      return korvanrt::client::UINT8;
    case ElementType::int16:
      return korvanrt::client::INT16;
    case ElementType::uint16:
      return korvanrt::client::UINT16;
    case ElementType::boolean:
      return korvanrt::client::BOOL;
    default:
      return korvanrt::client::FP32;
  }
}

// A caller tensor over `t`'s bytes.
inline ErtTensorType tensorOver(HostTensor& t, const std::string& name) {
  TensorMetadataType m;
  m.name = name;
  m.size = t.bytes.size();
  m.dtype = dataTypeOf(t.type);
  for (const auto d : t.shape) m.shape.push_back(static_cast<uint32_t>(d));
  ErtTensorType tensor(m);
  tensor.data = t.bytes.data();
  return tensor;
}

inline HostTensor sliceOf(const HostTensor& t, uint64_t slice, const std::vector<uint64_t>& shape) {
  HostTensor s = HostTensor::zeros(t.type, shape);
  std::copy_n(t.bytes.begin() + static_cast<std::ptrdiff_t>(slice * s.bytes.size()), s.bytes.size(),
              s.bytes.begin());
  return s;
}

// Reference inputs and expected outputs of partition 0 of a written model.
struct Reference {
  std::vector<HostTensor> inputs, outputs;
};

inline Reference referenceOf(const fs::path& root, const ModelDescription& m) {
  Reference r;
  const auto dir = root / m.name / "reference" / "0";
  const auto& part = m.partitions.at(0);
  for (const auto& t : part.inputs) {
    r.inputs.push_back(korvan::pack::readNpy(dir / "input" / (t.name + ".npy")));
    r.inputs.back().type = t.cpuType;
  }
  for (const auto& t : part.outputs) {
    r.outputs.push_back(korvan::pack::readNpy(dir / "output" / (t.name + ".npy")));
    r.outputs.back().type = t.cpuType;
  }
  return r;
}

// Runs every slice of the reference batch through `runner` and compares the
// outputs with the reference bit for bit.
inline void expectReferenceOutputs(korvanrt::KorvanRunner& runner, const ModelDescription& m,
                                   const Reference& ref) {
  const auto& part = m.partitions.at(0);
  const uint64_t slices = ref.inputs.at(0).shape.at(0) / part.inputs.at(0).cpuShape.at(0);
  for (uint64_t s = 0; s < slices; ++s) {
    std::vector<HostTensor> in, out;
    for (size_t i = 0; i < part.inputs.size(); ++i)
      in.push_back(sliceOf(ref.inputs[i], s, part.inputs[i].cpuShape));
    for (size_t i = 0; i < part.outputs.size(); ++i)
      out.push_back(HostTensor::zeros(part.outputs[i].cpuType, part.outputs[i].cpuShape));
    std::vector<ErtTensorType> inputs, outputs;
    for (size_t i = 0; i < in.size(); ++i) inputs.push_back(tensorOver(in[i], part.inputs[i].name));
    for (size_t i = 0; i < out.size(); ++i)
      outputs.push_back(tensorOver(out[i], part.outputs[i].name));
    runner.execute(inputs, outputs);
    for (size_t i = 0; i < out.size(); ++i)
      EXPECT_EQ(out[i].bytes, sliceOf(ref.outputs[i], s, part.outputs[i].cpuShape).bytes)
          << m.name << " slice " << s << " output " << i;
  }
}

// Device-form bfloat16 tensors of one inference of a model whose inputs and
// outputs are all bfloat16 on the device.
struct ViewCall {
  std::vector<HostTensor> in, out;
  std::vector<korvanrt::Bf16TensorView> inputs, outputs;

  ViewCall(const ModelDescription& m, const Reference& ref) {
    const auto& part = m.partitions.at(0);
    for (size_t i = 0; i < part.inputs.size(); ++i)
      in.push_back(korvan::pack::reference::toDevice(part.inputs[i], ref.inputs[i]));
    for (const auto& t : part.outputs) out.push_back(HostTensor::zeros(t.hwType, t.hwShape));
    auto view = [](HostTensor& t) {
      korvanrt::Shape shape(t.shape.begin(), t.shape.end());
      return korvanrt::Bf16TensorView(reinterpret_cast<korvanrt::bf16_t*>(t.bytes.data()), shape);
    };
    for (auto& t : in) inputs.push_back(view(t));
    for (auto& t : out) outputs.push_back(view(t));
  }

  void expectReference(const ModelDescription& m, const Reference& ref) const {
    const auto& part = m.partitions.at(0);
    for (size_t i = 0; i < out.size(); ++i)
      EXPECT_EQ(korvan::pack::reference::fromDevice(part.outputs[i], out[i]).bytes,
                ref.outputs[i].bytes)
          << "output " << i;
  }
};

inline std::string messageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

inline bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace hw_test
