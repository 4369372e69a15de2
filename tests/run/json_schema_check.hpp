#pragma once

// A small JSON Schema checker for the keywords the tool's schemas use:
// type (one or a list), enum, required, properties, additionalProperties
// (schema form), items and minimum.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvan::run::test {

// Every violation as "path: what"; empty when the document conforms.
std::vector<std::string> schemaViolations(const nlohmann::json& schema, const nlohmann::json& doc,
                                          const std::string& path = "$");

nlohmann::json readJsonFile(const std::string& path);

}  // namespace korvan::run::test
