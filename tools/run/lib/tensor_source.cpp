#include "tensor_source.hpp"

#include <stdexcept>

#include "name_suggestion.hpp"

namespace korvan::run {

TensorSource parseTensorSource(const std::string& text, bool allowRandom) {
  const std::string forms = allowRandom ? "NAME=@file.npy or NAME=random" : "NAME=@file.npy";
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw std::invalid_argument("\"" + text + "\" is not " + forms);
  TensorSource source;
  source.name = text.substr(0, eq);
  const std::string value = text.substr(eq + 1);
  if (allowRandom && value == "random") {
    source.random = true;
  } else if (value.size() > 1 && value[0] == '@') {
    source.file = value.substr(1);
  } else {
    throw std::invalid_argument("\"" + text + "\" is not " + forms);
  }
  return source;
}

std::size_t findTensor(const std::vector<TensorInfo>& tensors, const std::string& name,
                       const char* kind) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    if (tensors[i].name == name) return i;
    names.push_back(tensors[i].name);
  }
  throw std::invalid_argument(std::string("unknown ") + kind + " \"" + name + "\"" +
                              suggestionText(name, names));
}

ElementType callerType(const TensorInfo& info) {
  try {
    return pack::parseElementType(info.cpuDtype);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("tensor " + info.name + ": element type \"" + info.cpuDtype +
                                "\" is not supported by the tool");
  }
}

std::vector<std::uint64_t> callerShape(const TensorInfo& info, std::uint64_t batches) {
  std::vector<std::uint64_t> shape = info.cpuShape;
  if (!shape.empty()) shape[0] *= batches;
  return shape;
}

std::uint64_t checkCallerTensor(const TensorInfo& info, HostTensor& tensor, const char* kind) {
  const ElementType expected = callerType(info);
  const std::string wanted =
      std::string(pack::elementTypeName(expected)) + " " + shapeText(info.cpuShape);
  const std::string given =
      std::string(pack::elementTypeName(tensor.type)) + " " + shapeText(tensor.shape);
  const auto refuse = [&](const std::string& why) {
    std::string note;
    if (expected == ElementType::bf16)
      note = " (bfloat16 data is given as uint16 bit patterns, NumPy dtype '<u2')";
    return std::invalid_argument(std::string(kind) + " " + info.name + ": expected " + wanted +
                                 ", given " + given + ": " + why + note);
  };
  if (!adoptElementType(tensor, expected)) throw refuse("element types differ");
  if (tensor.shape.size() != info.cpuShape.size()) throw refuse("ranks differ");
  if (info.cpuShape.empty()) return 1;
  for (std::size_t d = 1; d < info.cpuShape.size(); ++d)
    if (tensor.shape[d] != info.cpuShape[d])
      throw refuse("extent " + std::to_string(d) + " differs");
  const std::uint64_t batch = info.cpuShape[0];
  if (batch == 0 || tensor.shape[0] == 0 || tensor.shape[0] % batch != 0)
    throw refuse("the first extent must be a positive multiple of " + std::to_string(batch));
  return tensor.shape[0] / batch;
}

}  // namespace korvan::run
