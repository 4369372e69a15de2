// Tensor handles over the hardware runner's pooled device buffers.

#include <iostream>

#include "core/error.hpp"
#include "runner/korvan_runner.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

bool hostPointerMode(const std::map<std::string, std::any>& options) {
  const auto found = options.find("use_host_ptr");
  return found != options.end() && std::any_cast<bool>(found->second);
}

}  // namespace

std::vector<ErtTensorType> PrivateImpl::getIOTensors(std::string which, bool fromPool) {
  if (runners.empty()) KORVAN_THROW("No runners created for this model");
  if (runners.size() > 1)
    std::cout << "WARNING: returning metadata from first cluster only, pls check model does not "
                 "have multiple clusters"
              << std::endl;
  KorvanRunner& runner = *runners.begin()->second;
  const auto metadata =
      runner.getHWClusterParams().createErtIOMetaData(which, fromPool, runner.roundingMode());
  const qel::device& device = runner.getDevice();
  const qel::hw_context& context = runner.getHwContext();
  std::vector<ErtTensorType> handles(metadata.size());
  for (size_t k = 0; k < metadata.size(); ++k)
    createFromImpl(handles[k], createErtTensorTypeImplWithQEL(metadata[k], device, context));
  if (hostPointerMode(options.options)) fromPool = false;
  if (fromPool && !handles.empty()) {
    // The pool knows its buffers by the singular kind name.
    const std::string kind = which == "inputs" ? "input" : which == "outputs" ? "output" : which;
    const auto buffers = runner.getTensorsFromMemPool(kind);
    if (buffers.size() != handles.size())
      KORVAN_THROW(std::string("Number of BO handles from memory pool does not match number of ") +
                   "tensors");
    for (size_t k = 0; k < handles.size(); ++k) {
      handles[k].impl->setBo(buffers[k]);
      handles[k].hasBo = true;
    }
  }
  return handles;
}

void PrivateImpl::releaseIOTensors(const std::vector<ErtTensorType>& tensors) {
  if (runners.empty()) KORVAN_THROW("No runners created for this model");
  if (runners.size() > 1)
    std::cout << "WARNING: releasing tensors to first cluster only, pls check model does not "
                 "have multiple clusters"
              << std::endl;
  if (hostPointerMode(options.options)) return;
  runners.begin()->second->releaseTensorsToMemPool(tensors);
}

}  // namespace korvanrt::client
