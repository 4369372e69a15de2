#include "korvanrt/options.hpp"

namespace korvanrt::client {

void Options::copyIn(const Options& source) {
  modelPath = source.modelPath;
  deviceName = source.deviceName;
  runnerFlag = source.runnerFlag;
  intSetting = source.intSetting;
  modelName = source.modelName;
  // The version fields describe this runtime and stay as they are.
  for (const auto& [key, value] : source.options) options[key] = value;
}

Options::~Options() = default;

}  // namespace korvanrt::client
