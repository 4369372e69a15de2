#include "tensor/quant/qdq.hpp"

#include <stdexcept>
#include <string>
#include <type_traits>

#include "tensor/quant/number_formats.hpp"

namespace korvanrt {

template <>
const char* elementTypeName<float>() {
  return "float";
}
template <>
const char* elementTypeName<int8_t>() {
  return "int8";
}
template <>
const char* elementTypeName<int16_t>() {
  return "int16";
}
template <>
const char* elementTypeName<uint16_t>() {
  return "bf16";
}
template <>
const char* elementTypeName<bool>() {
  return "bool";
}

template <typename T1, typename T2>
void qdqConvert(const TensorView<T1>& src, const qdq_params& params, const TensorView<T2>& dst,
                int roundingMode) {
  const size_t n = src.size();
  if (n != dst.size()) throw std::runtime_error("xbuffer_storage not resizable");
  const T1* in = src.data;
  T2* out = dst.data;
  if constexpr (std::is_same_v<T1, float> && std::is_same_v<T2, uint16_t>) {
    float_to_bfloat16_avx512_unrolled(in, out, n, roundingMode);
  } else if constexpr (std::is_same_v<T1, float> &&
                       (std::is_same_v<T2, int8_t> || std::is_same_v<T2, int16_t>)) {
    for (size_t i = 0; i < n; ++i)
      out[i] = quantizeValue<T2>(in[i], params.scale, params.zero_point);
  } else if constexpr (std::is_same_v<T2, float> &&
                       (std::is_same_v<T1, int8_t> || std::is_same_v<T1, int16_t>)) {
    for (size_t i = 0; i < n; ++i)
      out[i] = dequantizeValue<T1>(in[i], params.scale, params.zero_point);
  } else if constexpr (std::is_same_v<T1, uint16_t> && std::is_same_v<T2, float>) {
    for (size_t i = 0; i < n; ++i) out[i] = bf16ToFloat(in[i]);
  } else if constexpr (std::is_same_v<T1, bool> && std::is_same_v<T2, int8_t>) {
    for (size_t i = 0; i < n; ++i) out[i] = in[i] ? 1 : 0;
  } else if constexpr (std::is_same_v<T1, int8_t> && std::is_same_v<T2, bool>) {
    for (size_t i = 0; i < n; ++i) out[i] = in[i] != 0;
  } else {
    throw std::runtime_error(std::string("Invalid input type: ") + elementTypeName<T1>() +
                             " and output type: " + elementTypeName<T2>());
  }
}

#define KORVANRT_QDQ(T1, T2)                                                 \
  template void qdqConvert<T1, T2>(const TensorView<T1>&, const qdq_params&, \
                                   const TensorView<T2>&, int);
KORVANRT_QDQ(float, int8_t)
KORVANRT_QDQ(bool, int8_t)
KORVANRT_QDQ(float, int16_t)
KORVANRT_QDQ(float, uint16_t)
KORVANRT_QDQ(int8_t, bool)
KORVANRT_QDQ(uint16_t, float)
KORVANRT_QDQ(int8_t, float)
KORVANRT_QDQ(int16_t, float)
// Pairs the pipeline never asks for; they report the pair.
KORVANRT_QDQ(int8_t, int8_t)
KORVANRT_QDQ(int16_t, int16_t)
KORVANRT_QDQ(uint16_t, uint16_t)
KORVANRT_QDQ(bool, bool)
KORVANRT_QDQ(float, float)
KORVANRT_QDQ(float, bool)
#undef KORVANRT_QDQ

}  // namespace korvanrt
