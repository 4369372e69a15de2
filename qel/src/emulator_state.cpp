#include "emulator_state.hpp"

#include <cstdlib>
#include <stdexcept>

#include "qel/qel.hpp"

namespace qel::detail {

namespace {

constexpr std::size_t max_timeline = 65536;

std::uint64_t parse_number(const std::string& text, const std::string& what) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19)
    throw error(what + ": \"" + text + "\" is not a number");
  return std::stoull(text);
}

std::uint64_t parse_bytes(std::string text, const std::string& what) {
  std::uint64_t scale = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
      case 'k':
        scale = 1ull << 10;
        break;
      case 'M':
      case 'm':
        scale = 1ull << 20;
        break;
      case 'G':
      case 'g':
        scale = 1ull << 30;
        break;
      default:
        break;
    }
    if (scale != 1) text.pop_back();
  }
  const auto n = parse_number(text, what);
  if (n > UINT64_MAX / scale) throw error(what + ": value too large");
  return n * scale;
}

command_state parse_state(const std::string& text, const std::string& what) {
  if (text == "error" || text == "5") return command_state::error;
  if (text == "abort" || text == "6") return command_state::abort;
  if (text == "timeout" || text == "8") return command_state::timeout;
  if (text == "no_response" || text == "noresponse" || text == "9")
    return command_state::no_response;
  throw error(what + ": \"" + text +
              "\" is not a failure state (error, abort, timeout, no_response)");
}

void check_fault_state(command_state s) {
  if (s != command_state::error && s != command_state::abort && s != command_state::timeout &&
      s != command_state::no_response)
    throw error("fault state must be error, abort, timeout or no_response, not " + to_string(s));
}

}  // namespace

void apply_settings(settings& s, const std::string& text, const std::string& source) {
  std::size_t pos = 0;
  while (pos <= text.size()) {
    auto end = text.find(';', pos);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(pos, end - pos);
    pos = end + 1;
    while (!item.empty() && item.front() == ' ') item.erase(item.begin());
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item.empty()) continue;
    const auto eq = item.find('=');
    if (eq == std::string::npos) throw error(source + ": \"" + item + "\" lacks '='");
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    const std::string what = source + " " + key;
    if (key == "fail") {
      const auto colon = value.find(':');
      if (colon == std::string::npos) throw error(what + ": expected N:STATE");
      const auto n = parse_number(value.substr(0, colon), what);
      if (n == 0) throw error(what + ": runs are numbered from 1");
      s.faults[n] = parse_state(value.substr(colon + 1), what);
    } else if (key == "hang") {
      const auto n = parse_number(value, what);
      if (n == 0) throw error(what + ": runs are numbered from 1");
      s.hangs[n] = true;
    } else if (key == "delay_ms") {
      s.delay = std::chrono::milliseconds(parse_number(value, what));
    } else if (key == "delay_us") {
      s.delay = std::chrono::microseconds(parse_number(value, what));
    } else if (key == "memory") {
      s.memory_capacity = parse_bytes(value, what);
    } else if (key == "engines") {
      const auto n = parse_number(value, what);
      if (n < 1 || n > 16) throw error(what + ": must be 1 to 16");
      s.engines = static_cast<unsigned>(n);
    } else {
      throw error(source + ": unknown setting \"" + key + "\"");
    }
  }
}

emulator_state::emulator_state() {
  if (const char* env = std::getenv("QEL_EMU_FAULTS"))
    apply_settings(initial_, env, "QEL_EMU_FAULTS");
  current_ = initial_;
}

emulator_state& emulator_state::get() {
  static emulator_state* state = new emulator_state();
  return *state;
}

run_plan emulator_state::next_run() {
  std::lock_guard lock(m_);
  run_plan plan;
  plan.number = ++run_counter_;
  if (auto it = current_.faults.find(plan.number); it != current_.faults.end())
    plan.fault = it->second;
  plan.hang = current_.hangs.count(plan.number) != 0;
  plan.delay = current_.delay;
  return plan;
}

void emulator_state::configure(const std::string& text) {
  std::lock_guard lock(m_);
  settings s = current_;
  apply_settings(s, text, "qel emulator settings");
  current_ = std::move(s);
}

void emulator_state::reset() {
  {
    std::lock_guard lock(m_);
    current_ = initial_;
    run_counter_ = 0;
    timeline_.clear();
  }
  {
    std::lock_guard lock(sleep_m_);
    ++epoch_;
  }
  sleep_cv_.notify_all();
}

void emulator_state::set_fault(std::uint64_t nth, command_state state) {
  check_fault_state(state);
  if (nth == 0) throw error("set_fault: runs are numbered from 1");
  std::lock_guard lock(m_);
  current_.faults[nth] = state;
}

void emulator_state::set_hang(std::uint64_t nth) {
  if (nth == 0) throw error("set_hang: runs are numbered from 1");
  std::lock_guard lock(m_);
  current_.hangs[nth] = true;
}

void emulator_state::set_delay(std::chrono::microseconds d) {
  std::lock_guard lock(m_);
  current_.delay = d < std::chrono::microseconds{0} ? std::chrono::microseconds{0} : d;
}

void emulator_state::set_memory_capacity(std::uint64_t bytes) {
  std::lock_guard lock(m_);
  current_.memory_capacity = bytes;
}

void emulator_state::set_engines(unsigned int count) {
  if (count < 1 || count > 16) throw error("set_engines: must be 1 to 16");
  std::lock_guard lock(m_);
  current_.engines = count;
}

unsigned int emulator_state::engines() const {
  std::lock_guard lock(m_);
  return current_.engines;
}

void emulator_state::reserve_memory(std::uint64_t bytes) {
  std::lock_guard lock(m_);
  if (bytes > current_.memory_capacity || memory_in_use_ > current_.memory_capacity - bytes)
    throw error("qel: out of device memory: cannot allocate " + std::to_string(bytes) + " bytes (" +
                std::to_string(memory_in_use_) + " of " + std::to_string(current_.memory_capacity) +
                " bytes in use)");
  memory_in_use_ += bytes;
}

void emulator_state::release_memory(std::uint64_t bytes) {
  std::lock_guard lock(m_);
  memory_in_use_ -= bytes;
}

std::uint64_t emulator_state::memory_capacity() const {
  std::lock_guard lock(m_);
  return current_.memory_capacity;
}

std::uint64_t emulator_state::memory_in_use() const {
  std::lock_guard lock(m_);
  return memory_in_use_;
}

std::uint64_t emulator_state::runs_submitted() const {
  std::lock_guard lock(m_);
  return run_counter_;
}

void emulator_state::ini_set(const std::string& key, const std::string& value) {
  if (key == "Debug.ml_timeline") {
    if (value != "true" && value != "false")
      throw error("ini: Debug.ml_timeline takes \"true\" or \"false\", not \"" + value + "\"");
    std::lock_guard lock(m_);
    ini_[key] = value;
    timeline_on_.store(value == "true", std::memory_order_relaxed);
    return;
  }
  if (key == "Emulator.faults") {
    configure(value);
    std::lock_guard lock(m_);
    ini_[key] = value;
    return;
  }
  throw error("ini: unknown key \"" + key + "\"");
}

std::string emulator_state::ini_get(const std::string& key, const std::string& fallback) const {
  std::lock_guard lock(m_);
  auto it = ini_.find(key);
  return it == ini_.end() ? fallback : it->second;
}

void emulator_state::record(emu::timeline_entry entry) {
  std::lock_guard lock(m_);
  if (timeline_.size() < max_timeline) timeline_.push_back(std::move(entry));
}

std::vector<emu::timeline_entry> emulator_state::timeline() const {
  std::lock_guard lock(m_);
  return timeline_;
}

void emulator_state::clear_timeline() {
  std::lock_guard lock(m_);
  timeline_.clear();
}

bool emulator_state::sleep_until(std::optional<std::chrono::steady_clock::time_point> deadline,
                                 const std::atomic<bool>& closing) {
  std::unique_lock lock(sleep_m_);
  const auto start_epoch = epoch_;
  auto interrupted = [&] { return epoch_ != start_epoch || closing.load(); };
  if (!deadline) {
    sleep_cv_.wait(lock, interrupted);
    return false;
  }
  return !sleep_cv_.wait_until(lock, *deadline, interrupted);
}

void emulator_state::wake_sleepers() {
  { std::lock_guard lock(sleep_m_); }
  sleep_cv_.notify_all();
}

}  // namespace qel::detail
