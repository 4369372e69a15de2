// CPU-side time records of a session, kept per calling thread, and the
// layer-profiling switch.

#include <iostream>
#include <sstream>
#include <thread>

#include "profiling/profile_files.hpp"
#include "profiling/timestamps.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

// The calling thread's identifier as text, formatted once per thread.
const std::string& threadKey() {
  thread_local const std::string key = [] {
    std::ostringstream text;
    text << std::this_thread::get_id();
    return text.str();
  }();
  return key;
}

}  // namespace

timestamps& PrivateImpl::profileRecord(const std::string& key, const std::string& label) {
  timestamps*& record = profileRecords[key][label];
  if (record == nullptr) record = new timestamps();
  return *record;
}

// Records are kept only while layer profiling is on: they are written out
// only then, and kept otherwise they would grow with every inference.
void PrivateImpl::timestampStart(std::string label) {
  if (!vistrelProfiling) return;
  timestamps* record = nullptr;
  {
    std::lock_guard lock(profileMutex);
    record = &profileRecord(threadKey(), label);
  }
  if (record->label_.empty()) {
    record->label_ = std::move(label);
    record->start_ = timestamps::clock::now();
  }
}

void PrivateImpl::timestampEnd(std::string label) {
  if (!vistrelProfiling) return;
  timestamps* record = nullptr;
  {
    std::lock_guard lock(profileMutex);
    const auto outer = profileRecords.find(threadKey());
    if (outer == profileRecords.end()) return;
    const auto inner = outer->second.find(label);
    if (inner == outer->second.end()) return;
    record = inner->second;
  }
  record->end();
  ++record->count_;
}

void PrivateImpl::setVistrelProfiling() {
  vistrelProfiling = true;
  if (!modelHasProfiling)
    std::cout << "WARNING: Model is not compiled with Vistrel Profiling enabled. Layer by layer "
                 "profiling cannot be generated"
              << std::endl;
}

void PrivateImpl::unsetVistrelProfiling() {
  vistrelProfiling = false;
}

void PrivateImpl::writeProfileSummary() noexcept {
  if (!vistrelProfiling) return;
  try {
    const std::string path = cpuInferenceSummaryFileName(modelLabel);
    bool first = true;
    for (const auto& [key, records] : profileRecords)
      for (const auto& [label, record] : records) {
        if (record == nullptr) continue;
        writeProfileRecord(record->json_, path, !first);
        first = false;
      }
  } catch (const std::exception& e) {
    std::cout << "WARNING: profiling summary not written: " << e.what() << std::endl;
  }
}

}  // namespace korvanrt::client
