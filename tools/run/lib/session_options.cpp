#include "session_options.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace korvan::run {

namespace {

enum class Kind { text, boolean, int32, uint32, uint64 };

const std::map<std::string, Kind>& knownKinds() {
  static const std::map<std::string, Kind> kinds = {{"config_json", Kind::text},
                                                    {"vistrel_profiling", Kind::boolean},
                                                    {"runner_type", Kind::text},
                                                    {"use_host_ptr", Kind::boolean},
                                                    {"rounding_mode", Kind::text},
                                                    {"num_of_trelmrt_threads", Kind::int32},
                                                    {"enable_preemption", Kind::boolean},
                                                    {"priority", Kind::text},
                                                    {"perf_mem_trade_off", Kind::text},
                                                    {"fabpak_path", Kind::text},
                                                    {"gops", Kind::uint32},
                                                    {"fps", Kind::uint32},
                                                    {"latency", Kind::uint32},
                                                    {"dma_bandwidth", Kind::uint32},
                                                    {"frame_execution_time", Kind::uint32},
                                                    {"egops", Kind::uint32},
                                                    {"max_spill_buffer_size", Kind::uint64},
                                                    {"const_location", Kind::text},
                                                    {"pl_converter_fabpak_path", Kind::text},
                                                    {"tvg_python_runtime_cfg", Kind::text},
                                                    {"cache_dir", Kind::text}};
  return kinds;
}

template <typename T>
bool parseInteger(const std::string& text, T& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

std::invalid_argument badValue(const std::string& key, const std::string& value,
                               const char* expected) {
  return std::invalid_argument("option " + key + ": \"" + value + "\" is not " + expected);
}

}  // namespace

std::vector<std::string> knownOptionKeys() {
  std::vector<std::string> keys;
  for (const auto& [key, kind] : knownKinds()) keys.push_back(key);
  return keys;
}

std::any optionValue(const std::string& key, const std::string& value) {
  const auto found = knownKinds().find(key);
  if (found == knownKinds().end()) {
    if (value == "true") return true;
    if (value == "false") return false;
    std::int32_t number;
    if (parseInteger(value, number)) return number;
    return value;
  }
  switch (found->second) {
    case Kind::text:
      return value;
    case Kind::boolean:
      if (value == "true" || value == "1") return true;
      if (value == "false" || value == "0") return false;
      throw badValue(key, value, "true or false");
    case Kind::int32: {
      std::int32_t number;
      if (!parseInteger(value, number)) throw badValue(key, value, "a 32-bit integer");
      return number;
    }
    case Kind::uint32: {
      std::uint32_t number;
      if (!parseInteger(value, number)) throw badValue(key, value, "an unsigned 32-bit integer");
      return number;
    }
    case Kind::uint64: {
      std::uint64_t number;
      if (!parseInteger(value, number)) throw badValue(key, value, "an unsigned 64-bit integer");
      return number;
    }
  }
  return value;
}

std::map<std::string, std::any> parseOptions(const std::vector<std::string>& texts) {
  std::map<std::string, std::any> options;
  for (const auto& text : texts) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
      throw std::invalid_argument("option \"" + text + "\" is not KEY=VALUE");
    const std::string key = text.substr(0, eq);
    options[key] = optionValue(key, text.substr(eq + 1));
  }
  return options;
}

std::map<std::string, std::string> optionsAsText(const std::map<std::string, std::any>& options) {
  std::map<std::string, std::string> out;
  for (const auto& [key, value] : options) {
    if (const auto* s = std::any_cast<std::string>(&value)) {
      out[key] = *s;
    } else if (const auto* b = std::any_cast<bool>(&value)) {
      out[key] = *b ? "true" : "false";
    } else if (const auto* i = std::any_cast<std::int32_t>(&value)) {
      out[key] = std::to_string(*i);
    } else if (const auto* u = std::any_cast<std::uint32_t>(&value)) {
      out[key] = std::to_string(*u);
    } else if (const auto* l = std::any_cast<std::uint64_t>(&value)) {
      out[key] = std::to_string(*l);
    }
  }
  return out;
}

}  // namespace korvan::run
