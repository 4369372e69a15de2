#include "tensor/layout/pad_depad.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "tensor/layout/row_walk.hpp"
#include "tensor/quant/number_formats.hpp"

namespace korvanrt {
namespace {

void requireSameRank(const Shape& in_shape, const Shape& out_shape) {
  if (in_shape.size() != out_shape.size())
    throw std::invalid_argument("in_shape and out_shape must be the same size");
}

void requireKeptBoxInside(const Shape& in_shape, const Shape& out_shape) {
  for (size_t k = 0; k < in_shape.size(); ++k) {
    if (out_shape[k] > in_shape[k])
      throw std::invalid_argument("depad: kept extent " + std::to_string(out_shape[k]) +
                                  " exceeds padded extent " + std::to_string(in_shape[k]) +
                                  " on axis " + std::to_string(k));
  }
}

void requireElements(size_t have, size_t need) {
  if (have != need) throw std::runtime_error("xbuffer_storage not resizable");
}

// 4-axis row copy without leading padding: every output row either receives a
// source row followed by zeros, or is zeroed entirely.
template <typename T>
void rowPad4(const T* src, T* dst, const std::array<size_t, 4>& out,
             const std::array<size_t, 4>& in) {
  const size_t rowIn = in[3], rowOut = out[3];
  if (in == out) {
    std::memcpy(dst, src, in[0] * in[1] * in[2] * in[3] * sizeof(T));
    return;
  }
  const size_t copy = std::min(rowIn, rowOut);
  size_t o = 0;
  for (size_t n = 0; n < out[0]; ++n) {
    for (size_t c = 0; c < out[1]; ++c) {
      for (size_t h = 0; h < out[2]; ++h, o += rowOut) {
        T* row = dst + o;
        if (n < in[0] && c < in[1] && h < in[2]) {
          const T* from = src + ((n * in[1] + c) * in[2] + h) * rowIn;
          if (copy <= 4) {
            for (size_t w = 0; w < copy; ++w) row[w] = from[w];
          } else {
            std::memcpy(row, from, copy * sizeof(T));
          }
          std::fill(row + copy, row + rowOut, T{});
        } else {
          std::fill(row, row + rowOut, T{});
        }
      }
    }
  }
}

template <typename T>
std::array<size_t, 4> toArray4(const Shape& s) {
  return {s[0], s[1], s[2], s[3]};
}

}  // namespace

void fastPad(const int8_t* src, int8_t* dst, const std::array<size_t, 4>& out_shape,
             const std::array<std::pair<size_t, size_t>, 4>& ranges) {
  std::array<size_t, 4> in{};
  for (size_t k = 0; k < 4; ++k) {
    if (ranges[k].first != 0 || ranges[k].second > out_shape[k])
      throw std::invalid_argument("fastPad: source range does not fit the output on axis " +
                                  std::to_string(k));
    in[k] = ranges[k].second;
  }
  rowPad4(src, dst, out_shape, in);
}

void neon_pad(const uint16_t* src, uint16_t* dst, const std::array<int64_t, 4>& in_shape,
              const std::array<int64_t, 4>& out_shape,
              const std::array<std::pair<int64_t, int64_t>, 4>& pads) {
  for (size_t k = 0; k < 4; ++k) {
    if (in_shape[k] < 0 || pads[k].first < 0 || pads[k].second < 0 ||
        in_shape[k] + pads[k].first + pads[k].second != out_shape[k])
      throw std::invalid_argument("neon_pad: padded extent does not match the output on axis " +
                                  std::to_string(k));
  }
  const Shape in(in_shape.begin(), in_shape.end());
  const Shape out(out_shape.begin(), out_shape.end());
  std::fill(dst, dst + shapeSize(out), uint16_t{0});
  const auto inStrides = rowMajorStrides(in);
  const auto outStrides = rowMajorStrides(out);
  size_t base = 0;
  for (size_t k = 0; k < 4; ++k) base += static_cast<size_t>(pads[k].first) * outStrides[k];
  const size_t row = in[3];
  forEachBoxRow(in, inStrides, outStrides, 0, base, [&](size_t so, size_t dO) {
    std::memcpy(dst + dO, src + so, row * sizeof(uint16_t));
  });
}

template <typename T>
void padTensor(const TensorView<T>& src, const Shape& in_shape, const Shape& pad_before,
               const Shape& pad_after, const Shape& out_shape, const TensorView<T>& dst) {
  requireSameRank(in_shape, out_shape);
  const size_t r = in_shape.size();
  if (pad_before.size() != r || pad_after.size() != r)
    throw std::invalid_argument("pad: pad_at_start and pad_at_end need one entry per axis");
  if (in_shape != src.shape)
    throw std::invalid_argument("pad: in_shape does not match the source tensor's shape");
  Shape padded(r);
  for (size_t k = 0; k < r; ++k) padded[k] = in_shape[k] + pad_before[k] + pad_after[k];
  const bool fast =
      r == 4 && std::all_of(pad_before.begin(), pad_before.end(), [](size_t v) { return v == 0; });
  if (fast && out_shape != padded)
    throw std::invalid_argument("pad: output_shape does not equal the padded shape");
  requireElements(dst.size(), shapeSize(padded));

  if (fast) {
    if constexpr (std::is_same_v<T, int8_t>) {
      std::array<std::pair<size_t, size_t>, 4> ranges;
      for (size_t k = 0; k < 4; ++k) ranges[k] = {0, in_shape[k]};
      fastPad(src.data, dst.data, toArray4<T>(out_shape), ranges);
    } else if constexpr (std::is_same_v<T, bf16_t>) {
      std::array<int64_t, 4> in{}, out{};
      std::array<std::pair<int64_t, int64_t>, 4> pads;
      for (size_t k = 0; k < 4; ++k) {
        in[k] = static_cast<int64_t>(in_shape[k]);
        out[k] = static_cast<int64_t>(out_shape[k]);
        pads[k] = {0, static_cast<int64_t>(pad_after[k])};
      }
      neon_pad(src.data, dst.data, in, out, pads);
    } else {
      rowPad4(src.data, dst.data, toArray4<T>(out_shape), toArray4<T>(in_shape));
    }
    return;
  }

  // General path: zero the result, then place every source row at its index
  // shifted by pad_before.
  std::fill(dst.data, dst.data + dst.size(), T{});
  if (src.size() == 0) return;
  const auto outStrides = rowMajorStrides(padded);
  size_t base = 0;
  for (size_t k = 0; k < r; ++k) base += pad_before[k] * outStrides[k];
  const size_t row = r == 0 ? 1 : in_shape.back();
  forEachBoxRow(
      in_shape, rowMajorStrides(in_shape), outStrides, 0, base,
      [&](size_t so, size_t dO) { std::copy(src.data + so, src.data + so + row, dst.data + dO); });
}

template <typename T>
void depadTensor(const TensorView<T>& src, const Shape& in_shape, const Shape& out_shape,
                 const TensorView<T>& dst) {
  requireSameRank(in_shape, out_shape);
  requireKeptBoxInside(in_shape, out_shape);
  requireElements(src.size(), shapeSize(in_shape));
  requireElements(dst.size(), shapeSize(out_shape));
  if (in_shape == out_shape) {
    std::copy(src.data, src.data + src.size(), dst.data);
    return;
  }
  const size_t row = out_shape.back();
  forEachBoxRow(
      out_shape, rowMajorStrides(in_shape), rowMajorStrides(out_shape), 0, 0,
      [&](size_t so, size_t dO) { std::copy(src.data + so, src.data + so + row, dst.data + dO); });
}

void DepadTensors(const AnyTensorView& src, const AnyTensorView& dst, const Shape& in_shape,
                  const Shape& out_shape, float scale, int8_t zero_point) {
  const size_t r = in_shape.size();
  if (r == 0) return;
  requireSameRank(in_shape, out_shape);
  // Indices of in_shape that also lie inside out_shape.
  Shape box(r);
  for (size_t k = 0; k < r; ++k) box[k] = std::min(in_shape[k], out_shape[k]);
  const auto inStrides = rowMajorStrides(in_shape);
  const auto outStrides = rowMajorStrides(out_shape);
  std::visit(
      [&](const auto& s, const auto& d) {
        using S = std::remove_pointer_t<decltype(s.data)>;
        using D = std::remove_pointer_t<decltype(d.data)>;
        constexpr bool copy = std::is_same_v<S, D> && !std::is_same_v<S, float>;
        constexpr bool toBool = std::is_same_v<S, int8_t> && std::is_same_v<D, bool>;
        constexpr bool dequant =
            (std::is_same_v<S, int8_t> || std::is_same_v<S, int16_t>)&&std::is_same_v<D, float>;
        if constexpr (copy || toBool || dequant) {
          requireElements(s.size(), shapeSize(in_shape));
          requireElements(d.size(), shapeSize(out_shape));
          const size_t row = box.back();
          forEachBoxRow(box, inStrides, outStrides, 0, 0, [&](size_t so, size_t dO) {
            const S* from = s.data + so;
            D* to = d.data + dO;
            for (size_t i = 0; i < row; ++i) {
              if constexpr (copy) {
                to[i] = from[i];
              } else if constexpr (toBool) {
                to[i] = from[i] != 0;
              } else {
                to[i] = dequantizeFused(from[i], scale, zero_point);
              }
            }
          });
        }
      },
      src, dst);
}

void depadBf16ToFloat(const bf16_t* src, float* dst, const Shape& in_shape,
                      const Shape& out_shape) {
  if (in_shape == out_shape) {
    const size_t n = shapeSize(out_shape);
    for (size_t i = 0; i < n; ++i) dst[i] = bf16ToFloat(src[i]);
    return;
  }
  requireSameRank(in_shape, out_shape);
  if (in_shape.size() < 2 || in_shape.size() > 6)
    throw std::runtime_error("Unsupported number of dimensions");
  requireKeptBoxInside(in_shape, out_shape);
  const size_t row = out_shape.back();
  forEachBoxRow(out_shape, rowMajorStrides(in_shape), rowMajorStrides(out_shape), 0, 0,
                [&](size_t so, size_t dO) {
                  for (size_t i = 0; i < row; ++i) dst[dO + i] = bf16ToFloat(src[so + i]);
                });
}

#define KORVANRT_PAD(T)                                                                      \
  template void padTensor<T>(const TensorView<T>&, const Shape&, const Shape&, const Shape&, \
                             const Shape&, const TensorView<T>&);                            \
  template void depadTensor<T>(const TensorView<T>&, const Shape&, const Shape&,             \
                               const TensorView<T>&);
KORVANRT_PAD(int8_t)
KORVANRT_PAD(int16_t)
KORVANRT_PAD(bf16_t)
KORVANRT_PAD(bool)
#undef KORVANRT_PAD

}  // namespace korvanrt
