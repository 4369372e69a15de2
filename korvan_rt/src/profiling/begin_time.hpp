#pragma once

#include <chrono>

namespace korvanrt {

// Reference time of every profiling record in the process: the load time of
// the library unless a session's "beginTime" option replaced it.
extern std::chrono::system_clock::time_point begin_time;

}  // namespace korvanrt
