// The package's user model library: the model identifier symbol and the
// optional entry points of the legacy and custom-graph paths.

#include <chrono>
#include <functional>

#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

// The model's name as its user library spells its symbols: the package's
// "modelname", or for packages without one the package directory's name.
std::string symbolPrefix(const std::string& modelname, const std::string& modelPath) {
  if (!modelname.empty()) return modelname;
  std::filesystem::path p(modelPath);
  if (!p.has_filename()) p = p.parent_path();
  return p.filename().string();
}

}  // namespace

void PrivateImpl::assignModelId() {
  const auto ticks = std::chrono::system_clock::now().time_since_epoch().count();
  modelId = std::hash<std::string>{}(std::to_string(ticks));
  const std::string symbol = symbolPrefix(modelname, options.modelPath) + "_modelId";
  // Only the symbol's presence matters; it is neither called nor read.
  if (impl::getDynamicFunction<void (*)()>(userLibPath, symbol, true) == nullptr) modelId = 0;
}

void PrivateImpl::resolveUserEntryPoints() {
  const std::string prefix = symbolPrefix(modelname, options.modelPath);
  userForward = impl::getDynamicFunction<UserForwardFn>(userLibPath, prefix + "_forward", true);
  userRun = impl::getDynamicFunction<UserRunFn>(userLibPath, prefix + "_run", true);
  userArgsSize = impl::getDynamicFunction<UserArgsSizeFn>(userLibPath, prefix + "_args_size", true);
  userGetArgs = impl::getDynamicFunction<UserGetArgsFn>(userLibPath, prefix + "_get_args", true);
  userClusterArgsSize.assign(numPartitions, nullptr);
  for (uint32_t c = 0; c < numPartitions; ++c)
    userClusterArgsSize[c] = impl::getDynamicFunction<UserArgsSizeFn>(
        userLibPath, prefix + "_cluster_" + std::to_string(c) + "_args_size", true);
}

}  // namespace korvanrt::client
