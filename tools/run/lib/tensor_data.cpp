#include "tensor_data.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "npy_file.hpp"

namespace korvan::run {

namespace {

float bf16ToFloat(std::uint16_t bits) {
  const std::uint32_t wide = static_cast<std::uint32_t>(bits) << 16;
  float value;
  std::memcpy(&value, &wide, sizeof value);
  return value;
}

std::uint16_t floatToBf16(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  if (std::isnan(value)) return static_cast<std::uint16_t>((bits >> 16) | 0x40);
  bits += 0x7fff + ((bits >> 16) & 1);  // round to nearest even
  return static_cast<std::uint16_t>(bits >> 16);
}

template <typename T>
void fillIntegers(HostTensor& tensor, std::mt19937_64& generator) {
  std::uniform_int_distribution<int> pick(std::numeric_limits<T>::min(),
                                          std::numeric_limits<T>::max());
  for (std::uint64_t i = 0; i < tensor.count(); ++i)
    tensor.set<T>(i, static_cast<T>(pick(generator)));
}

}  // namespace

double valueAt(const HostTensor& tensor, std::uint64_t i) {
  switch (tensor.type) {
    case ElementType::fp32:
      return tensor.get<float>(i);
    case ElementType::bf16:
      return bf16ToFloat(tensor.get<std::uint16_t>(i));
    case ElementType::int8:
      return tensor.get<std::int8_t>(i);
    case ElementType::uint8:
      return tensor.get<std::uint8_t>(i);
    case ElementType::int16:
      return tensor.get<std::int16_t>(i);
    case ElementType::uint16:
      return tensor.get<std::uint16_t>(i);
    case ElementType::int32:
      return tensor.get<std::int32_t>(i);
    case ElementType::boolean:
      return tensor.get<std::uint8_t>(i) != 0 ? 1.0 : 0.0;
  }
  return 0.0;
}

std::string shapeText(const std::vector<std::uint64_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

HostTensor randomTensor(ElementType type, const std::vector<std::uint64_t>& shape,
                        std::mt19937_64& generator) {
  HostTensor tensor = HostTensor::zeros(type, shape);
  std::uniform_real_distribution<float> real(-1.0f, 1.0f);
  switch (type) {
    case ElementType::fp32:
      for (std::uint64_t i = 0; i < tensor.count(); ++i) tensor.set<float>(i, real(generator));
      break;
    case ElementType::bf16:
      for (std::uint64_t i = 0; i < tensor.count(); ++i)
        tensor.set<std::uint16_t>(i, floatToBf16(real(generator)));
      break;
    case ElementType::int8:
      fillIntegers<std::int8_t>(tensor, generator);
      break;
    case ElementType::uint8:
      fillIntegers<std::uint8_t>(tensor, generator);
      break;
    case ElementType::int16:
      fillIntegers<std::int16_t>(tensor, generator);
      break;
    case ElementType::uint16:
      fillIntegers<std::uint16_t>(tensor, generator);
      break;
    case ElementType::int32:
      fillIntegers<std::int32_t>(tensor, generator);
      break;
    case ElementType::boolean: {
      std::bernoulli_distribution coin;
      for (std::uint64_t i = 0; i < tensor.count(); ++i)
        tensor.set<std::uint8_t>(i, coin(generator) ? 1 : 0);
      break;
    }
  }
  return tensor;
}

HostTensor loadNpy(const std::filesystem::path& path) {
  try {
    return pack::readNpy(path);
  } catch (const std::exception& e) {
    throw std::runtime_error(path.string() + ": " + e.what());
  }
}

void saveNpy(const std::filesystem::path& path, const HostTensor& tensor) {
  pack::writeNpy(path, tensor);
}

bool adoptElementType(HostTensor& tensor, ElementType expected) {
  if (tensor.type == expected) return true;
  if (expected == ElementType::bf16 && tensor.type == ElementType::uint16) {
    tensor.type = ElementType::bf16;
    return true;
  }
  return false;
}

}  // namespace korvan::run
