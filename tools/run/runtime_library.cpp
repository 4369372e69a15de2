#include "runtime_library.hpp"

#include <dlfcn.h>

#include <stdexcept>

namespace korvan::run {

std::string runtimeLibraryPath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&korvan_client_Model_createImpl), &info) != 0 &&
      info.dli_fname != nullptr)
    return info.dli_fname;
  return "libkorvanrt.so";
}

Session::Session(const std::string& modelPath, const std::string& modelName,
                 const std::string& device, std::map<std::string, std::any> options) {
  options_.modelPath = modelPath;
  options_.deviceName = device;
  options_.modelName = modelName;
  options_.options = std::move(options);
  impl_ = korvan_client_Model_createImpl(&options_, sizeof(options_));
  if (impl_ == nullptr) throw std::runtime_error("the runtime returned no session");
}

Session::~Session() {
  korvan_client_Model_destroyImpl(impl_);
}

std::string Session::apiVersion() const {
  return std::to_string(options_.apiVersionMajor) + "." + std::to_string(options_.apiVersionMinor);
}

}  // namespace korvan::run
