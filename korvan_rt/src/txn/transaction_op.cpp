#include "txn/transaction_op.hpp"

#include <cstring>
#include <stdexcept>

namespace korvanrt {

namespace {

uint32_t loadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void storeLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

instr_base::~instr_base() = default;

uint32_t instr_base::size() const {
  return loadLe32(op_header_.get() + 4);
}

uint32_t transactionTotalSize(const uint8_t* header) {
  return loadLe32(header + transaction_op::kTotalSizeOffset);
}

transaction_op::transaction_op(const uint8_t* txn, size_t available) {
  if (available < kHeaderSize)
    throw std::runtime_error("Transaction binary of " + std::to_string(available) +
                             " bytes is shorter than its header");
  const uint32_t total = transactionTotalSize(txn);
  if (total < kHeaderSize || total > available)
    throw std::runtime_error("Transaction binary states " + std::to_string(total) + " bytes but " +
                             std::to_string(available) + " are available");
  if (total > UINT32_MAX - 8)
    throw std::runtime_error("Transaction binary of " + std::to_string(total) +
                             " bytes is too large");
  txn_size_ = total;
  cmd_buf_.assign(txn, txn + total);
  op_header_ = std::make_unique<uint8_t[]>(8);
  storeLe32(op_header_.get(), 0);
  storeLe32(op_header_.get() + 4, total + 8);
}

void transaction_op::serialize(uint8_t* out) const {
  std::memcpy(out, op_header_.get(), 8);
  std::memcpy(out + 8, cmd_buf_.data(), txn_size_);
}

}  // namespace korvanrt
