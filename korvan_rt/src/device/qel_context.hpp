#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qel/qel.hpp"

namespace pellix {

// The device objects that every runner built from one configuration container
// shares: the opened device, the loaded container, one hardware context with
// its "DPU" kernel and one spill buffer (device scratch memory). Contexts are
// created on first request, one per container uuid, and live until the
// process ends. A second registry holds the contexts of the
// programmable-logic device.
struct qel_context {
  qel::device device;
  qel::fabpak fabpak;
  std::map<std::string, std::uint32_t> qos;
  qel::hw_context hw_context;
  qel::kernel kernel;
  qel::device pl_device;
  qel::fabpak pl_fabpak;
  qel::hw_context pl_hw_context;
  std::uint64_t spill_size = 0xFFFF0000ull;
  std::uint64_t fallback_spill_size = 0x80000000ull;
  qel::bo spill_bo;

  // The main context for the container `bytes`, created on first request. A
  // later request for the same container returns it unchanged (its kernel
  // name and QoS map are then ignored). Device runtime errors propagate and
  // register nothing.
  static qel_context& get_instance(const std::vector<char>& bytes, const std::string& kernel_name,
                                   const std::map<std::string, std::uint32_t>& qos);
  // The programmable-logic context for the container file at `path`.
  static qel_context& init_pl_instance(const std::string& path);

  // The shared spill buffer, created on first request: spill_size bytes,
  // falling back to fallback_spill_size. Throws std::runtime_error
  // "Can not create Spill BO: ..." when neither can be had.
  qel::bo& get_spill_bo();
  // As above, but a first request sets spill_size from `size` (0 keeps it;
  // above 4 GiB is refused with a message and the fall-back size is used).
  // Once the buffer exists the size is ignored.
  qel::bo& get_spill_bo(std::uint64_t size);

  qel_context(const qel_context&) = delete;
  qel_context& operator=(const qel_context&) = delete;

 private:
  qel_context() = default;
  qel::bo make_spill(std::uint64_t size) const;

  std::mutex spill_mutex_;
};

}  // namespace pellix
