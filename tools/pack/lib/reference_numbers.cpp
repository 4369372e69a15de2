#include "reference_numbers.hpp"

#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

namespace korvan::pack::reference {

namespace {

std::uint32_t bitsOf(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, 4);
  return b;
}

std::int32_t saturate(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

std::int64_t readAsInteger(const HostTensor& t, std::uint64_t i) {
  switch (t.type) {
    case ElementType::int8:
      return t.get<std::int8_t>(i);
    case ElementType::uint8:
    case ElementType::boolean:
      return t.get<std::uint8_t>(i);
    case ElementType::int16:
      return t.get<std::int16_t>(i);
    case ElementType::uint16:
    case ElementType::bf16:
      return t.get<std::uint16_t>(i);
    case ElementType::int32:
      return t.get<std::int32_t>(i);
    case ElementType::fp32:
      break;
  }
  throw std::logic_error("float tensor read as integer");
}

bool isInteger(ElementType t) {
  return t == ElementType::int8 || t == ElementType::int16 || t == ElementType::uint8 ||
         t == ElementType::uint16 || t == ElementType::int32;
}

// Axis letters and extents of a layout.
struct Axes {
  std::string letters;              // one per storage axis; blocked: "HCWN" + lane
  std::vector<std::uint64_t> dims;  // storage dims
  std::uint64_t block = 1;          // lanes of the channel block
  bool blocked = false;
};

Axes axesOf(const std::string& format, const std::vector<std::uint64_t>& dims) {
  Axes a;
  a.dims = dims;
  if (format == "HCWNC4" || format == "HCWNC8") {
    a.blocked = true;
    a.block = format.back() - '0';
    a.letters = "HCWN";
    if (dims.size() != 5 || dims[4] != a.block)
      throw std::invalid_argument("layout " + format + " needs 5 dims with the last = block size");
  } else {
    a.letters = format;
    if (dims.size() != format.size())
      throw std::invalid_argument("layout " + format + " does not match the rank");
  }
  return a;
}

// Logical extent of a letter, 1 when the layout lacks it.
std::uint64_t extent(const Axes& a, char letter) {
  if (a.blocked) {
    switch (letter) {
      case 'H':
        return a.dims[0];
      case 'C':
        return a.dims[1] * a.block;
      case 'W':
        return a.dims[2];
      case 'N':
        return a.dims[3];
    }
    return 1;
  }
  const auto p = a.letters.find(letter);
  return p == std::string::npos ? 1 : a.dims[p];
}

std::vector<std::uint64_t> unravel(std::uint64_t i, const std::vector<std::uint64_t>& shape) {
  std::vector<std::uint64_t> idx(shape.size());
  for (std::size_t k = shape.size(); k-- > 0;) {
    idx[k] = i % shape[k];
    i /= shape[k];
  }
  return idx;
}

std::uint64_t ravel(const std::vector<std::uint64_t>& idx,
                    const std::vector<std::uint64_t>& shape) {
  std::uint64_t off = 0;
  for (std::size_t k = 0; k < shape.size(); ++k) off = off * shape[k] + idx[k];
  return off;
}

void copyElement(const HostTensor& src, std::uint64_t from, HostTensor& dst, std::uint64_t to) {
  const auto size = elementSize(src.type);
  std::memcpy(dst.bytes.data() + to * size, src.bytes.data() + from * size, size);
}

void requireRank(const HostTensor& src, std::size_t n, const char* what) {
  if (n != src.shape.size())
    throw std::invalid_argument(std::string(what) + " lists " + std::to_string(n) +
                                " axes for a tensor of rank " + std::to_string(src.shape.size()));
}

}  // namespace

std::uint16_t bf16RoundNearestEven(float x) {
  const std::uint32_t b = bitsOf(x);
  return static_cast<std::uint16_t>((b + 0x7FFFu + ((b >> 16) & 1u)) >> 16);
}

std::uint16_t bf16Clamped(float x) {
  const auto h = bf16RoundNearestEven(x);
  return h <= 0xFF7F ? h : std::uint16_t{0xFF7F};
}

float bf16ToFloat(std::uint16_t v) {
  const std::uint32_t b = std::uint32_t{v} << 16;
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}

std::int32_t quantizeToInt32(float x, double scale) {
  if (scale == 1.0 || scale < 0) return saturate(std::trunc(static_cast<double>(x)));
  return saturate(std::round(static_cast<double>(x) / scale));
}

HostTensor convert(const HostTensor& src, ElementType to, const Qdq& q, Dequant dequant,
                   bool unclampedBf16) {
  HostTensor dst = HostTensor::zeros(to, src.shape);
  const auto n = src.count();
  const auto from = src.type;
  if (from == to) {
    dst.bytes = src.bytes;
    return dst;
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    if (from == ElementType::fp32 && to == ElementType::bf16) {
      const float x = src.get<float>(i);
      dst.set<std::uint16_t>(i, unclampedBf16 ? bf16RoundNearestEven(x) : bf16Clamped(x));
    } else if (from == ElementType::fp32 && (to == ElementType::int8 || to == ElementType::int16)) {
      const auto v = static_cast<std::uint32_t>(quantizeToInt32(src.get<float>(i), q.scale)) +
                     static_cast<std::uint32_t>(q.zeroPoint);
      if (to == ElementType::int8)
        dst.set<std::int8_t>(i, static_cast<std::int8_t>(v & 0xff));
      else
        dst.set<std::int16_t>(i, static_cast<std::int16_t>(v & 0xffff));
    } else if (from == ElementType::boolean && to == ElementType::int8) {
      dst.set<std::int8_t>(i, src.get<std::uint8_t>(i) != 0 ? 1 : 0);
    } else if (from == ElementType::int8 && to == ElementType::boolean) {
      dst.set<std::uint8_t>(i, src.get<std::int8_t>(i) != 0 ? 1 : 0);
    } else if (from == ElementType::bf16 && to == ElementType::fp32) {
      dst.set<float>(i, bf16ToFloat(src.get<std::uint16_t>(i)));
    } else if (isInteger(from) && to == ElementType::fp32) {
      const auto raw = readAsInteger(src, i);
      float y = 0;
      if (dequant == Dequant::wrapped) {
        const auto sum = static_cast<std::uint32_t>(raw) + static_cast<std::uint32_t>(q.zeroPoint);
        const std::int64_t t = from == ElementType::int8
                                   ? std::int64_t{static_cast<std::int8_t>(sum & 0xff)}
                                   : std::int64_t{static_cast<std::int16_t>(sum & 0xffff)};
        y = static_cast<float>(static_cast<double>(t) * q.scale);
      } else if (dequant == Dequant::fused) {
        y = static_cast<float>(raw + q.zeroPoint) * static_cast<float>(q.scale);
      } else {
        y = static_cast<float>(static_cast<double>(static_cast<float>(raw + q.zeroPoint)) *
                               q.scale);
      }
      dst.set<float>(i, y);
    } else {
      throw std::invalid_argument(std::string("no conversion from ") + elementTypeName(from) +
                                  " to " + elementTypeName(to));
    }
  }
  return dst;
}

HostTensor relayout(const HostTensor& src, const std::string& srcFormat,
                    const std::string& dstFormat, const std::vector<std::uint64_t>& dstShape) {
  const auto s = axesOf(srcFormat, src.shape);
  const auto d = axesOf(dstFormat, dstShape);
  for (char letter : s.letters)
    if (d.letters.find(letter) == std::string::npos && extent(s, letter) != 1)
      throw std::invalid_argument("layout " + dstFormat + " lacks axis " + std::string(1, letter) +
                                  " of " + srcFormat);
  HostTensor dst = HostTensor::zeros(src.type, dstShape);
  const auto n = src.count();
  std::map<char, std::uint64_t> at;
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto idx = unravel(i, s.dims);
    at.clear();
    if (s.blocked) {
      at['H'] = idx[0];
      at['C'] = idx[1] * s.block + idx[4];
      at['W'] = idx[2];
      at['N'] = idx[3];
    } else {
      for (std::size_t k = 0; k < s.letters.size(); ++k) at[s.letters[k]] = idx[k];
    }
    bool inside = true;
    for (const auto& [letter, v] : at)
      if (v >= extent(d, letter)) inside = false;
    if (!inside) continue;
    auto coord = [&](char letter) {
      auto it = at.find(letter);
      return it == at.end() ? std::uint64_t{0} : it->second;
    };
    std::uint64_t off;
    if (d.blocked) {
      const auto c = coord('C');
      off = ravel({coord('H'), c / d.block, coord('W'), coord('N'), c % d.block}, d.dims);
    } else {
      std::vector<std::uint64_t> di;
      for (char letter : d.letters) di.push_back(coord(letter));
      off = ravel(di, d.dims);
    }
    copyElement(src, i, dst, off);
  }
  return dst;
}

HostTensor reshape(const HostTensor& src, const std::vector<std::uint64_t>& shape) {
  if (elementCount(shape) != src.count())
    throw std::invalid_argument("reshape changes the element count");
  HostTensor dst = src;
  dst.shape = shape;
  return dst;
}

HostTensor transpose(const HostTensor& src, const std::vector<std::uint64_t>& perm) {
  requireRank(src, perm.size(), "perm");
  std::vector<std::uint64_t> shape;
  std::vector<bool> seen(perm.size());
  for (auto p : perm) {
    if (p >= perm.size() || seen[p]) throw std::invalid_argument("perm is not a permutation");
    seen[p] = true;
    shape.push_back(src.shape[p]);
  }
  HostTensor dst = HostTensor::zeros(src.type, shape);
  for (std::uint64_t i = 0; i < dst.count(); ++i) {
    const auto di = unravel(i, shape);
    std::vector<std::uint64_t> si(perm.size());
    for (std::size_t k = 0; k < perm.size(); ++k) si[perm[k]] = di[k];
    copyElement(src, ravel(si, src.shape), dst, i);
  }
  return dst;
}

HostTensor pad(const HostTensor& src, const std::vector<std::uint64_t>& before,
               const std::vector<std::uint64_t>& after) {
  requireRank(src, before.size(), "pad_at_start");
  requireRank(src, after.size(), "pad_at_end");
  std::vector<std::uint64_t> shape;
  for (std::size_t k = 0; k < src.shape.size(); ++k)
    shape.push_back(before[k] + src.shape[k] + after[k]);
  HostTensor dst = HostTensor::zeros(src.type, shape);
  for (std::uint64_t i = 0; i < src.count(); ++i) {
    auto idx = unravel(i, src.shape);
    for (std::size_t k = 0; k < idx.size(); ++k) idx[k] += before[k];
    copyElement(src, i, dst, ravel(idx, shape));
  }
  return dst;
}

HostTensor slice(const HostTensor& src, const std::vector<std::uint64_t>& start,
                 const std::vector<std::uint64_t>& size) {
  requireRank(src, start.size(), "start");
  requireRank(src, size.size(), "size");
  for (std::size_t k = 0; k < start.size(); ++k)
    if (start[k] > src.shape[k] || size[k] > src.shape[k] - start[k])
      throw std::invalid_argument("slice leaves the tensor on axis " + std::to_string(k));
  HostTensor dst = HostTensor::zeros(src.type, size);
  for (std::uint64_t i = 0; i < dst.count(); ++i) {
    auto idx = unravel(i, size);
    for (std::size_t k = 0; k < idx.size(); ++k) idx[k] += start[k];
    copyElement(src, ravel(idx, src.shape), dst, i);
  }
  return dst;
}

HostTensor tile(const HostTensor& src, const std::vector<std::uint64_t>& multiples) {
  requireRank(src, multiples.size(), "multiples");
  std::vector<std::uint64_t> shape;
  for (std::size_t k = 0; k < src.shape.size(); ++k) shape.push_back(src.shape[k] * multiples[k]);
  HostTensor dst = HostTensor::zeros(src.type, shape);
  for (std::uint64_t i = 0; i < dst.count(); ++i) {
    auto idx = unravel(i, shape);
    for (std::size_t k = 0; k < idx.size(); ++k) idx[k] %= src.shape[k];
    copyElement(src, ravel(idx, src.shape), dst, i);
  }
  return dst;
}

}  // namespace korvan::pack::reference
