#include "session_io.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <random>
#include <set>
#include <stdexcept>

#include "session_options.hpp"

namespace korvan::run {

namespace fs = std::filesystem;
using korvanrt::client::DataType;
using korvanrt::client::ErtTensorType;
using korvanrt::client::TensorFormat;
using korvanrt::client::TensorMetadataType;

namespace {

DataType runtimeType(ElementType type, const std::string& tensor) {
  switch (type) {
    case ElementType::fp32:
      return korvanrt::client::FP32;
    case ElementType::bf16:
      return korvanrt::client::BF16;
    case ElementType::int8:
      return korvanrt::client::INT8;
    case ElementType::uint8:
      return korvanrt::client::UINT8;
    case ElementType::int16:
      return korvanrt::client::INT16;
    case ElementType::uint16:
      return korvanrt::client::UINT16;
    case ElementType::boolean:
      return korvanrt::client::BOOL;
    case ElementType::int32:
      break;
  }
  throw std::invalid_argument("tensor " + tensor +
                              ": int32 tensors cannot be passed to the runtime");
}

TensorFormat runtimeFormat(const std::string& format) {
  if (format == "NCHW") return korvanrt::client::NCHW;
  if (format == "NHWC") return korvanrt::client::NHWC;
  if (format == "NHW") return korvanrt::client::NHW;
  if (format == "HCWNC8") return korvanrt::client::HCWNC8;
  if (format == "HCWNC4") return korvanrt::client::HCWNC4;
  return korvanrt::client::OTHER;
}

TensorMetadataType callerMetadata(const TensorInfo& info, const HostTensor& tensor) {
  TensorMetadataType meta;
  meta.name = info.name;
  meta.size = tensor.bytes.size();
  meta.dtype = runtimeType(tensor.type, info.name);
  for (auto d : tensor.shape) {
    if (d > UINT32_MAX) throw std::invalid_argument("tensor " + info.name + ": extent too large");
    meta.shape.push_back(static_cast<uint32_t>(d));
  }
  meta.strides.assign(meta.shape.size(), 1);
  for (std::size_t d = meta.shape.size(); d-- > 1;)
    meta.strides[d - 1] = meta.strides[d] * meta.shape[d];
  meta.format = runtimeFormat(info.cpuFormat);
  for (uint32_t d = 0; d < meta.shape.size(); ++d) meta.dimOrder.push_back(d);
  meta.scale = info.scale.value_or(1.0);
  meta.zeroPoint = static_cast<int32_t>(info.zeroPoint.value_or(0));
  return meta;
}

}  // namespace

std::optional<ReferenceSet> findReferenceSet(const PackageInfo& info,
                                             const std::string& referenceDir) {
  if (!referenceDir.empty()) return readReferenceSet(referenceDir);
  const auto dir = defaultReferenceDir(info.path);
  if (!dir) return std::nullopt;
  return readReferenceSet(*dir);
}

ModelInputs gatherInputs(const PackageInfo& info, const CommonSettings& settings,
                         const std::optional<ReferenceSet>& references, bool randomFallback) {
  const PartitionInfo& partition = info.partitions.at(0);
  std::vector<std::optional<TensorSource>> chosen(partition.inputs.size());
  for (const auto& text : settings.inputs) {
    TensorSource source = parseTensorSource(text, true);
    const std::size_t i = findTensor(partition.inputs, source.name, "input");
    if (chosen[i]) throw std::invalid_argument("input " + source.name + " is given twice");
    chosen[i] = std::move(source);
  }
  ModelInputs out;
  std::mt19937_64 generator;
  std::optional<std::uint64_t> batches;
  for (std::size_t i = 0; i < partition.inputs.size(); ++i) {
    const TensorInfo& entry = partition.inputs[i];
    std::optional<TensorSource>& source = chosen[i];
    if (!source && references) {
      for (const auto& file : references->inputs)
        if (file.name == entry.name) source = TensorSource{entry.name, false, file.file};
      if (source) out.usedSamples = true;
    }
    if (!source && randomFallback) source = TensorSource{entry.name, true, {}};
    if (!source)
      throw std::invalid_argument("no data for input " + entry.name + ": give --input " +
                                  entry.name + "=@file.npy or " + entry.name +
                                  "=random (the package has no sample for it)");
    HostTensor tensor;
    if (source->random) {
      if (!out.seed) {
        out.seed = settings.seed ? *settings.seed : std::random_device{}();
        generator.seed(*out.seed);
      }
      out.usedRandom = true;
      tensor = randomTensor(callerType(entry), callerShape(entry, batches.value_or(1)), generator);
    } else {
      tensor = loadNpy(source->file);
    }
    const std::uint64_t b = checkCallerTensor(entry, tensor, "input");
    if (batches && *batches != b)
      throw std::invalid_argument("input " + entry.name + " holds " + std::to_string(b) +
                                  " batches, input " + partition.inputs[0].name + " holds " +
                                  std::to_string(*batches));
    batches = b;
    out.tensors.push_back(std::move(tensor));
  }
  out.batches = batches.value_or(1);
  return out;
}

ProfileScope::ProfileScope(const std::string& directory)
    : begin_(std::chrono::system_clock::now()) {
  if (directory.empty()) return;
  directory_ = fs::absolute(directory);
  fs::create_directories(directory_);
  // Files of an earlier profile would mix into this one.
  for (const auto& entry : fs::directory_iterator(directory_)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() &&
        (name.rfind("inference_summary_", 0) == 0 || name.rfind("cpu_inference_summary_", 0) == 0 ||
         name == "record_timer_subgraph_cpu_ts.json" || name == "trace.json"))
      fs::remove(entry.path());
  }
}

ProfileScope::~ProfileScope() {
  if (inside_) {
    std::error_code ec;
    fs::current_path(previous_, ec);
  }
}

std::int64_t ProfileScope::beginEpochNs() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(begin_.time_since_epoch()).count();
}

void ProfileScope::enter() {
  if (!active() || inside_) return;
  previous_ = fs::current_path();
  fs::current_path(directory_);
  inside_ = true;
}

void ProfileScope::leave() {
  if (!inside_) return;
  fs::current_path(previous_);
  inside_ = false;
}

std::map<std::string, std::any> sessionOptions(const PackageInfo& info,
                                               const CommonSettings& settings,
                                               const ProfileScope& profile) {
  std::map<std::string, std::any> options = parseOptions(settings.options);
  if (info.form == PackageForm::memory) {
    options["fbs_buffer"] = static_cast<const std::uint8_t*>(info.bytes.data());
    options["fbs_buffer_size"] = static_cast<std::uint64_t>(info.bytes.size());
    if (!settings.cacheDir.empty()) {
      options["cache_dir"] = fs::absolute(settings.cacheDir).string();
    } else if (options.count("cache_dir") == 0) {
      options["cache_dir"] = (fs::temp_directory_path() / "korvanrt-run-cache").string();
    }
  }
  if (profile.active()) {
    options["vistrel_profiling"] = true;
    options["beginTime"] = profile.begin();
  }
  return options;
}

Binding::Binding(korvanrt::client::ImplBase& session, const PartitionInfo& partition,
                 const std::vector<HostTensor>& inputs, std::uint64_t batches, bool pool)
    : session_(session), partition_(partition), pool_(pool), inputCopies_(inputs) {
  for (std::size_t i = 0; i < partition.inputs.size(); ++i)
    inputMeta_.push_back(callerMetadata(partition.inputs[i], inputCopies_[i]));
  for (const auto& entry : partition.outputs) {
    outputs_.push_back(HostTensor::zeros(callerType(entry), callerShape(entry, batches)));
    outputMeta_.push_back(callerMetadata(entry, outputs_.back()));
  }
  if (!pool_) {
    for (std::size_t i = 0; i < inputMeta_.size(); ++i) {
      inputHandles_.emplace_back(inputMeta_[i]);
      inputHandles_.back().data = inputCopies_[i].bytes.data();
      inputHandles_.back().index = static_cast<int32_t>(i);
    }
    for (std::size_t i = 0; i < outputMeta_.size(); ++i) {
      outputHandles_.emplace_back(outputMeta_[i]);
      outputHandles_.back().data = outputs_[i].bytes.data();
      outputHandles_.back().index = static_cast<int32_t>(i);
    }
  }
}

Binding::~Binding() {
  try {
    release();
  } catch (...) {
    // The session reports pool errors on the inference that hits them.
  }
}

void Binding::acquire() {
  if (!pool_ || !poolInputs_.empty() || !poolOutputs_.empty()) return;
  poolInputs_ = session_.getIOTensors("inputs", true);
  poolOutputs_ = session_.getIOTensors("outputs", true);
  if (poolInputs_.size() != inputMeta_.size() || poolOutputs_.size() != outputMeta_.size())
    throw std::runtime_error("the I/O tensor pool lent " + std::to_string(poolInputs_.size()) +
                             " inputs and " + std::to_string(poolOutputs_.size()) +
                             " outputs; the model has " + std::to_string(inputMeta_.size()) +
                             " and " + std::to_string(outputMeta_.size()));
  // The caller's tensors re-describe the lent device buffers with the
  // caller's layout and type; the runtime converts into them in place.
  inputHandles_.clear();
  outputHandles_.clear();
  for (std::size_t i = 0; i < inputMeta_.size(); ++i) {
    inputHandles_.emplace_back(poolInputs_[i], inputMeta_[i]);
    inputHandles_.back().data = inputCopies_[i].bytes.data();
    inputHandles_.back().index = static_cast<int32_t>(i);
  }
  for (std::size_t i = 0; i < outputMeta_.size(); ++i) {
    outputHandles_.emplace_back(poolOutputs_[i], outputMeta_[i]);
    outputHandles_.back().data = outputs_[i].bytes.data();
    outputHandles_.back().index = static_cast<int32_t>(i);
  }
}

void Binding::release() {
  if (!pool_) return;
  inputHandles_.clear();
  outputHandles_.clear();
  if (!poolInputs_.empty()) session_.releaseIOTensors(poolInputs_);
  if (!poolOutputs_.empty()) session_.releaseIOTensors(poolOutputs_);
  poolInputs_.clear();
  poolOutputs_.clear();
}

void Binding::forward() {
  session_.forwardErtTensor(inputHandles_, outputHandles_);
}

std::future<void> Binding::forwardAsync() {
  return session_.forwardAsync(inputHandles_, outputHandles_);
}

std::uint64_t peakRssKiB() {
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<std::uint64_t>(usage.ru_maxrss);
}

}  // namespace korvan::run
