// CPU operators of custom-operator packages: their metadata, the libraries
// that hold them and the functions resolved from those libraries.

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/istreamwrapper.h>

#include <fstream>

#include "core/error.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace fs = std::filesystem;

namespace {

// Parses the JSON file at `path`; false when it cannot be opened.
bool parseFile(const std::string& path, rapidjson::Document& doc) {
  std::ifstream in(path);
  if (!in.is_open()) return false;
  rapidjson::IStreamWrapper stream(in);
  doc.ParseStream(stream);
  return true;
}

std::string stringMember(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return "";
  const auto found = object.FindMember(key);
  if (found == object.MemberEnd() || !found->value.IsString()) return "";
  return found->value.GetString();
}

// The package directory without a trailing separator.
fs::path packageDirectory(const std::string& modelPath) {
  fs::path p(modelPath);
  if (!p.has_filename()) p = p.parent_path();
  return p;
}

}  // namespace

void PrivateImpl::collectCustomOps(KorvanIOAPI&) {
  // Records one operator of a metadata document holding "c_apis".
  auto collect = [this](const rapidjson::Document& doc) {
    const std::string name = stringMember(doc, "op_name");
    const auto& apis = doc["c_apis"];
    CustomOpEntry entry;
    const std::string libFile = stringMember(apis, "lib") + ".so";
    fs::path root = packageDirectory(options.modelPath).parent_path();
    if (root.empty()) root = ".";
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    if (ec) KORVAN_THROW("Error: failed to access directory " + root.string() + "\n");
    for (; it != end; it.increment(ec)) {
      if (ec) KORVAN_THROW("Error: failed to access directory " + root.string() + "\n");
      std::error_code typeError;
      if (it->is_regular_file(typeError) && it->path().filename() == libFile)
        entry.libPath = it->path().string();
    }
    // Not in the package tree: the loader's own search path is tried.
    if (entry.libPath.empty()) entry.libPath = libFile;
    entry.preprocess = stringMember(apis, "preprocess");
    entry.postprocess = stringMember(apis, "postprocess");
    entry.initializeWeights = stringMember(apis, "initialize_weights");
    customOps[name] = entry;
  };
  auto hasApis = [](const rapidjson::Document& doc) {
    return doc.IsObject() && doc.HasMember("c_apis") && doc["c_apis"].IsObject();
  };

  if (!isCustomGraph) {
    if (!isCustomOp) return;
    const std::string path = options.modelPath + "/0/custom_op_metadata.json";
    rapidjson::Document doc;
    if (!parseFile(path, doc)) return;
    if (doc.HasParseError()) KORVAN_THROW("Error: failed to parse JSON file " + path + "\n");
    if (hasApis(doc)) collect(doc);
    return;
  }

  const std::string graphPath = options.modelPath + "/custom_graph_metadata.json";
  rapidjson::Document graph;
  // An in-memory graph may have no description on disk: no CPU operators.
  if (!parseFile(graphPath, graph)) return;
  if (graph.HasParseError())
    KORVAN_THROW("Error: failed to parse custom_graph_metadata.json file at offset " +
                 std::to_string(graph.GetErrorOffset()) + " : " +
                 rapidjson::GetParseError_En(graph.GetParseError()));
  if (!graph.IsObject() || !graph.HasMember("custom_ops_list") ||
      !graph["custom_ops_list"].IsArray())
    return;
  for (const auto& op : graph["custom_ops_list"].GetArray()) {
    if (!op.IsString()) continue;
    const std::string path =
        options.modelPath + "/../" + op.GetString() + "/0/custom_op_metadata.json";
    rapidjson::Document doc;
    if (!parseFile(path, doc)) continue;
    isCustomOp = true;
    if (doc.HasParseError()) KORVAN_THROW("Error: failed to parse JSON file " + path + "\n");
    if (hasApis(doc) && customOps.count(stringMember(doc, "op_name")) == 0) collect(doc);
  }
}

void PrivateImpl::resolveCustomOps() {
  if (!isCustomOp) return;
  for (const auto& [name, entry] : customOps) {
    if (!entry.preprocess.empty())
      preprocessOps[name] =
          impl::getDynamicFunction<impl::CustomOpFn>(entry.libPath, entry.preprocess);
    if (!entry.postprocess.empty())
      postprocessOps[name] =
          impl::getDynamicFunction<impl::CustomOpFn>(entry.libPath, entry.postprocess);
    if (!entry.initializeWeights.empty())
      initWeightsOps[name] =
          impl::getDynamicFunction<impl::CustomOpFn>(entry.libPath, entry.initializeWeights);
  }
}

}  // namespace korvanrt::client
