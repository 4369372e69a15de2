#include "model/hw_cluster_params.hpp"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/file_io_api.hpp"
#include "model/package.hpp"

namespace korvanrt {
namespace {

constexpr const char* kHsiFile = "korvanrt-hsi.json";
constexpr const char* kParseError = "korvanrt-hsi.json parse error!";
// Retained parts are deep-copied recursively; deeper documents are refused
// before any copy is made.
constexpr size_t kMaxNesting = 256;

using Json = rapidjson::Value;

const Json* member(const Json& object, const char* key) {
  const auto found = object.FindMember(key);
  return found == object.MemberEnd() ? nullptr : &found->value;
}

// Greatest nesting depth of a parse tree, walked without recursion.
size_t nestingDepth(const Json& root) {
  std::vector<std::pair<const Json*, size_t>> pending{{&root, 1}};
  size_t deepest = 0;
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, depth);
    if (depth > kMaxNesting) break;
    if (value->IsArray()) {
      for (const Json& element : value->GetArray()) pending.emplace_back(&element, depth + 1);
    } else if (value->IsObject()) {
      for (const auto& m : value->GetObject()) pending.emplace_back(&m.value, depth + 1);
    }
  }
  return deepest;
}

}  // namespace

// Validates a parsed description and fills a HWClusterParams. Checks run in
// file order: inputs, outputs, weights, weightsExtend, spills, the rest.
class HWClusterParams::Parser {
 public:
  Parser(HWClusterParams& params, HsiSource source, const char* fileName, bool profiling)
      : params_(params), source_(source), fileName_(fileName), profiling_(profiling) {}

  void parse(const char* data, size_t size) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag>(data, size);
    if (document.HasParseError()) reportParseError(document);
    if (nestingDepth(document) > kMaxNesting) {
      fail("the document is nested deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    if (!document.IsObject()) fail("the document must be a JSON object");
    readRoot(document);
  }

 private:
  std::string fileLabel() const {
    if (source_ == HsiSource::File && fileName_ != nullptr && *fileName_ != '\0') return fileName_;
    return kHsiFile;
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error(fileLabel() + ": " + what);
  }

  [[noreturn]] void reportParseError(const rapidjson::Document& document) const {
    if (source_ == HsiSource::Package) {
      std::cerr << kParseError << "\n";
      throw KorvanRTException(kParseError, "korvan_rt/src/HWClusterParams", 401);
    }
    const std::string message = std::string(kParseError) + " " + fileLabel() + ": " +
                                rapidjson::GetParseError_En(document.GetParseError()) +
                                " (offset " + std::to_string(document.GetErrorOffset()) + ")";
    std::cerr << message << "\n";
    KORVAN_THROW(message);
  }

  [[noreturn]] void missingKey(const char* key) const {
    const std::string prefix = std::string("ERROR: ") + key + " entry missing in ";
    if (source_ == HsiSource::Package) {
      std::cerr << prefix << kHsiFile << "\n";
    } else if (fileName_ != nullptr) {
      std::cerr << prefix << fileName_ << "\n";
    }
    throw std::runtime_error("Invalid runtime json");
  }

  static std::string at(const std::string& list, size_t index) {
    return list + "[" + std::to_string(index) + "]";
  }

  const Json& requireObject(const Json& value, const std::string& where) const {
    if (!value.IsObject()) fail(where + " must be an object");
    return value;
  }

  std::string requireString(const Json& entry, const char* key, const std::string& where) const {
    const Json* value = member(entry, key);
    if (value == nullptr) missingKey(key);
    if (!value->IsString()) fail(std::string("\"") + key + "\" of " + where + " must be a string");
    return std::string(value->GetString(), value->GetStringLength());
  }

  int64_t requireInt32(const Json& value, const char* key, const std::string& where) const {
    if (!value.IsInt()) {
      fail(std::string("\"") + key + "\" of " + where +
           " must be an integer in -2147483648..2147483647");
    }
    return value.GetInt();
  }

  // Product of the shape under `key`, wrapping at 2^32.
  uint32_t requireShape(const Json& entry, const char* key, const std::string& where) const {
    const Json* shape = member(entry, key);
    const std::string fault = std::string("\"") + key + "\" of " + where +
                              " must be an array of integers in 0..2147483647";
    if (shape == nullptr || !shape->IsArray()) fail(fault);
    uint32_t product = 1;
    for (const Json& d : shape->GetArray()) {
      if (!d.IsInt() || d.GetInt() < 0) fail(fault);
      product *= static_cast<uint32_t>(d.GetInt());
    }
    return product;
  }

  // One tensor entry. Returns the CPU and hardware element counts.
  std::pair<uint32_t, uint32_t> checkTensor(const Json& entry, const std::string& where) const {
    requireObject(entry, where);
    static constexpr const char* kRequired[] = {"name",      "scale_factor", "cpu_format",
                                                "cpu_dtype", "hw_format",    "hw_dtype"};
    for (const char* key : kRequired) {
      if (member(entry, key) == nullptr) missingKey(key);
    }
    for (const char* key : {"name", "cpu_format", "cpu_dtype", "hw_format", "hw_dtype"}) {
      requireString(entry, key, where);
    }
    if (!member(entry, "scale_factor")->IsNumber()) {
      fail("\"scale_factor\" of " + where + " must be a number");
    }
    if (const Json* zeroPoint = member(entry, "zero_point")) {
      requireInt32(*zeroPoint, "zero_point", where);
    }
    if (const Json* kernel = member(entry, "pl_converter_kernel"); kernel && !kernel->IsString()) {
      fail("\"pl_converter_kernel\" of " + where + " must be a string");
    }
    const uint32_t cpuCount = requireShape(entry, "cpu_shape", where);
    const uint32_t hwCount = requireShape(entry, "hw_shape", where);
    return {cpuCount, hwCount};
  }

  // Copies `list` into a document of its own and checks every entry.
  std::unique_ptr<rapidjson::Document> retainTensors(const Json& list, const std::string& label,
                                                     bool compareSizes) const {
    for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
      const auto [cpuCount, hwCount] = checkTensor(list[i], at(label, i));
      if (compareSizes && hwCount < cpuCount) {
        std::cout << "ERROR: Hardware tensor size cannot be smaller than CPU tensor size for input "
                  << i << std::endl;
        std::cout << "    CPU tensor size=" << cpuCount << " Hardware tensor size=" << hwCount
                  << std::endl;
        throw std::runtime_error(
            "Invalid input tensor shapes specified in korvanrt-hsi.json for the model");
      }
    }
    auto copy = std::make_unique<rapidjson::Document>();
    copy->CopyFrom(list, copy->GetAllocator());
    return copy;
  }

  const Json& requireArray(const Json& root, const char* key) const {
    const Json* list = member(root, key);
    if (list == nullptr || !list->IsArray()) fail(std::string("\"") + key + "\" must be an array");
    return *list;
  }

  const Json& layersOf(const Json& holder, const char* owner) const {
    const Json* layers = member(holder, "layers");
    if (layers == nullptr || !layers->IsArray()) {
      fail(std::string("\"layers\" of \"") + owner + "\" must be an array");
    }
    return *layers;
  }

  void readLayers(const Json& layers, const char* owner, std::vector<std::string>& names,
                  std::vector<int64_t>& offsets, std::vector<int64_t>* sizes) const {
    for (rapidjson::SizeType i = 0; i < layers.Size(); ++i) {
      const std::string where = at(std::string(owner) + ".layers", i);
      const Json& layer = requireObject(layers[i], where);
      std::string name = requireString(layer, "name", where);
      const Json* offset = member(layer, "offset");
      if (offset == nullptr) missingKey("offset");
      offsets.push_back(requireInt32(*offset, "offset", where));
      names.push_back(std::move(name));
      if (sizes == nullptr) continue;
      if (const Json* size = member(layer, "size")) {
        sizes->push_back(requireInt32(*size, "size", where));
      }
    }
  }

  void readRoot(const Json& root) {
    params_.inputs_ = retainTensors(requireArray(root, "inputs"), "inputs", true);
    params_.outputs_ = retainTensors(requireArray(root, "outputs"), "outputs", false);

    if (const Json* weights = member(root, "weights")) {
      if (weights->IsArray()) {
        params_.weights_ = retainTensors(*weights, "weights", false);
      } else if (weights->IsObject()) {
        if (weights->HasMember("layers")) {
          readLayers(layersOf(*weights, "weights"), "weights", params_.weightNames_,
                     params_.weightOffsets_, nullptr);
        }
      } else {
        fail("\"weights\" must be an array or an object");
      }
    }

    if (const Json* extend = member(root, "weightsExtend"); extend && extend->IsArray()) {
      params_.weightsExtend_ = retainTensors(*extend, "weightsExtend", false);
    }

    if (const Json* spills = member(root, "spills")) {
      if (!spills->IsObject()) fail("\"spills\" must be an object");
      readLayers(layersOf(*spills, "spills"), "spills", params_.spillNames_, params_.spillOffsets_,
                 &params_.spillSizes_);
    }

    if (const Json* fabpak = member(root, "fabpak_name")) {
      if (!fabpak->IsString()) fail("\"fabpak_name\" must be a string");
      params_.fabpakName_.assign(fabpak->GetString(), fabpak->GetStringLength());
    }

    params_.plcOutputMode_ = profiling_ ? 1 : 0;
    if (const Json* control = member(root, "tgr_runtime_control")) {
      if (!control->IsObject()) fail("\"tgr_runtime_control\" must be an object");
      if (const Json* mode = member(*control, "plc_output_mode")) {
        params_.plcOutputMode_ =
            static_cast<int32_t>(requireInt32(*mode, "plc_output_mode", "\"tgr_runtime_control\""));
      }
    }
  }

  HWClusterParams& params_;
  HsiSource source_;
  const char* fileName_;
  bool profiling_;
};

HWClusterParams::HWClusterParams(const char* data, size_t size, bool profiling, HsiSource source,
                                 const char* fileName)
    : inputs_(std::make_unique<rapidjson::Document>()),
      outputs_(std::make_unique<rapidjson::Document>()),
      weights_(std::make_unique<rapidjson::Document>()),
      weightsExtend_(std::make_unique<rapidjson::Document>()) {
  if (data == nullptr && size != 0)
    throw std::invalid_argument("HWClusterParams: no description text");
  Parser(*this, source, fileName, profiling).parse(data == nullptr ? "" : data, size);
}

HWClusterParams::HWClusterParams(KorvanIOReader* reader, bool profiling)
    : inputs_(std::make_unique<rapidjson::Document>()),
      outputs_(std::make_unique<rapidjson::Document>()),
      weights_(std::make_unique<rapidjson::Document>()),
      weightsExtend_(std::make_unique<rapidjson::Document>()) {
  if (reader == nullptr) throw std::invalid_argument("KorvanRT HSI JSON path not valid!");
  const std::string text = readWholeFile(*reader);
  Parser(*this, HsiSource::File, reader->name(), profiling).parse(text.data(), text.size());
}

HWClusterParams::HWClusterParams(const trelm::fbs::SubPartition* subPartition, bool profiling)
    : inputs_(std::make_unique<rapidjson::Document>()),
      outputs_(std::make_unique<rapidjson::Document>()),
      weights_(std::make_unique<rapidjson::Document>()),
      weightsExtend_(std::make_unique<rapidjson::Document>()) {
  if (subPartition == nullptr) KORVAN_THROW("Model package sub-partition is missing");
  // A private copy: the package bytes need not be NUL-terminated.
  const std::string text(hsiText(*subPartition));
  Parser(*this, HsiSource::Package, nullptr, profiling).parse(text.data(), text.size());
}

HWClusterParams::~HWClusterParams() = default;

namespace {

uint32_t arraySize(const rapidjson::Document& list) {
  return list.IsArray() ? list.Size() : 0;
}

IOParams entryOf(const rapidjson::Document& list, size_t j, const char* label) {
  const uint32_t count = arraySize(list);
  if (j >= count) {
    throw std::out_of_range(std::string("HWClusterParams: ") + label + " index " +
                            std::to_string(j) + " is beyond the " + std::to_string(count) +
                            " entries");
  }
  return IOParams(&list[static_cast<rapidjson::SizeType>(j)]);
}

}  // namespace

uint32_t HWClusterParams::numInputs() const {
  return arraySize(*inputs_);
}
uint32_t HWClusterParams::numOutputs() const {
  return arraySize(*outputs_);
}
uint32_t HWClusterParams::numWeights() const {
  return arraySize(*weights_);
}
uint32_t HWClusterParams::numWeightsExtend() const {
  return arraySize(*weightsExtend_);
}

IOParams HWClusterParams::getInput(size_t j) const {
  return entryOf(*inputs_, j, "input");
}
IOParams HWClusterParams::getOutput(size_t j) const {
  return entryOf(*outputs_, j, "output");
}
IOParams HWClusterParams::getWeight(size_t j) const {
  return entryOf(*weights_, j, "weight");
}
IOParams HWClusterParams::getWeightExtend(size_t j) const {
  return entryOf(*weightsExtend_, j, "weightsExtend");
}

}  // namespace korvanrt
