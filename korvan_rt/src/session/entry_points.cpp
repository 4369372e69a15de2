// The functions callers and user model libraries reach by name.

#include "core/error.hpp"
#include "korvanrt/client.hpp"
#include "session/private_impl.hpp"

using korvanrt::client::ImplBase;
using korvanrt::client::PrivateImpl;

extern "C" {

KORVANRT_API ImplBase* korvan_client_Model_createImpl(const void* options, size_t optionsSize) {
  return new PrivateImpl(options, optionsSize);
}

KORVANRT_API void korvan_client_Model_destroyImpl(ImplBase* model) {
  delete model;
}

KORVANRT_API void korvan_rt_executeRunner(korvanrt::client::ModelId model,
                                          korvanrt::client::ClusterId, const void*, size_t, void*,
                                          size_t) {
  PrivateImpl::registeredSession(model);
}

KORVANRT_API void korvan_rt_executeRunnerNew(korvanrt::client::ModelId model, uint32_t cluster,
                                             const uint8_t* args) {
  PrivateImpl::registeredSession(model).executeRunnerNew(cluster, args);
}

KORVANRT_API void* korvan_rt_paramLoader(uint64_t model, const char* name, const char* dataset,
                                         const char* transform) {
  if (name == nullptr || dataset == nullptr || transform == nullptr)
    KORVAN_THROW("ERROR: paramLoader needs a name, a dataset and a transform text");
  return PrivateImpl::paramLoader(model, name, dataset, transform);
}
}
