#include "device_memory.hpp"

#include <sys/mman.h>

#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "emulator_state.hpp"
#include "qel/qel.hpp"

namespace qel::detail {

namespace {

constexpr std::uint64_t page = 4096;

struct address_space {
  std::shared_mutex m;
  std::uint64_t next = address_base;
  std::map<std::uint64_t, std::weak_ptr<memory_block>> blocks;  // by address
};

address_space& space() {
  static auto* s = new address_space();  // outlives every block
  return *s;
}

std::uint64_t round_up(std::uint64_t v, std::uint64_t to) {
  return (v + to - 1) / to * to;
}

void assign_address(const std::shared_ptr<memory_block>& block) {
  auto& s = space();
  std::unique_lock lock(s.m);
  const auto span = round_up(block->size == 0 ? 1 : block->size, page) + address_guard;
  if (span > address_limit - s.next) throw error("qel: device address space exhausted");
  block->address = s.next;
  s.next += span;
  s.blocks.emplace(block->address, block);
}

}  // namespace

memory_block::~memory_block() {
  if (address != 0) {
    auto& s = space();
    std::unique_lock lock(s.m);
    s.blocks.erase(address);
  }
  if (mapped != 0) {
    munmap(host, mapped);
    emulator_state::get().release_memory(mapped);
  }
}

std::shared_ptr<memory_block> allocate_memory(std::uint64_t size) {
  if (size > address_limit - address_base)
    throw error("qel: cannot allocate " + std::to_string(size) + " bytes of device memory");
  const std::uint64_t length = round_up(size == 0 ? 1 : size, page);
  auto& state = emulator_state::get();
  state.reserve_memory(length);
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    state.release_memory(length);
    throw error("qel: cannot allocate " + std::to_string(size) + " bytes of device memory");
  }
  auto block = std::make_shared<memory_block>();
  block->host = static_cast<std::byte*>(p);
  block->size = size;
  block->mapped = length;
  assign_address(block);
  return block;
}

std::shared_ptr<memory_block> wrap_memory(void* host, std::uint64_t size) {
  if (host == nullptr) throw error("qel: host pointer of a user buffer is null");
  if (size > address_limit - address_base)
    throw error("qel: user buffer of " + std::to_string(size) + " bytes is too large");
  auto block = std::make_shared<memory_block>();
  block->host = static_cast<std::byte*>(host);
  block->size = size;
  assign_address(block);
  return block;
}

std::optional<resolved_memory> resolve_address(std::uint64_t address, std::uint64_t length) {
  auto& s = space();
  std::shared_lock lock(s.m);
  auto it = s.blocks.upper_bound(address);
  if (it == s.blocks.begin()) return std::nullopt;
  --it;
  auto block = it->second.lock();
  if (!block) return std::nullopt;
  const auto offset = address - block->address;
  if (offset > block->size || length > block->size - offset) return std::nullopt;
  return resolved_memory{block, block->host + offset};
}

}  // namespace qel::detail
