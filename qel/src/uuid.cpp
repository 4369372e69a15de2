#include "qel/uuid.hpp"

#include <stdexcept>

namespace qel {

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

uuid uuid::from_string(const std::string& text) {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      if (pos >= text.size() || text[pos] != '-') break;
      ++pos;
    }
    if (pos + 2 > text.size()) break;
    const int hi = hex_value(text[pos]), lo = hex_value(text[pos + 1]);
    if (hi < 0 || lo < 0) break;
    bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    pos += 2;
    if (i == 15 && pos == text.size()) return uuid(bytes);
  }
  throw std::invalid_argument("not a uuid: \"" + text + "\"");
}

std::string uuid::to_string() const {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += digits[bytes_[i] >> 4];
    s += digits[bytes_[i] & 15];
  }
  return s;
}

uuid::operator bool() const {
  for (auto b : bytes_)
    if (b != 0) return true;
  return false;
}

}  // namespace qel
