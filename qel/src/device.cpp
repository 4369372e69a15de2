// Devices, configuration containers, hardware contexts and kernels.

#include <fstream>
#include <iterator>
#include <set>

#include "device_impl.hpp"
#include "elf_impl.hpp"
#include "emulator_state.hpp"
#include "kernel_functions.hpp"

namespace qel {

namespace detail {

std::shared_ptr<device_impl> open_device(unsigned int index) {
  if (index > 1)
    throw error("qel: no device " + std::to_string(index) +
                " (0: inference engine, 1: programmable logic)");
  static std::mutex m;
  static auto* devices = new std::weak_ptr<device_impl>[2];
  std::lock_guard lock(m);
  if (auto dev = devices[index].lock()) return dev;
  auto dev = std::make_shared<device_impl>(index, emulator_state::get().engines());
  devices[index] = dev;
  return dev;
}

hw_context_impl::~hw_context_impl() {
  if (dev) {
    std::lock_guard lock(dev->m);
    --dev->contexts;
  }
}

}  // namespace detail

namespace {

std::shared_ptr<detail::hw_context_impl> make_context(const device& dev, const uuid& id) {
  auto d = dev.get_handle();
  if (!d) throw error("qel: hardware context on an empty device handle");
  auto ctx = std::make_shared<detail::hw_context_impl>();
  std::lock_guard lock(d->m);
  auto it = d->fabpaks.find(id);
  if (it == d->fabpaks.end())
    throw error("qel: no container with uuid " + id.to_string() + " is registered on device " +
                std::to_string(d->index));
  if (d->contexts >= detail::max_contexts_per_device)
    throw error("qel: device " + std::to_string(d->index) + " has no free hardware context (" +
                std::to_string(detail::max_contexts_per_device) + " in use)");
  ++d->contexts;
  ctx->dev = d;
  ctx->container = it->second;
  return ctx;
}

std::shared_ptr<detail::kernel_impl> make_kernel(const hw_context& ctx, const std::string& name) {
  auto c = ctx.get_handle();
  if (!c) throw error("qel: kernel \"" + name + "\" on an empty hardware context");
  const auto* entry = c->container->find_kernel(name);
  if (!entry)
    throw error("qel: kernel \"" + name + "\" not found in container " +
                c->container->id.to_string());
  if (!detail::find_kernel_function(entry->implementation))
    throw error("qel: kernel \"" + name + "\" needs implementation \"" + entry->implementation +
                "\", which this device does not provide");
  auto k = std::make_shared<detail::kernel_impl>();
  k->ctx = c;
  k->name = name;
  k->implementation = entry->implementation;
  return k;
}

}  // namespace

fabpak::fabpak(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw error("fabpak: cannot open \"" + path + "\"");
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw error("fabpak: cannot read \"" + path + "\"");
  impl_ = std::make_shared<detail::fabpak_impl>(detail::parse_fabpak(bytes.data(), bytes.size()));
}

fabpak::fabpak(const std::vector<char>& bytes) : fabpak(bytes.data(), bytes.size()) {}

fabpak::fabpak(const void* data, std::size_t size)
    : impl_(std::make_shared<detail::fabpak_impl>(detail::parse_fabpak(data, size))) {}

uuid fabpak::get_uuid() const {
  if (!impl_) throw error("fabpak: empty handle");
  return impl_->id;
}

std::vector<std::string> fabpak::kernel_names() const {
  if (!impl_) throw error("fabpak: empty handle");
  std::vector<std::string> names;
  for (const auto& k : impl_->kernels) names.push_back(k.name);
  return names;
}

device::device(unsigned int index) : impl_(detail::open_device(index)) {}

uuid device::register_fabpak(const fabpak& container) {
  if (!impl_) throw error("qel: register_fabpak on an empty device handle");
  auto f = container.get_handle();
  if (!f) throw error("qel: register_fabpak with an empty container");
  std::lock_guard lock(impl_->m);
  impl_->fabpaks.emplace(f->id, f);
  return f->id;
}

unsigned int device::get_index() const {
  if (!impl_) throw error("qel: empty device handle");
  return impl_->index;
}

hw_context::hw_context(const device& dev, const uuid& container, const qos_type& qos) {
  static const std::set<std::string> known = {
      "priority", "gops", "fps", "latency", "dma_bandwidth", "frame_execution_time", "egops"};
  for (const auto& [key, value] : qos)
    if (!known.count(key)) throw error("qel: unknown QoS key \"" + key + "\"");
  impl_ = make_context(dev, container);
  impl_->qos = qos;
}

hw_context::hw_context(const device& dev, const uuid& container, access_mode mode) {
  if (mode != access_mode::exclusive && mode != access_mode::shared)
    throw error("qel: unknown access mode " + std::to_string(static_cast<int>(mode)));
  impl_ = make_context(dev, container);
  impl_->mode = mode;
}

device hw_context::get_device() const {
  if (!impl_) throw error("qel: empty hardware context handle");
  device d;
  d = device(impl_->dev->index);
  return d;
}

uuid hw_context::get_uuid() const {
  if (!impl_) throw error("qel: empty hardware context handle");
  return impl_->container->id;
}

hw_context::qos_type hw_context::get_qos() const {
  if (!impl_) throw error("qel: empty hardware context handle");
  return impl_->qos;
}

hw_context::access_mode hw_context::get_mode() const {
  if (!impl_) throw error("qel: empty hardware context handle");
  return impl_->mode;
}

kernel::kernel(const hw_context& ctx, const std::string& name) : impl_(make_kernel(ctx, name)) {}

memory_group kernel::group_id(int argno) const {
  if (!impl_) throw error("qel: group_id on an empty kernel handle");
  if (argno < 0 || argno >= detail::max_kernel_args)
    throw error("qel: kernel \"" + impl_->name + "\" has no argument " + std::to_string(argno));
  // Instruction memory (argument 1 of the device-program kernel) is its own
  // group; everything else lives in group 0.
  return impl_->implementation == "dpu" && argno == 1 ? 1 : 0;
}

std::string kernel::get_name() const {
  if (!impl_) throw error("qel: empty kernel handle");
  return impl_->name;
}

ext::kernel::kernel(const hw_context& ctx, const module& mod, const std::string& name) {
  auto m = mod.get_handle();
  if (!m) throw error("qel: kernel \"" + name + "\" from an empty module");
  impl_ = make_kernel(ctx, name);
  if (impl_->implementation != "dpu")
    throw error("qel: kernel \"" + name + "\" does not run device programs");
  impl_->program = std::move(m);
}

}  // namespace qel
