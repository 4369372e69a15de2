#pragma once

#include <cstdint>
#include <memory>

#include "device_memory.hpp"
#include "qel/qel.hpp"

namespace qel::detail {

struct bo_impl {
  std::shared_ptr<memory_block> memory;
  std::uint64_t offset = 0;  // into `memory`
  std::uint64_t size = 0;
  bo::flags flags = bo::flags::normal;
  memory_group group = 0;

  std::byte* host() const { return memory->host + offset; }
  std::uint64_t address() const { return memory->address + offset; }
};

}  // namespace qel::detail
