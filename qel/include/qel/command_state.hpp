#pragma once

#include <string>

namespace qel {

// Life cycle of a command (a run or a run list) on the device. The numbers are
// stable: callers print them and compare them.
enum class command_state : int {
  new_command = 1,  // created or finished with, not submitted
  queued = 2,       // submitted, waiting for an engine
  running = 3,      // executing on an engine
  completed = 4,    // finished without fault
  error = 5,        // the program faulted (bad address, bad instruction, ...)
  abort = 6,        // stopped by the device before it finished
  submitted = 7,    // handed to the device queue (reported by run lists)
  timeout = 8,      // the device gave up on the command
  no_response = 9,  // the device stopped answering
};

// "ERROR", "COMPLETED", ... ; "UNKNOWN" for numbers outside the enumeration.
std::string to_string(command_state state);

// True for completed and the four failure states.
bool is_final(command_state state);

}  // namespace qel
