#include "compute_ops.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "bf16.hpp"

namespace qel::detail {

namespace {

template <typename T>
T load(const std::byte* base, std::uint64_t index) {
  T v;
  std::memcpy(&v, base + index * sizeof(T), sizeof(T));
  return v;
}

template <typename T>
void store(std::byte* base, std::uint64_t index, T v) {
  std::memcpy(base + index * sizeof(T), &v, sizeof(T));
}

std::uint64_t blocks_of(std::uint64_t channels) {
  return (channels + 7) / 8;
}

// Element index of (h, c, w, n) in a [H][C/8][W][N][8] tensor.
struct hcwnc8 {
  std::uint64_t blocks, width, batch;
  std::uint64_t at(std::uint64_t h, std::uint64_t c, std::uint64_t w, std::uint64_t n) const {
    return (((h * blocks + c / 8) * width + w) * batch + n) * 8 + c % 8;
  }
};

// Visits every pixel (h, w, n) of the convolution with the input and output maps.
template <typename F>
void for_each_pixel(const conv_params& p, F&& f) {
  const hcwnc8 in{blocks_of(p.in_channels), p.width, p.batch};
  const hcwnc8 out{blocks_of(p.out_channels), p.width, p.batch};
  for (std::uint64_t h = 0; h < p.height; ++h)
    for (std::uint64_t w = 0; w < p.width; ++w)
      for (std::uint64_t n = 0; n < p.batch; ++n) f(in, out, h, w, n);
}

}  // namespace

std::uint64_t hcwnc8_bytes(const conv_params& p, std::uint64_t channels, std::uint64_t element) {
  std::uint64_t r = p.height;
  for (std::uint64_t f : {blocks_of(channels) * 8, p.width, p.batch, element})
    if (__builtin_mul_overflow(r, f, &r)) return 0;
  return r;
}

void conv1x1_bf16(const conv_params& p, std::byte* dst, const std::byte* src,
                  const std::byte* weights, const std::byte* bias) {
  std::vector<float> x(p.in_channels);
  const std::uint64_t padded = blocks_of(p.out_channels) * 8;
  for_each_pixel(p, [&](const hcwnc8& in, const hcwnc8& out, std::uint64_t h, std::uint64_t w,
                        std::uint64_t n) {
    for (std::uint64_t ci = 0; ci < p.in_channels; ++ci)
      x[ci] = bf16_to_float(load<std::uint16_t>(src, in.at(h, ci, w, n)));
    for (std::uint64_t co = 0; co < padded; ++co) {
      std::uint16_t y = 0;  // padding lanes are written as +0
      if (co < p.out_channels) {
        float acc = bias ? load<float>(bias, co) : 0.0f;
        const std::uint64_t row = co * p.in_channels;
        for (std::uint64_t ci = 0; ci < p.in_channels; ++ci)
          acc += x[ci] * bf16_to_float(load<std::uint16_t>(weights, row + ci));
        if (p.relu && acc < 0.0f) acc = 0.0f;
        y = float_to_bf16(acc);
      }
      store<std::uint16_t>(dst, out.at(h, co, w, n), y);
    }
  });
}

void conv1x1_int8(const conv_params& p, const requant_params& q, std::byte* dst,
                  const std::byte* src, const std::byte* weights, const std::byte* bias) {
  std::vector<std::int32_t> x(p.in_channels);
  const std::uint64_t padded = blocks_of(p.out_channels) * 8;
  const std::int64_t low = p.relu ? std::max<std::int64_t>(q.out_zero, -128) : -128;
  for_each_pixel(p, [&](const hcwnc8& in, const hcwnc8& out, std::uint64_t h, std::uint64_t w,
                        std::uint64_t n) {
    for (std::uint64_t ci = 0; ci < p.in_channels; ++ci)
      x[ci] = load<std::int8_t>(src, in.at(h, ci, w, n));
    for (std::uint64_t co = 0; co < padded; ++co) {
      std::int8_t y = 0;
      if (co < p.out_channels) {
        // int32 accumulation with two's-complement wrap-around.
        std::uint32_t acc = bias ? static_cast<std::uint32_t>(load<std::int32_t>(bias, co)) : 0u;
        const std::uint64_t row = co * p.in_channels;
        for (std::uint64_t ci = 0; ci < p.in_channels; ++ci) {
          const auto xi = static_cast<std::uint32_t>(x[ci]) - static_cast<std::uint32_t>(q.in_zero);
          acc += xi * static_cast<std::uint32_t>(load<std::int8_t>(weights, row + ci));
        }
        const std::int64_t prod = std::int64_t{static_cast<std::int32_t>(acc)} * q.multiplier;
        const std::int64_t scaled =
            q.shift > 0 ? (prod + (std::int64_t{1} << (q.shift - 1))) >> q.shift : prod;
        const std::int64_t v = std::clamp<std::int64_t>(scaled + q.out_zero, low, 127);
        y = static_cast<std::int8_t>(v);
      }
      store<std::int8_t>(dst, out.at(h, co, w, n), y);
    }
  });
}

void add_bf16(std::byte* dst, const std::byte* a, const std::byte* b, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i)
    store<std::uint16_t>(dst, i,
                         float_to_bf16(bf16_to_float(load<std::uint16_t>(a, i)) +
                                       bf16_to_float(load<std::uint16_t>(b, i))));
}

void add_int8(std::byte* dst, const std::byte* a, const std::byte* b, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i) {
    const int s = load<std::int8_t>(a, i) + load<std::int8_t>(b, i);
    store<std::int8_t>(dst, i, static_cast<std::int8_t>(std::clamp(s, -128, 127)));
  }
}

void add_fp32(std::byte* dst, const std::byte* a, const std::byte* b, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i)
    store<float>(dst, i, load<float>(a, i) + load<float>(b, i));
}

}  // namespace qel::detail
