#include <iostream>

#include "client/options_record.hpp"
#include "client/runtime_options.hpp"
#include "core/error.hpp"
#include "core/file_io_api.hpp"
#include "profiling/timestamps.hpp"
#include "runner/korvan_runner.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

PrivateImpl::PrivateImpl(const void* callerOptions, size_t optionsSize) {
  for (const char* name : kRuntimeOptionNames) settableOptions.emplace_back(name);
  copyOptionsRecord(options, callerOptions, optionsSize);
  parseRuntimeOptions(options.options, vistrelProfiling);
  userLibPath = options.modelPath + "/" + "libkorvan_usermodel.so";

  std::unique_ptr<KorvanIOAPI> ownIo;
  KorvanIOAPI* io = nullptr;
  if (const auto found = options.options.find("io_api"); found != options.options.end())
    io = std::any_cast<KorvanIOAPI*>(found->second);
  if (io == nullptr) {
    ownIo = std::make_unique<IOAPI>();
    io = ownIo.get();
  }

  locateMemoryPackage();
  detectPackageKind();
  readPartitionInfo(*io);
  collectCustomOps(*io);
  assignModelId();
  registerSession();
  try {
    resolveUserEntryPoints();
    resolveCustomOps();
    createRunners(*io);
  } catch (...) {
    // A session that failed to load must not stay reachable by its id.
    runners.clear();
    unregisterSession();
    throw;
  }
  isGood = true;
}

PrivateImpl::~PrivateImpl() {
  unregisterSession();
  writeProfileSummary();
  for (auto& [key, records] : profileRecords)
    for (auto& [label, record] : records) delete record;
  profileRecords.clear();
  runners.clear();
}

}  // namespace korvanrt::client
