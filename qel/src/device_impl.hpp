#pragma once

// Implementation objects of devices, hardware contexts and kernels.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine.hpp"
#include "fabpak_format.hpp"
#include "qel/qel.hpp"

namespace qel::detail {

inline constexpr unsigned int max_contexts_per_device = 64;
inline constexpr int max_kernel_args = 64;
inline constexpr memory_group max_memory_groups = 16;

struct device_impl {
  explicit device_impl(unsigned int idx, unsigned int engines) : index(idx), workers(engines) {}

  const unsigned int index;
  std::mutex m;
  std::map<uuid, std::shared_ptr<const fabpak_impl>> fabpaks;
  unsigned int contexts = 0;
  engine workers;  // last member: its threads stop before the rest is destroyed
};

// The device of that index, shared with every live handle to it.
std::shared_ptr<device_impl> open_device(unsigned int index);

struct hw_context_impl {
  std::shared_ptr<device_impl> dev;
  std::shared_ptr<const fabpak_impl> container;
  hw_context::qos_type qos;
  hw_context::access_mode mode = hw_context::access_mode::exclusive;

  hw_context_impl() = default;
  hw_context_impl(const hw_context_impl&) = delete;
  hw_context_impl& operator=(const hw_context_impl&) = delete;
  ~hw_context_impl();
};

struct module_impl;
struct kernel_function_table;

struct kernel_impl {
  std::shared_ptr<hw_context_impl> ctx;
  std::string name;
  std::string implementation;
  std::shared_ptr<const module_impl> program;  // set for kernels of an ELF module
};

}  // namespace qel::detail
