#include "model_description.hpp"

#include <limits>
#include <regex>
#include <set>

#include "host_tensor.hpp"

namespace korvan::pack {

namespace {

using Json = nlohmann::ordered_json;

std::string at(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}
std::string at(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

const Json& require(const Json& obj, const std::string& path, const std::string& key) {
  if (!obj.contains(key)) throw DescriptionError(at(path, key), "missing");
  return obj.at(key);
}

std::string stringField(const Json& obj, const std::string& path, const std::string& key) {
  const auto& v = require(obj, path, key);
  if (!v.is_string()) throw DescriptionError(at(path, key), "must be a string");
  return v.get<std::string>();
}

std::string optionalString(const Json& obj, const std::string& path, const std::string& key,
                           const std::string& fallback) {
  return obj.contains(key) ? stringField(obj, path, key) : fallback;
}

std::int64_t integerIn(const Json& v, const std::string& field, std::int64_t low,
                       std::int64_t high) {
  if (!v.is_number_integer()) throw DescriptionError(field, "must be an integer");
  const bool isUnsigned = v.is_number_unsigned();
  if (isUnsigned && v.get<std::uint64_t>() > static_cast<std::uint64_t>(high))
    throw DescriptionError(field, "must be at most " + std::to_string(high));
  const auto x =
      isUnsigned ? static_cast<std::int64_t>(v.get<std::uint64_t>()) : v.get<std::int64_t>();
  if (x < low || x > high)
    throw DescriptionError(field,
                           "must lie in " + std::to_string(low) + " .. " + std::to_string(high));
  return x;
}

std::int64_t integerField(const Json& obj, const std::string& path, const std::string& key,
                          std::int64_t low, std::int64_t high, std::int64_t fallback) {
  if (!obj.contains(key)) return fallback;
  return integerIn(obj.at(key), at(path, key), low, high);
}

bool boolField(const Json& obj, const std::string& path, const std::string& key, bool fallback) {
  if (!obj.contains(key)) return fallback;
  if (!obj.at(key).is_boolean()) throw DescriptionError(at(path, key), "must be true or false");
  return obj.at(key).get<bool>();
}

void checkObject(const Json& v, const std::string& field) {
  if (!v.is_object()) throw DescriptionError(field.empty() ? "(root)" : field, "must be an object");
}

const Json& arrayField(const Json& obj, const std::string& path, const std::string& key) {
  const auto& v = require(obj, path, key);
  if (!v.is_array()) throw DescriptionError(at(path, key), "must be an array");
  return v;
}

// Names end up in file names and JSON keys: keep them plain.
std::string nameField(const Json& obj, const std::string& path, const std::string& key) {
  auto name = stringField(obj, path, key);
  static const std::regex plain("[A-Za-z0-9_.-]{1,128}");
  if (!std::regex_match(name, plain) || name == "." || name == "..")
    throw DescriptionError(at(path, key),
                           "\"" + name + "\" must be 1 to 128 letters, digits, '_', '.' or '-'");
  return name;
}

std::vector<std::uint64_t> shapeField(const Json& obj, const std::string& path,
                                      const std::string& key) {
  const auto& arr = arrayField(obj, path, key);
  if (arr.empty() || arr.size() > 6)
    throw DescriptionError(at(path, key), "must have 1 to 6 extents");
  std::vector<std::uint64_t> shape;
  for (std::size_t i = 0; i < arr.size(); ++i)
    shape.push_back(static_cast<std::uint64_t>(integerIn(arr[i], at(at(path, key), i), 1, 65536)));
  try {
    if (elementCount(shape) > (std::uint64_t{1} << 24))
      throw DescriptionError(at(path, key), "more than 2^24 elements");
  } catch (const std::overflow_error&) {
    throw DescriptionError(at(path, key), "more than 2^24 elements");
  }
  return shape;
}

ElementType typeField(const Json& obj, const std::string& path, const std::string& key) {
  const auto text = stringField(obj, path, key);
  try {
    return parseElementType(text);
  } catch (const std::invalid_argument& e) {
    throw DescriptionError(at(path, key), e.what());
  }
}

// Letters of a layout that the writer knows how to place elements by.
bool knownLayout(const std::string& f) {
  if (f == "HCWNC4" || f == "HCWNC8") return true;
  static const std::regex plain("[NCHW]{1,4}");
  if (!std::regex_match(f, plain)) return false;
  return std::set<char>(f.begin(), f.end()).size() == f.size();
}

std::uint64_t layoutRank(const std::string& f) {
  return (f == "HCWNC4" || f == "HCWNC8") ? 5 : f.size();
}

TensorDesc parseTensor(const Json& e, const std::string& path, bool isInput) {
  checkObject(e, path);
  TensorDesc t;
  t.name = nameField(e, path, "name");
  t.cpuFormat = stringField(e, path, "cpu_format");
  t.hwFormat = stringField(e, path, "hw_format");
  for (const auto& [key, value] : {std::pair{"cpu_format", t.cpuFormat}, {"hw_format", t.hwFormat}})
    if (!knownLayout(value))
      throw DescriptionError(at(path, key), "layout \"" + value +
                                                "\" is not one of NCHW-style letter orders, "
                                                "HCWNC4 or HCWNC8");
  t.cpuType = typeField(e, path, "cpu_dtype");
  t.hwType = typeField(e, path, "hw_dtype");
  t.cpuShape = shapeField(e, path, "cpu_shape");
  t.hwShape = shapeField(e, path, "hw_shape");
  if (t.cpuShape.size() != layoutRank(t.cpuFormat))
    throw DescriptionError(at(path, "cpu_shape"), "rank does not match cpu_format " + t.cpuFormat);
  if (t.hwShape.size() != layoutRank(t.hwFormat))
    throw DescriptionError(at(path, "hw_shape"), "rank does not match hw_format " + t.hwFormat);
  if (isInput && elementCount(t.hwShape) < elementCount(t.cpuShape))
    throw DescriptionError(at(path, "hw_shape"), "has fewer elements than cpu_shape");
  if (e.contains("scale_factor")) {
    if (!e.at("scale_factor").is_number())
      throw DescriptionError(at(path, "scale_factor"), "must be a number");
    t.scale = e.at("scale_factor").get<double>();
  }
  if (e.contains("zero_point"))
    t.zeroPoint = integerIn(e.at("zero_point"), at(path, "zero_point"), -128, 127);
  if (e.contains("rt_transformations")) {
    const auto& list = e.at("rt_transformations");
    if (!list.is_array())
      throw DescriptionError(at(path, "rt_transformations"), "must be an array");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const auto p = at(at(path, "rt_transformations"), i);
      checkObject(list[i], p);
      stringField(list[i], p, "transformation");
    }
    t.rtTransformations = list;
  }
  t.paddingBefore =
      static_cast<std::uint64_t>(integerField(e, path, "extra_padding_before", 0, 1 << 20, 0));
  return t;
}

std::vector<double> weightValues(const Json& w, const std::string& path, std::uint64_t count) {
  std::vector<double> values;
  if (w.contains("values")) {
    const auto& v = arrayField(w, path, "values");
    if (v.size() != count)
      throw DescriptionError(
          at(path, "values"),
          "has " + std::to_string(v.size()) + " values, the shape needs " + std::to_string(count));
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (!v[i].is_number()) throw DescriptionError(at(at(path, "values"), i), "must be a number");
      values.push_back(v[i].get<double>());
    }
    return values;
  }
  if (!w.contains("generator"))
    throw DescriptionError(at(path, "values"), "missing (give values or generator)");
  const auto gp = at(path, "generator");
  const auto& g = w.at("generator");
  checkObject(g, gp);
  const auto kind = stringField(g, gp, "kind");
  double first = 0, step = 1, low = -1, high = 1;
  auto number = [&](const char* key, double& out) {
    if (!g.contains(key)) return;
    if (!g.at(key).is_number()) throw DescriptionError(at(gp, key), "must be a number");
    out = g.at(key).get<double>();
  };
  number("first", first);
  number("step", step);
  number("min", low);
  number("max", high);
  const auto seed = static_cast<std::uint32_t>(integerField(g, gp, "seed", 0, 0xffffffff, 7));
  if (kind == "ramp") {
    for (std::uint64_t i = 0; i < count; ++i)
      values.push_back(first + step * static_cast<double>(i));
  } else if (kind == "uniform") {
    if (!(low <= high)) throw DescriptionError(at(gp, "min"), "must not exceed max");
    std::uint32_t s = seed ? seed : 1;
    for (std::uint64_t i = 0; i < count; ++i) {
      s ^= s << 13;
      s ^= s >> 17;
      s ^= s << 5;
      values.push_back(low + (high - low) * (s / 4294967296.0));
    }
  } else {
    throw DescriptionError(at(gp, "kind"), "\"" + kind + "\" is not ramp or uniform");
  }
  return values;
}

OperandDesc parseOperand(const Json& v, const std::string& field) {
  if (v.is_string()) return {v.get<std::string>(), 0};
  if (!v.is_object()) throw DescriptionError(field, "must be a buffer name or {buffer, offset}");
  OperandDesc o;
  o.buffer = stringField(v, field, "buffer");
  o.offset = static_cast<std::uint64_t>(integerField(v, field, "offset", 0, 1ll << 40, 0));
  return o;
}

OpDesc parseOp(const Json& e, const std::string& path) {
  checkObject(e, path);
  OpDesc op;
  const auto kind = stringField(e, path, "op");
  auto operand = [&](const char* key) {
    return parseOperand(require(e, path, key), at(path, key));
  };
  auto u32 = [&](const char* key, std::uint32_t fallback) {
    return static_cast<std::uint32_t>(integerField(e, path, key, 1, 65536, fallback));
  };
  if (kind == "copy" || kind == "fill") {
    op.kind = kind == "copy" ? OpKind::copy : OpKind::fill;
    op.dst = operand("dst");
    if (op.kind == OpKind::copy) op.src = operand("src");
    op.bytes = static_cast<std::uint64_t>(
        integerIn(require(e, path, "bytes"), at(path, "bytes"), 0, 1ll << 32));
    op.value = static_cast<std::uint8_t>(integerField(e, path, "value", 0, 255, 0));
  } else if (kind == "add") {
    op.kind = OpKind::add;
    op.dst = operand("dst");
    op.a = operand("a");
    op.b = operand("b");
    op.addType = typeField(e, path, "type");
    if (op.addType != ElementType::bf16 && op.addType != ElementType::int8 &&
        op.addType != ElementType::fp32)
      throw DescriptionError(at(path, "type"), "must be bf16, int8 or float");
    op.count = static_cast<std::uint64_t>(
        integerIn(require(e, path, "count"), at(path, "count"), 0, 1ll << 30));
  } else if (kind == "conv1x1_bf16" || kind == "conv1x1_int8") {
    op.kind = kind == "conv1x1_bf16" ? OpKind::conv1x1_bf16 : OpKind::conv1x1_int8;
    op.dst = operand("dst");
    op.src = operand("src");
    op.weights = operand("weights");
    if (e.contains("bias")) op.bias = operand("bias");
    op.height = u32("height", 1);
    op.width = u32("width", 1);
    op.batch = u32("batch", 1);
    op.inChannels = u32("in_channels", 8);
    op.outChannels = u32("out_channels", 8);
    op.relu = boolField(e, path, "relu", false);
    if (op.kind == OpKind::conv1x1_int8) {
      const auto i32 = std::numeric_limits<std::int32_t>::max();
      op.inZero = static_cast<std::int32_t>(integerField(e, path, "in_zero", -128, 127, 0));
      op.outZero = static_cast<std::int32_t>(integerField(e, path, "out_zero", -128, 127, 0));
      op.multiplier = static_cast<std::int32_t>(integerField(e, path, "multiplier", -i32, i32, 1));
      op.shift = static_cast<std::int32_t>(integerField(e, path, "shift", 0, 62, 0));
    }
  } else {
    throw DescriptionError(at(path, "op"), "\"" + kind +
                                               "\" is not copy, fill, add, conv1x1_bf16 or "
                                               "conv1x1_int8");
  }
  return op;
}

std::vector<OpDesc> parseProgram(const Json& obj, const std::string& path) {
  const auto& list = arrayField(obj, path, "program");
  std::vector<OpDesc> program;
  for (std::size_t i = 0; i < list.size(); ++i)
    program.push_back(parseOp(list[i], at(at(path, "program"), i)));
  return program;
}

PartitionDesc parsePartition(const Json& p, const std::string& path, bool needsProgram) {
  checkObject(p, path);
  PartitionDesc part;
  std::set<std::string> names;
  auto unique = [&](const std::string& name, const std::string& field) {
    if (!names.insert(name).second)
      throw DescriptionError(field, "name \"" + name + "\" is used twice");
  };
  const auto& inputs = arrayField(p, path, "inputs");
  const auto& outputs = arrayField(p, path, "outputs");
  if (inputs.empty()) throw DescriptionError(at(path, "inputs"), "needs at least one tensor");
  if (outputs.empty()) throw DescriptionError(at(path, "outputs"), "needs at least one tensor");
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto f = at(at(path, "inputs"), i);
    part.inputs.push_back(parseTensor(inputs[i], f, true));
    unique(part.inputs.back().name, at(f, "name"));
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const auto f = at(at(path, "outputs"), i);
    part.outputs.push_back(parseTensor(outputs[i], f, false));
    unique(part.outputs.back().name, at(f, "name"));
  }
  if (p.contains("weights")) {
    const auto& list = arrayField(p, path, "weights");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const auto f = at(at(path, "weights"), i);
      checkObject(list[i], f);
      WeightDesc w;
      w.name = nameField(list[i], f, "name");
      unique(w.name, at(f, "name"));
      w.type = typeField(list[i], f, "dtype");
      w.shape = shapeField(list[i], f, "shape");
      w.values = weightValues(list[i], f, elementCount(w.shape));
      part.weights.push_back(std::move(w));
    }
  }
  if (p.contains("spills")) {
    const auto& list = arrayField(p, path, "spills");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const auto f = at(at(path, "spills"), i);
      checkObject(list[i], f);
      SpillDesc s;
      s.name = nameField(list[i], f, "name");
      unique(s.name, at(f, "name"));
      s.size = static_cast<std::uint64_t>(
          integerIn(require(list[i], f, "size"), at(f, "size"), 1, 1ll << 30));
      part.spills.push_back(std::move(s));
    }
  }
  if (needsProgram) part.program = parseProgram(p, path);
  return part;
}

}  // namespace

std::uint64_t TensorDesc::hwBytes() const {
  return elementCount(hwShape) * elementSize(hwType);
}

std::optional<std::size_t> ddrIndex(const std::string& name, const std::string& prefix) {
  if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() || name.size() > prefix.size() + 4)
    return std::nullopt;
  std::size_t v = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return std::nullopt;
    v = v * 10 + static_cast<std::size_t>(name[i] - '0');
  }
  return v;
}

ModelDescription parseModelDescription(const Json& doc) {
  checkObject(doc, "");
  ModelDescription d;
  d.name = nameField(doc, "", "name");
  const auto kind = optionalString(doc, "", "kind", "plain");
  if (kind == "plain")
    d.kind = PackageKind::plain;
  else if (kind == "custom_graph")
    d.kind = PackageKind::customGraph;
  else if (kind == "custom_op")
    d.kind = PackageKind::customOp;
  else
    throw DescriptionError("kind", "\"" + kind + "\" is not plain, custom_graph or custom_op");
  const auto form = optionalString(doc, "", "program_form", "transaction");
  if (form == "transaction")
    d.form = ProgramForm::transaction;
  else if (form == "elf")
    d.form = ProgramForm::elf;
  else
    throw DescriptionError("program_form", "\"" + form + "\" is not transaction or elf");
  d.compressElf = boolField(doc, "", "compress_elf", false);
  if (d.compressElf && d.form != ProgramForm::elf)
    throw DescriptionError("compress_elf", "needs program_form elf");
  d.elfArgumentBase =
      static_cast<std::uint32_t>(integerField(doc, "", "elf_argument_base", 0, 3, 3));
  if (d.elfArgumentBase != 0 && d.elfArgumentBase != 3)
    throw DescriptionError("elf_argument_base", "must be 3 (argument = qel_id + 3) or 0");
  const auto weightsFile = optionalString(doc, "", "weights_file", "binary");
  if (weightsFile != "binary" && weightsFile != "text")
    throw DescriptionError("weights_file", "\"" + weightsFile + "\" is not binary or text");
  d.textWeights = weightsFile == "text";
  if (doc.contains("device_batch_size"))
    d.deviceBatchSize = integerIn(doc.at("device_batch_size"), "device_batch_size", 1, 1024);
  d.callerBatch = static_cast<std::uint64_t>(integerField(doc, "", "caller_batch", 1, 1024, 0));
  if (doc.contains("fabpak_name")) {
    d.fabpakName = nameField(doc, "", "fabpak_name");
    if (d.fabpakName.size() < 8 || d.fabpakName.compare(d.fabpakName.size() - 7, 7, ".fabpak") != 0)
      throw DescriptionError("fabpak_name", "must end in .fabpak");
  }
  d.seed = static_cast<std::uint32_t>(integerField(doc, "", "seed", 0, 0xffffffff, 1));

  const auto& parts = arrayField(doc, "", "partitions");
  if (parts.empty()) throw DescriptionError("partitions", "needs at least one partition");
  if (parts.size() > 64) throw DescriptionError("partitions", "at most 64 partitions");
  if (d.kind != PackageKind::plain && parts.size() != 1)
    throw DescriptionError("partitions", "custom-operator packages have exactly one partition");
  for (std::size_t i = 0; i < parts.size(); ++i)
    d.partitions.push_back(
        parsePartition(parts[i], at("partitions", i), d.kind != PackageKind::customGraph));

  if (d.kind != PackageKind::plain) {
    const auto& part = d.partitions[0];
    for (const auto* list : {&part.inputs, &part.outputs})
      for (const auto& t : *list)
        if (t.paddingBefore)
          throw DescriptionError("partitions[0]." + t.name + ".extra_padding_before",
                                 "custom operators take no padding in front of tensors");
  }
  if (d.kind == PackageKind::customGraph) {
    if (d.form != ProgramForm::transaction)
      throw DescriptionError("program_form", "custom graphs are written as transaction binaries");
    if (!d.partitions[0].weights.empty())
      throw DescriptionError("partitions[0].weights", "custom graphs take no weights image");
    const auto& ops = arrayField(doc, "", "operators");
    if (ops.empty()) throw DescriptionError("operators", "needs at least one operator");
    std::set<std::string> names;
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const auto f = at("operators", i);
      checkObject(ops[i], f);
      OperatorDesc op;
      op.name = nameField(ops[i], f, "name");
      if (!names.insert(op.name).second || op.name == d.name)
        throw DescriptionError(at(f, "name"), "\"" + op.name + "\" is used twice");
      op.input = stringField(ops[i], f, "input");
      op.output = stringField(ops[i], f, "output");
      op.weights = optionalString(ops[i], f, "weights", "");
      op.program = parseProgram(ops[i], f);
      d.operators.push_back(std::move(op));
    }
  } else if (doc.contains("operators")) {
    throw DescriptionError("operators", "only a custom_graph has operators");
  }
  if (d.kind == PackageKind::customOp) {
    const auto f = std::string("custom_op");
    const auto& op = require(doc, "", "custom_op");
    checkObject(op, f);
    d.opName = nameField(op, f, "name");
    d.opInput = optionalString(op, f, "input", "ifm_ddr_0");
    d.opOutput = optionalString(op, f, "output", "ofm_ddr_0");
    const auto& part = d.partitions[0];
    const auto in = ddrIndex(d.opInput, "ifm_ddr_");
    if (!in || *in >= part.inputs.size())
      throw DescriptionError("custom_op.input", "must be ifm_ddr_<i> of an input");
    const auto out = ddrIndex(d.opOutput, "ofm_ddr_");
    if (!out || *out >= part.outputs.size())
      throw DescriptionError("custom_op.output", "must be ofm_ddr_<i> of an output");
  }
  return d;
}

ModelDescription parseModelDescriptionText(const std::string& text) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw DescriptionError("(text)", std::string("not valid JSON: ") + e.what());
  }
  return parseModelDescription(doc);
}

}  // namespace korvan::pack
