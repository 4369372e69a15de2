#include "device/qel_context.hpp"

#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace pellix {

namespace {

using registry = std::map<qel::uuid, qel_context*>;

// Registries are only touched under this lock; contexts are never freed.
std::mutex& registry_mutex() {
  static std::mutex m;
  return m;
}

}  // namespace

qel_context& qel_context::get_instance(const std::vector<char>& bytes,
                                       const std::string& kernel_name,
                                       const std::map<std::string, std::uint32_t>& qos) {
  // The registries stay for the life of the process, like the contexts they
  // hold; they are never destroyed, so the contexts stay reachable to the end.
  static auto& ctx_ = *new registry();
  std::lock_guard lock(registry_mutex());
  const auto id = qel::fabpak(bytes).get_uuid();
  if (auto found = ctx_.find(id); found != ctx_.end()) return *found->second;

  std::unique_ptr<qel_context> c(new qel_context());
  c->device = qel::device(0);
  c->fabpak = qel::fabpak(bytes);
  c->qos = qos;
  c->device.register_fabpak(c->fabpak);
  c->hw_context = qel::hw_context(c->device, c->fabpak.get_uuid(), c->qos);
  c->kernel = qel::kernel(c->hw_context, kernel_name);
  auto* raw = c.release();
  ctx_.emplace(id, raw);
  return *raw;
}

qel_context& qel_context::init_pl_instance(const std::string& path) {
  static auto& pl_ctx_ = *new registry();
  std::lock_guard lock(registry_mutex());
  const auto id = qel::fabpak(path).get_uuid();
  if (auto found = pl_ctx_.find(id); found != pl_ctx_.end()) return *found->second;

  std::unique_ptr<qel_context> c(new qel_context());
  c->pl_device = qel::device(1);
  c->pl_fabpak = qel::fabpak(path);
  c->pl_device.register_fabpak(c->pl_fabpak);
  c->pl_hw_context =
      qel::hw_context(c->pl_device, c->pl_fabpak.get_uuid(), qel::hw_context::access_mode::shared);
  auto* raw = c.release();
  pl_ctx_.emplace(id, raw);
  return *raw;
}

qel::bo qel_context::make_spill(std::uint64_t size) const {
  return qel::ext::bo(device, size);
}

qel::bo& qel_context::get_spill_bo() {
  std::lock_guard lock(spill_mutex_);
  if (spill_bo) return spill_bo;
  try {
    spill_bo = make_spill(spill_size);
  } catch (...) {
    std::cout << "Spill size is too large, trying smaller size" << std::endl;
    try {
      spill_bo = make_spill(fallback_spill_size);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("Can not create Spill BO: ") + e.what());
    }
  }
  return spill_bo;
}

qel::bo& qel_context::get_spill_bo(std::uint64_t size) {
  std::lock_guard lock(spill_mutex_);
  if (spill_bo) return spill_bo;
  if (size > 0xFFFFFFFFull) {
    std::cout << "ERROR! Max Spill Buffer Size is greater than 4GB" << std::endl;
  } else {
    if (size != 0) spill_size = size;
    try {
      spill_bo = make_spill(spill_size);
      return spill_bo;
    } catch (...) {
    }
  }
  try {
    spill_bo = make_spill(fallback_spill_size);
  } catch (...) {
    try {
      spill_bo = make_spill(fallback_spill_size);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("Can not create Spill BO: ") + e.what());
    }
  }
  return spill_bo;
}

}  // namespace pellix
