#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvanrt {

// One op of an instruction buffer: an 8-byte header (op type, op size in
// bytes, both little-endian 32-bit) followed by the op's payload.
class instr_base {
 public:
  virtual ~instr_base();
  // Writes the whole op (size() bytes) to `out`.
  virtual void serialize(uint8_t* out) const = 0;
  // Op size in bytes, header included, as stated in the header.
  virtual uint32_t size() const;
  virtual std::string type() const = 0;

 protected:
  std::unique_ptr<uint8_t[]> op_header_;  // 8 bytes
};

// A transaction binary wrapped as op type 0. The binary keeps its own
// 16-byte header; its total size sits at byte 12.
class transaction_op : public instr_base {
 public:
  static constexpr size_t kHeaderSize = 16;
  static constexpr size_t kTotalSizeOffset = 12;

  // Copies the binary at `txn`. `available` is the number of readable bytes
  // there; a total size below the header size or above `available` throws
  // std::runtime_error.
  transaction_op(const uint8_t* txn, size_t available);

  void serialize(uint8_t* out) const override;
  std::string type() const override { return "transaction_op"; }

 private:
  std::vector<uint8_t> cmd_buf_;
  uint32_t txn_size_ = 0;
};

// The total size stated by a transaction header (16 bytes at `header`).
uint32_t transactionTotalSize(const uint8_t* header);

}  // namespace korvanrt
