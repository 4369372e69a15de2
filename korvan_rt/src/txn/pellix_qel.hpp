#pragma once

#include <rapidjson/fwd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "device/qel_context.hpp"
#include "korvanrt/io_api.hpp"
#include "qel/qel.hpp"
#include "txn/ctrl_pkt_patch.hpp"

namespace trelm::fbs {
struct SubPartition;
}

namespace korvanrt {

class HWClusterParams;

// Hash for string-keyed maps that are searched by string_view without
// building a std::string.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <typename T>
using NameMap = std::unordered_map<std::string, T, NameHash, std::equal_to<>>;

// The transaction runtime of one partition: the partition's transaction
// binaries (or ELF modules) as instruction buffers, one run per subgraph and
// buffer set, one run list per buffer set, and the control packet of every
// buffer set, patched with the device addresses of the set's buffers.
//
// Argument operations for different buffer sets may run on different
// threads at once (patch_argument, patch_arguments); construction and
// set_arguments/set_argument come first, on one thread.
class pellix_qel {
 public:
  using AddressMaps = std::vector<std::map<std::string, uint64_t>>;
  using BufferMaps = std::vector<std::map<std::string, qel::bo>>;

  // Devices see buffer addresses with this offset added.
  static constexpr uint64_t kAddressOffset = 0x80000000ull;
  static constexpr int kDefaultDebugPort = 9000;

  // From partition files. `ctrlPktPatchReader` is not read: the patch list
  // comes from the external-buffer descriptions. Readers are only read here.
  pellix_qel(const std::vector<KorvanIOReader*>& txnReaders, KorvanIOReader* ctrlPktReader,
             KorvanIOReader* ctrlPktPatchReader, const int32_t& numBufferSets,
             pellix::qel_context* context, const std::vector<KorvanIOReader*>& extBufReaders);
  // From a sub-partition of an in-memory model package (one subgraph).
  pellix_qel(const trelm::fbs::SubPartition* subPartition, const int32_t& numBufferSets,
             pellix::qel_context* context);
  virtual ~pellix_qel();

  pellix_qel(const pellix_qel&) = delete;
  pellix_qel& operator=(const pellix_qel&) = delete;

  // Binds every buffer set of a single-subgraph partition and patches every
  // set's control packet. One entry per buffer set in `addresses` (plain
  // address() values), `buffers`, `inputs` and `outputs`.
  virtual void set_arguments(const AddressMaps& addresses, const BufferMaps& buffers,
                             const qel::bo& weights, const std::vector<qel::bo>& inputs,
                             const std::vector<qel::bo>& outputs,
                             const std::vector<qel::bo>& spills);
  // Rebinds buffer set `b` after its buffers changed and re-patches its
  // control packet. Reads no file and allocates nothing in the runtime.
  virtual void patch_arguments(const AddressMaps& addresses, const BufferMaps& buffers,
                               const qel::bo& weights,
                               const std::vector<std::vector<qel::bo>>& inputs,
                               const std::vector<std::vector<qel::bo>>& outputs,
                               const std::vector<qel::bo>& spills, const HWClusterParams& params,
                               int32_t b);
  // Binds the whole argument list of run (s, b).
  virtual void set_argument(const qel::bo& weights, const qel::bo& input, const qel::bo& output,
                            const qel::bo& spill, uint32_t s, uint32_t b);
  // Rebinds the four data arguments of run (s, b).
  virtual void patch_argument(const qel::bo& weights, const qel::bo& input, const qel::bo& output,
                              const qel::bo& spill, uint32_t s, uint32_t b);
  // Puts the runs of buffer set `b` into its run list.
  virtual void add_run(const int32_t& b);
  // Executes buffer set `b` once and waits for it.
  virtual void run_graph(const int32_t& b);
  // Executes chunk run list `p` of buffer set `b` once and waits for it.
  virtual void run_graph_pipe(const int32_t& b, int32_t p);

  void load_txn_bin(KorvanIOReader* reader);
  void load_txn_bin(const uint8_t* data, size_t available);
  // Writes `address` into every control-packet location of buffer `name` in
  // buffer set `b` (no sync).
  void get_addr_and_apply(uint64_t address, int32_t b, const std::string& name);
  // The layer-wise debug hook entered instead of failing when
  // ENABLE_ML_DEBUG is positive.
  void wait_ml_debug(int32_t level);

  // TCP port of the layer-wise debug server on the loopback address
  // (default 9000).
  void set_debug_port(int port) { debug_port_ = port; }
  // Limit of each wait for the device (default 20 s); QEMU_TEST=1 lifts it.
  void set_wait_limit(std::chrono::milliseconds limit) { wait_limit_ = limit; }

  // State shared with the hardware runner: it fills pipe_runlists_, sets
  // preemption_ and extends the index tables; tests inspect the rest.
  bool qemu_test_ = false;
  pellix::qel_context* context_ = nullptr;
  qel::kernel kernel_;
  std::vector<qel::run> runs_;
  std::vector<qel::runlist> runlists_;
  std::vector<std::vector<qel::runlist>> pipe_runlists_;
  std::vector<ControlPacketPatch> ctrl_pkt_patches_;
  std::vector<uint8_t*> ctrl_pkt_mapped_;
  std::vector<std::vector<uint8_t>> ctrl_pkt_pristine_;
  uint64_t ctrl_pkt_size_ = 0;
  std::vector<qel::bo> instr_bos_;
  std::vector<qel::bo> ctrl_pkt_bos_;
  int32_t num_buffer_sets_ = 0;
  int32_t num_subgraphs_ = 0;
  bool patch_ctrl_pkt_ = true;
  std::unique_ptr<rapidjson::Document> ext_buf_doc_;
  std::vector<rapidjson::Value> external_buffers_;
  NameMap<std::vector<int32_t>> patch_indices_;
  NameMap<int32_t> qel_id_by_name_;
  bool elf_mode_ = false;
  bool ctrl_elf_ = false;
  bool preemption_ = false;
  std::vector<qel::elf> elfs_;
  std::vector<qel::module> modules_;
  std::vector<qel::ext::kernel> elf_kernels_;
  std::vector<int32_t> wts_arg_idx_, ifm_arg_idx_, ofm_arg_idx_, ctrl_pkt_arg_idx_, spill_arg_idx_;

 protected:
  // Device address of a buffer as the device sees it; 0 for an empty handle.
  static uint64_t deviceAddress(const qel::bo& bo);
  // As deviceAddress, but a failing address() also gives 0.
  static uint64_t deviceAddressOrZero(const qel::bo& bo);
  // The object of the external-buffer description of subgraph `s`; throws
  // when the description had none.
  const rapidjson::Value& externalBuffers(size_t s) const;
  qel::run& runAt(uint32_t s, uint32_t b);
  void checkBufferSet(int64_t b) const;

 private:
  void initCommon(const int32_t& numBufferSets, pellix::qel_context* context, int32_t subgraphs);
  void loadElf(std::vector<char> data, bool ctrlElf);
  void createRuns();
  void parseExternalBuffers(const char* text, size_t length, size_t index);
  void loadCtrlPkt(const uint8_t* data, uint64_t size);
  void loadCtrlPktFile(KorvanIOReader* reader);
  void checkPatchOffsets() const;
  void appendDefaultIndices();
  void readQemuTest();
  void writePatchedWord(size_t b, const ControlPacketPatch& patch, uint64_t address);
  std::chrono::milliseconds waitLimit() const;

  int debug_port_ = kDefaultDebugPort;
  std::chrono::milliseconds wait_limit_{20000};
};

}  // namespace korvanrt
