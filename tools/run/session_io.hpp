#pragma once

// What run and bench share: choosing a package's inputs, opening a session
// on it, binding host tensors to tensor handles (copied or through the
// runtime's I/O tensor pool) and running inferences.

#include <any>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package_info.hpp"
#include "reference_set.hpp"
#include "runtime_library.hpp"
#include "tensor_data.hpp"
#include "tensor_source.hpp"

namespace korvan::run {

// Command-line settings shared by run and bench.
struct CommonSettings {
  std::string package;
  std::string model;
  std::string device = "tmk";
  std::string referenceDir;
  std::string cacheDir;
  std::string profileDir;
  std::string io = "copy";
  std::vector<std::string> inputs;
  std::vector<std::string> options;
  std::optional<std::uint64_t> seed;
};

// The model's inputs as host tensors, in the model's order.
struct ModelInputs {
  std::vector<HostTensor> tensors;
  std::uint64_t batches = 1;          // model batches per inference
  bool usedRandom = false;            // some input was generated
  bool usedSamples = false;           // some input came from the reference set
  std::optional<std::uint64_t> seed;  // the seed of the generated inputs
};

// Reference set of the package (from --reference or beside the package).
std::optional<ReferenceSet> findReferenceSet(const PackageInfo& info,
                                             const std::string& referenceDir);

// Inputs from --input, else the package's samples, else (when
// `randomFallback`) random values. Throws std::invalid_argument for user
// errors (unknown names, wrong shapes or types, no data for an input).
ModelInputs gatherInputs(const PackageInfo& info, const CommonSettings& settings,
                         const std::optional<ReferenceSet>& references, bool randomFallback);

// Profiling into a directory: the runtime writes its profiling files into
// the working directory when sessions are destroyed, so the directory is the
// working directory for the life of the session.
class ProfileScope {
 public:
  explicit ProfileScope(const std::string& directory);  // empty: no profiling
  ~ProfileScope();
  bool active() const { return !directory_.empty(); }
  const std::filesystem::path& directory() const { return directory_; }
  std::chrono::system_clock::time_point begin() const { return begin_; }
  std::int64_t beginEpochNs() const;
  void enter();  // switch the working directory
  void leave();  // and back

 private:
  std::filesystem::path directory_, previous_;
  std::chrono::system_clock::time_point begin_;
  bool inside_ = false;
};

// Session options for the package form, the user's --option entries and
// profiling.
std::map<std::string, std::any> sessionOptions(const PackageInfo& info,
                                               const CommonSettings& settings,
                                               const ProfileScope& profile);

// Host buffers and tensor handles of one inference.
class Binding {
 public:
  // `pool`: the handles re-describe buffers lent by the session's I/O tensor
  // pool, taken with acquire() and given back with release().
  Binding(korvanrt::client::ImplBase& session, const PartitionInfo& partition,
          const std::vector<HostTensor>& inputs, std::uint64_t batches, bool pool);
  ~Binding();
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  void acquire();  // pool mode: takes buffers (waits while none are free)
  void release();  // pool mode: gives them back
  void forward();  // one synchronous inference
  std::future<void> forwardAsync();

  const std::vector<HostTensor>& outputs() const { return outputs_; }

 private:
  korvanrt::client::ImplBase& session_;
  const PartitionInfo& partition_;
  bool pool_;
  std::vector<HostTensor> inputCopies_;
  std::vector<HostTensor> outputs_;
  std::vector<korvanrt::client::TensorMetadataType> inputMeta_, outputMeta_;
  std::vector<korvanrt::client::ErtTensorType> inputHandles_, outputHandles_;
  std::vector<korvanrt::client::ErtTensorType> poolInputs_, poolOutputs_;
};

// Peak resident set size of this process in KiB.
std::uint64_t peakRssKiB();

}  // namespace korvan::run
