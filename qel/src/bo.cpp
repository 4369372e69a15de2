// Buffer objects: allocation, sub-buffers and checked host access.

#include <cstring>

#include "bo_impl.hpp"
#include "device_impl.hpp"

namespace qel {

namespace {

std::shared_ptr<detail::bo_impl> new_buffer(std::size_t size, bo::flags f, memory_group group) {
  if (group >= detail::max_memory_groups)
    throw error("qel: memory group " + std::to_string(group) + " does not exist");
  const auto raw = static_cast<std::uint32_t>(f);
  if ((raw & ~static_cast<std::uint32_t>(bo::flags::cacheable)) != 0)
    throw error("qel: unsupported buffer flags " + std::to_string(raw));
  auto b = std::make_shared<detail::bo_impl>();
  b->memory = detail::allocate_memory(size);
  b->size = size;
  b->flags = f;
  b->group = group;
  return b;
}

const detail::bo_impl& checked(const std::shared_ptr<detail::bo_impl>& impl, const char* op) {
  if (!impl) throw error(std::string("qel: ") + op + " on an empty buffer handle");
  return *impl;
}

void check_range(const detail::bo_impl& b, std::size_t size, std::size_t offset, const char* op) {
  if (offset > b.size || size > b.size - offset)
    throw error(std::string("qel: ") + op + " of " + std::to_string(size) + " bytes at offset " +
                std::to_string(offset) + " is outside the buffer of " + std::to_string(b.size) +
                " bytes");
}

void check_device(const device& dev) {
  if (!dev) throw error("qel: buffer on an empty device handle");
}

hw_context checked_context(const hw_context& ctx) {
  if (!ctx) throw error("qel: buffer on an empty hardware context handle");
  return ctx;
}

}  // namespace

bo::bo(const device& dev, std::size_t size, memory_group group)
    : bo(dev, size, flags::normal, group) {}

bo::bo(const device& dev, std::size_t size, flags f, memory_group group) {
  check_device(dev);
  impl_ = new_buffer(size, f, group);
}

bo::bo(const hw_context& ctx, std::size_t size, memory_group group)
    : bo(ctx, size, flags::normal, group) {}

bo::bo(const hw_context& ctx, std::size_t size, flags f, memory_group group) {
  checked_context(ctx);
  impl_ = new_buffer(size, f, group);
}

bo::bo(const bo& parent, std::size_t size, std::size_t offset) {
  const auto& p = checked(parent.impl_, "sub-buffer");
  check_range(p, size, offset, "sub-buffer");
  auto b = std::make_shared<detail::bo_impl>(p);
  b->offset = p.offset + offset;
  b->size = size;
  impl_ = std::move(b);
}

void* bo::map() const {
  return checked(impl_, "map").host();
}

void bo::write(const void* src, std::size_t size, std::size_t offset) const {
  const auto& b = checked(impl_, "write");
  check_range(b, size, offset, "write");
  if (size == 0) return;
  if (src == nullptr) throw error("qel: write from a null pointer");
  std::memmove(b.host() + offset, src, size);
}

void bo::read(void* dst, std::size_t size, std::size_t offset) const {
  const auto& b = checked(impl_, "read");
  check_range(b, size, offset, "read");
  if (size == 0) return;
  if (dst == nullptr) throw error("qel: read into a null pointer");
  std::memmove(dst, b.host() + offset, size);
}

void bo::sync(direction dir, std::size_t size, std::size_t offset) const {
  const auto& b = checked(impl_, "sync");
  if (dir != direction::to_device && dir != direction::from_device)
    throw error("qel: unknown sync direction " + std::to_string(static_cast<int>(dir)));
  check_range(b, size, offset, "sync");
  // Host and device share the memory: nothing to copy.
}

std::uint64_t bo::address() const {
  return checked(impl_, "address").address();
}
std::size_t bo::size() const {
  return checked(impl_, "size").size;
}
bo::flags bo::get_flags() const {
  return checked(impl_, "get_flags").flags;
}
memory_group bo::get_group() const {
  return checked(impl_, "get_group").group;
}

ext::bo::bo(const device& dev, std::size_t size) {
  check_device(dev);
  impl_ = new_buffer(size, flags::normal, 0);
}

ext::bo::bo(const device& dev, void* host_ptr, std::size_t size) {
  check_device(dev);
  auto b = std::make_shared<detail::bo_impl>();
  b->memory = detail::wrap_memory(host_ptr, size);
  b->size = size;
  impl_ = std::move(b);
}

ext::bo::bo(const hw_context& ctx, std::size_t size) {
  checked_context(ctx);
  impl_ = new_buffer(size, flags::normal, 0);
}

}  // namespace qel
