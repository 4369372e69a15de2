#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "core/file_io_api.hpp"
#include "device/qel_context.hpp"
#include "hw_runner/hw_error.hpp"
#include "hw_runner/hw_runner_impl.hpp"
#include "model/package.hpp"
#include "package_generated.h"
#include "profiling/graphs.hpp"
#include "profiling/profile_files.hpp"
#include "profiling/timestamps.hpp"
#include "txn/cert_qel.hpp"
#include "txn/pellix_qel.hpp"

namespace korvanrt {

namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The directory above `dir`, ignoring trailing separators.
std::string parentOf(const std::string& dir) {
  std::string trimmed = dir;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return fs::path(trimmed).parent_path().string();
}

template <typename T>
const T* optionOf(const OptionsMap& options, const char* key) {
  const auto found = options.find(key);
  if (found == options.end()) return nullptr;
  return &std::any_cast<const T&>(found->second);
}

}  // namespace

KorvanHWRunnerImpl::KorvanHWRunnerImpl(const HWClusterParams& params,
                                       const std::string& partitionDir,
                                       const std::string& modelName, const uint32_t& partitionIndex,
                                       const std::string&, const std::string& weightsPath,
                                       const std::string& deviceName, bool profiling,
                                       TimestampsMap* timestampsMap, bool runnerFlag,
                                       const std::string& runnerId, const OptionsMap& options,
                                       const std::map<std::string, CustomOpFunction>& customOps)
    : params_(&params),
      partitionDir_(partitionDir),
      runnerFlag_(runnerFlag),
      timestampsMap_(timestampsMap),
      runnerId_(runnerId),
      modelName_(modelName),
      options_(options),
      partitionIndex_(static_cast<int32_t>(partitionIndex)),
      weightsPath_(weightsPath),
      profiling_(profiling),
      customOps_(customOps) {
  customGraphConnectivity_.SetArray();
  customOpConnectivity_.SetArray();
  externalBuffers_.SetObject();
  graphs_ = &graphs::get_instance();
  graphs_->record_graph_init(modelName_, static_cast<uint32_t>(partitionIndex_));

  if (const auto* api = optionOf<KorvanIOAPI*>(options_, "io_api"); api != nullptr && *api) {
    ioApi_ = *api;
  } else {
    ownIoApi_ = std::make_unique<IOAPI>();
    ioApi_ = ownIoApi_.get();
  }
  if (profiling_) openInterval("Initialization");

  readOptions();

  if (deviceName == "Tamsk" || deviceName == "Pavik" || deviceName == "tmk" ||
      deviceName == "pvk") {
    txnDevice_ = true;
  } else if (deviceName == "nd2") {
    certDevice_ = true;
  } else {
    // An unknown device generation leaves the runner without a context;
    // inferences are refused (see requireContext).
    if (profiling_) closeInterval();
    return;
  }

  std::vector<std::string> listing;
  if (!fromPackage_) {
    DirectoryHandle dir = ioApi_->open_directory(partitionDir_.c_str());
    if (dir) {
      for (uint64_t i = 0; i < dir->count; ++i)
        if (dir->names[i] != nullptr) listing.emplace_back(dir->names[i]);
    }
    // Discovery walks the files in name order, so that it does not depend on
    // the order in which the directory lists them.
    std::sort(listing.begin(), listing.end());
  }

  std::string containerPath;
  if (!fromPackage_) {
    if (!discoverFiles(listing)) {
      if (profiling_) closeInterval();
      return;
    }
  } else if (sharedEntry_ == nullptr || sharedEntry_->fabpak() == nullptr) {
    // A package partition without its container cannot reach the device.
    if (profiling_) closeInterval();
    return;
  }

  std::vector<char> bytes;
  if (fromPackage_) {
    const auto* fabpak = sharedEntry_->fabpak();
    bytes.assign(reinterpret_cast<const char*>(fabpak->data()),
                 reinterpret_cast<const char*>(fabpak->data()) + fabpak->size());
  } else {
    bytes = containerBytes(containerPath_);
  }
  context_ = &pellix::qel_context::get_instance(bytes, "DPU", qosMap());
  if (context_ == nullptr)
    throw std::invalid_argument("QEL Hardware Context not valid!  Cannot run on Pellix hardware!");

  createTransactionRuntime();
  readExternalBuffers();
  sizeBufferSets();
  planMemoryMode();
  setKernelArgs(spillBos_, inputBos_, inputSubBos_, outputBos_, outputSubBos_, weightsBo_,
                weightSubBos_, false, -1);
  buildRunLists(memoryMode_ == "low mem");
  if (profiling_) closeInterval();
}

KorvanHWRunnerImpl::~KorvanHWRunnerImpl() {
  try {
    dumpBuffers();
  } catch (...) {
    // Dumps are a debugging aid; a failing one must not end the process.
  }
  try {
    writeProfiles();
  } catch (...) {
    // Neither may a profiling file that cannot be written.
  }
  // Buffers over the mapped weights file go before the reader that owns the
  // mapping.
  qel_.reset();
  namedBos_.clear();
  weightSubBos_.clear();
  weightsBo_ = qel::bo();
}

void KorvanHWRunnerImpl::writeProfiles() const {
  if (!profiling_) return;
  if (timestampsMap_ != nullptr) {
    const std::string file =
        inferenceSummaryFileName(modelName_, static_cast<uint32_t>(partitionIndex_));
    for (const auto& [id, record] : *timestampsMap_)
      if (record != nullptr) writeProfileRecord(record->json_, file, false);
  }
  graphs_->toJSON(kGraphLogFile);
}

void KorvanHWRunnerImpl::readOptions() {
  if (options_.count("fbs_buffer") != 0) {
    try {
      packageBuffer_ = std::any_cast<const uint8_t*>(options_.at("fbs_buffer"));
      packageSize_ = std::any_cast<uint64_t>(options_.at("fbs_buffer_size"));
    } catch (const std::exception&) {
      throw std::runtime_error("ERROR: Failed to cast fbs_buffer");
    }
    fromPackage_ = true;
    packageRoot_ = verifyPackage(packageBuffer_, packageSize_);
    const auto* model = findModel(*packageRoot_, modelName_);
    subPartition_ = &subPartitionAt(*model, static_cast<size_t>(partitionIndex_));
    sharedEntry_ = findSharedEntry(*packageRoot_, *subPartition_);
    if (model->custom_ops() != nullptr && model->custom_ops()->size() > 0) customGraph_ = true;
  }
  if (const auto* threads = optionOf<int32_t>(options_, "num_of_trelmrt_threads"))
    numThreads_ = *threads;
  if (const auto* preemption = optionOf<bool>(options_, "enable_preemption"))
    enablePreemption_ = *preemption;
  if (numThreads_ > 8)
    HW_THROW("Number of TRELM Runtime threads (num_of_trelmrt_threads) cannot exceed 8!");
  // A runner needs at least one buffer set to serve anything.
  if (numThreads_ < 1)
    HW_THROW("Number of TRELM Runtime threads (num_of_trelmrt_threads) must be at least 1!");
}

bool KorvanHWRunnerImpl::discoverFiles(const std::vector<std::string>& listing) {
  for (const auto& path : listing)
    if (contains(path, "custom_graph_metadata.json")) customGraph_ = true;

  const std::string parent = parentOf(partitionDir_);
  std::string candidate;
  if (customGraph_) candidate = parent + "/unified-custom-ops.fabpak";
  {
    const std::string ctrl = partitionDir_ + "/ctrl_pkts.fabpak";
    if (ioApi_->open_reader(ctrl.c_str())) candidate = ctrl;
  }
  const std::string name =
      params_->fabpakName().empty() ? "unified-4x4.fabpak" : params_->fabpakName();
  bool listed = false;
  for (const auto& path : listing)
    if (contains(path, name.c_str())) {
      candidate = path;
      listed = true;
    }
  if (!listed) {
    const std::string up = parentOf(parent) + "/" + name;
    if (ioApi_->open_reader(up.c_str())) candidate = up;
  }
  if (const auto* path = optionOf<std::string>(options_, "fabpak_path")) candidate = *path;
  if (candidate.empty() || !ioApi_->open_reader(candidate.c_str())) return false;
  containerPath_ = candidate;

  for (const auto& path : listing) {
    if (contains(path, "custom_graph_metadata.json")) readCustomGraphMetadata(path);
    if (contains(path, ".elf")) {
      txnPaths_.push_back(path);
      elfMode_ = true;
    }
    if (contains(path, "ml_txn.bin")) txnPaths_.push_back(path);
    if (contains(path, "ctrl_pkt0.bin")) ctrlPktPath_ = path;
    if (contains(path, "ctrlPktPatch.json")) ctrlPktPatchPath_ = path;
    if (contains(path, "external_buffer_id.json")) extBufferPaths_.push_back(path);
    if (contains(path, "custom_op_metadata.json")) customOpMetadataPath_ = path;
  }
  if (elfMode_)
    txnPaths_.erase(std::remove_if(txnPaths_.begin(), txnPaths_.end(),
                                   [](const std::string& p) { return contains(p, "ml_txn.bin"); }),
                    txnPaths_.end());
  if (txnPaths_.empty()) HW_THROW("No transaction binary found!");
  readCustomOpMetadata();
  return true;
}

void KorvanHWRunnerImpl::readCustomGraphMetadata(const std::string& path) {
  ReaderHandle reader = ioApi_->open_reader(path.c_str());
  if (!reader) HW_THROW("Cannot open custom_graph_metadata.json");
  const std::string text = readWholeFile(*reader);
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject())
    HW_THROW("Cannot parse invalid custom_graph_metadata.json!");
  const auto ops = doc.FindMember("custom_ops_list");
  const size_t count = ops != doc.MemberEnd() && ops->value.IsArray() ? ops->value.Size() : 0;
  txnPaths_.resize(count);
  extBufferPaths_.resize(count);
  const std::string parent = parentOf(partitionDir_);
  for (size_t i = 0; i < count; ++i) {
    const auto& op = ops->value[static_cast<rapidjson::SizeType>(i)];
    if (!op.IsString()) HW_THROW("Cannot parse invalid custom_graph_metadata.json!");
    const std::string dir = parent + "/" + op.GetString() + "/0/";
    txnPaths_[i] = dir + (elfMode_ ? "no-ctrl.elf" : "ml_txn.bin");
    extBufferPaths_[i] = dir + "external_buffer_id.json";
  }
  const auto connectivity = doc.FindMember("connectivity");
  if (connectivity == doc.MemberEnd()) HW_THROW("connectivity section not found!");
  if (!connectivity->value.IsArray() || connectivity->value.Size() != count)
    HW_THROW("Number of custom ops does not match connectivity in custom_graph_metadata.json!");
  customGraphConnectivity_.CopyFrom(connectivity->value, customGraphConnectivity_.GetAllocator());
}

void KorvanHWRunnerImpl::readCustomOpMetadata() {
  if (customOpMetadataPath_.empty()) return;
  ReaderHandle reader = ioApi_->open_reader(customOpMetadataPath_.c_str());
  if (!reader) return;
  const std::string text = readWholeFile(*reader);
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  hasCustomOpMetadata_ = true;
  if (doc.HasParseError() || !doc.IsObject())
    HW_THROW("Cannot parse invalid custom_op_metadata.json!");
  const auto connectivity = doc.FindMember("connectivity");
  if (connectivity == doc.MemberEnd() || !connectivity->value.IsArray())
    HW_THROW("Cannot find valid connectivity info!");
  customOpConnectivity_.CopyFrom(connectivity->value, customOpConnectivity_.GetAllocator());
}

std::map<std::string, uint32_t> KorvanHWRunnerImpl::qosMap() const {
  std::map<std::string, uint32_t> qos;
  if (const auto* priority = optionOf<std::string>(options_, "priority")) {
    static const std::map<std::string, uint32_t> levels = {
        {"realtime", 256}, {"high", 384}, {"normal", 512}, {"low", 640}};
    if (const auto found = levels.find(*priority); found != levels.end())
      qos["priority"] = found->second;
  } else {
    qos["priority"] = 512;
  }
  const std::pair<const char*, uint32_t> numeric[] = {{"gops", 1},
                                                      {"fps", 1},
                                                      {"latency", 2000},
                                                      {"dma_bandwidth", 2000},
                                                      {"frame_execution_time", 2000},
                                                      {"egops", 1}};
  for (const auto& [key, fallback] : numeric) {
    const auto* value = optionOf<uint32_t>(options_, key);
    qos[key] = value != nullptr ? *value : fallback;
  }
  return qos;
}

std::vector<char> KorvanHWRunnerImpl::containerBytes(const std::string& path) const {
  ReaderHandle reader = ioApi_->open_reader(path.c_str());
  if (!reader) throw std::runtime_error("Cannot open configuration container " + path);
  const std::string text = readWholeFile(*reader);
  return {text.begin(), text.end()};
}

void KorvanHWRunnerImpl::createTransactionRuntime() {
  if (fromPackage_) {
    if (certDevice_)
      qel_ = std::make_unique<cert_qel>(subPartition_, numThreads_, context_);
    else
      qel_ = std::make_unique<pellix_qel>(subPartition_, numThreads_, context_);
  } else {
    auto open = [&](const std::string& path) {
      return path.empty() ? ReaderHandle(nullptr, [](KorvanIOReader*) {})
                          : ioApi_->open_reader(path.c_str());
    };
    std::vector<ReaderHandle> txn, ext;
    std::vector<KorvanIOReader*> txnReaders, extReaders;
    for (const auto& p : txnPaths_) {
      txn.push_back(open(p));
      txnReaders.push_back(txn.back().get());
    }
    for (const auto& p : extBufferPaths_) {
      ext.push_back(open(p));
      extReaders.push_back(ext.back().get());
    }
    if (certDevice_) {
      qel_ = std::make_unique<cert_qel>(txnReaders, nullptr, nullptr, numThreads_, context_,
                                        extReaders);
    } else {
      ReaderHandle ctrl = open(ctrlPktPath_);
      ReaderHandle patch = open(ctrlPktPatchPath_);
      qel_ = std::make_unique<pellix_qel>(txnReaders, ctrl.get(), patch.get(), numThreads_,
                                          context_, extReaders);
    }
  }
  if (certDevice_) {
    const size_t runs = qel_->runs_.size();
    for (size_t r = 0; r < runs; ++r) {
      qel_->wts_arg_idx_.push_back(0);
      qel_->ifm_arg_idx_.push_back(1);
      qel_->ofm_arg_idx_.push_back(2);
      qel_->ctrl_pkt_arg_idx_.push_back(3);
    }
  }
}

void KorvanHWRunnerImpl::readExternalBuffers() {
  std::string text;
  if (fromPackage_) {
    const auto* json = subPartition_->external_buffer_json();
    if (json == nullptr) HW_THROW("ERROR!  No external_buffer_id.json found!");
    text.assign(reinterpret_cast<const char*>(json->data()), json->size());
  } else {
    if (extBufferPaths_.empty()) HW_THROW("ERROR!  No external_buffer_id.json found!");
    ReaderHandle reader = ioApi_->open_reader(extBufferPaths_.front().c_str());
    if (!reader) return;
    text = readWholeFile(*reader);
  }
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError())
    throw std::runtime_error("Error reading external_buffer_id.json" +
                             std::to_string(static_cast<int>(doc.GetParseError())));
  if (!doc.IsObject()) return;
  const auto found = doc.FindMember("external_buffers");
  if (found == doc.MemberEnd() || !found->value.IsObject()) return;
  if (found->value.MemberCount() == 0)
    throw std::runtime_error("[Error] Number of external buffers found = 0!!!");
  externalBuffers_.CopyFrom(found->value, externalBuffers_.GetAllocator());
}

void KorvanHWRunnerImpl::sizeBufferSets() {
  for (int32_t t = 0; t < numThreads_; ++t) {
    inputPoolQueue_.push(t);
    outputPoolQueue_.push(t);
    execQueue_.push(t);
  }
  const size_t sets = static_cast<size_t>(numThreads_);
  const size_t inputs = params_->numInputs(), outputs = params_->numOutputs();
  namedAddresses_.resize(sets);
  namedBos_.resize(sets);
  outputBos_.resize(sets);
  inputBos_.resize(sets);
  inputSubBos_.assign(sets, std::vector<qel::bo>(inputs));
  outputSubBos_.assign(sets, std::vector<qel::bo>(outputs));
  inputPadBefore_.assign(inputs, 0);
  inputSizes_.assign(inputs, 0);
  outputPadBefore_.assign(outputs, 0);
  outputSizes_.assign(outputs, 0);
  weightSubBos_.resize(params_->numWeightsExtend());
  const auto& sizes = params_->spillSizes();
  const size_t layers = params_->spillNames().size();
  const bool ownPerLayer = layers == 0 || (!sizes.empty() && sizes.front() != 0);
  spillBos_.resize(ownPerLayer ? layers : 1);
  inputLent_.assign(sets, false);
  outputLent_.assign(sets, false);
  computeIoSizes();
}

void KorvanHWRunnerImpl::planMemoryMode() {
  if (const auto* mode = optionOf<std::string>(options_, "perf_mem_trade_off")) memoryMode_ = *mode;
  if (const auto* hostPtr = optionOf<bool>(options_, "use_host_ptr")) useHostPtr_ = *hostPtr;
  if (const char* dump = std::getenv("DUMP_L3_BUFFERS"))
    dumpL3Buffers_ = (std::stoi(dump) & 1) != 0;

  if (memoryMode_ == "performance" || memoryMode_ == "balanced") {
    chunkLocks_[0].lock();
    weightCounts_.push_back(static_cast<int32_t>(params_->numWeightsExtend()));
    allocateWeightBOs(weightsBo_, weightSubBos_, 0);
    weightsAllocated_ = true;
    if (memoryMode_ == "balanced") return;
    allocateSpillBOs(spillBos_);
    spillAllocated_ = true;
    for (int32_t t = 0; t < numThreads_; ++t)
      allocateInputOutputBOs(inputBos_[t], outputBos_[t], inputSubBos_[t], outputSubBos_[t], t);
  } else if (memoryMode_ != "low mem") {
    HW_THROW("Invalid 'perf_mem_trade_off' mode " + memoryMode_ +
             " specified, set from {performance, balanced, low mem}");
  }
}

void KorvanHWRunnerImpl::buildRunLists(bool lowMem) {
  if (!lowMem) {
    qel_->preemption_ = enablePreemption_;
    for (int32_t t = 0; t < numThreads_; ++t) qel_->add_run(t);
    return;
  }
  const int32_t n = qel_->num_subgraphs_;
  runChunkSizes_.clear();
  if (n > 0) runChunkSizes_.push_back((n + 1) / 2);
  if (n - (n + 1) / 2 > 0) runChunkSizes_.push_back(n - (n + 1) / 2);
  numRunChunks_ = static_cast<int32_t>(runChunkSizes_.size());
  for (int32_t t = 0; t < numThreads_; ++t) {
    int32_t s = 0;
    for (const int32_t size : runChunkSizes_) {
      qel::runlist list(context_->hw_context);
      for (int32_t k = 0; k < size; ++k, ++s) list.add(qel_->runs_.at(t * n + s));
      qel_->pipe_runlists_.at(t).push_back(list);
    }
  }
  // Per chunk, the running number of distinct prepared-weight buffers its
  // operators read. A partition without graph connectivity has all its
  // prepared weights in the first chunk.
  weightCounts_.clear();
  if (!customGraph_ || !customGraphConnectivity_.IsArray() || customGraphConnectivity_.Empty()) {
    for (int32_t c = 0; c < numRunChunks_; ++c)
      weightCounts_.push_back(static_cast<int32_t>(params_->numWeightsExtend()));
    return;
  }
  std::vector<std::string> names;
  rapidjson::SizeType entry = 0;
  for (const int32_t size : runChunkSizes_) {
    for (int32_t k = 0; k < size && entry < customGraphConnectivity_.Size(); ++k, ++entry) {
      const auto& e = customGraphConnectivity_[entry];
      if (!e.IsObject()) continue;
      const auto w = e.FindMember("weights");
      if (w == e.MemberEnd() || !w->value.IsArray() || w->value.Empty() || !w->value[0].IsString())
        continue;
      const std::string name = w->value[0].GetString();
      if (contains(name, "wts_ext_ddr") &&
          std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
    }
    weightCounts_.push_back(
        static_cast<int32_t>(std::min<size_t>(names.size(), params_->numWeightsExtend())));
  }
}

void KorvanHWRunnerImpl::requireContext() const {
  if (context_ == nullptr || !qel_) HW_THROW("context not initialized");
}

void KorvanHWRunnerImpl::openInterval(const char* label) {
  if (!profiling_ || timestampsMap_ == nullptr) return;
  std::lock_guard lock(profilingMutex_);
  auto& slot = (*timestampsMap_)[runnerId_];
  if (slot == nullptr) {
    ownedRecords_.push_back(std::make_unique<timestamps>());
    slot = ownedRecords_.back().get();
  }
  if (slot->label_.empty()) {
    slot->label_ = label;
    slot->start_ = timestamps::clock::now();
  }
}

void KorvanHWRunnerImpl::closeInterval() {
  if (!profiling_ || timestampsMap_ == nullptr) return;
  std::lock_guard lock(profilingMutex_);
  const auto found = timestampsMap_->find(runnerId_);
  if (found != timestampsMap_->end() && found->second != nullptr) found->second->end();
}

}  // namespace korvanrt
