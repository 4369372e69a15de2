#include "qel/command_state.hpp"

namespace qel {

std::string to_string(command_state state) {
  switch (state) {
    case command_state::new_command:
      return "NEW";
    case command_state::queued:
      return "QUEUED";
    case command_state::running:
      return "RUNNING";
    case command_state::completed:
      return "COMPLETED";
    case command_state::error:
      return "ERROR";
    case command_state::abort:
      return "ABORT";
    case command_state::submitted:
      return "SUBMITTED";
    case command_state::timeout:
      return "TIMEOUT";
    case command_state::no_response:
      return "NORESPONSE";
  }
  return "UNKNOWN";
}

bool is_final(command_state state) {
  switch (state) {
    case command_state::completed:
    case command_state::error:
    case command_state::abort:
    case command_state::timeout:
    case command_state::no_response:
      return true;
    default:
      return false;
  }
}

}  // namespace qel
