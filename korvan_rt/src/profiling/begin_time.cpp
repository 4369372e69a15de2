#include "profiling/begin_time.hpp"

namespace korvanrt {

std::chrono::system_clock::time_point begin_time = std::chrono::system_clock::now();

}  // namespace korvanrt
