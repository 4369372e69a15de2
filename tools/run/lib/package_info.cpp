#include "package_info.hpp"

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "name_suggestion.hpp"
#include "package_generated.h"

namespace korvan::run {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& message) {
  throw std::runtime_error(message);
}

json parseText(const std::string& text, const std::string& origin) {
  try {
    return json::parse(text);
  } catch (const json::exception& e) {
    fail(origin + ": not valid JSON: " + e.what());
  }
}

json readJsonFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(path.string() + ": cannot open");
  std::ostringstream text;
  text << in.rdbuf();
  return parseText(text.str(), path.string());
}

std::vector<std::uint64_t> shapeOf(const json& entry, const char* key, const std::string& origin) {
  std::vector<std::uint64_t> shape;
  const auto found = entry.find(key);
  if (found == entry.end()) return shape;
  if (!found->is_array()) fail(origin + ": \"" + key + "\" is not an array");
  for (const auto& d : *found) {
    if (!d.is_number_integer() || d.get<std::int64_t>() < 0)
      fail(origin + ": \"" + key + "\" holds a value that is not a non-negative integer");
    shape.push_back(d.get<std::uint64_t>());
  }
  return shape;
}

std::string textOf(const json& entry, const char* key) {
  const auto found = entry.find(key);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::vector<TensorInfo> tensorsOf(const json& description, const char* key,
                                  const std::string& origin) {
  std::vector<TensorInfo> tensors;
  const auto list = description.find(key);
  if (list == description.end()) return tensors;
  if (!list->is_array()) fail(origin + ": \"" + key + "\" is not an array");
  for (const auto& entry : *list) {
    if (!entry.is_object()) fail(origin + ": an entry of \"" + key + "\" is not an object");
    TensorInfo t;
    t.name = textOf(entry, "name");
    t.cpuDtype = textOf(entry, "cpu_dtype");
    t.hwDtype = textOf(entry, "hw_dtype");
    t.cpuFormat = textOf(entry, "cpu_format");
    t.hwFormat = textOf(entry, "hw_format");
    t.cpuShape = shapeOf(entry, "cpu_shape", origin);
    t.hwShape = shapeOf(entry, "hw_shape", origin);
    if (auto s = entry.find("scale_factor"); s != entry.end() && s->is_number())
      t.scale = s->get<double>();
    if (auto z = entry.find("zero_point"); z != entry.end() && z->is_number_integer())
      t.zeroPoint = z->get<std::int64_t>();
    if (auto r = entry.find("rt_transformations"); r != entry.end()) t.rtTransformations = *r;
    tensors.push_back(std::move(t));
  }
  return tensors;
}

std::vector<std::string> layerNames(const json& description, const char* key) {
  std::vector<std::string> names;
  const auto group = description.find(key);
  if (group == description.end() || !group->is_object()) return names;
  const auto layers = group->find("layers");
  if (layers == group->end() || !layers->is_array()) return names;
  for (const auto& layer : *layers)
    if (layer.is_object()) names.push_back(textOf(layer, "name"));
  return names;
}

PartitionInfo partitionOf(int index, const json& description, const std::string& origin) {
  if (!description.is_object()) fail(origin + ": the description is not a JSON object");
  PartitionInfo p;
  p.index = index;
  p.inputs = tensorsOf(description, "inputs", origin);
  p.outputs = tensorsOf(description, "outputs", origin);
  if (auto d = description.find("device_batch_size");
      d != description.end() && d->is_number_integer())
    p.deviceBatchSize = d->get<std::int64_t>();
  p.weightLayers = layerNames(description, "weights");
  p.spillLayers = layerNames(description, "spills");
  return p;
}

// "partition-info.json" members shared by both forms.
int applyPartitionInfo(PackageInfo& info, const json& doc, const std::string& origin) {
  if (!doc.is_object()) fail(origin + ": not a JSON object");
  const auto name = doc.find("modelname");
  if (name == doc.end() || !name->is_string()) fail(origin + ": no \"modelname\" string");
  info.modelName = name->get<std::string>();
  if (auto r = doc.find("runner_type"); r != doc.end() && r->is_string())
    info.runnerType = r->get<std::string>();
  const auto count = doc.find("num_kte_partitions");
  if (count == doc.end() || !count->is_number_integer() || count->get<std::int64_t>() < 1 ||
      count->get<std::int64_t>() > 1024)
    fail(origin + ": no valid \"num_kte_partitions\"");
  if (auto p = doc.find("vistrel_profiling_enabled"); p != doc.end() && p->is_boolean())
    info.profilingEnabled = p->get<bool>();
  return count->get<int>();
}

void readDirectory(PackageInfo& info) {
  const fs::path& dir = info.path;
  if (fs::exists(dir / "custom_graph_metadata.json")) {
    info.kind = "custom_graph";
    const fs::path file = dir / "custom_graph_metadata.json";
    const json doc = readJsonFile(file);
    info.partitions.push_back(partitionOf(0, doc, file.string()));
    if (auto ops = doc.find("custom_ops_list"); ops != doc.end() && ops->is_array())
      for (const auto& op : *ops)
        if (op.is_string()) info.customOps.push_back(op.get<std::string>());
    info.modelName = dir.filename().string();
    return;
  }
  if (fs::exists(dir / "0" / "custom_op_metadata.json")) {
    info.kind = "custom_op";
    const json meta = readJsonFile(dir / "0" / "custom_op_metadata.json");
    if (meta.is_object()) info.customOps.push_back(textOf(meta, "op_name"));
    const fs::path file = dir / "0" / "korvanrt-hsi.json";
    info.partitions.push_back(partitionOf(0, readJsonFile(file), file.string()));
    info.modelName = dir.filename().string();
    return;
  }
  const fs::path infoFile = dir / "partition-info.json";
  if (!fs::exists(infoFile))
    fail(dir.string() +
         ": not a model package (no partition-info.json, custom_graph_metadata.json "
         "or 0/custom_op_metadata.json)");
  const int count = applyPartitionInfo(info, readJsonFile(infoFile), infoFile.string());
  for (int i = 0; i < count; ++i) {
    const fs::path file = dir / std::to_string(i) / "korvanrt-hsi.json";
    info.partitions.push_back(partitionOf(i, readJsonFile(file), file.string()));
  }
}

std::string bytesText(const flatbuffers::Vector<std::uint8_t>* bytes) {
  if (bytes == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

void readMemoryFile(PackageInfo& info, const std::string& model) {
  const std::string origin = info.path.string();
  {
    std::ifstream in(info.path, std::ios::binary);
    if (!in) fail(origin + ": cannot open");
    info.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  flatbuffers::Verifier verifier(info.bytes.data(), info.bytes.size());
  if (!trelm::fbs::VerifyModelPackageBuffer(verifier))
    fail(origin + ": not a valid in-memory model package");
  const auto* root = trelm::fbs::GetModelPackage(info.bytes.data());
  if (root->models() == nullptr || root->models()->size() == 0)
    fail(origin + ": the package holds no models");
  for (const auto* entry : *root->models())
    info.modelsInFile.push_back(entry->name() != nullptr ? entry->name()->str() : std::string());

  const trelm::fbs::ModelEntry* entry = nullptr;
  if (model.empty()) {
    if (root->models()->size() > 1)
      fail(origin + ": the package holds several models; choose one with --model (" +
           joinNames(info.modelsInFile) + ")");
    entry = root->models()->Get(0);
  } else {
    for (const auto* candidate : *root->models())
      if (candidate->name() != nullptr && candidate->name()->str() == model) entry = candidate;
    if (entry == nullptr)
      fail(origin + ": no model named \"" + model + "\"" +
           suggestionText(model, info.modelsInFile));
  }
  info.modelName = entry->name() != nullptr ? entry->name()->str() : std::string();
  const auto* subs = entry->sub_partitions();
  if (subs == nullptr || subs->size() == 0) fail(origin + ": model has no sub-partitions");

  if (entry->custom_ops() != nullptr && entry->custom_ops()->size() > 0) {
    info.kind = "custom_graph";
    for (const auto* op : *entry->custom_ops()) info.customOps.push_back(op->str());
  } else if (entry->partition_info() != nullptr) {
    const std::string piOrigin = origin + " (" + info.modelName + ": partition-info.json)";
    const std::string name = info.modelName;
    const int count =
        applyPartitionInfo(info, parseText(entry->partition_info()->str(), piOrigin), piOrigin);
    info.modelName = name;  // the entry's key selects the model
    if (static_cast<std::size_t>(count) != subs->size())
      fail(piOrigin + ": " + std::to_string(count) + " partitions described, " +
           std::to_string(subs->size()) + " stored");
  }
  for (flatbuffers::uoffset_t i = 0; i < subs->size(); ++i) {
    const std::string hsiOrigin =
        origin + " (" + info.modelName + ": partition " + std::to_string(i) + " description)";
    const std::string text = bytesText(subs->Get(i)->hsi());
    if (text.empty()) fail(hsiOrigin + ": missing");
    info.partitions.push_back(
        partitionOf(static_cast<int>(i), parseText(text, hsiOrigin), hsiOrigin));
  }
}

}  // namespace

PackageInfo readPackage(const fs::path& path, const std::string& model) {
  PackageInfo info;
  info.path = path;
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec || status.type() == fs::file_type::not_found) fail(path.string() + ": no such package");
  if (fs::is_directory(status)) {
    info.form = PackageForm::directory;
    readDirectory(info);
  } else {
    info.form = PackageForm::memory;
    readMemoryFile(info, model);
  }
  return info;
}

}  // namespace korvan::run
