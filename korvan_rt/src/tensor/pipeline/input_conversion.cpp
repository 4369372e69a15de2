#include <vector>

#include "core/error.hpp"
#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/pad_depad.hpp"
#include "tensor/layout/shape_ops.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/pipeline/conversion.hpp"
#include "tensor/pipeline/conversion_plan.hpp"
#include "tensor/pipeline/layout_plan.hpp"

namespace korvanrt {
namespace {

// The input side of a plan: quantizing into scratch, the generic
// pad-and-permute plan and the blocked int8 converter.
struct InputPlan : ConversionPlan {
  using ConversionPlan::ConversionPlan;

  // Number conversion of the whole caller tensor into a scratch tensor of the
  // CPU shape in the device number format.
  template <typename TCpu, typename TDev>
  TensorView<TDev> quantizeToScratch(const TensorView<TCpu>& src) {
    auto s = scratch<TDev>(cpuShape());
    queueQdq(src, s);
    return s;
  }

  // Pads S (device number format, CPU shape) at the end of every axis to the
  // device extents, then reshapes and permutes it into the device layout.
  template <typename T>
  void generic(const TensorView<T>& S, const TensorView<T>& dst) {
    requirePlannableLayouts(cpu, hw);
    const auto P = paddedCpuShape(cpu, hw);
    const Shape cpuShape = this->cpuShape();
    const Shape padded = toShape(P);
    TensorView<T> T0 = S;
    if (padded != cpuShape) {
      Shape after(padded.size());
      for (size_t i = 0; i < padded.size(); ++i) {
        if (padded[i] < cpuShape[i])
          KORVAN_THROW("device extent " + std::to_string(padded[i]) + " of axis " +
                       std::string(1, cpu.format().at(i)) + " is smaller than the CPU extent " +
                       std::to_string(cpuShape[i]));
        after[i] = padded[i] - cpuShape[i];
      }
      T0 = scratch<T>(padded);
      queue.push([this, S, T0, cpuShape, after, padded] {
        ctx.section("pad",
                    [&] { padTensor(S, cpuShape, Shape(cpuShape.size(), 0), after, padded, T0); });
      });
    }
    std::vector<uint32_t> K, perm;
    planCpuToHw(cpu, hw, K, perm);
    queue.push([this, T0, K, perm, dst] {
      ctx.section("reshape_and_transpose", [&] { reshapeAndTranspose(T0, K, perm, dst); });
    });
  }

  // int8 "NCHW" into a blocked layout with the vectorized converter when the
  // device tensor is exactly the CPU tensor in blocks; otherwise the generic
  // plan, which pads.
  void int8ToBlocked(const TensorView<int8_t>& S, const TensorView<int8_t>& dst) {
    const unsigned b = static_cast<unsigned>(blockOf(hwFormat));
    if (!deviceMatchesCpuExtents(cpu, hw, b)) {
      generic(S, dst);
      return;
    }
    const Extents4 e = extentsOf(cpu);
    if (productSaturated({e.n, ceilDiv(e.c, b) * b, e.h, e.w}) > dst.size())
      KORVANRT_OUT_OF_BOUND();
    queue.push([S, dst, e, b] {
      optimized_reshape_and_transpose_neon(S.data, dst.data, static_cast<int>(e.n),
                                           static_cast<int>(e.c), static_cast<int>(e.h),
                                           static_cast<int>(e.w), b);
    });
  }
};

// The first routes of every quantizing variant: the transformation list, then
// (after the element counts) the element-wise conversion when layout and shape
// agree. True when one of them was taken.
template <typename TCpu, typename TDev>
bool listOrElementwise(InputPlan& p, const TensorView<TCpu>& src, const TensorView<TDev>& dst) {
  if (p.ranTransformList(src, dst)) return true;
  requireInputCounts(p, src.size(), dst.size());
  if (!(p.formatsEqual && p.shapesEqual)) return false;
  p.queueQdq(src, dst);
  return true;
}

void floatToBf16(InputPlan& p, const TensorView<float>& src, const TensorView<bf16_t>& dst,
                 bool usePL) {
  if (usePL) noProgrammableLogic();
  if (listOrElementwise(p, src, dst)) return;
  if (p.cpuFormat == "NCHW" && isChannelBlocked(p.hwFormat)) {
    const Extents4 c = extentsOf(p.cpu), h = extentsOf(p.hw);
    const int block = blockOf(p.hwFormat);
    const size_t devElements = dst.size();
    p.queue.push([&p, src, dst, c, h, block, devElements] {
      p.ctx.section("NCHWFp32ToHCWNCsBf16", [&] {
        nchwFp32ToHcwncBf16(src.data, dst.data, c, h, block, p.ctx.roundingMode, devElements);
      });
    });
    return;
  }
  const auto S = p.quantizeToScratch<float, bf16_t>(src);
  if (p.cpuFormat == "NCHW" && p.hwFormat == "NHWC" && deviceMatchesCpuExtents(p.cpu, p.hw, 1)) {
    const Extents4 e = extentsOf(p.cpu);
    p.queue.push([S, dst, e] {
      optimized_transpose_nchw_to_nhwc_bf16(S.data, dst.data, static_cast<int>(e.n),
                                            static_cast<int>(e.c), static_cast<int>(e.h),
                                            static_cast<int>(e.w));
    });
  } else {
    p.generic(S, dst);
  }
}

void floatToInt8(InputPlan& p, const TensorView<float>& src, const TensorView<int8_t>& dst,
                 bool usePL) {
  if (listOrElementwise(p, src, dst)) return;
  const auto S = p.quantizeToScratch<float, int8_t>(src);
  if (usePL) noProgrammableLogic();
  if (p.cpuFormat == "NCHW" && isChannelBlocked(p.hwFormat)) {
    p.int8ToBlocked(S, dst);
  } else {
    p.generic(S, dst);
  }
}

// float to int16 and bool to int8: list, element-wise, or quantize then the
// generic plan.
template <typename TCpu, typename TDev>
void quantizeThenGeneric(InputPlan& p, const TensorView<TCpu>& src, const TensorView<TDev>& dst) {
  if (listOrElementwise(p, src, dst)) return;
  p.generic(p.quantizeToScratch<TCpu, TDev>(src), dst);
}

void int8ToInt8(InputPlan& p, const TensorView<int8_t>& src, const TensorView<int8_t>& dst,
                bool usePL) {
  if (p.formatsEqual && p.shapesEqual) {
    p.queueCopy(src, dst);
  } else if (usePL) {
    noProgrammableLogic();
  } else if (p.cpuFormat == "NCHW" && isChannelBlocked(p.hwFormat)) {
    requireInputCounts(p, src.size(), dst.size());
    p.int8ToBlocked(src, dst);
  } else if (!p.ranTransformList(src, dst)) {
    requireInputCounts(p, src.size(), dst.size());
    p.generic(src, dst);
  }
}

template <typename T>
void sameTypeInput(InputPlan& p, const TensorView<T>& src, const TensorView<T>& dst) {
  if (p.ranTransformList(src, dst)) return;
  if (p.formatsEqual && p.shapesEqual) {
    p.queueCopy(src, dst);
  } else {
    requireInputCounts(p, src.size(), dst.size());
    p.generic(src, dst);
  }
}

}  // namespace

void preprocessInput(const ConversionContext& ctx, const HostTensor& cpuTensor,
                     const HostTensor& deviceTensor, const IOParams& entry, bool usePL,
                     kernel_params_& /*params*/, int /*position*/) {
  using namespace client;
  const DataType from = cpuTensor.dtype, to = deviceTensor.dtype;
  InputPlan p(ctx, entry);
  if (from == FP32 && to == INT8) {
    floatToInt8(p, cpuTensor.view<float>(), deviceTensor.view<int8_t>(), usePL);
  } else if (from == FP32 && to == INT16) {
    quantizeThenGeneric(p, cpuTensor.view<float>(), deviceTensor.view<int16_t>());
  } else if (from == FP32 && to == BF16) {
    floatToBf16(p, cpuTensor.view<float>(), deviceTensor.view<bf16_t>(), usePL);
  } else if (from == INT8 && to == INT8) {
    int8ToInt8(p, cpuTensor.view<int8_t>(), deviceTensor.view<int8_t>(), usePL);
  } else if (from == INT16 && to == INT16) {
    sameTypeInput(p, cpuTensor.view<int16_t>(), deviceTensor.view<int16_t>());
  } else if (from == BF16 && to == BF16) {
    sameTypeInput(p, cpuTensor.view<bf16_t>(), deviceTensor.view<bf16_t>());
  } else if (from == BOOL && to == INT8) {
    quantizeThenGeneric(p, cpuTensor.view<bool>(), deviceTensor.view<int8_t>());
  }
  p.queue.run();
}

}  // namespace korvanrt
