#pragma once

#include <any>
#include <array>
#include <map>
#include <string>

namespace korvanrt::client {

// Named options a configuration file may set, in the order they are applied.
inline constexpr std::array<const char*, 6> kRuntimeOptionNames = {
    "num_of_trelmrt_threads",   "rounding_mode", "perf_mem_trade_off", "tvg_python_runtime_cfg",
    "pl_converter_fabpak_path", "use_host_ptr"};

// Applies the configuration file named by "config_json" to `options`, then
// takes "vistrel_profiling" into `profiling` and "beginTime" into the
// profiling reference time. An empty or missing path skips everything. A file
// that cannot be opened, is not JSON or has an array of mixed element types
// leaves `options` unchanged and throws.
void parseRuntimeOptions(std::map<std::string, std::any>& options, bool& profiling);

}  // namespace korvanrt::client
