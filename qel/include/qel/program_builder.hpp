#pragma once

// Assembles device programs for the "DPU" kernel (instruction set in
// README.md) into the forms the runtime hands to the device: the transaction
// binary ("ml_txn.bin"), the instruction buffer built from it, and an ELF.

#include <chrono>
#include <cstdint>
#include <vector>

#include "qel/command_state.hpp"

namespace qel::program {

// Where an instruction reads or writes.
struct operand {
  enum class kind : std::uint8_t { none = 0, argument = 1, control_word = 2 };
  kind how = kind::none;
  std::uint8_t arg = 0;      // kernel argument index
  std::uint64_t offset = 0;  // byte offset added to the resolved address
  std::uint64_t word = 0;    // control_word: byte offset of the 64-bit word in argument `arg`

  // Bytes of kernel argument `index` from `offset`.
  static operand argument(std::uint8_t index, std::uint64_t offset = 0) {
    return {kind::argument, index, offset, 0};
  }
  // The address in the low 48 bits of the 64-bit word at `word_offset` of
  // argument `index` (the control packet), plus `offset`.
  static operand control_word(std::uint8_t index, std::uint64_t word_offset,
                              std::uint64_t offset = 0) {
    return {kind::control_word, index, offset, word_offset};
  }
  static operand none() { return {}; }
};

// Tensor shape of a pointwise convolution over HCWNC8 tensors.
struct conv_shape {
  std::uint32_t height = 1;
  std::uint32_t width = 1;
  std::uint32_t batch = 1;
  std::uint32_t in_channels = 8;
  std::uint32_t out_channels = 8;
};

// int8 requantization: y = clamp(out_zero + round((acc * multiplier) / 2^shift)).
struct requant {
  std::int32_t in_zero = 0;
  std::int32_t out_zero = 0;
  std::int32_t multiplier = 1;
  std::int32_t shift = 0;
};

enum class element_type : std::uint32_t { bf16 = 0, int8 = 1, fp32 = 2 };

class builder {
 public:
  builder& copy(const operand& dst, const operand& src, std::uint64_t bytes);
  builder& fill(const operand& dst, std::uint8_t value, std::uint64_t bytes);
  // dst/src HCWNC8 bf16, weights bf16 [out][in], bias fp32 [out] or none.
  builder& conv1x1_bf16(const conv_shape& shape, const operand& dst, const operand& src,
                        const operand& weights, const operand& bias, bool relu);
  // dst/src HCWNC8 int8, weights int8 [out][in], bias int32 [out] or none.
  builder& conv1x1_int8(const conv_shape& shape, const requant& q, const operand& dst,
                        const operand& src, const operand& weights, const operand& bias, bool relu);
  builder& add(element_type type, const operand& dst, const operand& a, const operand& b,
               std::uint64_t count);
  // Simulated device time.
  builder& delay(std::chrono::nanoseconds time);
  // Ends the run in `state` (error, abort, timeout or no_response).
  builder& fault(command_state state);

  std::uint32_t instruction_count() const { return count_; }
  // 16-byte header followed by the program.
  std::vector<char> transaction() const;
  // Op header (type 0, size) followed by the transaction, as the runtime
  // places it in an instruction buffer.
  std::vector<char> instruction_buffer() const;
  // ELF64 with the transaction in its ".qel.program" section.
  std::vector<char> elf() const;

 private:
  std::vector<char> code_;
  std::uint32_t count_ = 0;
};

// Wraps a transaction into an ELF64 file (section ".qel.program").
std::vector<char> make_elf(const std::vector<char>& transaction);

}  // namespace qel::program
