// What a device engine does with one submitted run.

#include <chrono>

#include "kernel_functions.hpp"
#include "run_impl.hpp"

namespace qel::detail {

namespace {

void set_state(run_impl& r, command_state s, std::string text = {}) {
  {
    std::lock_guard lock(r.m);
    r.state = s;
    r.error_text = std::move(text);
  }
  r.cv.notify_all();
}

kernel_outcome call_kernel(const kernel_impl& k, const std::vector<kernel_arg>& args) {
  const auto fn = find_kernel_function(k.implementation);
  if (!fn) return {command_state::error, "no implementation for kernel " + k.name, 0};
  try {
    return fn(kernel_call{k, args, k.ctx->container->device});
  } catch (const std::exception& e) {
    return {command_state::error, e.what(), 0};
  } catch (...) {
    return {command_state::error, "unknown device fault", 0};
  }
}

}  // namespace

submission prepare_submission(const std::shared_ptr<run_impl>& run) {
  std::lock_guard lock(run->m);
  if (run->state == command_state::queued || run->state == command_state::running)
    throw error("qel: run of kernel \"" + run->kern->name + "\" is already in flight");
  submission s{run, run->args, {}, run->state};
  run->state = command_state::queued;
  run->error_text.clear();
  return s;
}

void cancel_submission(submission& s) {
  set_state(*s.run, s.previous);
}

execution_result execute_submission(submission& s, const std::atomic<bool>& closing) {
  auto& r = *s.run;
  const auto& kern = *r.kern;
  auto& state = emulator_state::get();
  set_state(r, command_state::running);
  const auto start = std::chrono::steady_clock::now();

  kernel_outcome out;
  if (s.plan.fault) {
    out = {*s.plan.fault, "fault injected into run " + std::to_string(s.plan.number), 0};
  } else if (s.plan.hang) {
    state.sleep_until(std::nullopt, closing);
    out = {command_state::abort, "hung run " + std::to_string(s.plan.number) + " released", 0};
  } else {
    out = call_kernel(kern, s.args);
  }

  const auto& props = kern.ctx->container->device;
  const auto simulated = std::chrono::nanoseconds(props.run_overhead_ns + out.sim_ns) +
                         std::chrono::duration_cast<std::chrono::nanoseconds>(s.plan.delay);
  if (simulated.count() > 0) {
    const auto deadline = start + simulated;
    if (std::chrono::steady_clock::now() < deadline) state.sleep_until(deadline, closing);
  }

  if (state.timeline_enabled())
    state.record({s.plan.number, kern.name, start, std::chrono::steady_clock::now(), out.state});
  execution_result result{out.state,
                          out.state == command_state::completed ? std::string() : out.message};
  set_state(r, result.state, result.text);
  return result;
}

}  // namespace qel::detail
