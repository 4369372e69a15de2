#pragma once

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace korvanrt {

// File the event log is written to, in the working directory.
inline constexpr const char* kGraphLogFile = "record_timer_subgraph_cpu_ts.json";

// Process-wide log of hardware-runner creations ("context_init") and device
// executions ("execution"). All operations are serialised.
class graphs {
 public:
  // The first call removes a kGraphLogFile left in the working directory.
  static graphs& get_instance();

  void record_graph_init(const std::string& model, const uint32_t& cluster);
  void record_graph_run(const std::string& model, const uint32_t& cluster);

  // Writes the log to `path` unless a file of that name exists. Throws
  // std::runtime_error "Unable to open file <path>" when it cannot be created.
  void toJSON(std::string path);

  graphs(const graphs&) = delete;
  graphs& operator=(const graphs&) = delete;

 private:
  graphs();
  void record(const char* kind, const std::string& model, uint32_t cluster);

  std::mutex mutex_;
  nlohmann::ordered_json log_;
};

}  // namespace korvanrt
