#include "profiling/graphs.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace korvanrt {

graphs::graphs() {
  std::error_code ignored;
  std::filesystem::remove(kGraphLogFile, ignored);
}

graphs& graphs::get_instance() {
  static graphs instance;
  return instance;
}

void graphs::record(const char* kind, const std::string& model, uint32_t cluster) {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  nlohmann::ordered_json event;
  event["subgraph_name"] = model;
  event["cluster_id"] = std::to_string(cluster);
  event["timestamp"] = std::to_string(now);
  std::lock_guard lock(mutex_);
  log_[kind].push_back(std::move(event));
}

void graphs::record_graph_init(const std::string& model, const uint32_t& cluster) {
  record("context_init", model, cluster);
}

void graphs::record_graph_run(const std::string& model, const uint32_t& cluster) {
  record("execution", model, cluster);
}

void graphs::toJSON(std::string path) {
  std::lock_guard lock(mutex_);
  std::error_code ignored;
  if (std::filesystem::exists(path, ignored)) return;
  std::ofstream out(path);
  if (!out) throw std::runtime_error("Unable to open file " + path);
  // Model names are caller text; bytes that are not UTF-8 are replaced rather
  // than failing the dump.
  out << log_.dump(4, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

}  // namespace korvanrt
