#pragma once

// Device code behind kernels, chosen by the implementation name that a
// container gives each kernel.

#include <cstdint>
#include <string>
#include <vector>

#include "fabpak_format.hpp"
#include "qel/command_state.hpp"

namespace qel::detail {

struct kernel_impl;
struct kernel_arg;

struct kernel_call {
  const kernel_impl& kernel;
  const std::vector<kernel_arg>& args;
  const device_properties& properties;
};

struct kernel_outcome {
  command_state state = command_state::completed;
  std::string message;       // why the run failed
  std::uint64_t sim_ns = 0;  // simulated device time
};

using kernel_function = kernel_outcome (*)(const kernel_call&);

// Null for an unknown implementation name.
kernel_function find_kernel_function(const std::string& implementation);

// "dpu": executes device programs (dpu_kernel.cpp).
kernel_outcome run_dpu(const kernel_call& call);

}  // namespace qel::detail
