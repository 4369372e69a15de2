#include "runner/korvan_runner.hpp"
#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/pad_depad.hpp"
#include "tensor/layout/shape_ops.hpp"
#include "tensor/quant/qdq.hpp"

namespace korvanrt {

template <typename T1, typename T2>
void KorvanRunner::qdq(const TensorView<T1>& src, const qdq_params& params,
                       const TensorView<T2>& dst) {
  std::unique_ptr<SectionRecorder> recorder;
  const ConversionContext ctx = conversionContext(recorder);
  ctx.section("qdq", [&] { qdqConvert(src, params, dst, ctx.roundingMode); });
}

template <typename T>
void KorvanRunner::pad(const TensorView<T>& src, const Shape& in_shape, const Shape& pad_before,
                       const Shape& pad_after, const Shape& out_shape, const TensorView<T>& dst) {
  std::unique_ptr<SectionRecorder> recorder;
  conversionContext(recorder).section(
      "pad", [&] { padTensor(src, in_shape, pad_before, pad_after, out_shape, dst); });
}

template <typename T>
void KorvanRunner::depad(const TensorView<T>& src, const Shape& in_shape, const Shape& out_shape,
                         const TensorView<T>& dst) {
  std::unique_ptr<SectionRecorder> recorder;
  conversionContext(recorder).section("depad", [&] { depadTensor(src, in_shape, out_shape, dst); });
}

template <typename T>
void KorvanRunner::reshape_and_transpose(const TensorView<T>& src, const std::vector<uint32_t>& K,
                                         const std::vector<uint32_t>& perm,
                                         const TensorView<T>& dst) {
  std::unique_ptr<SectionRecorder> recorder;
  conversionContext(recorder).section("reshape_and_transpose",
                                      [&] { reshapeAndTranspose(src, K, perm, dst); });
}

void KorvanRunner::NCHWFp32ToHCWNCsBf16(const float* src, bf16_t* dst, size_t N, size_t C, size_t H,
                                        size_t W, size_t hwN, size_t hwC, size_t hwH, size_t hwW,
                                        int block, int roundingMode) {
  const Extents4 dev{hwN, hwC, hwH, hwW};
  const size_t b = block > 0 ? static_cast<size_t>(block) : 1;
  const size_t walk = productSaturated({hwH, ceilDiv(hwC, b), hwW, hwN, b});
  std::unique_ptr<SectionRecorder> recorder;
  conversionContext(recorder).section("NCHWFp32ToHCWNCsBf16", [&] {
    nchwFp32ToHcwncBf16(src, dst, Extents4{N, C, H, W}, dev, block, roundingMode, walk);
  });
}

#define KORVANRT_RUNNER_QDQ(T1, T2)                                                 \
  template void KorvanRunner::qdq<T1, T2>(const TensorView<T1>&, const qdq_params&, \
                                          const TensorView<T2>&);
KORVANRT_RUNNER_QDQ(float, int8_t)
KORVANRT_RUNNER_QDQ(bool, int8_t)
KORVANRT_RUNNER_QDQ(float, int16_t)
KORVANRT_RUNNER_QDQ(float, bf16_t)
KORVANRT_RUNNER_QDQ(int8_t, bool)
KORVANRT_RUNNER_QDQ(bf16_t, float)
KORVANRT_RUNNER_QDQ(int8_t, float)
KORVANRT_RUNNER_QDQ(int16_t, float)
#undef KORVANRT_RUNNER_QDQ

#define KORVANRT_RUNNER_SHAPES(T)                                                        \
  template void KorvanRunner::pad<T>(const TensorView<T>&, const Shape&, const Shape&,   \
                                     const Shape&, const Shape&, const TensorView<T>&);  \
  template void KorvanRunner::depad<T>(const TensorView<T>&, const Shape&, const Shape&, \
                                       const TensorView<T>&);                            \
  template void KorvanRunner::reshape_and_transpose<T>(                                  \
      const TensorView<T>&, const std::vector<uint32_t>&, const std::vector<uint32_t>&,  \
      const TensorView<T>&);
KORVANRT_RUNNER_SHAPES(int8_t)
KORVANRT_RUNNER_SHAPES(int16_t)
KORVANRT_RUNNER_SHAPES(bf16_t)
KORVANRT_RUNNER_SHAPES(bool)
#undef KORVANRT_RUNNER_SHAPES

}  // namespace korvanrt
