#include <cstring>

#include "core/error.hpp"
#include "korvanrt/client.hpp"

namespace korvanrt::client {

ImplBase::~ImplBase() = default;

void ImplBase::forward(const float* input, std::vector<uint64_t> inputShape, float* output,
                       std::vector<uint64_t> outputShape) {
  timestampStart("CPU Preprocessing");
  const uint64_t batch = inputShape.empty() ? 0 : inputShape[0];
  const uint64_t outBatch = outputShape.empty() ? 0 : outputShape[0];
  if (outBatch != batch) KORVAN_THROW("Batch size of input and output must match!");
  uint64_t inElems = 1;
  for (size_t i = 1; i < inputShape.size(); ++i) inElems *= inputShape[i];
  uint64_t outElems = 1;
  for (size_t i = 1; i < outputShape.size(); ++i) outElems *= outputShape[i];
  timestampEnd("CPU Preprocessing");
  for (uint64_t b = 0; b < batch; ++b) {
    timestampStart("CPU Inference");
    const float* result = forward(input + b * inElems);
    timestampEnd("CPU Inference");
    timestampStart("CPU Postprocessing");
    std::memcpy(output + b * outElems, result, outElems * sizeof(float));
    timestampEnd("CPU Postprocessing");
  }
}

void ImplBase::timestampStart(std::string) {}
void ImplBase::timestampEnd(std::string) {}
void ImplBase::setVistrelProfiling() {}
void ImplBase::unsetVistrelProfiling() {}

}  // namespace korvanrt::client
