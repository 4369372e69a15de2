#include "qel/program_builder.hpp"

#include <cstring>

#include "elf_impl.hpp"
#include "le_bytes.hpp"
#include "program_format.hpp"
#include "qel/qel.hpp"

namespace qel::program {

namespace {

using detail::append_le;

void begin(std::vector<char>& code, detail::opcode op) {
  append_le<std::uint16_t>(code, static_cast<std::uint16_t>(op));
  append_le<std::uint16_t>(
      code, static_cast<std::uint16_t>(detail::instruction_size(static_cast<std::uint16_t>(op))));
  append_le<std::uint32_t>(code, 0);
}

void put(std::vector<char>& code, const operand& op) {
  append_le<std::uint8_t>(code, static_cast<std::uint8_t>(op.how));
  append_le<std::uint8_t>(code, op.arg);
  append_le<std::uint16_t>(code, 0);
  append_le<std::uint32_t>(code, 0);
  append_le<std::uint64_t>(code, op.offset);
  append_le<std::uint64_t>(code, op.word);
}

void put(std::vector<char>& code, const conv_shape& s, bool relu) {
  for (auto v : {s.height, s.width, s.batch, s.in_channels, s.out_channels})
    append_le<std::uint32_t>(code, v);
  append_le<std::uint32_t>(code, relu ? detail::conv_flag_relu : 0);
}

}  // namespace

builder& builder::copy(const operand& dst, const operand& src, std::uint64_t bytes) {
  begin(code_, detail::opcode::copy);
  put(code_, dst);
  put(code_, src);
  append_le<std::uint64_t>(code_, bytes);
  ++count_;
  return *this;
}

builder& builder::fill(const operand& dst, std::uint8_t value, std::uint64_t bytes) {
  begin(code_, detail::opcode::fill);
  put(code_, dst);
  append_le<std::uint64_t>(code_, bytes);
  append_le<std::uint32_t>(code_, value);
  append_le<std::uint32_t>(code_, 0);
  ++count_;
  return *this;
}

builder& builder::conv1x1_bf16(const conv_shape& shape, const operand& dst, const operand& src,
                               const operand& weights, const operand& bias, bool relu) {
  begin(code_, detail::opcode::conv1x1_bf16);
  for (const auto* op : {&dst, &src, &weights, &bias}) put(code_, *op);
  put(code_, shape, relu);
  ++count_;
  return *this;
}

builder& builder::conv1x1_int8(const conv_shape& shape, const requant& q, const operand& dst,
                               const operand& src, const operand& weights, const operand& bias,
                               bool relu) {
  begin(code_, detail::opcode::conv1x1_int8);
  for (const auto* op : {&dst, &src, &weights, &bias}) put(code_, *op);
  put(code_, shape, relu);
  for (auto v : {q.in_zero, q.out_zero, q.multiplier, q.shift}) append_le<std::int32_t>(code_, v);
  ++count_;
  return *this;
}

builder& builder::add(element_type type, const operand& dst, const operand& a, const operand& b,
                      std::uint64_t count) {
  begin(code_, detail::opcode::add);
  for (const auto* op : {&dst, &a, &b}) put(code_, *op);
  append_le<std::uint32_t>(code_, static_cast<std::uint32_t>(type));
  append_le<std::uint32_t>(code_, 0);
  append_le<std::uint64_t>(code_, count);
  ++count_;
  return *this;
}

builder& builder::delay(std::chrono::nanoseconds time) {
  begin(code_, detail::opcode::delay);
  append_le<std::uint64_t>(code_, static_cast<std::uint64_t>(time.count() < 0 ? 0 : time.count()));
  ++count_;
  return *this;
}

builder& builder::fault(command_state state) {
  begin(code_, detail::opcode::fault);
  append_le<std::uint32_t>(code_, static_cast<std::uint32_t>(state));
  append_le<std::uint32_t>(code_, 0);
  ++count_;
  return *this;
}

std::vector<char> builder::transaction() const {
  const auto total = detail::transaction_header_size + code_.size();
  if (total > UINT32_MAX) throw error("program too large");
  std::vector<char> out(detail::program_magic, detail::program_magic + 4);
  append_le<std::uint16_t>(out, detail::program_version);
  append_le<std::uint16_t>(out, 0);
  append_le<std::uint32_t>(out, count_);
  append_le<std::uint32_t>(out, static_cast<std::uint32_t>(total));
  out.insert(out.end(), code_.begin(), code_.end());
  return out;
}

std::vector<char> builder::instruction_buffer() const {
  const auto txn = transaction();
  std::vector<char> out;
  append_le<std::uint32_t>(out, 0);
  append_le<std::uint32_t>(out, static_cast<std::uint32_t>(txn.size() + detail::op_header_size));
  out.insert(out.end(), txn.begin(), txn.end());
  return out;
}

std::vector<char> builder::elf() const {
  return make_elf(transaction());
}

std::vector<char> make_elf(const std::vector<char>& transaction) {
  return detail::write_elf(detail::program_section, transaction);
}

}  // namespace qel::program
