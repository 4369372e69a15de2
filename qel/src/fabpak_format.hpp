#pragma once

// The configuration container format (documented in README.md).

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qel/uuid.hpp"

namespace qel::detail {

inline constexpr char fabpak_magic[8] = {'Q', 'F', 'A', 'B', 'P', 'A', 'K', '\0'};
inline constexpr std::uint32_t fabpak_version = 1;
inline constexpr std::size_t fabpak_header_size = 40;
inline constexpr std::size_t fabpak_max_entries = 256;
inline constexpr std::size_t fabpak_max_name = 255;

// Simulated cost model of a device (0 = free).
struct device_properties {
  std::uint64_t run_overhead_ns = 0;
  std::uint64_t op_overhead_ns = 0;
  std::uint64_t bytes_per_us = 0;
  std::uint64_t macs_per_us = 0;
};

struct fabpak_kernel {
  std::string name;
  std::string implementation;
};

struct fabpak_impl {
  qel::uuid id;
  std::vector<fabpak_kernel> kernels;
  std::map<std::string, std::uint64_t> properties;
  device_properties device;

  const fabpak_kernel* find_kernel(const std::string& name) const;
};

// Parses and checks container bytes; raises qel::error naming the fault.
fabpak_impl parse_fabpak(const void* data, std::size_t size);

}  // namespace qel::detail
