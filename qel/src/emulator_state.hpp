#pragma once

// Process-wide settings of the emulated devices: fault plan, delays, memory
// capacity, engine count, ini keys, timeline and the run counter.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qel/emulator.hpp"

namespace qel::detail {

// What the device does with one submitted run.
struct run_plan {
  std::uint64_t number = 0;
  std::optional<command_state> fault;
  bool hang = false;
  std::chrono::microseconds delay{0};
};

struct settings {
  std::map<std::uint64_t, command_state> faults;
  std::map<std::uint64_t, bool> hangs;
  std::chrono::microseconds delay{0};
  std::uint64_t memory_capacity = std::uint64_t{16} << 30;
  unsigned int engines = 1;
};

// Applies "key=value;..." settings onto `s`; raises qel::error.
void apply_settings(settings& s, const std::string& text, const std::string& source);

class emulator_state {
 public:
  // Never destroyed, so worker threads and static destructors elsewhere may
  // still use it at process exit.
  static emulator_state& get();

  run_plan next_run();
  void configure(const std::string& text);
  void reset();

  void set_fault(std::uint64_t nth, command_state state);
  void set_hang(std::uint64_t nth);
  void set_delay(std::chrono::microseconds d);
  void set_memory_capacity(std::uint64_t bytes);
  void set_engines(unsigned int count);
  unsigned int engines() const;

  // Device memory accounting; reserve raises qel::error when over capacity.
  void reserve_memory(std::uint64_t bytes);
  void release_memory(std::uint64_t bytes);
  std::uint64_t memory_capacity() const;
  std::uint64_t memory_in_use() const;
  std::uint64_t runs_submitted() const;

  void ini_set(const std::string& key, const std::string& value);
  std::string ini_get(const std::string& key, const std::string& fallback) const;
  bool timeline_enabled() const { return timeline_on_.load(std::memory_order_relaxed); }
  void record(emu::timeline_entry entry);
  std::vector<emu::timeline_entry> timeline() const;
  void clear_timeline();

  // Sleeps until `deadline` (forever when nullopt). Returns false when woken
  // early by reset() or because `closing` became true.
  bool sleep_until(std::optional<std::chrono::steady_clock::time_point> deadline,
                   const std::atomic<bool>& closing);
  // Wakes sleepers so they re-check their `closing` flag.
  void wake_sleepers();

 private:
  emulator_state();

  mutable std::mutex m_;
  settings initial_;
  settings current_;
  std::uint64_t run_counter_ = 0;
  std::uint64_t memory_in_use_ = 0;
  std::map<std::string, std::string> ini_;
  std::atomic<bool> timeline_on_{false};
  std::vector<emu::timeline_entry> timeline_;

  std::mutex sleep_m_;
  std::condition_variable sleep_cv_;
  std::uint64_t epoch_ = 0;
};

}  // namespace qel::detail
