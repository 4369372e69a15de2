#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvanrt/export.hpp"

namespace korvanrt {
namespace client {

// Element type of a tensor. Stored as a 32-bit integer in records.
enum DataType : int32_t {
  FP32 = 0,
  INT8 = 1,
  UINT8 = 2,
  INT16 = 3,
  UINT16 = 4,
  BF16 = 5,
  BOOL = 6,
  FP16 = 7,
};

// Memory layout of a tensor as named in the model description.
enum TensorFormat : int32_t {
  NCHW = 0,
  NHWC = 1,
  NHW = 2,
  HCWNC8 = 3,
  HCWNC4 = 4,
  OTHER = 5,
};

// How float values are narrowed on the CPU.
enum RoundingMode : int32_t {
  ROUND_NEAREST_EVEN = 0,
  TRUNCATE = 1,
};

// Canonical text of a data type; "UNKNOWN" for values outside the enumeration.
KORVANRT_API std::string toString(DataType type);

// One model input or output as the CPU or the device sees it.
struct TensorMetadataType {
  std::string name;
  uint64_t size = 0;
  DataType dtype = FP32;
  std::vector<uint32_t> shape;
  std::vector<uint32_t> strides;
  TensorFormat format = NCHW;
  std::vector<uint32_t> dimOrder;
  double scale = 0.0;
  int32_t zeroPoint = 0;
  RoundingMode roundingMode = ROUND_NEAREST_EVEN;
};

// Simplest caller tensor, used by the user-model path.
struct Tensor {
  void* data = nullptr;
  std::vector<uint64_t> shape;
};

struct ErtIoType {
  void* data = nullptr;
  std::string name;
  int32_t index = 0;
  uint64_t size = 0;
  std::string dtype;
};

struct ErtIoTypeNew {
  void* data = nullptr;
  std::string name;
  int32_t index = 0;
  uint64_t size = 0;
  std::string dtype;
  std::vector<uint64_t> shape;
  int64_t extra = 0;
};

// Tensor passed to and between custom CPU operators.
struct OpsTensor {
  void* data = nullptr;
  std::vector<uint64_t> shape;
  std::string dtype;

  OpsTensor() = default;
  OpsTensor(const OpsTensor& other) : data(other.data), shape(other.shape), dtype(other.dtype) {}
  OpsTensor& operator=(const OpsTensor&) = default;
};

class KORVANRT_API Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override;
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Status codes returned by the run function of a user model library.
class KORVANRT_API BadArgsException : public Exception {
 public:
  explicit BadArgsException(int code);
  ~BadArgsException() override;
};

namespace impl {

// Failure to open a shared library or to find a symbol in it.
class KORVANRT_API LoaderException : public std::exception {
 public:
  explicit LoaderException(std::string message) : message_(std::move(message)) {}
  ~LoaderException() override;
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace impl
}  // namespace client

// The runtime's own error: `what` reads "<file>:<line>: <message>".
class KORVANRT_API KorvanRTException : public std::runtime_error {
 public:
  KorvanRTException(const std::string& message, const char* file, int line);
  ~KorvanRTException() override;
  const char* what() const noexcept override { return decorated_.c_str(); }

 private:
  std::string decorated_;
};

// Parses a data type name ("fp32", "float", "int8_t", ...). Throws
// std::invalid_argument "Unknown DataType: <text>" for anything else.
KORVANRT_API client::DataType stringToDataType(const std::string& text);

// Element size of the types the programmable-logic converters handle.
KORVANRT_API size_t getSize(const std::string& text);

}  // namespace korvanrt
