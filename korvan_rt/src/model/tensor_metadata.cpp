#include "model/tensor_metadata.hpp"

#include <algorithm>
#include <stdexcept>

#include "model/hw_cluster_params.hpp"

namespace korvanrt {

client::TensorFormat tensorFormatOf(const std::string& format) {
  if (format == "NCHW") return client::NCHW;
  if (format == "NHWC") return client::NHWC;
  if (format == "NHW") return client::NHW;
  if (format == "HCWNC8") return client::HCWNC8;
  if (format == "HCWNC4") return client::HCWNC4;
  return client::OTHER;
}

uint64_t tensorByteSize(client::DataType dtype, const std::vector<uint32_t>& shape) {
  uint64_t elementBytes = 0;
  switch (dtype) {
    case client::FP32:
      elementBytes = 4;
      break;
    case client::INT8:
    case client::UINT8:
    case client::BOOL:
      elementBytes = 1;
      break;
    case client::INT16:
    case client::UINT16:
    case client::BF16:
    case client::FP16:
      elementBytes = 2;
      break;
    default:
      throw std::invalid_argument("Unsupported DataType for size calculation");
  }
  if (shape.empty()) return 0;
  uint64_t bytes = elementBytes;
  for (uint32_t d : shape) bytes *= d;
  return bytes;
}

std::vector<uint32_t> rowMajorStrides(const std::vector<uint32_t>& shape) {
  std::vector<uint32_t> strides(shape.size());
  uint32_t stride = 1;
  for (size_t i = shape.size(); i-- > 0;) {
    strides[i] = stride;
    stride *= shape[i];
  }
  return strides;
}

std::vector<uint32_t> hwDimOrder(const std::string& cpuFormat, const std::string& hwFormat) {
  std::vector<uint32_t> order;
  if (cpuFormat.empty() || hwFormat.empty()) return order;
  if (cpuFormat.size() != hwFormat.size()) {
    const size_t rank = std::min(cpuFormat.size(), hwFormat.size());
    for (size_t i = 0; i < rank; ++i) order.push_back(static_cast<uint32_t>(i));
    return order;
  }
  for (char letter : hwFormat) {
    const size_t position = cpuFormat.find(letter);
    if (position == std::string::npos) {
      throw std::invalid_argument(std::string("Character '") + letter +
                                  "' in HW format not found in CPU format.");
    }
    order.push_back(static_cast<uint32_t>(position));
  }
  return order;
}

std::vector<client::TensorMetadataType> HWClusterParams::createErtIOMetaData(
    const std::string& kind, bool hw, int32_t roundingMode) const {
  std::vector<client::TensorMetadataType> records;
  uint32_t count = 0;
  IOParams (HWClusterParams::*entry)(size_t) const = nullptr;
  if (kind == "input" || kind == "inputs") {
    count = numInputs();
    entry = &HWClusterParams::getInput;
  } else if (kind == "output" || kind == "outputs") {
    count = numOutputs();
    entry = &HWClusterParams::getOutput;
  } else {
    return records;
  }

  records.reserve(count);
  for (uint32_t j = 0; j < count; ++j) {
    const IOParams params = (this->*entry)(j);
    client::TensorMetadataType record;
    record.name = params.name();
    record.shape = (hw ? params.hwShape() : params.cpuShape()).dims();
    record.dtype = stringToDataType(hw ? params.hwDtype() : params.cpuDtype());
    record.format = tensorFormatOf(hw ? params.hwFormat() : params.cpuFormat());
    record.size = tensorByteSize(record.dtype, record.shape);
    record.strides = rowMajorStrides(record.shape);
    if (!hw) {
      for (uint32_t axis = 0; axis < record.shape.size(); ++axis) record.dimOrder.push_back(axis);
    } else if (record.format == client::OTHER) {
      record.dimOrder = hwDimOrder(params.cpuFormat(), params.hwFormat());
    }
    const qdq_params qdq = params.getQdqParams();
    record.scale = qdq.scale;
    record.zeroPoint = params.zeroPoint();
    record.roundingMode = static_cast<client::RoundingMode>(roundingMode);
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace korvanrt
