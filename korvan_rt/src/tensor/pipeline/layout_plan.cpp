#include "tensor/pipeline/layout_plan.hpp"

#include <limits>

namespace korvanrt {
namespace {

constexpr uint32_t kUnset = std::numeric_limits<uint32_t>::max();

int32_t positionOf(const TensorDims& dims, char letter) {
  return dims.axisPositions().at(letter);
}

}  // namespace

std::vector<uint32_t> paddedCpuShape(const TensorDims& cpu, const TensorDims& hw) {
  const std::string& letters = cpu.format();
  std::vector<uint32_t> P(cpu.rank());
  for (size_t i = 0; i < cpu.rank(); ++i)
    P[i] = hw.dim(static_cast<size_t>(positionOf(hw, letters.at(i))));
  return P;
}

void planCpuToHw(const TensorDims& cpu, const TensorDims& hw, std::vector<uint32_t>& K,
                 std::vector<uint32_t>& perm) {
  const size_t r = cpu.rank();
  const std::string& letters = cpu.format();
  const auto& hwDims = hw.dims();
  const int32_t b = hw.blockSize();
  std::vector<int32_t> p(r);
  for (size_t i = 0; i < r; ++i) p[i] = positionOf(hw, letters.at(i));
  K.clear();
  perm.assign(hwDims.size(), kUnset);
  if (b < 2) {
    for (size_t i = 0; i < r; ++i) {
      K.push_back(hwDims.at(static_cast<size_t>(p[i])));
      perm.at(static_cast<size_t>(p[i])) = static_cast<uint32_t>(i);
    }
    return;
  }
  const int32_t pB = positionOf(hw, hw.blockAxis());
  uint32_t blockEntry = kUnset;
  for (size_t i = 0; i < r; ++i) {
    const uint32_t extent = hwDims.at(static_cast<size_t>(p[i]));
    perm.at(static_cast<size_t>(p[i])) = static_cast<uint32_t>(K.size());
    K.push_back(extent);
    if (p[i] == pB) {
      blockEntry = static_cast<uint32_t>(K.size());
      K.push_back(static_cast<uint32_t>(b));
    }
  }
  if (!perm.empty()) perm.back() = blockEntry;
}

void planHwToCpu(const TensorDims& hw, const TensorDims& cpu, std::vector<uint32_t>& K,
                 std::vector<uint32_t>& blockPerm, std::vector<uint32_t>& cpuPerm) {
  const auto& dims = hw.dims();
  const size_t m = dims.size();
  const auto& letters = hw.positionAxes();
  const auto& cpuPos = cpu.axisPositions();
  auto setCpu = [&](int32_t position, uint32_t k) {
    const auto letter = letters.find(position);
    if (letter == letters.end()) return;
    const auto at = cpuPos.find(letter->second);
    if (at != cpuPos.end()) cpuPerm.at(static_cast<size_t>(at->second)) = k;
  };
  K.clear();
  blockPerm.clear();
  if (hw.blockSize() < 2) {
    K = dims;
    for (size_t i = 0; i < m; ++i) setCpu(static_cast<int32_t>(i), static_cast<uint32_t>(i));
    return;
  }
  if (m == 0) return;
  const int32_t pB = positionOf(hw, hw.blockAxis());
  for (size_t i = 0; i + 1 < m; ++i) {
    blockPerm.push_back(static_cast<uint32_t>(i));
    if (static_cast<int32_t>(i) == pB) blockPerm.push_back(static_cast<uint32_t>(m - 1));
  }
  for (size_t i = 0; i + 1 < m; ++i) {
    const uint32_t k = static_cast<uint32_t>(K.size());
    K.push_back(static_cast<int32_t>(i) == pB ? dims[i] * dims[m - 1] : dims[i]);
    setCpu(static_cast<int32_t>(i), k);
  }
}

}  // namespace korvanrt
