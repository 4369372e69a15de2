#include "reference_set.hpp"

#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace korvan::run {

namespace fs = std::filesystem;

std::optional<fs::path> defaultReferenceDir(const fs::path& package) {
  const fs::path absolute = fs::absolute(package).lexically_normal();
  fs::path base = absolute;
  if (!base.has_filename()) base = base.parent_path();  // trailing separator
  const fs::path candidate = base.parent_path() / "reference";
  if (fs::exists(candidate / "manifest.json")) return candidate;
  return std::nullopt;
}

ReferenceSet readReferenceSet(const fs::path& directory) {
  const fs::path file = directory / "manifest.json";
  std::ifstream in(file);
  if (!in) throw std::runtime_error(file.string() + ": cannot open");
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(file.string() + ": not valid JSON: " + e.what());
  }
  const auto bad = [&](const std::string& what) {
    return std::runtime_error(file.string() + ": " + what);
  };
  if (!doc.is_object() || !doc.contains("partitions") || !doc["partitions"].is_array() ||
      doc["partitions"].empty() || !doc["partitions"][0].is_object())
    throw bad("no \"partitions\" list");
  ReferenceSet set;
  set.directory = directory;
  const auto& first = doc["partitions"][0];
  auto read = [&](const char* key, std::vector<ReferenceFile>& into) {
    if (!first.contains(key)) return;
    if (!first[key].is_array()) throw bad(std::string("\"") + key + "\" is not a list");
    for (const auto& entry : first[key]) {
      if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string() ||
          !entry.contains("file") || !entry["file"].is_string())
        throw bad(std::string("an entry of \"") + key + "\" lacks \"name\" or \"file\"");
      into.push_back(
          {entry["name"].get<std::string>(), directory / entry["file"].get<std::string>()});
    }
  };
  read("inputs", set.inputs);
  read("outputs", set.outputs);
  return set;
}

}  // namespace korvan::run
