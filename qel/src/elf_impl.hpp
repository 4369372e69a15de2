#pragma once

// Minimal ELF64 reading: header, section headers, section names.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel::detail {

// The section that holds a device program.
inline constexpr const char* program_section = ".qel.program";

struct elf_section {
  std::string name;
  std::uint32_t type = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

struct elf_impl {
  std::vector<char> bytes;
  std::vector<elf_section> sections;

  const elf_section* find(const std::string& name) const;
};

// Parses a little-endian ELF64 image; every offset is checked against the
// bytes. Raises qel::error.
elf_impl parse_elf(const void* data, std::size_t size);

// Writes a little-endian ELF64 image with one section `name` holding `payload`.
std::vector<char> write_elf(const std::string& name, const std::vector<char>& payload);

struct module_impl {
  std::vector<char> program;  // the transaction: 16-byte header and instructions
};

}  // namespace qel::detail
