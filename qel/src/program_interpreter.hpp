#pragma once

// Executes a device program against the arguments of a run.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fabpak_format.hpp"
#include "qel/command_state.hpp"

namespace qel::detail {

struct kernel_arg;

// Raised inside the device: ends the run in `state`.
class device_fault : public std::runtime_error {
 public:
  device_fault(command_state s, const std::string& what) : std::runtime_error(what), state(s) {}
  command_state state;
};

// `transaction` is the 16-byte header followed by the instructions; returns
// the simulated device time in nanoseconds. Raises device_fault.
std::uint64_t execute_program(const std::byte* transaction, std::size_t size,
                              const std::vector<kernel_arg>& args, const device_properties& props);

}  // namespace qel::detail
