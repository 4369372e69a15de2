#include "model/io_params.hpp"

#include <rapidjson/document.h>

#include <stdexcept>
#include <string>

namespace korvanrt {
namespace {

const rapidjson::Value* member(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return nullptr;
  const auto found = object.FindMember(key);
  return found == object.MemberEnd() ? nullptr : &found->value;
}

int8_t lowByte(int32_t value) {
  return static_cast<int8_t>(static_cast<uint8_t>(value & 0xff));
}

}  // namespace

std::string IOParams::stringField(const char* key) const {
  const rapidjson::Value* value = member(*entry_, key);
  if (value == nullptr) return std::string();
  if (!value->IsString()) {
    throw std::runtime_error(std::string("IOParams: \"") + key + "\" is not a string");
  }
  return std::string(value->GetString(), value->GetStringLength());
}

std::string IOParams::name() const {
  return stringField("name");
}
std::string IOParams::cpuFormat() const {
  return stringField("cpu_format");
}
std::string IOParams::hwFormat() const {
  return stringField("hw_format");
}
std::string IOParams::cpuDtype() const {
  return stringField("cpu_dtype");
}
std::string IOParams::hwDtype() const {
  return stringField("hw_dtype");
}
std::string IOParams::plConverterKernel() const {
  return stringField("pl_converter_kernel");
}

TensorDims IOParams::cpuShape() const {
  return getShape(cpuFormat(), "cpu_shape");
}
TensorDims IOParams::hwShape() const {
  return getShape(hwFormat(), "hw_shape");
}

TensorDims IOParams::getShape(const std::string& format, const std::string& key) const {
  std::vector<uint32_t> dims;
  const rapidjson::Value* list = member(*entry_, key.c_str());
  if (list != nullptr) {
    if (!list->IsArray()) {
      throw std::runtime_error("IOParams: \"" + key + "\" of tensor \"" + name() +
                               "\" is not an array");
    }
    dims.reserve(list->Size());
    for (const rapidjson::Value& d : list->GetArray()) {
      if (!d.IsUint()) {
        throw std::runtime_error("IOParams: \"" + key + "\" of tensor \"" + name() +
                                 "\" must hold unsigned 32-bit integers");
      }
      dims.push_back(d.GetUint());
    }
  }
  return TensorDims(format, dims);
}

qdq_params IOParams::getQdqParams() const {
  qdq_params qdq;
  const rapidjson::Value* scale = member(*entry_, "scale_factor");
  if (scale == nullptr || !scale->IsNumber()) {
    throw std::runtime_error("IOParams: \"scale_factor\" of tensor \"" + name() +
                             "\" is not a number");
  }
  qdq.scale = scale->GetDouble();
  qdq.zero_point = 0;
  if (const rapidjson::Value* zp = member(*entry_, "zero_point")) {
    if (!zp->IsInt()) {
      throw std::runtime_error("IOParams: \"zero_point\" of tensor \"" + name() +
                               "\" is not a 32-bit integer");
    }
    qdq.zero_point = lowByte(zp->GetInt());
  }
  return qdq;
}

int32_t IOParams::zeroPoint() const {
  const rapidjson::Value* zp = member(*entry_, "zero_point");
  if (zp == nullptr) return 0;
  if (!zp->IsInt()) {
    throw std::runtime_error("IOParams: \"zero_point\" of tensor \"" + name() +
                             "\" is not a 32-bit integer");
  }
  return zp->GetInt();
}

const rapidjson::Value* IOParams::transforms() const {
  const rapidjson::Value* list = member(*entry_, "rt_transformations");
  if (list != nullptr && !list->IsArray()) {
    throw std::runtime_error("IOParams: \"rt_transformations\" of tensor \"" + name() +
                             "\" is not an array");
  }
  return list;
}

uint32_t IOParams::numRtTransforms() const {
  const rapidjson::Value* list = transforms();
  return list == nullptr ? 0 : list->Size();
}

const rapidjson::Value& IOParams::transformAt(size_t i) const {
  const rapidjson::Value* list = transforms();
  const size_t count = list == nullptr ? 0 : list->Size();
  if (i >= count) {
    throw std::out_of_range("IOParams: transformation index " + std::to_string(i) +
                            " is beyond the " + std::to_string(count) + " steps of tensor \"" +
                            name() + "\"");
  }
  const rapidjson::Value& step = (*list)[static_cast<rapidjson::SizeType>(i)];
  if (!step.IsObject()) {
    throw std::runtime_error("IOParams: rt_transformations[" + std::to_string(i) +
                             "] of tensor \"" + name() + "\" is not an object");
  }
  return step;
}

std::string IOParams::getRtTransformName(size_t i) const {
  if (transforms() == nullptr) return std::string();
  const rapidjson::Value* kind = member(transformAt(i), "transformation");
  if (kind == nullptr || !kind->IsString()) {
    throw std::runtime_error("IOParams: \"transformation\" of rt_transformations[" +
                             std::to_string(i) + "] of tensor \"" + name() + "\" must be a string");
  }
  return std::string(kind->GetString(), kind->GetStringLength());
}

qdq_params IOParams::getRtTransformQdqParams(size_t i) const {
  if (transforms() == nullptr) return qdq_params{1.0, 0};
  const rapidjson::Value& step = transformAt(i);
  const qdq_params tensor = getQdqParams();
  qdq_params qdq = tensor;
  const std::string where =
      "of rt_transformations[" + std::to_string(i) + "] of tensor \"" + name() + "\"";
  if (const rapidjson::Value* scale = member(step, "scale")) {
    if (!scale->IsNumber())
      throw std::runtime_error("IOParams: \"scale\" " + where + " is not a number");
    qdq.scale = scale->GetDouble();
  }
  if (const rapidjson::Value* zp = member(step, "zero_point")) {
    if (!zp->IsInt()) {
      throw std::runtime_error("IOParams: \"zero_point\" " + where + " is not a 32-bit integer");
    }
    qdq.zero_point = lowByte(zp->GetInt());
  }
  return qdq;
}

std::vector<uint32_t> IOParams::transformArray(size_t i, const char* key) const {
  std::vector<uint32_t> values;
  if (transforms() == nullptr) return values;
  const rapidjson::Value* list = member(transformAt(i), key);
  if (list == nullptr) return values;
  const auto fault = [&] {
    return std::runtime_error(std::string("IOParams: \"") + key + "\" of rt_transformations[" +
                              std::to_string(i) + "] of tensor \"" + name() +
                              "\" must be an array of unsigned 32-bit integers");
  };
  if (!list->IsArray()) throw fault();
  values.reserve(list->Size());
  for (const rapidjson::Value& v : list->GetArray()) {
    if (!v.IsUint()) throw fault();
    values.push_back(v.GetUint());
  }
  return values;
}

std::vector<uint32_t> IOParams::getRtTransformPermute(size_t i) const {
  return transformArray(i, "perm");
}
std::vector<uint32_t> IOParams::getRtTransformStart(size_t i) const {
  return transformArray(i, "start");
}
std::vector<uint32_t> IOParams::getRtTransformSize(size_t i) const {
  return transformArray(i, "size");
}
std::vector<uint32_t> IOParams::getRtTransformPadBefore(size_t i) const {
  return transformArray(i, "pad_at_start");
}
std::vector<uint32_t> IOParams::getRtTransformPadAfter(size_t i) const {
  return transformArray(i, "pad_at_end");
}
std::vector<uint32_t> IOParams::getRtTransformShape(size_t i) const {
  return transformArray(i, "output_shape");
}
std::vector<uint32_t> IOParams::getRtTransformMultiples(size_t i) const {
  return transformArray(i, "multiples");
}

}  // namespace korvanrt
