#pragma once

// Sessions opened the way a framework opens them: libkorvanrt.so through the
// dynamic loader and its exported entry points. Example packages are written
// to a scratch directory with their reference results.

#include <dlfcn.h>
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

#include "korvanrt/client.hpp"
#include "model_description.hpp"
#include "npy_file.hpp"
#include "package_writer.hpp"
#include "reference_model.hpp"

namespace session_test {

namespace fs = std::filesystem;
using korvan::pack::ElementType;
using korvan::pack::HostTensor;
using korvan::pack::ModelDescription;
using korvan::pack::PackageKind;
using korvanrt::client::ErtTensorType;
using korvanrt::client::ImplBase;
using korvanrt::client::Options;
using korvanrt::client::TensorMetadataType;

// The exported entry points, looked up by name in the loaded runtime.
struct Runtime {
  using CreateFn = ImplBase* (*)(const void*, size_t);
  using DestroyFn = void (*)(ImplBase*);
  using ExecuteFn = void (*)(uint64_t, uint32_t, const void*, size_t, void*, size_t);
  using ExecuteNewFn = void (*)(uint64_t, uint32_t, const uint8_t*);
  using ParamLoaderFn = void* (*)(uint64_t, const char*, const char*, const char*);

  void* handle = nullptr;
  CreateFn create = nullptr;
  DestroyFn destroy = nullptr;
  ExecuteFn executeRunner = nullptr;
  ExecuteNewFn executeRunnerNew = nullptr;
  ParamLoaderFn paramLoader = nullptr;

  static const Runtime& get() {
    static const Runtime runtime = [] {
      Runtime r;
      r.handle = ::dlopen("libkorvanrt.so", RTLD_NOW);
      if (r.handle == nullptr) throw std::runtime_error(::dlerror());
      r.create = reinterpret_cast<CreateFn>(::dlsym(r.handle, "korvan_client_Model_createImpl"));
      r.destroy = reinterpret_cast<DestroyFn>(::dlsym(r.handle, "korvan_client_Model_destroyImpl"));
      r.executeRunner = reinterpret_cast<ExecuteFn>(::dlsym(r.handle, "korvan_rt_executeRunner"));
      r.executeRunnerNew =
          reinterpret_cast<ExecuteNewFn>(::dlsym(r.handle, "korvan_rt_executeRunnerNew"));
      r.paramLoader = reinterpret_cast<ParamLoaderFn>(::dlsym(r.handle, "korvan_rt_paramLoader"));
      return r;
    }();
    return runtime;
  }
};

struct SessionDeleter {
  void operator()(ImplBase* s) const { Runtime::get().destroy(s); }
};
using Session = std::unique_ptr<ImplBase, SessionDeleter>;

inline Session openSession(const Options& options) {
  return Session(Runtime::get().create(&options, sizeof(Options)));
}

inline std::string readText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeText(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// Replaces every occurrence of `from` in the file by `to`.
inline void replaceInFile(const fs::path& file, const std::string& from, const std::string& to) {
  std::string text = readText(file);
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  writeText(file, text);
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
          ("korvan_session_test_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
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

inline korvanrt::client::DataType dataTypeOf(ElementType t) {
  switch (t) {
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

// Zero-filled outputs shaped like the reference outputs.
inline std::vector<HostTensor> zerosLike(const std::vector<HostTensor>& list) {
  std::vector<HostTensor> out;
  for (const auto& t : list) out.push_back(HostTensor::zeros(t.type, t.shape));
  return out;
}

inline std::vector<ErtTensorType> handlesOver(std::vector<HostTensor>& tensors,
                                              const std::vector<korvan::pack::TensorDesc>& descs) {
  std::vector<ErtTensorType> list;
  for (size_t i = 0; i < tensors.size(); ++i) list.push_back(tensorOver(tensors[i], descs[i].name));
  return list;
}

// Options of a directory package.
inline Options directoryOptions(const fs::path& modelDir) {
  Options o;
  o.modelPath = modelDir.string();
  o.deviceName = "tmk";
  return o;
}

// Options of an in-memory package; `bytes` must outlive the session.
inline Options memoryOptions(const std::string& bytes, const std::string& model,
                             const fs::path& cacheDir) {
  Options o;
  o.deviceName = "tmk";
  o.modelName = model;
  o.options["fbs_buffer"] = reinterpret_cast<const uint8_t*>(bytes.data());
  o.options["fbs_buffer_size"] = static_cast<uint64_t>(bytes.size());
  o.options["cache_dir"] = cacheDir.string();
  return o;
}

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

}  // namespace session_test
