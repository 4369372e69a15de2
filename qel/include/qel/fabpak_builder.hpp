#pragma once

// Writes configuration containers (format in README.md).

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "qel/uuid.hpp"

namespace qel {

class fabpak_builder {
 public:
  explicit fabpak_builder(const uuid& id) : uuid_(id) {}

  // `implementation` names the device code behind the kernel: "dpu" runs
  // device programs.
  fabpak_builder& add_kernel(const std::string& name, const std::string& implementation = "dpu");
  // Device properties, e.g. "run_overhead_ns", "op_overhead_ns", "bytes_per_us",
  // "macs_per_us".
  fabpak_builder& set_property(const std::string& key, std::uint64_t value);

  std::vector<char> build() const;

 private:
  uuid uuid_;
  std::vector<std::pair<std::string, std::string>> kernels_;
  std::map<std::string, std::uint64_t> properties_;
};

}  // namespace qel
