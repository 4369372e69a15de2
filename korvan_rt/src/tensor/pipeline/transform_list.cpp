#include "tensor/pipeline/transform_list.hpp"

#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "model/rt_transform.hpp"
#include "tensor/layout/pad_depad.hpp"
#include "tensor/layout/shape_ops.hpp"
#include "tensor/quant/qdq.hpp"

namespace korvanrt {
namespace {

Shape shapeOf(const std::vector<uint32_t>& dims) {
  return toShape(dims);
}

}  // namespace

template <typename T>
void rtTransform(const ConversionContext& ctx, const TensorView<T>& src, const IOParams& entry,
                 const TensorView<T>& dst, int a) {
  const size_t i = static_cast<size_t>(a);
  const std::string name = entry.getRtTransformName(i);
  switch (stringToRtTransformType(name)) {
    case RESHAPE:
      reshapeTensor(src, entry.getRtTransformShape(i), dst);
      return;
    case TRANSPOSE:
      transposeTensor(src, entry.getRtTransformPermute(i), dst);
      return;
    case PAD:
      ctx.section("pad", [&] {
        padTensor(src, src.shape, shapeOf(entry.getRtTransformPadBefore(i)),
                  shapeOf(entry.getRtTransformPadAfter(i)), shapeOf(entry.getRtTransformShape(i)),
                  dst);
      });
      return;
    case SLICE:
      sliceTensor(src, entry.getRtTransformStart(i), entry.getRtTransformSize(i), dst);
      return;
    case TILE:
      tileTensor(src, entry.getRtTransformMultiples(i), dst);
      return;
    case DEPAD: {
      // The step lists the padded shape under "pad_at_start" and the kept
      // shape under "pad_at_end".
      const Shape in = shapeOf(entry.getRtTransformPadBefore(i));
      const Shape out = shapeOf(entry.getRtTransformPadAfter(i));
      if (in.size() == out.size() && shapeSize(in) != src.size())
        throw std::runtime_error("xbuffer_storage not resizable");
      ctx.section("depad", [&] { depadTensor(TensorView<T>(src.data, in), in, out, dst); });
      return;
    }
    default:
      throw std::runtime_error("Invalid RT transform type: " + name);
  }
}

template <typename T1, typename T2>
void rtTransform(const ConversionContext& ctx, const TensorView<T1>& src, const IOParams& entry,
                 const TensorView<T2>& dst, int a) {
  const size_t i = static_cast<size_t>(a);
  const std::string name = entry.getRtTransformName(i);
  const RtTransformType kind = stringToRtTransformType(name);
  const qdq_params qa = entry.getRtTransformQdqParams(i);
  if (kind == QUANTIZE || kind == DEQUANTIZE) {
    ctx.section("qdq", [&] { qdqConvert(src, qa, dst, ctx.roundingMode); });
    return;
  }
  if (kind != QDQ_DEPAD)
    throw std::runtime_error("Invalid RT transform type with 2 different types: " + name);
  const Shape in = src.shape;
  const Shape out = shapeOf(entry.getRtTransformShape(i));
  if (dst.size() != shapeSize(out)) throw std::runtime_error("xbuffer_storage not resizable");
  if constexpr (std::is_same_v<T1, bf16_t> && std::is_same_v<T2, float>) {
    depadBf16ToFloat(src.data, dst.data, in, out);
  } else if constexpr ((std::is_same_v<T1, int8_t> ||
                        std::is_same_v<T1, int16_t>)&&std::is_same_v<T2, float>) {
    DepadTensors(src, dst, in, out, static_cast<float>(qa.scale), qa.zero_point);
  } else if constexpr (std::is_same_v<T1, int8_t> && std::is_same_v<T2, bool>) {
    DepadTensors(src, dst, in, out, static_cast<float>(qa.scale), qa.zero_point);
  } else {
    // A float or bool source would leave the destination unwritten.
    throw std::runtime_error("qdq_depad cannot convert " + std::string(elementTypeName<T1>()) +
                             " to " + elementTypeName<T2>());
  }
}

template <typename T1, typename T2>
void runTransformList(const ConversionContext& ctx, const TensorView<T1>& src,
                      const IOParams& entry, const TensorView<T2>& dst) {
  // Inputs change type in their first step, outputs in their last; the
  // intermediate results carry the device element type (T2 for inputs, T1
  // for outputs).
  constexpr bool input = std::is_same_v<T1, float> || std::is_same_v<T1, bool>;
  using Mid = std::conditional_t<input, T2, T1>;
  const int d = static_cast<int>(entry.numRtTransforms());
  auto step = [&](const auto& from, const auto& to, int a) {
    using F = std::remove_pointer_t<decltype(from.data)>;
    using D = std::remove_pointer_t<decltype(to.data)>;
    if constexpr (std::is_same_v<F, D>) {
      rtTransform<F>(ctx, from, entry, to, a);
    } else {
      rtTransform<F, D>(ctx, from, entry, to, a);
    }
  };
  if (d == 1) {
    step(src, dst, 0);
    return;
  }
  std::vector<ScratchTensor<Mid>> A;
  for (int k = 0; k + 1 < d; ++k) {
    const auto s = entry.getRtTransformShape(static_cast<size_t>(k));
    if (s.empty())
      throw std::runtime_error("rt_transformations step " + std::to_string(k) + " (" +
                               entry.getRtTransformName(static_cast<size_t>(k)) +
                               ") of a chain has no output_shape");
    A.emplace_back(toShape(s));
  }
  step(src, A[0].view(), 0);
  for (int k = 1; k + 1 < d; ++k) step(A[k - 1].view(), A[k].view(), k);
  step(A[d - 2].view(), dst, d - 1);
}

#define KORVANRT_SAME(T)                                                                        \
  template void rtTransform<T>(const ConversionContext&, const TensorView<T>&, const IOParams&, \
                               const TensorView<T>&, int);                                      \
  template void runTransformList<T, T>(const ConversionContext&, const TensorView<T>&,          \
                                       const IOParams&, const TensorView<T>&);
KORVANRT_SAME(int8_t)
KORVANRT_SAME(int16_t)
KORVANRT_SAME(bf16_t)
#undef KORVANRT_SAME

#define KORVANRT_PAIR(T1, T2)                                                             \
  template void rtTransform<T1, T2>(const ConversionContext&, const TensorView<T1>&,      \
                                    const IOParams&, const TensorView<T2>&, int);         \
  template void runTransformList<T1, T2>(const ConversionContext&, const TensorView<T1>&, \
                                         const IOParams&, const TensorView<T2>&);
KORVANRT_PAIR(float, int8_t)
KORVANRT_PAIR(bool, int8_t)
KORVANRT_PAIR(float, int16_t)
KORVANRT_PAIR(float, bf16_t)
KORVANRT_PAIR(int8_t, bool)
KORVANRT_PAIR(bf16_t, float)
KORVANRT_PAIR(int8_t, float)
KORVANRT_PAIR(int16_t, float)
#undef KORVANRT_PAIR

}  // namespace korvanrt
