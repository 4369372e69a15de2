#pragma once

// A device with one container ("DPU" and a no-op kernel) and helpers that
// bind runs the way the runtime does.

#include <cstdint>
#include <cstring>
#include <vector>

#include "qel/emulator.hpp"
#include "qel/fabpak_builder.hpp"
#include "qel/program_builder.hpp"
#include "qel/qel.hpp"

namespace qel_test {

inline qel::uuid test_uuid(std::uint8_t last) {
  std::array<std::uint8_t, 16> b{0x51, 0xe1};
  b[15] = last;
  return qel::uuid(b);
}

inline constexpr std::uint64_t address_offset = 0x80000000ull;

struct test_device {
  explicit test_device(std::uint8_t id = 1,
                       std::vector<std::pair<std::string, std::uint64_t>> props = {}) {
    qel::fabpak_builder b(test_uuid(id));
    b.add_kernel("DPU").add_kernel("NOOP", "noop");
    for (const auto& [k, v] : props) b.set_property(k, v);
    container = qel::fabpak(b.build());
    dev = qel::device(0);
    dev.register_fabpak(container);
    ctx = qel::hw_context(dev, container.get_uuid(), qel::hw_context::qos_type{{"gops", 1}});
    dpu = qel::kernel(ctx, "DPU");
  }

  // Instruction buffer of a program, as the runtime builds it.
  qel::bo instruction_bo(const qel::program::builder& p) const {
    const auto bytes = p.instruction_buffer();
    qel::bo bo(ctx, bytes.size(), qel::bo::flags::cacheable, dpu.group_id(1));
    bo.write(bytes.data());
    bo.sync(qel::bo::direction::to_device);
    return bo;
  }

  // A run in the instruction-buffer form with the given data arguments from
  // index 3 on (device addresses with the offset added).
  qel::run txn_run(const qel::bo& instr, const std::vector<qel::bo>& data) const {
    qel::run r(dpu);
    r.set_arg_at_index(0, std::uint64_t{2});
    r.set_arg_at_index(1, instr);
    r.set_arg_at_index(2, std::uint64_t{instr.size() / 4});
    for (std::size_t i = 0; i < data.size(); ++i)
      r.set_arg_at_index(static_cast<int>(3 + i), data[i].address() + address_offset);
    return r;
  }

  qel::bo buffer(std::size_t size) const { return qel::ext::bo(dev, size); }

  qel::fabpak container;
  qel::device dev;
  qel::hw_context ctx;
  qel::kernel dpu;
};

// Runs `r` to its end and returns the final state.
inline qel::command_state finish(qel::run& r) {
  r.start();
  return r.wait();
}

template <typename T>
std::vector<T> contents(const qel::bo& bo) {
  std::vector<T> v(bo.size() / sizeof(T));
  bo.read(v.data(), v.size() * sizeof(T), 0);
  return v;
}

}  // namespace qel_test
