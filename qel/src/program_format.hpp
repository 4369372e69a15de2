#pragma once

// Binary layout of device programs (documented in README.md). Shared by the
// assembler and the device.

#include <cstddef>
#include <cstdint>

namespace qel::detail {

inline constexpr char program_magic[4] = {'Q', 'P', 'R', 'G'};
inline constexpr std::uint16_t program_version = 1;
inline constexpr std::size_t transaction_header_size = 16;
inline constexpr std::size_t op_header_size = 8;  // op type, op size
inline constexpr std::size_t instruction_header_size = 8;
inline constexpr std::size_t operand_size = 24;

// Values of kernel argument 0.
inline constexpr std::uint64_t opcode_transaction = 2;
inline constexpr std::uint64_t opcode_elf = 3;
// Device addresses in arguments and control-packet words carry this offset.
inline constexpr std::uint64_t device_address_offset = 0x80000000ull;
inline constexpr std::uint64_t address_mask_48 = (std::uint64_t{1} << 48) - 1;

enum class opcode : std::uint16_t {
  copy = 1,
  fill = 2,
  conv1x1_bf16 = 3,
  conv1x1_int8 = 4,
  add = 5,
  delay = 6,
  fault = 7,
};

// Size in bytes of an instruction, header included; 0 for unknown opcodes.
constexpr std::size_t instruction_size(std::uint16_t op) {
  switch (static_cast<opcode>(op)) {
    case opcode::copy:
      return instruction_header_size + 2 * operand_size + 8;
    case opcode::fill:
      return instruction_header_size + operand_size + 16;
    case opcode::conv1x1_bf16:
      return instruction_header_size + 4 * operand_size + 24;
    case opcode::conv1x1_int8:
      return instruction_header_size + 4 * operand_size + 40;
    case opcode::add:
      return instruction_header_size + 3 * operand_size + 16;
    case opcode::delay:
      return instruction_header_size + 8;
    case opcode::fault:
      return instruction_header_size + 8;
  }
  return 0;
}

inline constexpr std::uint32_t conv_flag_relu = 1;

}  // namespace qel::detail
