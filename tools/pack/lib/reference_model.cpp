#include "reference_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "reference_numbers.hpp"

namespace korvan::pack::reference {

namespace {

using Json = nlohmann::ordered_json;

std::int32_t low8(std::int64_t v) {
  return static_cast<std::int8_t>(static_cast<std::uint8_t>(v & 0xff));
}

Qdq tensorQdq(const TensorDesc& described) {
  return {described.scale, low8(described.zeroPoint.value_or(0))};
}

std::vector<std::uint64_t> listOf(const Json& step, const char* key) {
  std::vector<std::uint64_t> v;
  if (!step.contains(key)) return v;
  const auto& arr = step.at(key);
  if (!arr.is_array()) throw std::invalid_argument(std::string(key) + " must be an array");
  for (const auto& e : arr) {
    if (!e.is_number_unsigned() || e.get<std::uint64_t>() > 0xffffffffull)
      throw std::invalid_argument(std::string(key) + " must hold unsigned 32-bit integers");
    v.push_back(e.get<std::uint64_t>());
  }
  return v;
}

Qdq stepQdq(const TensorDesc& described, const Json& step) {
  Qdq q{described.scale, low8(described.zeroPoint.value_or(0))};
  if (step.contains("scale")) {
    if (!step.at("scale").is_number()) throw std::invalid_argument("scale must be a number");
    q.scale = step.at("scale").get<double>();
  }
  if (step.contains("zero_point")) {
    if (!step.at("zero_point").is_number_integer())
      throw std::invalid_argument("zero_point must be an integer");
    q.zeroPoint = low8(step.at("zero_point").get<std::int64_t>());
  }
  return q;
}

// Runs a transformation list. The type changes at step 0 for inputs and at
// the last step for outputs, as the runtime's executor requires.
HostTensor runList(const TensorDesc& described, HostTensor t, bool input) {
  const auto& list = described.rtTransformations;
  const auto target = input ? described.hwType : described.cpuType;
  const bool changes = described.cpuType != described.hwType;
  for (std::size_t k = 0; k < list.size(); ++k) {
    const auto& step = list[k];
    const auto kind = step.at("transformation").get<std::string>();
    const bool typeStep = changes && (input ? k == 0 : k + 1 == list.size());
    const bool last = k + 1 == list.size();
    try {
      if (typeStep) {
        if (kind != "quantize" && kind != "dequantize")
          throw std::invalid_argument(
              "the step that changes " + std::string(elementTypeName(t.type)) + " to " +
              elementTypeName(target) + " must be quantize or dequantize, not \"" + kind + "\"");
        t = convert(t, target, stepQdq(described, step), Dequant::wrapped);
      } else if (kind == "reshape") {
        t = reshape(t, listOf(step, "output_shape"));
      } else if (kind == "transpose") {
        t = transpose(t, listOf(step, "perm"));
      } else if (kind == "pad") {
        t = pad(t, listOf(step, "pad_at_start"), listOf(step, "pad_at_end"));
        if (step.contains("output_shape") && listOf(step, "output_shape") != t.shape)
          throw std::invalid_argument("output_shape differs from the padded shape");
      } else if (kind == "depad") {
        // "pad_at_start" is the padded shape, "pad_at_end" the kept corner.
        if (listOf(step, "pad_at_start") != t.shape)
          throw std::invalid_argument("pad_at_start must equal the padded input shape");
        t = slice(t, std::vector<std::uint64_t>(t.shape.size(), 0), listOf(step, "pad_at_end"));
      } else if (kind == "slice") {
        t = slice(t, listOf(step, "start"), listOf(step, "size"));
      } else if (kind == "tile") {
        t = tile(t, listOf(step, "multiples"));
      } else {
        throw std::invalid_argument("\"" + kind +
                                    "\" is not a step the package writer supports here (reshape, "
                                    "transpose, pad, depad, slice, tile; quantize/dequantize "
                                    "where the type changes)");
      }
      if (!last) {
        if (!step.contains("output_shape"))
          throw std::invalid_argument("output_shape is required on every step but the last");
        if (listOf(step, "output_shape") != t.shape)
          throw std::invalid_argument("output_shape differs from the step's result");
      }
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument("rt_transformations[" + std::to_string(k) + "]: " + e.what());
    }
  }
  const auto& shape = input ? described.hwShape : described.cpuShape;
  if (t.shape != shape || t.type != target)
    throw std::invalid_argument(std::string("rt_transformations: the list ends in ") +
                                elementTypeName(t.type) + " of " + std::to_string(t.count()) +
                                " elements, the tensor needs " + elementTypeName(target) +
                                (input ? " of hw_shape" : " of cpu_shape"));
  return t;
}

bool blocked(const std::string& f) {
  return f == "HCWNC4" || f == "HCWNC8";
}

[[noreturn]] void operandFault(const std::string& field, const std::string& what) {
  throw DescriptionError(field, what);
}

struct Region {
  std::uint8_t* ptr;
};

}  // namespace

HostTensor toDevice(const TensorDesc& described, const HostTensor& caller) {
  if (!described.rtTransformations.is_null() && !described.rtTransformations.empty())
    return runList(described, caller, true);
  HostTensor t = caller;
  if (described.cpuType != described.hwType) {
    const bool blockedBf16 = described.cpuType == ElementType::fp32 &&
                             described.hwType == ElementType::bf16 &&
                             described.cpuFormat == "NCHW" && blocked(described.hwFormat);
    t = convert(t, described.hwType, tensorQdq(described), Dequant::wrapped, blockedBf16);
  }
  return relayout(t, described.cpuFormat, described.hwFormat, described.hwShape);
}

HostTensor fromDevice(const TensorDesc& described, const HostTensor& device) {
  if (!described.rtTransformations.is_null() && !described.rtTransformations.empty())
    return runList(described, device, false);
  HostTensor t = relayout(device, described.hwFormat, described.cpuFormat, described.cpuShape);
  if (described.cpuType == described.hwType) return t;
  const bool converter = blocked(described.hwFormat) && described.cpuFormat == "NCHW";
  return convert(t, described.cpuType, tensorQdq(described),
                 converter ? Dequant::converter : Dequant::fused);
}

HostTensor sampleInput(const TensorDesc& described, std::uint32_t seed, std::uint64_t batch) {
  auto shape = described.cpuShape;
  if (batch) shape[0] = batch;
  HostTensor t = HostTensor::zeros(described.cpuType, shape);
  std::uint32_t s = seed ? seed : 0x9e3779b9u;
  auto next = [&] {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  for (std::uint64_t i = 0; i < t.count(); ++i) {
    const auto r = next();
    switch (t.type) {
      case ElementType::fp32:
        t.set<float>(i, static_cast<float>(r / 4294967296.0 * 4.0 - 2.0));
        break;
      case ElementType::bf16:
        t.set<std::uint16_t>(
            i, bf16RoundNearestEven(static_cast<float>(r / 4294967296.0 * 4.0 - 2.0)));
        break;
      case ElementType::int8:
        t.set<std::int8_t>(i, static_cast<std::int8_t>(static_cast<int>(r % 64) - 32));
        break;
      case ElementType::uint8:
        t.set<std::uint8_t>(i, static_cast<std::uint8_t>(r & 0xff));
        break;
      case ElementType::int16:
        t.set<std::int16_t>(i, static_cast<std::int16_t>(static_cast<int>(r % 2001) - 1000));
        break;
      case ElementType::uint16:
        t.set<std::uint16_t>(i, static_cast<std::uint16_t>(r & 0xffff));
        break;
      case ElementType::int32:
        t.set<std::int32_t>(i, static_cast<std::int32_t>(r % 20001) - 10000);
        break;
      case ElementType::boolean:
        t.set<std::uint8_t>(i, static_cast<std::uint8_t>(r & 1));
        break;
    }
  }
  return t;
}

std::vector<std::uint8_t> encodeWeight(const WeightDesc& w) {
  HostTensor t = HostTensor::zeros(w.type, w.shape);
  for (std::uint64_t i = 0; i < t.count(); ++i) {
    const double v = w.values[i];
    switch (w.type) {
      case ElementType::fp32:
        t.set<float>(i, static_cast<float>(v));
        break;
      case ElementType::bf16:
        t.set<std::uint16_t>(i, bf16RoundNearestEven(static_cast<float>(v)));
        break;
      case ElementType::int8:
        t.set<std::int8_t>(i, static_cast<std::int8_t>(std::clamp(std::lround(v), -128l, 127l)));
        break;
      case ElementType::uint8:
      case ElementType::boolean:
        t.set<std::uint8_t>(i, static_cast<std::uint8_t>(std::clamp(std::lround(v), 0l, 255l)));
        break;
      case ElementType::int16:
        t.set<std::int16_t>(i,
                            static_cast<std::int16_t>(std::clamp(std::lround(v), -32768l, 32767l)));
        break;
      case ElementType::uint16:
        t.set<std::uint16_t>(i, static_cast<std::uint16_t>(std::clamp(std::lround(v), 0l, 65535l)));
        break;
      case ElementType::int32:
        t.set<std::int32_t>(i, static_cast<std::int32_t>(
                                   std::clamp<double>(std::round(v), -2147483648.0, 2147483647.0)));
        break;
    }
  }
  return t.bytes;
}

void emulate(const std::vector<OpDesc>& program, Buffers& buffers,
             const std::map<std::string, std::string>& alias, const std::string& where) {
  for (std::size_t i = 0; i < program.size(); ++i) {
    const auto& op = program[i];
    const auto field = where + "[" + std::to_string(i) + "]";
    auto resolve = [&](const OperandDesc& o, std::uint64_t length, const char* role) {
      auto name = o.buffer;
      if (auto a = alias.find(name); a != alias.end()) name = a->second;
      auto it = buffers.find(name);
      if (it == buffers.end())
        operandFault(field + "." + role, "\"" + o.buffer + "\" names no buffer of the partition");
      const auto size = it->second.size();
      if (o.offset > size || length > size - o.offset)
        operandFault(field + "." + role, std::to_string(length) + " bytes at offset " +
                                             std::to_string(o.offset) + " exceed \"" + o.buffer +
                                             "\" of " + std::to_string(size) + " bytes");
      return it->second.data() + o.offset;
    };
    switch (op.kind) {
      case OpKind::copy: {
        const auto* s = resolve(op.src, op.bytes, "src");
        auto* d = resolve(op.dst, op.bytes, "dst");
        if (op.bytes) std::memmove(d, s, op.bytes);
        break;
      }
      case OpKind::fill:
        if (op.bytes) std::memset(resolve(op.dst, op.bytes, "dst"), op.value, op.bytes);
        break;
      case OpKind::add: {
        const auto size = elementSize(op.addType);
        const auto* a = resolve(op.a, op.count * size, "a");
        const auto* b = resolve(op.b, op.count * size, "b");
        auto* d = resolve(op.dst, op.count * size, "dst");
        for (std::uint64_t k = 0; k < op.count; ++k) {
          if (op.addType == ElementType::bf16) {
            std::uint16_t x, y;
            std::memcpy(&x, a + 2 * k, 2);
            std::memcpy(&y, b + 2 * k, 2);
            const auto r = bf16RoundNearestEven(bf16ToFloat(x) + bf16ToFloat(y));
            std::memcpy(d + 2 * k, &r, 2);
          } else if (op.addType == ElementType::int8) {
            const int s = static_cast<std::int8_t>(a[k]) + static_cast<std::int8_t>(b[k]);
            d[k] = static_cast<std::uint8_t>(static_cast<std::int8_t>(std::clamp(s, -128, 127)));
          } else {
            float x, y;
            std::memcpy(&x, a + 4 * k, 4);
            std::memcpy(&y, b + 4 * k, 4);
            const float r = x + y;
            std::memcpy(d + 4 * k, &r, 4);
          }
        }
        break;
      }
      case OpKind::conv1x1_bf16:
      case OpKind::conv1x1_int8: {
        const bool int8 = op.kind == OpKind::conv1x1_int8;
        const std::uint64_t e = int8 ? 1 : 2;
        const std::uint64_t H = op.height, W = op.width, N = op.batch, CI = op.inChannels,
                            CO = op.outChannels;
        const std::uint64_t cbIn = (CI + 7) / 8, cbOut = (CO + 7) / 8;
        // Element index of (h, c, w, n) in [H][CB][W][N][8].
        auto at = [&](std::uint64_t cb, std::uint64_t h, std::uint64_t c, std::uint64_t w,
                      std::uint64_t n) { return (((h * cb + c / 8) * W + w) * N + n) * 8 + c % 8; };
        // Sizes checked for overflow before any buffer is touched.
        auto product = [&](std::initializer_list<std::uint64_t> factors) {
          std::uint64_t r = 1;
          for (auto f : factors)
            if (__builtin_mul_overflow(r, f, &r)) operandFault(field, "convolution too large");
          return r;
        };
        const auto inBytes = product({H, cbIn * 8, W, N, e});
        const auto outBytes = product({H, cbOut * 8, W, N, e});
        const auto* s = resolve(op.src, inBytes, "src");
        const auto* wt = resolve(op.weights, product({CI, CO, e}), "weights");
        const std::uint8_t* bias = op.bias ? resolve(*op.bias, CO * 4, "bias") : nullptr;
        auto* d = resolve(op.dst, outBytes, "dst");
        std::vector<std::uint8_t> out(outBytes, 0);
        for (std::uint64_t h = 0; h < H; ++h)
          for (std::uint64_t w = 0; w < W; ++w)
            for (std::uint64_t n = 0; n < N; ++n)
              for (std::uint64_t co = 0; co < CO; ++co) {
                const auto o = at(cbOut, h, co, w, n);
                if (!int8) {
                  float acc = 0;
                  if (bias) std::memcpy(&acc, bias + 4 * co, 4);
                  for (std::uint64_t ci = 0; ci < CI; ++ci) {
                    std::uint16_t x, k;
                    std::memcpy(&x, s + 2 * at(cbIn, h, ci, w, n), 2);
                    std::memcpy(&k, wt + 2 * (co * CI + ci), 2);
                    acc += bf16ToFloat(x) * bf16ToFloat(k);
                  }
                  if (op.relu && acc < 0) acc = 0;
                  const auto y = bf16RoundNearestEven(acc);
                  std::memcpy(out.data() + 2 * o, &y, 2);
                } else {
                  std::int32_t b0 = 0;
                  if (bias) std::memcpy(&b0, bias + 4 * co, 4);
                  std::uint32_t acc = static_cast<std::uint32_t>(b0);  // wraps like int32
                  for (std::uint64_t ci = 0; ci < CI; ++ci) {
                    const std::int32_t x = static_cast<std::int8_t>(s[at(cbIn, h, ci, w, n)]);
                    const std::int32_t k = static_cast<std::int8_t>(wt[co * CI + ci]);
                    acc += (static_cast<std::uint32_t>(x) - static_cast<std::uint32_t>(op.inZero)) *
                           static_cast<std::uint32_t>(k);
                  }
                  const std::int64_t prod =
                      std::int64_t{static_cast<std::int32_t>(acc)} * op.multiplier;
                  const std::int64_t scaled =
                      op.shift > 0 ? (prod + (std::int64_t{1} << (op.shift - 1))) >> op.shift
                                   : prod;
                  const std::int64_t low =
                      op.relu ? std::max<std::int64_t>(op.outZero, -128) : -128;
                  const auto v = std::clamp<std::int64_t>(scaled + op.outZero, low, 127);
                  out[o] = static_cast<std::uint8_t>(static_cast<std::int8_t>(v));
                }
              }
        std::memcpy(d, out.data(), out.size());
        break;
      }
    }
  }
}

std::vector<PartitionResult> computeReference(const ModelDescription& model) {
  std::vector<PartitionResult> results;
  for (std::size_t p = 0; p < model.partitions.size(); ++p) {
    const auto& part = model.partitions[p];
    const auto where = "partitions[" + std::to_string(p) + "]";
    PartitionResult r;
    const std::uint64_t sliceBatch = part.inputs[0].cpuShape[0];
    const std::uint64_t total = model.callerBatch ? model.callerBatch : sliceBatch;
    if (total % sliceBatch != 0)
      throw DescriptionError("caller_batch", "must be a multiple of the batch in cpu_shape");
    for (std::size_t i = 0; i < part.inputs.size(); ++i)
      r.inputs.push_back(sampleInput(part.inputs[i],
                                     model.seed * 7919u + static_cast<std::uint32_t>(p * 131 + i),
                                     model.callerBatch ? total : 0));
    for (const auto& o : part.outputs) {
      auto shape = o.cpuShape;
      if (model.callerBatch) shape[0] = o.cpuShape[0] * (total / sliceBatch);
      r.outputs.push_back(HostTensor::zeros(o.cpuType, shape));
    }
    for (std::uint64_t slice = 0; slice < total / sliceBatch; ++slice) {
      Buffers buffers;
      for (std::size_t i = 0; i < part.inputs.size(); ++i) {
        const auto& described = part.inputs[i];
        HostTensor caller = HostTensor::zeros(described.cpuType, described.cpuShape);
        const auto bytes = caller.bytes.size();
        std::memcpy(caller.bytes.data(), r.inputs[i].bytes.data() + slice * bytes, bytes);
        HostTensor dev;
        try {
          dev = toDevice(described, caller);
        } catch (const std::invalid_argument& e) {
          throw DescriptionError(where + ".inputs[" + std::to_string(i) + "]", e.what());
        }
        buffers[described.name] = dev.bytes;
      }
      for (const auto& o : part.outputs) buffers[o.name].assign(o.hwBytes(), 0);
      for (const auto& w : part.weights) buffers[w.name] = encodeWeight(w);
      for (const auto& s : part.spills) buffers[s.name].assign(s.size, 0);
      if (model.kind == PackageKind::customGraph) {
        // Operators see their bound buffers by role; graph buffer names
        // ifm_ddr_<i>, ofm_ddr_<i> and spill_ddr_<i> stand for the graph's
        // inputs, outputs and spills by index.
        std::map<std::string, std::string> byIndex;
        for (std::size_t i = 0; i < part.inputs.size(); ++i)
          byIndex["ifm_ddr_" + std::to_string(i)] = part.inputs[i].name;
        for (std::size_t i = 0; i < part.outputs.size(); ++i)
          byIndex["ofm_ddr_" + std::to_string(i)] = part.outputs[i].name;
        for (std::size_t i = 0; i < part.spills.size(); ++i)
          byIndex["spill_ddr_" + std::to_string(i)] = part.spills[i].name;
        for (std::size_t m = 0; m < model.operators.size(); ++m) {
          const auto& op = model.operators[m];
          const auto f = "operators[" + std::to_string(m) + "]";
          std::map<std::string, std::string> alias;
          for (const auto& [role, name] :
               {std::pair<std::string, std::string>{"input", op.input}, {"output", op.output}}) {
            auto it = byIndex.find(name);
            if (it == byIndex.end())
              throw DescriptionError(f + "." + role, "\"" + name +
                                                         "\" is not ifm_ddr_<i>, ofm_ddr_<i> or "
                                                         "spill_ddr_<i> of the graph");
            alias[role] = it->second;
          }
          emulate(op.program, buffers, alias, f + ".program");
        }
      } else {
        std::map<std::string, std::string> alias;
        if (model.kind == PackageKind::customOp) {
          alias["input"] = part.inputs[*ddrIndex(model.opInput, "ifm_ddr_")].name;
          alias["output"] = part.outputs[*ddrIndex(model.opOutput, "ofm_ddr_")].name;
        }
        emulate(part.program, buffers, alias, where + ".program");
      }
      for (std::size_t i = 0; i < part.outputs.size(); ++i) {
        const auto& described = part.outputs[i];
        HostTensor dev = HostTensor::zeros(described.hwType, described.hwShape);
        dev.bytes = buffers[described.name];
        HostTensor caller;
        try {
          caller = fromDevice(described, dev);
        } catch (const std::invalid_argument& e) {
          throw DescriptionError(where + ".outputs[" + std::to_string(i) + "]", e.what());
        }
        std::memcpy(r.outputs[i].bytes.data() + slice * caller.bytes.size(), caller.bytes.data(),
                    caller.bytes.size());
      }
    }
    results.push_back(std::move(r));
  }
  return results;
}

}  // namespace korvan::pack::reference
