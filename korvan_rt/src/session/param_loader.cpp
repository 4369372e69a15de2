// Named parameter arrays of a registered model for its user library.

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/error.hpp"
#include "session/private_impl.hpp"

namespace korvanrt {

std::vector<uint16_t> h5Loader(const std::string&, const std::string&) {
  return {};
}

namespace client {

void* PrivateImpl::paramLoader(uint64_t model, const std::string& name, const std::string& dataset,
                               const std::string& transform) {
  const PrivateImpl& session = registeredSession(model);
  const std::string path = session.options.modelPath + "/" + name;
  const std::vector<uint16_t> values = h5Loader(path, dataset);
  if (!transform.empty() && transform != "bf16tof32")
    KORVAN_THROW("ERROR: only bfloat16 to float32 (bf16tof32) transform supported!");
  const size_t width = transform.empty() ? sizeof(uint16_t) : sizeof(uint32_t);
  // Never a null result for an empty array: the caller frees what it gets.
  void* buffer = std::malloc(values.empty() ? 1 : values.size() * width);
  if (buffer == nullptr) throw std::bad_alloc();
  if (transform.empty()) {
    if (!values.empty()) std::memcpy(buffer, values.data(), values.size() * width);
  } else {
    auto* out = static_cast<uint32_t*>(buffer);
    for (size_t i = 0; i < values.size(); ++i) out[i] = static_cast<uint32_t>(values[i]) << 16;
  }
  return buffer;
}

}  // namespace client
}  // namespace korvanrt
