#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>

namespace qel {

// 128-bit identifier of a configuration container. Ordered byte by byte, so it
// can key ordered maps.
class uuid {
 public:
  uuid() = default;
  explicit uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // Parses the canonical 8-4-4-4-12 hexadecimal form; throws std::invalid_argument.
  static uuid from_string(const std::string& text);

  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  std::string to_string() const;
  // False for the all-zero uuid.
  explicit operator bool() const;

  friend auto operator<=>(const uuid&, const uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace qel
