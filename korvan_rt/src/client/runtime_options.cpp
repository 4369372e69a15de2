#include "client/runtime_options.hpp"

#include <rapidjson/document.h>
#include <rapidjson/istreamwrapper.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "profiling/begin_time.hpp"

namespace korvanrt::client {
namespace {

using JsonValue = rapidjson::Value;

// Collects every element of a non-empty array as T; all elements must pass
// `accepts`.
template <typename T, typename Accepts, typename Get>
std::vector<T> arrayOf(const JsonValue& array, const std::string& name, const char* what,
                       Accepts accepts, Get get) {
  std::vector<T> values;
  values.reserve(array.Size());
  for (const JsonValue& element : array.GetArray()) {
    if (!accepts(element)) {
      throw std::invalid_argument("Config JSON option " + name + ": array elements must all be " +
                                  what);
    }
    values.push_back(get(element));
  }
  return values;
}

// The option value of a configuration member; nothing for values the
// configuration cannot express (null, objects, empty arrays, integers outside
// 32 bits).
std::optional<std::any> toOptionValue(const JsonValue& value, const std::string& name) {
  if (value.IsString()) return std::string(value.GetString(), value.GetStringLength());
  if (value.IsBool()) return value.GetBool();
  if (value.IsInt()) return static_cast<int32_t>(value.GetInt());
  if (value.IsDouble()) return value.GetDouble();
  if (!value.IsArray() || value.Empty()) return std::nullopt;

  const JsonValue& first = value[0];
  if (first.IsString()) {
    return arrayOf<std::string>(
        value, name, "strings", [](const JsonValue& v) { return v.IsString(); },
        [](const JsonValue& v) { return std::string(v.GetString(), v.GetStringLength()); });
  }
  if (first.IsInt()) {
    return arrayOf<int32_t>(
        value, name, "integers", [](const JsonValue& v) { return v.IsInt(); },
        [](const JsonValue& v) { return static_cast<int32_t>(v.GetInt()); });
  }
  if (first.IsDouble()) {
    return arrayOf<double>(
        value, name, "numbers", [](const JsonValue& v) { return v.IsNumber(); },
        [](const JsonValue& v) { return v.GetDouble(); });
  }
  return std::nullopt;
}

// The object holding the settings: the "trelm_config" of the first
// "trelm_partition" pass if there is one, else the document itself.
const JsonValue& settingsOf(const JsonValue& document) {
  if (!document.IsObject()) return document;
  const auto passes = document.FindMember("passes");
  if (passes == document.MemberEnd() || !passes->value.IsArray()) return document;
  for (const JsonValue& pass : passes->value.GetArray()) {
    if (!pass.IsObject()) continue;
    const auto name = pass.FindMember("name");
    if (name == pass.MemberEnd() || !name->value.IsString() ||
        std::string_view(name->value.GetString(), name->value.GetStringLength()) !=
            "trelm_partition") {
      continue;
    }
    const auto config = pass.FindMember("trelm_config");
    if (config != pass.MemberEnd()) return config->value;
  }
  return document;
}

// Reads the configuration file; returns false when there is none to apply.
bool applyConfigFile(std::map<std::string, std::any>& options) {
  const std::string path = std::any_cast<std::string>(options.at("config_json"));
  std::error_code ignored;
  if (path.empty() || !std::filesystem::exists(path, ignored)) return false;

  std::ifstream file(path);
  if (!file) throw std::invalid_argument("Config JSON path " + path + " not valid!");

  // Iterative parsing keeps deeply nested input off the call stack.
  rapidjson::Document document;
  rapidjson::IStreamWrapper stream(file);
  document.ParseStream<rapidjson::kParseIterativeFlag>(stream);
  if (document.HasParseError()) KORVAN_THROW("Error: failed to parse JSON file " + path + "\n");

  const JsonValue& settings = settingsOf(document);
  if (!settings.IsObject()) return true;

  // Convert everything before storing anything, so a bad member leaves the
  // options as the caller gave them.
  std::vector<std::pair<std::string, std::any>> found;
  for (const char* name : kRuntimeOptionNames) {
    const auto member = settings.FindMember(name);
    if (member == settings.MemberEnd()) continue;
    if (auto value = toOptionValue(member->value, name))
      found.emplace_back(name, std::move(*value));
  }
  for (auto& [name, value] : found) options[name] = std::move(value);
  return true;
}

}  // namespace

void parseRuntimeOptions(std::map<std::string, std::any>& options, bool& profiling) {
  if (options.count("config_json") != 0 && !applyConfigFile(options)) return;

  const auto flag = options.find("vistrel_profiling");
  if (flag == options.end()) return;
  profiling = std::any_cast<bool>(flag->second);
  const auto begin = options.find("beginTime");
  if (begin != options.end()) {
    begin_time = std::any_cast<std::chrono::system_clock::time_point>(begin->second);
  }
}

}  // namespace korvanrt::client
