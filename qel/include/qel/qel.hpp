#pragma once

// The device runtime: devices, configuration containers, hardware contexts,
// kernels, buffer objects, runs and run lists. Every handle is a cheap value:
// copying shares the object, a default-constructed handle is empty and tests
// false; like a shared pointer, a const handle still reaches a mutable object.
// Failures raise qel::error (a std::runtime_error) unless noted.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "qel/command_state.hpp"
#include "qel/uuid.hpp"

namespace qel {

namespace detail {
struct fabpak_impl;
struct device_impl;
struct hw_context_impl;
struct kernel_impl;
struct bo_impl;
struct run_impl;
struct runlist_impl;
struct elf_impl;
struct module_impl;
}  // namespace detail

// Every failure the runtime reports.
class error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using memory_group = std::uint32_t;

// A configuration container: the kernels a device can run and the device's
// properties (see README.md for the format).
class fabpak {
 public:
  fabpak() = default;
  explicit fabpak(const std::string& path);
  explicit fabpak(const std::vector<char>& bytes);
  fabpak(const void* data, std::size_t size);

  uuid get_uuid() const;
  std::vector<std::string> kernel_names() const;

  explicit operator bool() const { return impl_ != nullptr; }
  std::shared_ptr<const detail::fabpak_impl> get_handle() const { return impl_; }

 private:
  std::shared_ptr<const detail::fabpak_impl> impl_;
};

// Device 0 is the inference engine, device 1 the programmable-logic fabric.
// Handles to the same index share one device while any of them lives.
class device {
 public:
  device() = default;
  explicit device(unsigned int index);

  // Makes the container's kernels available to hardware contexts; registering
  // the same uuid again is harmless.
  uuid register_fabpak(const fabpak& container);
  unsigned int get_index() const;

  explicit operator bool() const { return impl_ != nullptr; }
  friend bool operator==(const device&, const device&) = default;
  std::shared_ptr<detail::device_impl> get_handle() const { return impl_; }

 private:
  std::shared_ptr<detail::device_impl> impl_;
};

class hw_context {
 public:
  enum class access_mode : std::uint8_t { exclusive = 0, shared = 1 };
  using qos_type = std::map<std::string, std::uint32_t>;

  hw_context() = default;
  // The uuid must have been registered on the device. Known QoS keys:
  // priority, gops, fps, latency, dma_bandwidth, frame_execution_time, egops.
  hw_context(const device& dev, const uuid& container, const qos_type& qos);
  hw_context(const device& dev, const uuid& container, access_mode mode);

  device get_device() const;
  uuid get_uuid() const;
  qos_type get_qos() const;
  access_mode get_mode() const;

  explicit operator bool() const { return impl_ != nullptr; }
  friend bool operator==(const hw_context&, const hw_context&) = default;
  std::shared_ptr<detail::hw_context_impl> get_handle() const { return impl_; }

 private:
  std::shared_ptr<detail::hw_context_impl> impl_;
};

class kernel {
 public:
  kernel() = default;
  // The context's container must provide a kernel of that name.
  kernel(const hw_context& ctx, const std::string& name);

  // Memory group for buffers passed at argument `argno` (0 to 63).
  memory_group group_id(int argno) const;
  std::string get_name() const;

  explicit operator bool() const { return impl_ != nullptr; }
  friend bool operator==(const kernel&, const kernel&) = default;
  std::shared_ptr<detail::kernel_impl> get_handle() const { return impl_; }

 protected:
  std::shared_ptr<detail::kernel_impl> impl_;
};

// A device buffer with host-visible memory and a device address. Host and
// device see the same memory; sync checks the range and orders nothing else.
class bo {
 public:
  enum class flags : std::uint32_t { normal = 0, cacheable = 1u << 24 };
  enum class direction : int { to_device = 0, from_device = 1 };

  bo() = default;
  bo(const device& dev, std::size_t size, memory_group group);
  bo(const device& dev, std::size_t size, flags f, memory_group group);
  bo(const hw_context& ctx, std::size_t size, memory_group group);
  bo(const hw_context& ctx, std::size_t size, flags f, memory_group group);
  // Sub-buffer: `size` bytes of `parent` from `offset`; shares and keeps alive
  // the parent's memory.
  bo(const bo& parent, std::size_t size, std::size_t offset);

  // Host pointer to the first byte, valid while any handle to the memory lives.
  void* map() const;
  template <typename T>
  T map() const {
    return static_cast<T>(map());
  }
  void write(const void* src, std::size_t size, std::size_t offset) const;
  void write(const void* src) const { write(src, size(), 0); }
  void read(void* dst, std::size_t size, std::size_t offset) const;
  void read(void* dst) const { read(dst, size(), 0); }
  void sync(direction dir, std::size_t size, std::size_t offset) const;
  void sync(direction dir) const { sync(dir, size(), 0); }

  // Device address of the first byte (48-bit space).
  std::uint64_t address() const;
  std::size_t size() const;
  flags get_flags() const;
  memory_group get_group() const;

  explicit operator bool() const { return impl_ != nullptr; }
  // Identity: the same buffer object, not equal contents or addresses.
  friend bool operator==(const bo&, const bo&) = default;
  std::shared_ptr<detail::bo_impl> get_handle() const { return impl_; }

 protected:
  std::shared_ptr<detail::bo_impl> impl_;
};

// An ELF64 file holding a device program in its ".qel.program" section.
class elf {
 public:
  elf() = default;
  elf(const void* data, std::size_t size);
  explicit elf(const std::vector<char>& bytes) : elf(bytes.data(), bytes.size()) {}
  explicit elf(const std::string& path);

  explicit operator bool() const { return impl_ != nullptr; }
  std::shared_ptr<const detail::elf_impl> get_handle() const { return impl_; }

 private:
  std::shared_ptr<const detail::elf_impl> impl_;
};

// The loadable program of an ELF.
class module {
 public:
  module() = default;
  explicit module(const elf& file);

  std::size_t program_size() const;

  explicit operator bool() const { return impl_ != nullptr; }
  std::shared_ptr<const detail::module_impl> get_handle() const { return impl_; }

 private:
  std::shared_ptr<const detail::module_impl> impl_;
};

namespace ext {

// Host-visible buffer: on fresh device memory, or over caller memory (which
// must outlive every handle to the buffer).
class bo : public qel::bo {
 public:
  bo() = default;
  bo(const device& dev, std::size_t size);
  bo(const device& dev, void* host_ptr, std::size_t size);
  bo(const hw_context& ctx, std::size_t size);
};

// A kernel whose program comes from a module instead of an instruction buffer.
class kernel : public qel::kernel {
 public:
  kernel() = default;
  kernel(const hw_context& ctx, const module& mod, const std::string& name);
};

}  // namespace ext

// One execution of a kernel. Arguments are captured when the run starts;
// changing them afterwards affects the next start only.
class run {
 public:
  run() = default;
  explicit run(const kernel& k);

  void set_arg_at_index(int index, const qel::bo& buffer);
  // The value's own size counts: pass std::uint64_t for 8-byte arguments.
  void set_arg_at_index(int index, const void* value, std::size_t bytes);
  template <typename T>
  requires(std::is_trivially_copyable_v<T> && !std::is_pointer_v<T> &&
           !std::is_base_of_v<qel::bo, T>) void set_arg_at_index(int index, const T& value) {
    set_arg_at_index(index, &value, sizeof(T));
  }

  // Submits the run; raises when it is already queued or running.
  void start();
  // Waits up to `timeout` (0: no limit) and returns the state, which is still
  // queued or running when the limit passed.
  command_state wait(std::chrono::milliseconds timeout = std::chrono::milliseconds{0}) const;
  // Like wait, but reports an elapsed limit as std::cv_status::timeout and
  // raises qel::error when the run ended in a failure state.
  std::cv_status wait2(std::chrono::milliseconds timeout = std::chrono::milliseconds{0}) const;
  command_state state() const;
  // What the device reported for the last failed execution; empty otherwise.
  std::string error_text() const;

  explicit operator bool() const { return impl_ != nullptr; }
  friend bool operator==(const run&, const run&) = default;
  std::shared_ptr<detail::run_impl> get_handle() const { return impl_; }

 private:
  friend class runlist;
  explicit run(std::shared_ptr<detail::run_impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<detail::run_impl> impl_;
};

// Runs executed one after the other; the first failure stops the list.
class runlist {
 public:
  class command_error : public error {
   public:
    command_error(const qel::run& failed, command_state state, const std::string& what);
    command_state get_command_state() const { return state_; }
    const qel::run& get_run() const { return run_; }

   private:
    qel::run run_;
    command_state state_;
  };

  runlist() = default;
  explicit runlist(const hw_context& ctx);

  // The run's kernel must belong to the list's context; not while executing.
  void add(const qel::run& r);
  void execute();
  // std::cv_status::timeout when the limit (0: none) passed; raises
  // command_error naming the failing run when one failed.
  std::cv_status wait(std::chrono::milliseconds timeout = std::chrono::milliseconds{0}) const;
  command_state state() const;
  std::size_t size() const;

  explicit operator bool() const { return impl_ != nullptr; }
  friend bool operator==(const runlist&, const runlist&) = default;

 private:
  std::shared_ptr<detail::runlist_impl> impl_;
};

namespace ini {
// Recognised keys: "Debug.ml_timeline" ("true"/"false") and "Emulator.faults"
// (the syntax of the QEL_EMU_FAULTS environment variable). Other keys raise.
void set(const std::string& key, const std::string& value);
// The value last set, or `fallback`.
std::string get(const std::string& key, const std::string& fallback = "");
}  // namespace ini

}  // namespace qel
