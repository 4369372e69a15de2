#pragma once

// Device memory: host-backed blocks with unique device addresses in a 48-bit
// space, and the lookup from a device address back to a live block.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace qel::detail {

// Device addresses start here and stay below address_limit, so that an
// address plus 0x80000000 still fits 48 bits.
inline constexpr std::uint64_t address_base = std::uint64_t{1} << 32;
inline constexpr std::uint64_t address_limit = (std::uint64_t{1} << 48) - (std::uint64_t{1} << 32);
// Unused device addresses between two blocks, so an access that runs past a
// block never lands in its neighbour.
inline constexpr std::uint64_t address_guard = 64 * 1024;

struct memory_block {
  std::byte* host = nullptr;
  std::uint64_t size = 0;
  std::uint64_t address = 0;
  std::uint64_t mapped = 0;  // bytes mapped and counted against capacity; 0 for caller memory

  memory_block() = default;
  memory_block(const memory_block&) = delete;
  memory_block& operator=(const memory_block&) = delete;
  ~memory_block();
};

// Fresh zero-filled memory; pages cost nothing until touched. Raises qel::error
// when the device-memory capacity or the address space is exhausted.
std::shared_ptr<memory_block> allocate_memory(std::uint64_t size);
// Caller memory under a device address.
std::shared_ptr<memory_block> wrap_memory(void* host, std::uint64_t size);

struct resolved_memory {
  std::shared_ptr<memory_block> block;
  std::byte* ptr = nullptr;
};
// The live block holding [address, address + length), or nothing.
std::optional<resolved_memory> resolve_address(std::uint64_t address, std::uint64_t length);

}  // namespace qel::detail
