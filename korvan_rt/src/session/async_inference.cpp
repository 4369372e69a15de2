// Inferences on a thread of their own, collected through a future.

#include <chrono>

#include "session/private_impl.hpp"

namespace korvanrt::client {

std::future<void> PrivateImpl::forwardAsync(const std::vector<ErtTensorType>& inputs,
                                            std::vector<ErtTensorType>& outputs) {
  return std::async(std::launch::async, [this, &inputs, &outputs] {
    const std::vector<ErtTensorType> ins(inputs), outs(outputs);
    executeRunnerOn(ins, outs);
  });
}

std::future<void> PrivateImpl::forwardAsync(const std::vector<std::vector<ErtTensorType>>& inputs,
                                            std::vector<std::vector<ErtTensorType>>& outputs) {
  return std::async(std::launch::async,
                    [this, &inputs, &outputs] { forwardErtTensorBatch(inputs, outputs); });
}

std::future_status PrivateImpl::waitFor(std::future<void>& future, int64_t timeoutMs) {
  if (!future.valid()) throw std::future_error(std::future_errc::no_state);
  if (timeoutMs < 0) {
    future.wait();
    return std::future_status::ready;
  }
  if (timeoutMs == 0) return future.wait_for(std::chrono::seconds(0));
  return future.wait_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
}

void PrivateImpl::waitForwardAsync(std::future<void>& future, uint64_t timeoutMs) {
  // The interface carries the time limit unsigned; all-ones (-1) means no
  // limit.
  waitFor(future, static_cast<int64_t>(timeoutMs));
}

}  // namespace korvanrt::client
