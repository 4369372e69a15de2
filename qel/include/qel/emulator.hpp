#pragma once

// Control of the emulated device for tests: fault injection, run delays,
// device-memory capacity and the device timeline. The same settings can come
// from the QEL_EMU_FAULTS environment variable (read once, at first use) or
// the ini key "Emulator.faults"; see README.md.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "qel/command_state.hpp"

namespace qel::emu {

// Runs are numbered from 1 in the order they are submitted (run::start, and
// each run of a run list at runlist::execute), across all devices, counting
// from process start or the last reset().

// The n-th run ends in `state` (error, abort, timeout or no_response) without
// executing its program.
void set_fault(std::uint64_t nth_run, command_state state);
// The n-th run never finishes: it stays running (and occupies its engine)
// until reset(), and then ends in abort.
void set_hang(std::uint64_t nth_run);
// Every run takes at least this much longer on the device.
void set_run_delay(std::chrono::microseconds delay);
// Total device memory of all devices; allocations beyond it fail. Memory over
// caller pointers is not counted.
void set_memory_capacity(std::uint64_t bytes);
// Number of engines (worker threads) per device, 1 to 16. Raising it applies at
// the next submission; lowering it applies to devices opened afterwards.
void set_engines(unsigned int count);
// Applies settings in the QEL_EMU_FAULTS syntax, e.g. "fail=3:error;delay_ms=5".
void configure(const std::string& settings);
// Back to the settings at process start (QEL_EMU_FAULTS), counters cleared,
// hung runs released.
void reset();

std::uint64_t memory_capacity();
std::uint64_t memory_in_use();
std::uint64_t runs_submitted();

// Recorded while "Debug.ml_timeline" is "true" (at most 65536 entries).
struct timeline_entry {
  std::uint64_t run_number;
  std::string kernel;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point end;
  command_state state;
};
std::vector<timeline_entry> timeline();
void clear_timeline();

}  // namespace qel::emu
