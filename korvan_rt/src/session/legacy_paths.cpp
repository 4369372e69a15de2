// The user-model paths of older callers: the user library runs the model and
// exchanges serialized argument lists with the session.

#include <cstring>
#include <iostream>

#include "core/data_types.hpp"
#include "core/error.hpp"
#include "session/private_impl.hpp"

namespace korvanrt::client {

namespace {

template <typename Fn>
Fn require(Fn fn, const std::string& library, const char* entry) {
  if (fn == nullptr)
    KORVAN_THROW("ERROR: The user model library " + library + " has no " + entry + " entry point");
  return fn;
}

std::string dimsText(const std::vector<uint64_t>& shape) {
  std::string text;
  for (const auto d : shape) text += std::to_string(d) + ",";
  return text;
}

}  // namespace

float* PrivateImpl::forward(const float* input) {
  return require(userForward, userLibPath, "forward")(input);
}

float* PrivateImpl::forward(uint32_t, const float* input) {
  timestampStart("KorvanRT Total");
  float* result = forward(input);
  timestampEnd("KorvanRT Total");
  return result;
}

void PrivateImpl::forward(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs) {
  timestampStart("KorvanRT Total");
  const auto run = require(userRun, userLibPath, "run");
  const std::vector<uint8_t> list = serializeArgs(inputs, outputs);
  const int32_t status = run(modelId, list.data());
  if (status == 0) {
    timestampEnd("KorvanRT Total");
    return;
  }
  if (status == 1) {
    const auto expected = getIfmShapes();
    for (size_t i = 0; i < inputs.size() && i < expected.size(); ++i) {
      if (inputs[i].shape == expected[i]) continue;
      std::cerr << "Shapes do not match for Input " << i << ". Expected (" << dimsText(expected[i])
                << "), got (" << dimsText(inputs[i].shape) << ")" << std::endl;
      break;
    }
    throw BadArgsException(1);
  }
  if (status == 3) {
    const uint64_t size = require(userArgsSize, userLibPath, "argument size")();
    std::vector<uint8_t> buffer(size);
    require(userGetArgs, userLibPath, "argument list")(buffer.data());
    std::vector<Tensor> expectedIn, expectedOut;
    deserializeArgs(buffer.data(), size, expectedIn, expectedOut);
    std::cerr << "Number of Inputs do not match. Expected " << expectedIn.size() << ", got "
              << inputs.size() << std::endl;
    throw BadArgsException(3);
  }
  throw BadArgsException(status);
}

void PrivateImpl::forward(std::vector<ErtIoType>& inputs, std::vector<ErtIoType>& outputs) {
  const auto inShapes = getIfmShapes();
  const auto outShapes = getOfmShapes();
  auto build = [](const std::vector<ErtIoType>& records,
                  const std::vector<std::vector<uint64_t>>& shapes, const char* side,
                  const std::string& sizeError) {
    std::vector<Tensor> tensors(shapes.size());
    for (size_t k = 0; k < shapes.size(); ++k) tensors[k].shape = shapes[k];
    for (const auto& r : records) {
      if (r.index < 0 || static_cast<size_t>(r.index) >= shapes.size())
        KORVAN_THROW(std::string("ERROR: ") + side + " index " + std::to_string(r.index) +
                     " is outside the model's " + std::to_string(shapes.size()) + " tensors");
      Tensor& t = tensors[static_cast<size_t>(r.index)];
      uint64_t count = 1;
      for (const auto d : t.shape) count *= d;
      if (datatypeToSize(r.dtype) * count != r.size) KORVAN_THROW(sizeError);
      t.data = r.data;
    }
    return tensors;
  };
  const auto ins =
      build(inputs, inShapes, "Input",
            std::string("Tensor sizes for ORT IFMs do not match expected IFM sizes for ") +
                "this partition");
  auto outs = build(outputs, outShapes, "Output",
                    std::string("Tensor sizes for ORT OFMs do not match expected OFM sizes for ") +
                        "this partition");
  forward(ins, outs);
}

std::vector<std::vector<uint64_t>> PrivateImpl::getIfmShapes() const {
  const uint64_t size = require(userArgsSize, userLibPath, "argument size")();
  std::vector<uint8_t> buffer(size);
  require(userGetArgs, userLibPath, "argument list")(buffer.data());
  std::vector<Tensor> inputs, outputs;
  deserializeArgs(buffer.data(), size, inputs, outputs);
  std::vector<std::vector<uint64_t>> shapes;
  for (const auto& t : inputs) shapes.push_back(t.shape);
  return shapes;
}

std::vector<std::vector<uint64_t>> PrivateImpl::getOfmShapes() const {
  const uint64_t size = require(userArgsSize, userLibPath, "argument size")();
  std::vector<uint8_t> buffer(size);
  require(userGetArgs, userLibPath, "argument list")(buffer.data());
  std::vector<Tensor> inputs, outputs;
  deserializeArgs(buffer.data(), size, inputs, outputs);
  std::vector<std::vector<uint64_t>> shapes;
  for (const auto& t : outputs) shapes.push_back(t.shape);
  return shapes;
}

}  // namespace korvanrt::client
