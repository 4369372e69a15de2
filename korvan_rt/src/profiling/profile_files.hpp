#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

namespace korvanrt {

// "inference_summary_<model>_<cluster>.json": one per hardware runner.
std::string inferenceSummaryFileName(const std::string& model, uint32_t cluster);

// "cpu_inference_summary_<label>.json": one per session.
std::string cpuInferenceSummaryFileName(const std::string& label);

// Writes a record's runs to `path`, indented by 4. Null or empty records write
// nothing. With `merge`, the runs already in the file are folded in first: for
// run i and label k in the file, record[i][k] takes the file's value. A file
// that is not JSON is replaced. When the file cannot be written, a line
// "Unable to open file <path>" goes to standard output; nothing is thrown.
void writeProfileRecord(const nlohmann::ordered_json& record, const std::string& path, bool merge);

}  // namespace korvanrt
