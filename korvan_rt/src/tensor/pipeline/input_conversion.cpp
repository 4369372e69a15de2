#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/error.hpp"
#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/pad_depad.hpp"
#include "tensor/layout/shape_ops.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/pipeline/conversion.hpp"
#include "tensor/pipeline/layout_plan.hpp"
#include "tensor/pipeline/route_checks.hpp"
#include "tensor/pipeline/step_queue.hpp"
#include "tensor/pipeline/transform_list.hpp"
#include "tensor/quant/qdq.hpp"

namespace korvanrt {
namespace {

// Everything one input conversion plans with; scratch tensors stay alive in
// `keep` until the queued steps have run.
struct InputPlan {
  const ConversionContext& ctx;
  const IOParams& entry;
  TensorDims cpu, hw;
  std::string cpuFormat, hwFormat;
  uint32_t d;
  bool formatsEqual, shapesEqual;
  qdq_params q;
  StepQueue queue;
  std::vector<std::shared_ptr<void>> keep;

  InputPlan(const ConversionContext& c, const IOParams& e)
      : ctx(c),
        entry(e),
        cpu(e.cpuShape()),
        hw(e.hwShape()),
        cpuFormat(e.cpuFormat()),
        hwFormat(e.hwFormat()),
        d(e.numRtTransforms()),
        formatsEqual(cpuFormat == hwFormat),
        shapesEqual(cpu.dims() == hw.dims()),
        q(e.getQdqParams()) {}

  template <typename T>
  TensorView<T> scratch(const Shape& shape) {
    auto t = std::make_shared<ScratchTensor<T>>(shape);
    keep.push_back(t);
    return t->view();
  }

  // Number conversion of the whole caller tensor into a scratch tensor of the
  // CPU shape in the device number format.
  template <typename TCpu, typename TDev>
  TensorView<TDev> quantizeToScratch(const TensorView<TCpu>& src) {
    auto s = scratch<TDev>(toShape(cpu.dims()));
    queue.push(
        [this, src, s] { ctx.section("qdq", [&] { qdqConvert(src, q, s, ctx.roundingMode); }); });
    return s;
  }

  // Pads S (device number format, CPU shape) at the end of every axis to the
  // device extents, then reshapes and permutes it into the device layout.
  template <typename T>
  void generic(const TensorView<T>& S, const TensorView<T>& dst) {
    requirePlannableLayouts(cpu, hw);
    const auto P = paddedCpuShape(cpu, hw);
    const Shape cpuShape = toShape(cpu.dims());
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

  template <typename T>
  void copyElements(const TensorView<T>& src, const TensorView<T>& dst) {
    if (src.size() != dst.size()) throw std::runtime_error("xbuffer_storage not resizable");
    queue.push([src, dst] { std::copy(src.data, src.data + src.size(), dst.data); });
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

[[noreturn]] void noProgrammableLogic() {
  KORVAN_THROW("programmable-logic converter requested but no converter context is open");
}

void floatToBf16(InputPlan& p, const TensorView<float>& src, const TensorView<bf16_t>& dst,
                 bool usePL) {
  if (usePL) noProgrammableLogic();
  if (p.d >= 1) {
    runTransformList(p.ctx, src, p.entry, dst);
    return;
  }
  requireElementCount(src.size(), elementCount(p.cpu), "Input");
  requireElementCount(dst.size(), elementCount(p.hw), "Device input");
  if (p.formatsEqual && p.shapesEqual) {
    p.queue.push([&p, src, dst] {
      p.ctx.section("qdq", [&] { qdqConvert(src, p.q, dst, p.ctx.roundingMode); });
    });
  } else if (p.cpuFormat == "NCHW" && isChannelBlocked(p.hwFormat)) {
    const Extents4 c = extentsOf(p.cpu), h = extentsOf(p.hw);
    const int block = blockOf(p.hwFormat);
    const size_t devElements = dst.size();
    p.queue.push([&p, src, dst, c, h, block, devElements] {
      p.ctx.section("NCHWFp32ToHCWNCsBf16", [&] {
        nchwFp32ToHcwncBf16(src.data, dst.data, c, h, block, p.ctx.roundingMode, devElements);
      });
    });
  } else {
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
}

void floatToInt8(InputPlan& p, const TensorView<float>& src, const TensorView<int8_t>& dst,
                 bool usePL) {
  if (p.d >= 1) {
    runTransformList(p.ctx, src, p.entry, dst);
    return;
  }
  requireElementCount(src.size(), elementCount(p.cpu), "Input");
  requireElementCount(dst.size(), elementCount(p.hw), "Device input");
  if (p.formatsEqual && p.shapesEqual) {
    p.queue.push([&p, src, dst] {
      p.ctx.section("qdq", [&] { qdqConvert(src, p.q, dst, p.ctx.roundingMode); });
    });
    return;
  }
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
  if (p.d >= 1) {
    runTransformList(p.ctx, src, p.entry, dst);
    return;
  }
  requireElementCount(src.size(), elementCount(p.cpu), "Input");
  requireElementCount(dst.size(), elementCount(p.hw), "Device input");
  if (p.formatsEqual && p.shapesEqual) {
    p.queue.push([&p, src, dst] {
      p.ctx.section("qdq", [&] { qdqConvert(src, p.q, dst, p.ctx.roundingMode); });
    });
    return;
  }
  p.generic(p.quantizeToScratch<TCpu, TDev>(src), dst);
}

void int8ToInt8(InputPlan& p, const TensorView<int8_t>& src, const TensorView<int8_t>& dst,
                bool usePL) {
  if (p.formatsEqual && p.shapesEqual) {
    p.copyElements(src, dst);
  } else if (usePL) {
    noProgrammableLogic();
  } else if (p.cpuFormat == "NCHW" && isChannelBlocked(p.hwFormat)) {
    requireElementCount(src.size(), elementCount(p.cpu), "Input");
    requireElementCount(dst.size(), elementCount(p.hw), "Device input");
    requireElementCount(dst.size(), elementCount(p.hw), "Device input");
    p.int8ToBlocked(src, dst);
  } else if (p.d >= 1) {
    runTransformList(p.ctx, src, p.entry, dst);
  } else {
    requireElementCount(src.size(), elementCount(p.cpu), "Input");
    requireElementCount(dst.size(), elementCount(p.hw), "Device input");
    requireElementCount(dst.size(), elementCount(p.hw), "Device input");
    p.generic(src, dst);
  }
}

template <typename T>
void sameTypeInput(InputPlan& p, const TensorView<T>& src, const TensorView<T>& dst) {
  if (p.d >= 1) {
    runTransformList(p.ctx, src, p.entry, dst);
  } else if (p.formatsEqual && p.shapesEqual) {
    p.copyElements(src, dst);
  } else {
    requireElementCount(src.size(), elementCount(p.cpu), "Input");
    requireElementCount(dst.size(), elementCount(p.hw), "Device input");
    requireElementCount(dst.size(), elementCount(p.hw), "Device input");
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
