#include "tensor/layout/entry_converters.hpp"

#include <type_traits>

#include "tensor/layout/blocked_converters.hpp"
#include "tensor/layout/simd_converters.hpp"
#include "tensor/pipeline/route_checks.hpp"

namespace korvanrt {

template <typename T>
void HCWNCsToNCHW_depad(const T* src, T* dst, const IOParams& entry) {
  const TensorDims hw = entry.hwShape(), cpu = entry.cpuShape();
  const int block = blockOf(entry.hwFormat());
  if constexpr (std::is_same_v<T, int8_t>) {
    if (block == 8) {
      hcwnc8Int8ToNchwDepad(src, dst, extentsOf(hw), extentsOf(cpu), elementCount(hw));
      return;
    }
  }
  hcwncToNchwDepad<T>(src, dst, extentsOf(hw), extentsOf(cpu), block, elementCount(hw));
}

template <typename T>
void HCWNCsToNHWC_depad(const T* src, T* dst, const IOParams& entry) {
  const TensorDims hw = entry.hwShape(), cpu = entry.cpuShape();
  hcwncToNhwcDepad<T>(src, dst, extentsOf(hw), extentsOf(cpu), blockOf(entry.hwFormat()),
                      elementCount(hw));
}

void HCWNCsInt8ToNCHWFp32(const int8_t* src, float* dst, const IOParams& entry) {
  const TensorDims hw = entry.hwShape(), cpu = entry.cpuShape();
  hcwncInt8ToNchwFp32(src, dst, extentsOf(hw), extentsOf(cpu), blockOf(entry.hwFormat()),
                      elementCount(hw), entry.getQdqParams().scale, entry.zeroPoint());
}

void HCWNCsInt16ToNCHWFp32(const int16_t* src, float* dst, const IOParams& entry) {
  const TensorDims hw = entry.hwShape(), cpu = entry.cpuShape();
  hcwncInt16ToNchwFp32(src, dst, extentsOf(hw), extentsOf(cpu), blockOf(entry.hwFormat()),
                       elementCount(hw), entry.getQdqParams().scale, entry.zeroPoint());
}

template <typename T>
void NHWCToNCHW_depad(const T* src, T* dst, const TensorDims& hw, const TensorDims& cpu) {
  nhwcToNchwDepad<T>(src, dst, extentsOf(hw), extentsOf(cpu), elementCount(hw));
}

#define KORVANRT_ENTRY_CONVERTERS(T)                                  \
  template void HCWNCsToNCHW_depad<T>(const T*, T*, const IOParams&); \
  template void HCWNCsToNHWC_depad<T>(const T*, T*, const IOParams&); \
  template void NHWCToNCHW_depad<T>(const T*, T*, const TensorDims&, const TensorDims&);
KORVANRT_ENTRY_CONVERTERS(int8_t)
KORVANRT_ENTRY_CONVERTERS(int16_t)
KORVANRT_ENTRY_CONVERTERS(bf16_t)
#undef KORVANRT_ENTRY_CONVERTERS

}  // namespace korvanrt
