#include "client/options_record.hpp"

#include <dlfcn.h>

#include <cstdint>
#include <iostream>

#include "core/error.hpp"
#include "korvanrt/types.hpp"

namespace korvanrt::client {
namespace {

// Byte offset of a field inside Options. Options is not standard-layout (it
// holds a std::map), so offsetof is not available; a default record serves as
// the layout reference instead.
template <typename T>
size_t offsetOfField(T Options::*field) {
  static const Options layout;
  return static_cast<size_t>(reinterpret_cast<const char*>(&(layout.*field)) -
                             reinterpret_cast<const char*>(&layout));
}

// The caller's field if it lies completely inside the first `size` bytes of
// the record, else null.
template <typename T>
const T* fieldInside(const void* record, size_t size, T Options::*field) {
  const size_t offset = offsetOfField(field);
  if (offset + sizeof(T) > size) return nullptr;
  return reinterpret_cast<const T*>(static_cast<const char*>(record) + offset);
}

// copyIn for a record shorter than ours: fields past its end are not read.
void copyPrefixOf(Options& own, const void* record, size_t size) {
  if (auto* p = fieldInside(record, size, &Options::modelPath)) own.modelPath = *p;
  if (auto* p = fieldInside(record, size, &Options::deviceName)) own.deviceName = *p;
  if (auto* p = fieldInside(record, size, &Options::runnerFlag)) own.runnerFlag = *p;
  if (auto* p = fieldInside(record, size, &Options::intSetting)) own.intSetting = *p;
  if (auto* p = fieldInside(record, size, &Options::modelName)) own.modelName = *p;
  if (auto* p = fieldInside(record, size, &Options::options)) {
    for (const auto& [key, value] : *p) own.options[key] = value;
  }
}

}  // namespace

std::string sharedObjectFileOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr == nullptr) {
    KORVAN_THROW("ERROR: korvanrt is not found");
  }
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

std::string runtimeLibraryFile() {
  // Any exported function of the runtime will do: its symbol is visible to
  // the loader.
  return sharedObjectFileOf(reinterpret_cast<const void*>(&korvanrt::stringToDataType));
}

void warnOptionsSizeMismatch(std::ostream& out, size_t callerSize, const std::string& libraryFile,
                             const Options& own) {
  out << "WARNING: Mismatch in size of Options struct.  User size: " << callerSize
      << ", expected size: " << sizeof(Options) << ".\n"
      << "Please ensure the version of library used matches\n"
      << " this KorvanRT library at \n"
      << libraryFile << "\n"
      << "KorvanRT API Version = " << own.apiVersionMajor << "." << own.apiVersionMinor << "\n";
  out.flush();
}

void copyOptionsRecord(Options& own, const void* callerRecord, size_t callerSize) {
  if (callerRecord == nullptr) KORVAN_THROW("ERROR: Options record is null");
  if (reinterpret_cast<uintptr_t>(callerRecord) % alignof(Options) != 0) {
    KORVAN_THROW("ERROR: Options record is misaligned");
  }
  const std::string libraryFile = runtimeLibraryFile();
  if (callerSize != sizeof(Options))
    warnOptionsSizeMismatch(std::cout, callerSize, libraryFile, own);
  if (callerSize >= sizeof(Options)) {
    own.copyIn(*static_cast<const Options*>(callerRecord));
  } else {
    copyPrefixOf(own, callerRecord, callerSize);
  }
}

}  // namespace korvanrt::client
