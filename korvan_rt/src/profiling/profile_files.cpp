#include "profiling/profile_files.hpp"

#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

namespace korvanrt {
namespace {

using Json = nlohmann::ordered_json;

// Run i of the record takes every label of run i of the file.
void mergeRun(Json& record, size_t run, const Json& labels) {
  if (!labels.is_object()) return;
  if (run >= record.size()) record[run] = Json::object();
  Json& slot = record[run];
  if (slot.is_null()) slot = Json::object();
  if (!slot.is_object()) return;
  for (const auto& [label, intervals] : labels.items()) slot[label] = intervals;
}

// Folds the runs of `file` into `record`: the elements of an array in order,
// the member values of an object in ascending key order.
void mergeRuns(Json& record, const Json& file) {
  if (!record.is_array()) return;
  if (file.is_array()) {
    for (size_t run = 0; run < file.size(); ++run) mergeRun(record, run, file[run]);
  } else if (file.is_object()) {
    std::map<std::string, const Json*> byKey;
    for (auto it = file.begin(); it != file.end(); ++it) byKey.emplace(it.key(), &it.value());
    size_t run = 0;
    for (const auto& [key, value] : byKey) mergeRun(record, run++, *value);
  }
}

}  // namespace

std::string inferenceSummaryFileName(const std::string& model, uint32_t cluster) {
  return "inference_summary_" + model + "_" + std::to_string(cluster) + ".json";
}

std::string cpuInferenceSummaryFileName(const std::string& label) {
  return "cpu_inference_summary_" + label + ".json";
}

void writeProfileRecord(const Json& record, const std::string& path, bool merge) {
  if (record.is_null() || ((record.is_array() || record.is_object()) && record.empty())) return;

  Json merged = record;
  if (merge) {
    std::ifstream in(path);
    if (in) mergeRuns(merged, Json::parse(in, nullptr, /*allow_exceptions=*/false));
  }

  std::ofstream out(path, std::ios::trunc);
  if (!out) {
    std::cout << "Unable to open file " << path << std::endl;
    return;
  }
  // Labels are caller text; bytes that are not UTF-8 are replaced rather than
  // failing the write.
  out << merged.dump(4, ' ', false, Json::error_handler_t::replace) << '\n';
}

}  // namespace korvanrt
