#pragma once

// The runtime library as a caller sees it: model sessions created and
// destroyed through its exported entry points. The tool links the shared
// libkorvanrt.so (the public header's tensor handles and options record need
// its exported symbols), so exactly one copy of the runtime is in the
// process, and tensor handles that look the library up by name find it.

#include <any>
#include <map>
#include <string>

#include "korvanrt/client.hpp"

namespace korvan::run {

// File of the runtime library loaded into this process.
std::string runtimeLibraryPath();

// A session and the options record it was made from.
class Session {
 public:
  Session(const std::string& modelPath, const std::string& modelName, const std::string& device,
          std::map<std::string, std::any> options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  korvanrt::client::ImplBase& operator*() const { return *impl_; }
  korvanrt::client::ImplBase* operator->() const { return impl_; }
  // "major.minor" of the interface this tool was compiled against.
  std::string apiVersion() const;

 private:
  korvanrt::client::Options options_;
  korvanrt::client::ImplBase* impl_ = nullptr;
};

}  // namespace korvan::run
