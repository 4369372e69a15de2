#pragma once

// Implementation objects of runs and run lists, and the execution of a run on
// a device engine.

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bo_impl.hpp"
#include "device_impl.hpp"
#include "emulator_state.hpp"

namespace qel::detail {

struct kernel_arg {
  enum class kind { unset, bytes, buffer };
  kind what = kind::unset;
  std::vector<std::byte> bytes;
  std::shared_ptr<bo_impl> buffer;
};

struct run_impl {
  std::shared_ptr<kernel_impl> kern;
  mutable std::mutex m;
  mutable std::condition_variable cv;
  std::vector<kernel_arg> args;
  command_state state = command_state::new_command;
  std::string error_text;
};

// A run prepared for the device: its arguments as they were at submission.
struct submission {
  std::shared_ptr<run_impl> run;
  std::vector<kernel_arg> args;
  run_plan plan;
  command_state previous = command_state::new_command;  // restored if never executed
};

// Marks the run queued and captures its arguments; raises when it is already
// queued or running.
submission prepare_submission(const std::shared_ptr<run_impl>& run);
struct execution_result {
  command_state state = command_state::completed;
  std::string text;  // what the device reported for a failure
};

// Executes on an engine thread: running, the kernel, simulated time, final state.
execution_result execute_submission(submission& s, const std::atomic<bool>& closing);
// Puts a prepared but never executed run back to its earlier state.
void cancel_submission(submission& s);

struct runlist_impl {
  std::shared_ptr<hw_context_impl> ctx;
  mutable std::mutex m;
  mutable std::condition_variable cv;
  std::vector<std::shared_ptr<run_impl>> runs;
  command_state state = command_state::new_command;
  std::size_t failed_index = 0;
  std::string failure_text;
};

}  // namespace qel::detail
