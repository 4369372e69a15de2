#pragma once

#include "txn/pellix_qel.hpp"

namespace korvanrt {

// The transaction runtime for kernels whose argument list holds only data
// buffers, each passed as a buffer object: no opcode, no instruction buffer,
// no control packet. A description's "qel_id" is the argument index itself.
class cert_qel : public pellix_qel {
 public:
  using pellix_qel::pellix_qel;

  void set_arguments(const AddressMaps& addresses, const BufferMaps& buffers,
                     const qel::bo& weights, const std::vector<qel::bo>& inputs,
                     const std::vector<qel::bo>& outputs,
                     const std::vector<qel::bo>& spills) override;
  void patch_arguments(const AddressMaps& addresses, const BufferMaps& buffers,
                       const qel::bo& weights, const std::vector<std::vector<qel::bo>>& inputs,
                       const std::vector<std::vector<qel::bo>>& outputs,
                       const std::vector<qel::bo>& spills, const HWClusterParams& params,
                       int32_t b) override;
  void set_argument(const qel::bo& weights, const qel::bo& input, const qel::bo& output,
                    const qel::bo& spill, uint32_t s, uint32_t b) override;

 private:
  void bindBufferSet(const BufferMaps& buffers, size_t b);
};

}  // namespace korvanrt
