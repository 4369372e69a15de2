#include "korvanrt/types.hpp"

namespace korvanrt {

KorvanRTException::KorvanRTException(const std::string& message, const char* file, int line)
    : std::runtime_error(message),
      decorated_(std::string(file ? file : "") + ":" + std::to_string(line) + ": " + message) {}

KorvanRTException::~KorvanRTException() = default;

namespace client {

Exception::~Exception() = default;

namespace {
const char* badArgsText(int code) {
  switch (code) {
    case 0:
      return "No error";
    case 1:
      return "Incompatible input shape";
    case 2:
      return "Incompatible output shape";
    case 3:
      return "Wrong number of inputs";
    case 4:
      return "Wrong number of outputs";
    default:
      return "";
  }
}
}  // namespace

BadArgsException::BadArgsException(int code)
    : Exception(std::string("Model argument error: ") + badArgsText(code)) {}

BadArgsException::~BadArgsException() = default;

namespace impl {
LoaderException::~LoaderException() = default;
}  // namespace impl

}  // namespace client
}  // namespace korvanrt
