#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "model/io_params.hpp"
#include "model/tensor_dims.hpp"
#include "tensor/pipeline/conversion_context.hpp"
#include "tensor/pipeline/route_checks.hpp"
#include "tensor/pipeline/step_queue.hpp"
#include "tensor/pipeline/transform_list.hpp"
#include "tensor/quant/qdq.hpp"
#include "tensor/tensor_view.hpp"

namespace korvanrt {

// Everything one conversion (input or output) plans with: the entry's two
// descriptions, its quantization, the queued steps and the scratch tensors
// those steps use. Scratch tensors stay alive in `keep` until the queue has
// run.
struct ConversionPlan {
  const ConversionContext& ctx;
  const IOParams& entry;
  TensorDims cpu, hw;
  std::string cpuFormat, hwFormat;
  uint32_t d;
  bool formatsEqual, shapesEqual;
  qdq_params q;
  StepQueue queue;
  std::vector<std::shared_ptr<void>> keep;

  ConversionPlan(const ConversionContext& c, const IOParams& e)
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

  Shape cpuShape() const { return toShape(cpu.dims()); }
  Shape hwShape() const { return toShape(hw.dims()); }
  size_t cpuElements() const { return elementCount(cpu); }
  size_t devElements() const { return elementCount(hw); }

  template <typename T>
  TensorView<T> scratch(const Shape& shape) {
    auto t = std::make_shared<ScratchTensor<T>>(shape);
    keep.push_back(t);
    return t->view();
  }

  // Runs the entry's transformation list when it has one; true if it ran.
  template <typename T1, typename T2>
  bool ranTransformList(const TensorView<T1>& src, const TensorView<T2>& dst) {
    if (d < 1) return false;
    runTransformList(ctx, src, entry, dst);
    return true;
  }

  // Queues the element-wise number conversion of `src` into `dst`.
  template <typename T1, typename T2>
  void queueQdq(const TensorView<T1>& src, const TensorView<T2>& dst) {
    queue.push([this, src, dst] {
      ctx.section("qdq", [&] { qdqConvert(src, q, dst, ctx.roundingMode); });
    });
  }

  // Queues a plain element copy between tensors of equal element count.
  template <typename T>
  void queueCopy(const TensorView<T>& src, const TensorView<T>& dst) {
    if (src.size() != dst.size()) throw std::runtime_error("xbuffer_storage not resizable");
    queue.push([src, dst] { std::copy(src.data, src.data + src.size(), dst.data); });
  }
};

// Input conversions: the caller's buffer is checked before the device's.
inline void requireInputCounts(const ConversionPlan& p, size_t cpuHave, size_t devHave) {
  requireElementCount(cpuHave, p.cpuElements(), "Input");
  requireElementCount(devHave, p.devElements(), "Device input");
}

// Output conversions: the caller's buffer is checked before the device's.
inline void requireOutputCounts(const ConversionPlan& p, size_t cpuHave, size_t devHave) {
  requireElementCount(cpuHave, p.cpuElements(), "Output");
  requireElementCount(devHave, p.devElements(), "Device output");
}

[[noreturn]] inline void noProgrammableLogic() {
  KORVAN_THROW("programmable-logic converter requested but no converter context is open");
}

}  // namespace korvanrt
