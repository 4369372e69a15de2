#include "hw_runner/hw_error.hpp"
#include "hw_runner/hw_runner_impl.hpp"

namespace korvanrt {

void KorvanHWRunnerImpl::preProcCustOpWtsBuffer(std::vector<qel::bo>&, qel::bo&, int) {
  HW_THROW("Custom-operator weight preparation is not available");
}

}  // namespace korvanrt
