// korvanrt-run info: what a package holds, read from its descriptions.

#include <fmt/core.h>

#include "commands.hpp"
#include "name_suggestion.hpp"

namespace korvan::run {

namespace {

using nlohmann::json;

json tensorJson(const TensorInfo& t) {
  json j = {{"name", t.name},
            {"cpu", {{"dtype", t.cpuDtype}, {"format", t.cpuFormat}, {"shape", t.cpuShape}}},
            {"hw", {{"dtype", t.hwDtype}, {"format", t.hwFormat}, {"shape", t.hwShape}}}};
  if (t.scale) j["scale"] = *t.scale;
  if (t.zeroPoint) j["zero_point"] = *t.zeroPoint;
  if (!t.rtTransformations.is_null()) j["rt_transformations"] = t.rtTransformations;
  return j;
}

std::string transformationText(const json& list) {
  if (!list.is_array()) return list.dump();
  std::string text;
  for (const auto& step : list) {
    if (!text.empty()) text += " -> ";
    if (!step.is_object()) {
      text += step.dump();
      continue;
    }
    text += step.value("transformation", std::string("?"));
    std::string args;
    for (const auto& [key, value] : step.items()) {
      if (key == "transformation") continue;
      args += (args.empty() ? "" : ", ") + key + "=" + value.dump();
    }
    if (!args.empty()) text += "(" + args + ")";
  }
  return text;
}

void printTensor(const char* kind, const TensorInfo& t) {
  fmt::print("  {} {}\n", kind, t.name);
  fmt::print("    cpu    {} {} {}\n", t.cpuDtype, t.cpuFormat, shapeText(t.cpuShape));
  fmt::print("    device {} {} {}\n", t.hwDtype, t.hwFormat, shapeText(t.hwShape));
  if ((t.scale && *t.scale != 1.0) || (t.zeroPoint && *t.zeroPoint != 0))
    fmt::print("    quantization scale {} zero point {}\n", t.scale.value_or(1.0),
               t.zeroPoint.value_or(0));
  if (!t.rtTransformations.is_null())
    fmt::print("    transformations {}\n", transformationText(t.rtTransformations));
}

}  // namespace

int infoCommand(const InfoSettings& settings) {
  const PackageInfo info = readPackage(settings.package, settings.model);
  const auto references = findReferenceSet(info, settings.referenceDir);
  const char* form = info.form == PackageForm::directory ? "directory" : "in-memory file";

  if (settings.json) {
    json partitions = json::array();
    for (const auto& p : info.partitions) {
      json inputs = json::array(), outputs = json::array();
      for (const auto& t : p.inputs) inputs.push_back(tensorJson(t));
      for (const auto& t : p.outputs) outputs.push_back(tensorJson(t));
      json entry = {{"index", p.index},
                    {"inputs", inputs},
                    {"outputs", outputs},
                    {"weights", p.weightLayers},
                    {"spills", p.spillLayers}};
      if (p.deviceBatchSize) entry["device_batch_size"] = *p.deviceBatchSize;
      partitions.push_back(entry);
    }
    json doc = {{"package", info.path.string()},
                {"form", info.form == PackageForm::directory ? "directory" : "memory"},
                {"model", info.modelName},
                {"kind", info.kind},
                {"runner_type", info.runnerType},
                {"profiling_enabled", info.profilingEnabled},
                {"custom_ops", info.customOps},
                {"partitions", partitions},
                {"reference", references ? json(references->directory.string()) : json(nullptr)}};
    if (info.form == PackageForm::memory) doc["models_in_file"] = info.modelsInFile;
    fmt::print("{}\n", doc.dump(2));
    return kExitPass;
  }

  fmt::print("package     {} ({})\n", info.path.string(), form);
  if (info.form == PackageForm::memory && info.modelsInFile.size() > 1)
    fmt::print("models      {}\n", joinNames(info.modelsInFile));
  fmt::print("model       {}\n", info.modelName);
  fmt::print("kind        {}\n", info.kind == "plain"       ? "plain partitions"
                                 : info.kind == "custom_op" ? "custom operator"
                                                            : "custom-operator graph");
  fmt::print("runner      {}\n", info.runnerType);
  fmt::print("profiling   {}\n", info.profilingEnabled ? "compiled with layer profiling"
                                                       : "compiled without layer profiling");
  fmt::print("custom ops  {}\n", info.customOps.empty() ? "none" : joinNames(info.customOps));
  fmt::print("partitions  {}\n", info.partitions.size());
  for (const auto& p : info.partitions) {
    fmt::print("partition {}{}\n", p.index,
               p.deviceBatchSize ? fmt::format(" (device batch {})", *p.deviceBatchSize) : "");
    for (const auto& t : p.inputs) printTensor("input ", t);
    for (const auto& t : p.outputs) printTensor("output", t);
    if (!p.weightLayers.empty()) fmt::print("  weights {}\n", joinNames(p.weightLayers));
    if (!p.spillLayers.empty()) fmt::print("  spills  {}\n", joinNames(p.spillLayers));
  }
  if (references)
    fmt::print("samples     {} ({} inputs, {} expected outputs)\n", references->directory.string(),
               references->inputs.size(), references->outputs.size());
  else
    fmt::print("samples     none found\n");
  return kExitPass;
}

}  // namespace korvan::run
