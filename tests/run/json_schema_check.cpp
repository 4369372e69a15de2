#include "json_schema_check.hpp"

#include <fstream>
#include <stdexcept>

namespace korvan::run::test {

using nlohmann::json;

namespace {

bool hasType(const json& doc, const std::string& type) {
  if (type == "object") return doc.is_object();
  if (type == "array") return doc.is_array();
  if (type == "string") return doc.is_string();
  if (type == "integer") return doc.is_number_integer();
  if (type == "number") return doc.is_number();
  if (type == "boolean") return doc.is_boolean();
  if (type == "null") return doc.is_null();
  throw std::invalid_argument("schema type " + type + " is not supported by the checker");
}

}  // namespace

std::vector<std::string> schemaViolations(const json& schema, const json& doc,
                                          const std::string& path) {
  std::vector<std::string> out;
  auto add = [&](const std::vector<std::string>& more) {
    out.insert(out.end(), more.begin(), more.end());
  };
  if (const auto type = schema.find("type"); type != schema.end()) {
    bool ok = false;
    if (type->is_array()) {
      for (const auto& t : *type) ok = ok || hasType(doc, t.get<std::string>());
    } else {
      ok = hasType(doc, type->get<std::string>());
    }
    if (!ok) return {path + ": is not of type " + type->dump()};
  }
  if (const auto values = schema.find("enum"); values != schema.end()) {
    bool found = false;
    for (const auto& v : *values) found = found || v == doc;
    if (!found) out.push_back(path + ": " + doc.dump() + " is not one of " + values->dump());
  }
  if (const auto minimum = schema.find("minimum"); minimum != schema.end() && doc.is_number())
    if (doc.get<double>() < minimum->get<double>())
      out.push_back(path + ": " + doc.dump() + " is below " + minimum->dump());
  if (doc.is_object()) {
    if (const auto required = schema.find("required"); required != schema.end())
      for (const auto& key : *required)
        if (!doc.contains(key.get<std::string>()))
          out.push_back(path + ": lacks \"" + key.get<std::string>() + "\"");
    const auto properties = schema.find("properties");
    const auto additional = schema.find("additionalProperties");
    for (const auto& [key, value] : doc.items()) {
      if (properties != schema.end() && properties->contains(key))
        add(schemaViolations((*properties)[key], value, path + "." + key));
      else if (additional != schema.end() && additional->is_object())
        add(schemaViolations(*additional, value, path + "." + key));
    }
  }
  if (doc.is_array())
    if (const auto items = schema.find("items"); items != schema.end())
      for (std::size_t i = 0; i < doc.size(); ++i)
        add(schemaViolations(*items, doc[i], path + "[" + std::to_string(i) + "]"));
  return out;
}

json readJsonFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  return json::parse(in);
}

}  // namespace korvan::run::test
