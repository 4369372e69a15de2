#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "korvanrt/io_api.hpp"

namespace korvanrt::testing {

// Builds one tensor entry of an interface description: a valid default with
// some keys replaced (raw JSON values) and some removed.
inline std::string tensorEntry(std::initializer_list<std::pair<std::string, std::string>> set = {},
                               std::initializer_list<std::string> drop = {}) {
  std::vector<std::pair<std::string, std::string>> keys = {
      {"name", "\"t\""},          {"scale_factor", "0.5"},    {"cpu_format", "\"NCHW\""},
      {"cpu_dtype", "\"float\""}, {"cpu_shape", "[1,2,2,2]"}, {"hw_format", "\"NHWC\""},
      {"hw_dtype", "\"int8\""},   {"hw_shape", "[1,2,2,4]"},
  };
  for (const auto& [key, value] : set) {
    bool replaced = false;
    for (auto& entry : keys) {
      if (entry.first == key) {
        entry.second = value;
        replaced = true;
      }
    }
    if (!replaced) keys.emplace_back(key, value);
  }
  std::string text = "{";
  for (const auto& [key, value] : keys) {
    bool dropped = false;
    for (const std::string& d : drop) dropped = dropped || d == key;
    if (dropped) continue;
    if (text.size() > 1) text += ",";
    text += "\"" + key + "\":" + value;
  }
  return text + "}";
}

// A description with the given input and output entries and extra root keys
// (raw JSON members, comma-separated).
inline std::string hsiDocument(const std::string& inputs, const std::string& outputs,
                               const std::string& extra = "") {
  std::string text = "{\"inputs\":[" + inputs + "],\"outputs\":[" + outputs + "]";
  if (!extra.empty()) text += "," + extra;
  return text + "}";
}

// A model file held in memory, as a caller-supplied reader would serve it.
class StringReader : public KorvanIOReader {
 public:
  StringReader(std::string content, const char* name) : content_(std::move(content)), name_(name) {}
  size_t sequential_read(void* buffer, size_t length) const override {
    if (length == 0 || position_ + length > content_.size()) return 0;
    std::memcpy(buffer, content_.data() + position_, length);
    position_ += length;
    return 1;
  }
  void rewind() override { position_ = 0; }
  int64_t size() const override { return static_cast<int64_t>(content_.size()); }
  const char* name() const override { return name_; }

 private:
  std::string content_;
  const char* name_;
  mutable size_t position_ = 0;
};

}  // namespace korvanrt::testing
