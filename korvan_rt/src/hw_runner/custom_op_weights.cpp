#include <rapidjson/document.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "hw_runner/hw_error.hpp"
#include "hw_runner/hw_runner_impl.hpp"
#include "tensor/aligned_allocator.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {

namespace {

namespace fs = std::filesystem;
using Bf16Buffer = std::vector<uint16_t, aligned_4k_allocator<uint16_t>>;

std::string parentOf(const std::string& dir) {
  std::string trimmed = dir;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return fs::path(trimmed).parent_path().string();
}

const rapidjson::Value* member(const IOParams& entry, const char* key) {
  const rapidjson::Value* e = entry.entry();
  if (e == nullptr || !e->IsObject()) return nullptr;
  const auto found = e->FindMember(key);
  return found == e->MemberEnd() ? nullptr : &found->value;
}

std::string opNameOf(const IOParams& entry) {
  const rapidjson::Value* v = member(entry, "op_name");
  return v != nullptr && v->IsString() ? v->GetString() : "UNKNOWN";
}

// The element count of `shape`, or nothing when it does not fit 64 bits.
std::optional<uint64_t> product(const std::vector<uint64_t>& shape) {
  uint64_t n = 1;
  for (const uint64_t d : shape)
    if (__builtin_mul_overflow(n, d, &n)) return std::nullopt;
  return n;
}

int roundingModeOf(const OptionsMap& options) {
  const auto found = options.find("rounding_mode");
  if (found == options.end()) return 0;
  const auto& text = std::any_cast<const std::string&>(found->second);
  if (text == "round-to-nearest-even") return 0;
  if (text == "truncate") return 1;
  throw std::invalid_argument("Invalid rounding mode '" + text +
                              "', choose from 'round-to-nearest-even' or 'truncate'");
}

// Element counts of the prepared weight entries, in entry order.
std::vector<uint64_t> extendCounts(const HWClusterParams& params) {
  std::vector<uint64_t> counts;
  for (uint32_t e = 0; e < params.numWeightsExtend(); ++e)
    counts.push_back(params.getWeightExtend(e).hwShape().size());
  return counts;
}

// The cache is written under a temporary name and renamed when complete, so
// that a later run never loads a partial file. The temporary file is removed
// when preparation ends early.
class CacheWriter {
 public:
  explicit CacheWriter(const fs::path& path) : path_(path) {
    std::ostringstream name;
    name << path.filename().string() << ".tmp." << ::getpid() << "." << std::this_thread::get_id();
    temp_ = path.parent_path() / name.str();
    out_.open(temp_, std::ios::binary | std::ios::trunc);
    if (!out_)
      throw std::runtime_error("Failed to open the file " + path.string() + " for writing.");
  }
  ~CacheWriter() {
    if (!committed_) {
      out_.close();
      std::error_code ignored;
      fs::remove(temp_, ignored);
    }
  }
  CacheWriter(const CacheWriter&) = delete;
  CacheWriter& operator=(const CacheWriter&) = delete;

  void append(const void* data, size_t bytes) {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    if (!out_) throw std::runtime_error("Failed to write the file " + path_.string() + ".");
  }
  void commit() {
    out_.close();
    if (!out_) throw std::runtime_error("Failed to write the file " + path_.string() + ".");
    fs::rename(temp_, path_);
    committed_ = true;
  }

 private:
  fs::path path_, temp_;
  std::ofstream out_;
  bool committed_ = false;
};

}  // namespace

void KorvanHWRunnerImpl::preProcCustOpWtsBuffer(std::vector<qel::bo>& weightSubs, qel::bo& weights,
                                                int chunk) {
  const std::string modelDir =
      customGraph_ ? parentOf(partitionDir_) : parentOf(parentOf(partitionDir_));
  std::string constDir = modelDir;
  if (const auto found = options_.find("const_location"); found != options_.end())
    constDir = std::any_cast<const std::string&>(found->second);
  const fs::path wtsPath = fs::path(constDir) / "wts.bin";
  const fs::path infoPath = fs::path(constDir) / "custom_op_constinfo.json";
  const fs::path cachePath = fs::path(modelDir) / modelName_ / "wts_preproc.bin";

  const std::vector<uint64_t> counts = extendCounts(*params_);
  const size_t start = chunk > 0 ? static_cast<size_t>(weightCounts_.at(chunk - 1)) : 0;
  const size_t end = static_cast<size_t>(weightCounts_.at(static_cast<size_t>(chunk)));
  if (end < start || end > counts.size() || end > weightSubs.size())
    HW_THROW("Weight chunk " + std::to_string(chunk) + " lies outside the prepared weights");

  if (fs::exists(cachePath)) {
    std::ifstream in(cachePath, std::ios::binary);
    if (!in)
      throw std::runtime_error("Failed to open the file " + cachePath.string() + " for reading.");
    uint64_t skip = 0, bytes = 0;
    for (size_t e = 0; e < start; ++e) skip += 2 * counts[e];
    for (size_t e = start; e < end; ++e) bytes += 2 * counts[e];
    if (bytes == 0) return;
    if (!weights || weights.size() < bytes)
      HW_THROW("The prepared weights of chunk " + std::to_string(chunk) +
               " do not fit their buffer");
    in.seekg(static_cast<std::streamoff>(skip));
    in.read(weights.map<char*>(), static_cast<std::streamsize>(bytes));
    if (!in || static_cast<uint64_t>(in.gcount()) != bytes)
      HW_THROW("The file " + cachePath.string() + " holds fewer prepared weights than expected");
    weights.sync(qel::bo::direction::to_device, bytes, 0);
    return;
  }

  std::ifstream wts(wtsPath, std::ios::binary);
  if (!wts)
    throw std::runtime_error("Failed to open the file " + wtsPath.string() + " for reading.");
  CacheWriter cache(cachePath);
  nlohmann::json info;
  {
    std::ifstream text(infoPath);
    if (!text) throw std::runtime_error("Unable to open file: " + infoPath.string());
    try {
      info = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
      throw std::runtime_error(e.what());
    }
  }

  std::vector<std::string> names;
  std::vector<Bf16Buffer> constants;
  std::vector<client::OpsTensor> constantTensors;
  std::vector<uint64_t> constantCounts;
  try {
    const auto& map = info.at("subgraph_const_map");
    if (!map.contains(modelName_)) return;
    names = map.at(modelName_).get<std::vector<std::string>>();
    if (names.size() != params_->numWeights())
      HW_THROW("    Number of constants from External Runtime (" + std::to_string(names.size()) +
               ") and numWeights (" + std::to_string(params_->numWeights()) + ") are not same");
    const int rounding = roundingModeOf(options_);
    for (size_t k = 0; k < names.size(); ++k) {
      const auto& record = info.at("constinfo").at(names[k]);
      const std::string type = record.at("type").get<std::string>();
      const uint64_t size = record.at("size").get<uint64_t>();
      const auto shape = record.at("shape").get<std::vector<uint64_t>>();
      const uint64_t offset = record.at("offset").get<uint64_t>();
      wts.seekg(static_cast<std::streamoff>(offset));
      if (!wts)
        throw std::runtime_error("Failed to seek to the specified position in the wts file.");
      if (shape.empty()) HW_THROW("    Invalid weight tensor shape. Weight tensor shape is empty ");
      const std::optional<uint64_t> count = product(shape);
      const IOParams entry = params_->getWeight(k);
      const bool fromFloat = entry.hwDtype() == "bf16";
      if (!fromFloat && type != "bf16") HW_THROW("    Currently only support bfloat16 datatype ");
      // The stored constant must hold every element it claims.
      uint64_t needed = 0;
      if (!count || __builtin_mul_overflow(*count, fromFloat ? 4u : 2u, &needed))
        HW_THROW("Constant " + names[k] + " has a shape of more elements than can be counted");
      const uint64_t m = *count;
      if (size < needed)
        HW_THROW("Constant " + names[k] + " holds " + std::to_string(size) + " bytes, its " +
                 std::to_string(m) + " elements need " + std::to_string(needed));
      std::vector<char> raw(size);
      wts.read(raw.data(), static_cast<std::streamsize>(size));
      if (!wts || static_cast<uint64_t>(wts.gcount()) != size)
        HW_THROW("Failed to read the specified amount of data.");
      // At least as many elements as the constant's device shape names, so
      // that an operator reading by that shape stays inside the buffer.
      constants.emplace_back(std::max<uint64_t>(m, entry.hwShape().size()));
      constantCounts.push_back(m);
      if (fromFloat) {
        std::vector<float> values(m);
        std::memcpy(values.data(), raw.data(), m * 4);
        float_to_bfloat16_avx512_unrolled(values.data(), constants.back().data(), m, rounding);
      } else {
        std::memcpy(constants.back().data(), raw.data(), m * 2);
      }
      client::OpsTensor t;
      t.data = constants.back().data();
      const TensorDims dims = entry.hwShape();
      t.shape.assign(dims.dims().begin(), dims.dims().end());
      t.dtype = entry.hwDtype();
      constantTensors.push_back(t);
    }
  } catch (const nlohmann::json::type_error&) {
    throw;
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(e.what());
  }
  wts.close();

  for (size_t e = 0; e < counts.size(); ++e) {
    const IOParams entry = params_->getWeightExtend(e);
    Bf16Buffer result(counts[e]);
    client::OpsTensor output;
    output.data = result.data();
    const TensorDims dims = entry.hwShape();
    output.shape.assign(dims.dims().begin(), dims.dims().end());
    output.dtype = entry.hwDtype();
    const std::string opName = opNameOf(entry);

    CustomOpFunction fn = nullptr;
    for (const auto& [key, candidate] : customOps_)
      if (opName == "UNKNOWN" || opName.find(key) != std::string::npos) fn = candidate;

    std::vector<client::OpsTensor> inputs;
    std::vector<size_t> inputConstants;
    const rapidjson::Value* wanted = member(entry, "wts_name");
    for (size_t k = 0; k < names.size(); ++k) {
      if (wanted != nullptr && wanted->IsArray() && wanted->Size() > k) {
        const auto& w = (*wanted)[static_cast<rapidjson::SizeType>(k)];
        const std::string name = w.IsString() ? w.GetString() : "";
        const auto found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) HW_THROW("Could not find the weight_name " + name);
        inputConstants.push_back(static_cast<size_t>(found - names.begin()));
        inputs.push_back(constantTensors[inputConstants.back()]);
      } else {
        const std::string constOp = opNameOf(params_->getWeight(k));
        if (constOp == "UNKNOWN") {
          inputConstants.push_back(k);
          inputs.push_back(constantTensors[k]);
        }
      }
    }
    std::vector<client::OpsTensor> outputs{output};
    if (fn != nullptr) {
      fn(inputs, outputs);
    } else {
      if (inputs.empty())
        HW_THROW("Prepared weight " + std::to_string(e) + " has no constant to copy from");
      const uint64_t available = constantCounts[inputConstants.front()];
      if (available < counts[e])
        HW_THROW("Prepared weight " + std::to_string(e) + " needs " + std::to_string(counts[e]) +
                 " elements, its constant holds " + std::to_string(available));
      std::memcpy(result.data(), inputs.front().data, counts[e] * 2);
    }
    if (outputs.size() != 1 || outputs[0].data != result.data() ||
        product(outputs[0].shape) != std::optional<uint64_t>(counts[e]))
      HW_THROW("Tensor size and shape must align in number of elements, this is inconsistent!");
    const uint64_t bytes = counts[e] * 2;
    if (e >= start && e < end && bytes > 0) {
      weightSubs[e].write(result.data(), bytes, 0);
      weightSubs[e].sync(qel::bo::direction::to_device, bytes, 0);
    }
    cache.append(result.data(), bytes);
  }
  cache.commit();
}

}  // namespace korvanrt
