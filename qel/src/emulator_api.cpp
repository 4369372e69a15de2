// The public control functions of the emulator and the ini keys.

#include "emulator_state.hpp"
#include "qel/qel.hpp"

namespace qel {

namespace emu {
void set_fault(std::uint64_t nth_run, command_state state) {
  detail::emulator_state::get().set_fault(nth_run, state);
}
void set_hang(std::uint64_t nth_run) {
  detail::emulator_state::get().set_hang(nth_run);
}
void set_run_delay(std::chrono::microseconds delay) {
  detail::emulator_state::get().set_delay(delay);
}
void set_memory_capacity(std::uint64_t bytes) {
  detail::emulator_state::get().set_memory_capacity(bytes);
}
void set_engines(unsigned int count) {
  detail::emulator_state::get().set_engines(count);
}
void configure(const std::string& settings) {
  detail::emulator_state::get().configure(settings);
}
void reset() {
  detail::emulator_state::get().reset();
}
std::uint64_t memory_capacity() {
  return detail::emulator_state::get().memory_capacity();
}
std::uint64_t memory_in_use() {
  return detail::emulator_state::get().memory_in_use();
}
std::uint64_t runs_submitted() {
  return detail::emulator_state::get().runs_submitted();
}
std::vector<timeline_entry> timeline() {
  return detail::emulator_state::get().timeline();
}
void clear_timeline() {
  detail::emulator_state::get().clear_timeline();
}
}  // namespace emu

namespace ini {
void set(const std::string& key, const std::string& value) {
  detail::emulator_state::get().ini_set(key, value);
}
std::string get(const std::string& key, const std::string& fallback) {
  return detail::emulator_state::get().ini_get(key, fallback);
}
}  // namespace ini

}  // namespace qel
