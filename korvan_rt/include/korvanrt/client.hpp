#pragma once

// The caller's interface to libkorvanrt.so: the options record, the tensor
// records, the session interface ImplBase, the tensor handle ErtTensorType
// and the exported entry points.

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "korvanrt/export.hpp"
#include "korvanrt/io_api.hpp"
#include "korvanrt/options.hpp"
#include "korvanrt/types.hpp"

namespace qel {
class bo;
class device;
class hw_context;
}  // namespace qel

namespace korvanrt {
namespace client {

using ModelId = uint64_t;
using ClusterId = uint32_t;

class ErtTensorType;

// A model session. Callers bind to its operations by virtual slot; the order
// below is part of the binary interface.
class KORVANRT_API ImplBase {
 public:
  virtual ~ImplBase();
  virtual float* forward(const float* input) = 0;
  virtual float* forward(uint32_t batch, const float* input) = 0;
  virtual void forward(const float* input, std::vector<uint64_t> inputShape, float* output,
                       std::vector<uint64_t> outputShape);
  virtual void forward(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs) = 0;
  virtual void forward(std::vector<ErtIoType>& inputs, std::vector<ErtIoType>& outputs) = 0;
  virtual void forward(std::vector<ErtIoTypeNew>& inputs, std::vector<ErtIoTypeNew>& outputs,
                       std::vector<ErtIoTypeNew>& weights) = 0;
  virtual std::vector<std::vector<uint64_t>> getOfmShapes() const = 0;
  virtual void timestampStart(std::string label);
  virtual void timestampEnd(std::string label);
  virtual std::vector<ErtTensorType> getIOTensors(std::string which, bool fromPool) = 0;
  virtual void releaseIOTensors(const std::vector<ErtTensorType>& tensors) = 0;
  virtual void setVistrelProfiling();
  virtual void unsetVistrelProfiling();
  virtual bool good() = 0;
  virtual void forwardErtTensor(const std::vector<ErtTensorType>& inputs,
                                std::vector<ErtTensorType>& outputs) = 0;
  virtual void forwardErtTensorBatch(const std::vector<std::vector<ErtTensorType>>& inputs,
                                     std::vector<std::vector<ErtTensorType>>& outputs) = 0;
  virtual std::future<void> forwardAsync(const std::vector<ErtTensorType>& inputs,
                                         std::vector<ErtTensorType>& outputs) = 0;
  virtual std::future<void> forwardAsync(const std::vector<std::vector<ErtTensorType>>& inputs,
                                         std::vector<std::vector<ErtTensorType>>& outputs) = 0;
  virtual void waitForwardAsync(std::future<void>& future, uint64_t timeoutMs) = 0;
};

// Implementation behind a tensor handle; always created and destroyed by the
// runtime library itself.
class ErtTensorTypeImplBase {
 public:
  virtual ~ErtTensorTypeImplBase() = default;
  virtual const qel::bo& getBo() const = 0;
  virtual qel::bo& getMutableBo() = 0;
  virtual void setBo(const qel::bo& bo) = 0;
  virtual const TensorMetadataType& getMetadata() const = 0;
  virtual const qel::device& getDevice() const = 0;
  virtual const qel::hw_context& getHwContext() const = 0;
};

namespace impl {

// Opens `libPath` (lazily; never closed) and returns `symbol` as a function
// pointer. With `optional`, a missing library or symbol gives null instead
// of a LoaderException.
template <typename Fn>
Fn getDynamicFunction(const std::string& libPath, const std::string& symbol,
                      bool optional = false) {
  void* handle = ::dlopen(libPath.c_str(), RTLD_LAZY);
  if (handle == nullptr) {
    if (optional) return nullptr;
    const char* err = ::dlerror();
    std::string message = "ERROR: Cannot open library " + libPath + ": ";
    if (err != nullptr) message += std::string(err) + ".";
    throw LoaderException(message + "\n");
  }
  ::dlerror();
  void* address = ::dlsym(handle, symbol.c_str());
  const char* err = ::dlerror();
  if (err != nullptr) {
    if (optional) return nullptr;
    throw LoaderException("ERROR: Cannot load symbol '" + symbol + "': " + std::string(err) +
                          ".  Please recompile the model.\n");
  }
  return reinterpret_cast<Fn>(address);
}

// Where the runtime library is expected when it cannot be found by name.
inline std::string getLibPath(const std::string& hint) {
  namespace fs = std::filesystem;
  const fs::path tail = fs::path("site-packages") / "korvanrt" / "lib" / "libkorvanrt.so";
  if (const char* conda = std::getenv("CONDA_PREFIX")) {
    fs::path p310 = fs::path(conda) / "lib" / "python3.10" / tail;
    std::error_code ec;
    auto st = fs::status(p310, ec);
    if (st.type() == fs::file_type::not_found || st.type() == fs::file_type::unknown ||
        st.type() == fs::file_type::none) {
      return (fs::path(conda) / "lib" / "python3.12" / tail).string();
    }
    return p310.string();
  }
  if (const char* venv = std::getenv("VIRTUAL_ENV")) {
    return (fs::path(venv) / "lib" / "python3.10" / tail).string();
  }
  return (fs::path(hint).parent_path() / "libkorvanrt.so").string();
}

using CreateImplFn = ErtTensorTypeImplBase* (*)(const TensorMetadataType&);
using DestroyImplFn = void (*)(ErtTensorTypeImplBase*);
using CustomOpFn = void (*)(std::vector<OpsTensor>&, std::vector<OpsTensor>&);

}  // namespace impl

// Caller-visible tensor handle. Its implementation is created and destroyed
// through the runtime library found by `libPath`, whichever component builds
// the handle.
class ErtTensorType {
 public:
  void* data = nullptr;
  int32_t index = 0;
  uint64_t offset = 0;
  bool hasBo = false;
  bool isHwFormat = false;
  ErtTensorTypeImplBase* impl = nullptr;
  std::string libPath = "libkorvanrt.so";

  ErtTensorType() = default;

  explicit ErtTensorType(const TensorMetadataType& metadata) {
    try {
      impl = createImpl(libPath, metadata);
    } catch (const impl::LoaderException&) {
      libPath = impl::getLibPath("");
      impl = createImpl(libPath, metadata);
    } catch (const std::exception&) {
      impl = nullptr;
    }
  }

  ErtTensorType(const ErtTensorType& other)
      : data(other.data),
        index(other.index),
        offset(other.offset),
        hasBo(other.hasBo),
        isHwFormat(other.isHwFormat),
        libPath(other.libPath) {
    if (other.impl != nullptr) {
      impl = createImpl(libPath, other.impl->getMetadata());
      impl->setBo(other.impl->getBo());
    }
  }

  // Re-describes the same device buffer with other metadata.
  ErtTensorType(const ErtTensorType& other, TensorMetadataType metadata)
      : data(other.data),
        index(other.index),
        offset(other.offset),
        hasBo(other.hasBo),
        isHwFormat(other.isHwFormat),
        libPath(other.libPath) {
    impl = createImpl(libPath, metadata);
    if (other.impl != nullptr) impl->setBo(other.impl->getBo());
  }

  ErtTensorType& operator=(const ErtTensorType& other) {
    if (this == &other) return *this;
    destroyImpl();
    data = other.data;
    index = other.index;
    offset = other.offset;
    hasBo = other.hasBo;
    isHwFormat = other.isHwFormat;
    libPath = other.libPath;
    if (other.impl != nullptr) {
      impl = createImpl(libPath, other.impl->getMetadata());
      impl->setBo(other.impl->getMutableBo());
    }
    return *this;
  }

  ~ErtTensorType() { destroyImpl(); }

  static ErtTensorTypeImplBase* createImpl(const std::string& libPath,
                                           const TensorMetadataType& metadata) {
    auto fn = impl::getDynamicFunction<impl::CreateImplFn>(
        libPath, "korvan_client_ErtTensorType_createImpl");
    if (fn == nullptr) {
      throw impl::LoaderException("ERROR: Cannot find function korvan_client_ErtTensorType_createImpl");
    }
    return fn(metadata);
  }

 private:
  void destroyImpl() noexcept {
    try {
      auto fn = impl::getDynamicFunction<impl::DestroyImplFn>(
          libPath, "korvan_client_ErtTensorType_destroyImpl");
      if (fn == nullptr) {
        throw impl::LoaderException(
            "ERROR: Cannot find function korvan_client_ErtTensorType_destroyImpl");
      }
      fn(impl);
    } catch (...) {
      // The implementation leaks rather than letting an exception escape.
    }
    impl = nullptr;
  }
};

// Tensor implementation holding device and context handles (I/O tensor pool).
KORVANRT_API ErtTensorTypeImplBase* createErtTensorTypeImplWithQEL(
    const TensorMetadataType& metadata, const qel::device& device,
    const qel::hw_context& context);

// Stores `impl` into the handle without destroying its previous one.
KORVANRT_API void createFromImpl(ErtTensorType& tensor, ErtTensorTypeImplBase* impl);

}  // namespace client
}  // namespace korvanrt

extern "C" {
KORVANRT_API korvanrt::client::ImplBase* korvan_client_Model_createImpl(const void* options,
                                                                        size_t optionsSize);
KORVANRT_API void korvan_client_Model_destroyImpl(korvanrt::client::ImplBase* model);
KORVANRT_API korvanrt::client::ErtTensorTypeImplBase* korvan_client_ErtTensorType_createImpl(
    const korvanrt::client::TensorMetadataType& metadata);
KORVANRT_API void korvan_client_ErtTensorType_destroyImpl(
    korvanrt::client::ErtTensorTypeImplBase* impl);
KORVANRT_API void korvan_rt_executeRunner(korvanrt::client::ModelId model,
                                          korvanrt::client::ClusterId cluster, const void* input,
                                          size_t inputSize, void* output, size_t outputSize);
KORVANRT_API void korvan_rt_executeRunnerNew(korvanrt::client::ModelId model, uint32_t cluster,
                                             const uint8_t* args);
KORVANRT_API void* korvan_rt_paramLoader(uint64_t model, const char* name, const char* dataset,
                                         const char* transform);
}
