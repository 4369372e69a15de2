#include <vector>

#include "core/error.hpp"
#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/entry_converters.hpp"
#include "tensor/layout/pad_depad.hpp"
#include "tensor/layout/shape_ops.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/pipeline/conversion.hpp"
#include "tensor/pipeline/conversion_plan.hpp"
#include "tensor/pipeline/layout_plan.hpp"

namespace korvanrt {
namespace {

// The output side of a plan: the generic permute back into the CPU axis
// order and the final depad.
struct OutputPlan : ConversionPlan {
  using ConversionPlan::ConversionPlan;

  // Brings the device tensor into the CPU axis order (still padded); the
  // returned view is the input of the variant's final depad step.
  template <typename T>
  TensorView<T> generic(const TensorView<T>& D) {
    requirePlannableLayouts(cpu, hw);
    if (formatsEqual) return TensorView<T>(D.data, hwShape());
    std::vector<uint32_t> K, blockPerm, cpuPerm(cpu.rank());
    for (size_t i = 0; i < cpuPerm.size(); ++i) cpuPerm[i] = static_cast<uint32_t>(i);
    planHwToCpu(hw, cpu, K, blockPerm, cpuPerm);
    Shape S(cpu.rank());
    for (size_t i = 0; i < S.size(); ++i) S[i] = K.at(cpuPerm[i]);
    const auto T0 = scratch<T>(S);
    const TensorView<T> source(D.data, hwShape());
    if (hw.blockSize() < 2) {
      queue.push([source, cpuPerm, T0] { transposeTensor(source, cpuPerm, T0); });
      return T0;
    }
    Shape blocked(blockPerm.size());
    for (size_t i = 0; i < blocked.size(); ++i) blocked[i] = source.shape.at(blockPerm[i]);
    const auto U = scratch<T>(blocked);
    queue.push([source, blockPerm, U, K, cpuPerm, T0] {
      transposeTensor(source, blockPerm, U);
      reshapeAndTranspose(U, K, cpuPerm, T0);
    });
    return T0;
  }

  template <typename T>
  void depadInto(const TensorView<T>& from, const TensorView<T>& to) {
    const Shape kept = cpuShape();
    queue.push([this, from, to, kept] {
      ctx.section("depad", [&] { depadTensor(from, from.shape, kept, to); });
    });
  }
};

// The first routes of the number-converting variants: the transformation
// list, then (after the element counts) the element-wise conversion when
// layout and shape agree. True when one of them was taken.
template <typename TDev, typename TCpu>
bool listOrElementwise(OutputPlan& p, const TensorView<TDev>& src, const TensorView<TCpu>& dst) {
  if (p.ranTransformList(src, dst)) return true;
  requireOutputCounts(p, dst.size(), src.size());
  if (!(p.formatsEqual && p.shapesEqual)) return false;
  p.queueQdq(TensorView<TDev>(src.data, dst.shape), dst);
  return true;
}

// int8, int16 and bfloat16 read back without a type change.
template <typename T>
void sameTypeOutput(OutputPlan& p, const TensorView<T>& src, const TensorView<T>& dst, bool usePL) {
  if (usePL && std::is_same_v<T, int8_t>) noProgrammableLogic();
  if (p.ranTransformList(src, dst)) return;
  requireOutputCounts(p, dst.size(), src.size());
  if (p.formatsEqual) {
    p.depadInto(TensorView<T>(src.data, p.hwShape()), dst);
    return;
  }
  if (p.hwFormat == "NHWC" && p.cpuFormat == "NCHW") {
    p.queue.push([&p, src, dst] { NHWCToNCHW_depad<T>(src.data, dst.data, p.hw, p.cpu); });
    return;
  }
  if (isChannelBlocked(p.hwFormat) && (p.cpuFormat == "NCHW" || p.cpuFormat == "NHWC")) {
    const Extents4 h = extentsOf(p.hw);
    if (p.cpuFormat == "NCHW") {
      if constexpr (std::is_same_v<T, int8_t>) {
        if (elementCount(p.cpu) == p.devElements() && h.w % 8 == 0 && h.c % 8 == 0 &&
            blockOf(p.hwFormat) == 8) {
          neon_hcwnc_int8_to_nchw_int8(src.data, dst.data, p.hw, p.cpu, p.hwFormat,
                                       p.entry.hwDtype());
          return;
        }
      }
      p.queue.push([&p, src, dst] { HCWNCsToNCHW_depad<T>(src.data, dst.data, p.entry); });
    } else {
      p.queue.push([&p, src, dst] { HCWNCsToNHWC_depad<T>(src.data, dst.data, p.entry); });
    }
    return;
  }
  p.depadInto(p.generic(src), dst);
}

void bf16ToFloat(OutputPlan& p, const TensorView<bf16_t>& src, const TensorView<float>& dst,
                 bool usePL) {
  if (usePL) noProgrammableLogic();
  if (listOrElementwise(p, src, dst)) return;
  if (isChannelBlocked(p.hwFormat) && p.cpuFormat == "NCHW") {
    const Extents4 h = extentsOf(p.hw), c = extentsOf(p.cpu);
    const size_t block = static_cast<size_t>(blockOf(p.hwFormat));
    if (productSaturated({h.h, ceilDiv(h.c, block), h.w, h.n, block}) > p.devElements())
      KORVANRT_OUT_OF_BOUND();
    p.queue.push([src, dst, h, c, block] {
      HCWNCsBf16ToNCHWFp32(src.data, dst.data, h.n, h.c, h.h, h.w, block, c.n, c.c, c.h, c.w);
    });
    return;
  }
  const TensorView<bf16_t> T0 = p.generic(src);
  const Shape kept = p.cpuShape();
  p.queue.push([T0, dst, kept] { depadBf16ToFloat(T0.data, dst.data, T0.shape, kept); });
}

// int8 and int16 to float: the blocked converter, or the generic plan ending
// in depad-and-dequantize.
template <typename T>
void intToFloat(OutputPlan& p, const TensorView<T>& src, const TensorView<float>& dst) {
  if (p.ranTransformList(src, dst)) return;
  requireOutputCounts(p, dst.size(), src.size());
  if (isChannelBlocked(p.hwFormat) && p.cpuFormat == "NCHW") {
    // The converters read the scale and the full 32-bit zero point of the entry.
    p.queue.push([&p, src, dst] {
      if constexpr (std::is_same_v<T, int8_t>) {
        p.ctx.section("depad+transpose",
                      [&] { HCWNCsInt8ToNCHWFp32(src.data, dst.data, p.entry); });
      } else {
        HCWNCsInt16ToNCHWFp32(src.data, dst.data, p.entry);
      }
    });
    return;
  }
  const TensorView<T> T0 = p.generic(src);
  const Shape kept = p.cpuShape();
  const float scale = static_cast<float>(p.q.scale);
  const int8_t zero = p.q.zero_point;
  p.queue.push([T0, dst, kept, scale, zero] {
    DepadTensors(T0, TensorView<float>(dst.data, kept), T0.shape, kept, scale, zero);
  });
}

void int8ToBool(OutputPlan& p, const TensorView<int8_t>& src, const TensorView<bool>& dst) {
  if (listOrElementwise(p, src, dst)) return;
  const auto T0 = p.generic(src);
  const auto kept = p.scratch<int8_t>(p.cpuShape());
  p.depadInto(T0, kept);
  p.queueQdq(kept, dst);
}

}  // namespace

void postprocessOutput(const ConversionContext& ctx, const HostTensor& deviceTensor,
                       const HostTensor& cpuTensor, const IOParams& entry, bool usePL,
                       kernel_params_& /*params*/) {
  using namespace client;
  const DataType from = deviceTensor.dtype, to = cpuTensor.dtype;
  OutputPlan p(ctx, entry);
  if (from == INT8 && to == BOOL) {
    int8ToBool(p, deviceTensor.view<int8_t>(), cpuTensor.view<bool>());
  } else if (from == INT8 && to == INT8) {
    sameTypeOutput(p, deviceTensor.view<int8_t>(), cpuTensor.view<int8_t>(), usePL);
  } else if (from == INT16 && to == INT16) {
    sameTypeOutput(p, deviceTensor.view<int16_t>(), cpuTensor.view<int16_t>(), false);
  } else if (from == BF16 && to == BF16) {
    sameTypeOutput(p, deviceTensor.view<bf16_t>(), cpuTensor.view<bf16_t>(), false);
  } else if (from == BF16 && to == FP32) {
    bf16ToFloat(p, deviceTensor.view<bf16_t>(), cpuTensor.view<float>(), usePL);
  } else if (from == INT8 && to == FP32) {
    intToFloat(p, deviceTensor.view<int8_t>(), cpuTensor.view<float>());
  } else if (from == INT16 && to == FP32) {
    intToFloat(p, deviceTensor.view<int16_t>(), cpuTensor.view<float>());
  }
  p.queue.run();
}

}  // namespace korvanrt
