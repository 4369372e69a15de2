#pragma once

// Helpers for the conversion pipeline tests: a one-tensor description built
// from JSON text and a reference conversion written from the layout index
// maps (independently of the planner).

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/hw_cluster_params.hpp"

namespace korvanrt::testing {

struct Desc {
  std::string cpuFormat;
  std::vector<uint32_t> cpuShape;
  std::string hwFormat;
  std::vector<uint32_t> hwShape;
};

inline std::string jsonList(const std::vector<uint32_t>& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::to_string(v[i]);
  return s + "]";
}

// A partition with one input and one output, both described by the same
// entry (a loopback), plus optional extra keys for the entry.
inline std::unique_ptr<HWClusterParams> makeParams(const Desc& d, const std::string& cpuDtype,
                                                   const std::string& hwDtype,
                                                   const std::string& extra = "",
                                                   double scale = 1.0, int zeroPoint = 0) {
  const std::string entry = "{\"name\":\"t\",\"scale_factor\":" + std::to_string(scale) +
                            ",\"zero_point\":" + std::to_string(zeroPoint) + ",\"cpu_format\":\"" +
                            d.cpuFormat + "\",\"cpu_dtype\":\"" + cpuDtype +
                            "\",\"cpu_shape\":" + jsonList(d.cpuShape) + ",\"hw_format\":\"" +
                            d.hwFormat + "\",\"hw_dtype\":\"" + hwDtype +
                            "\",\"hw_shape\":" + jsonList(d.hwShape) + extra + "}";
  const std::string text = "{\"inputs\":[" + entry + "],\"outputs\":[" + entry + "]}";
  return std::make_unique<HWClusterParams>(text.data(), text.size(), false, HsiSource::Package);
}

inline size_t product(const std::vector<uint32_t>& v) {
  size_t p = 1;
  for (auto x : v) p *= x;
  return p;
}

// Device offset of the element whose letters have the given indices.
inline size_t deviceOffset(const Desc& d, std::map<char, size_t> idx) {
  const auto& s = d.hwShape;
  if (d.hwFormat == "HCWNC4" || d.hwFormat == "HCWNC8") {
    const size_t b = d.hwFormat == "HCWNC4" ? 4 : 8;
    const size_t c = idx['C'];
    return (((idx['H'] * s[1] + c / b) * s[2] + idx['W']) * s[3] + idx['N']) * b + c % b;
  }
  size_t off = 0;
  for (size_t k = 0; k < d.hwFormat.size(); ++k) off = off * s[k] + idx[d.hwFormat[k]];
  return off;
}

// Calls fn(cpuOffset, deviceOffset) for every CPU element.
template <typename Fn>
void forEachElement(const Desc& d, Fn&& fn) {
  const size_t r = d.cpuShape.size();
  const size_t n = product(d.cpuShape);
  std::vector<size_t> i(r, 0);
  for (size_t o = 0; o < n; ++o) {
    size_t rem = o;
    std::map<char, size_t> idx;
    for (size_t k = r; k-- > 0;) {
      idx[d.cpuFormat[k]] = rem % d.cpuShape[k];
      rem /= d.cpuShape[k];
    }
    fn(o, deviceOffset(d, idx));
  }
}

template <typename TDev, typename TCpu, typename Conv>
std::vector<TDev> refInput(const Desc& d, const std::vector<TCpu>& src, Conv conv) {
  std::vector<TDev> out(product(d.hwShape), TDev{});
  forEachElement(d, [&](size_t c, size_t h) { out[h] = conv(src[c]); });
  return out;
}

template <typename TCpu, typename TDev, typename Conv>
std::vector<TCpu> refOutput(const Desc& d, const std::vector<TDev>& dev, Conv conv) {
  std::vector<TCpu> out(product(d.cpuShape));
  forEachElement(d, [&](size_t c, size_t h) { out[c] = conv(dev[h]); });
  return out;
}

}  // namespace korvanrt::testing
